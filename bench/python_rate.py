#!/usr/bin/env python3
"""Messages per second from the simulated stream board: to a Python callback and through
messages(), beside the same stream to a C callback (the corvane tool's bench) in the same run.

The stream is that of `corvane bench`: 255-byte blocks on channel 0, as fast as the host takes
them. Each case runs in a process of its own (the library reads its receive settings once, when
it opens). Usage: python_rate.py [--seconds S] [--build DIR] [--profiles default,fast]
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r"""
import json, sys, threading, time
import corvane.sim
consumer, profile, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
state = {"messages": 0, "bytes": 0, "gaps": 0, "last": -1}
lock = threading.Lock()

def count(message):
    number = int.from_bytes(message.data[:4], "little")
    with lock:
        state["messages"] += 1
        state["bytes"] += len(message.data)
        state["gaps"] += number - state["last"] - 1
        state["last"] = number

with corvane.sim.open(profile=profile) as library:
    board = library.board(1)
    device = board.sim
    device.behaviour = "silent"
    queue = None
    if consumer == "callback":
        board.on_message(count)
    else:
        queue = board.messages(timeout=1.0, maxsize=10000)
    device.stream(block_channels=[0], block_length=255)
    start = time.monotonic()
    if queue is None:
        time.sleep(seconds)
    else:
        for message in queue:
            count(message)
            if time.monotonic() - start >= seconds:
                break
    with lock:
        elapsed = time.monotonic() - start
        result = dict(state, seconds=elapsed, queueDropped=queue.dropped if queue else 0)
    device.stop_stream()
    board.close()
print(json.dumps(result))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--profiles", default="default,fast")
    options = parser.parse_args()
    environ = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    environ.setdefault("CORVANE_LIBRARY", os.path.join(options.build, "Libraries", "lib_usb", "libcorvane.so"))
    environ.setdefault("CORVANE_SIM_DRIVER", os.path.join(options.build, "sim", "libftd2xx.so"))
    tool = os.path.join(options.build, "Tools", "corvane", "corvane")
    print("%-8s %-12s %12s %9s %14s %9s" % ("profile", "consumer", "messages/s", "MB/s", "stream gaps", "vs C"))
    for profile in options.profiles.split(","):
        command = [tool, "--sim", "--board", "1"] + (["--fast"] if profile == "fast" else []) + [
            "bench", "--json", "--seconds", str(options.seconds)]
        c = json.loads(subprocess.run(command, capture_output=True, text=True, check=True, env=environ).stdout)
        c_rate = c["messagesPerSecond"]
        print("%-8s %-12s %12.0f %9.2f %14d %9s" % (profile, "C callback", c_rate, c["megabytesPerSecond"],
                                                     c.get("streamGaps", 0), "1.00"))
        for consumer in ("callback", "messages()"):
            run = subprocess.run([sys.executable, "-c", CHILD, consumer, profile, str(options.seconds)],
                                 capture_output=True, text=True, env=environ)
            if run.returncode != 0:
                sys.exit(run.stderr)
            r = json.loads(run.stdout.splitlines()[-1])
            rate = r["messages"] / r["seconds"]
            gaps = "%d" % r["gaps"] + (" +%d queue" % r["queueDropped"] if r["queueDropped"] else "")
            print("%-8s %-12s %12.0f %9.2f %14s %9.2f" % (
                profile, "Py " + consumer, rate, r["bytes"] / 1e6 / r["seconds"], gaps, rate / c_rate))


if __name__ == "__main__":
    main()
