# Opening the library: settings through the environment, and a missing driver. Each case opens
# the library in a process of its own, since the library reads its settings once, when it opens.
import json
import os
import subprocess
import sys

import pytest

import corvane
import corvane.sim
from corvane import ArgumentError

PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(os.path.dirname(PACKAGE), "examples", "python")


def run(script, *arguments, environ=None):
    environment = dict(os.environ, PYTHONPATH=PACKAGE, **(environ or {}))
    return subprocess.run([sys.executable, "-c", script, *arguments], env=environment, capture_output=True,
                          text=True, timeout=120)


OPEN_BOARD = """
import json, os, sys, corvane.sim
with corvane.sim.open(**json.loads(sys.argv[1])) as library:
    board = library.board(0)
    print(json.dumps([board.sim.latency_timer, os.environ.get("CORVANE_PROFILE"), os.environ.get("CORVANE_IDLE")]))
"""


@pytest.mark.parametrize("settings, environ, latency", [
    ({}, {}, 16),
    ({"profile": "fast"}, {}, 2),
    ({"latency_ms": 7}, {}, 7),
    ({"profile": "fast", "latency_ms": 9}, {}, 9),  # one setting overrides its part of the profile
    ({}, {"CORVANE_PROFILE": "fast"}, 2),          # the environment a user set still counts
])
def test_settings_reach_the_library_and_the_environment_is_left_as_it_was(settings, environ, latency):
    result = run(OPEN_BOARD, json.dumps(settings), environ=environ)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [latency, environ.get("CORVANE_PROFILE"), None]


@pytest.mark.parametrize("settings", [{"profile": "turbo"}, {"rx": "fast"}, {"idle": 1}, {"latency_ms": 0},
                                      {"latency_ms": 256}, {"latency_ms": "2"}, {"driver": "libusb"},
                                      {"driver": 1}])
def test_bad_settings_are_refused_before_the_library_opens(settings):
    with pytest.raises(ArgumentError):
        corvane.open(**settings)


BOUND_DRIVER = """
import json, sys, corvane, corvane.sim
opener = corvane.sim.open if sys.argv[2] == "sim" else corvane.open
with opener(driver=sys.argv[1]) as library:
    maps = open("/proc/self/maps").read()
    print(json.dumps([len(library.boards()), [line.split()[-1] for line in maps.splitlines()
                                            if "d2xx" in line or "ftd2xx" in line][:1]]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the process's map of loaded files")
def test_the_driver_setting_chooses_the_file_the_library_binds_and_the_simulator_wins(tmp_path):
    simulator = corvane.sim.Simulator.find(corvane.sim._native.load_library()[1]).path
    # A path: the library binds that file (here the simulated driver, listing its default boards).
    result = run(BOUND_DRIVER, simulator, "plain", environ={"CORVANE_SIM_BOARDS": "default"})
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [2, [os.path.realpath(simulator)]]
    # corvane.sim binds the simulated driver whatever the setting says.
    result = run(BOUND_DRIVER, "open", "sim")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [2, [os.path.realpath(simulator)]]
    # The open driver missing: an exception naming it, not the end of the process.
    script = "import corvane\ntry:\n    corvane.open(driver='open')\nexcept corvane.CorvaneError as error:\n" \
             "    print('raised:', error)\n"
    environ = {"LD_LIBRARY_PATH": str(tmp_path)}
    if run("import ctypes; ctypes.CDLL('libcorvane_d2xx.so')", environ=environ).returncode == 0:
        return  # the open driver is installed on this machine
    result = run(script, environ=environ)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("raised: the D2XX driver cannot be loaded (libcorvane_d2xx.so: ")


def test_a_missing_driver_raises_instead_of_ending_the_process(tmp_path):
    script = """
import corvane
import corvane.sim
try:
    corvane.open()
except corvane.CorvaneError as error:
    print("raised:", error)
"""
    environ = {"LD_LIBRARY_PATH": str(tmp_path), "CORVANE_SIM_DRIVER": ""}
    if run("import ctypes; ctypes.CDLL('libftd2xx.so')", environ=environ).returncode == 0:
        pytest.skip("a D2XX driver is installed on this machine")
    result = run(script, environ=environ)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("raised: the D2XX driver cannot be loaded (libftd2xx.so: ")


def test_the_examples_run_against_simulated_boards(tmp_path):
    echo = subprocess.run([sys.executable, os.path.join(EXAMPLES, "echo_block.py"), "--sim"], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONPATH=PACKAGE))
    assert echo.returncode == 0, echo.stderr
    assert echo.stdout.splitlines() == [
        "board 0: Corvane Eval Board B (CV000101B)",
        "board 1: Corvane Stream Board B (CV000102B)",
        "echo on channel 2: b'Hello, board!'",
    ]
    picture = tmp_path / "stream.png"
    plot = subprocess.run([sys.executable, os.path.join(EXAMPLES, "plot_stream.py"), str(picture), "0.5"],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=PACKAGE))
    assert plot.returncode == 0, plot.stderr
    counts = [int(line.split(": ")[1].split()[0]) for line in plot.stdout.splitlines() if line.startswith("channel")]
    assert len(counts) == 8 and all(c > 0 for c in counts[:4]) and counts[4:] == [0, 0, 0, 0]
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
