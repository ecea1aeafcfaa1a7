// replaced by the simulated driver
