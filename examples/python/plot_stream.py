# Records the simulated stream board's messages for a second and draws the messages per channel.
# Usage: plot_stream.py [OUTPUT.png] [SECONDS]
import collections
import sys
import time

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt

import corvane.sim

output = sys.argv[1] if len(sys.argv) > 1 else "stream.png"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0

times = collections.defaultdict(list)  # channel -> arrival times
with corvane.sim.open() as library:
    # The stream board of the default set sends from the moment it opens: its queue is in place first.
    board = library.board(1, open=False)
    with board.messages() as received:
        board.open()
        start = time.monotonic()
        while True:
            message = received.get(timeout=max(0.0, start + seconds - time.monotonic()))
            now = time.monotonic() - start
            if message is None or now > seconds:
                break
            times[message.channel].append(now)
    dropped = received.dropped

figure, (counts, timeline) = plt.subplots(1, 2, figsize=(10, 4))
channels = range(8)
counts.bar(channels, [len(times.get(c, ())) for c in channels], color="tab:blue")
counts.set(title="Messages per channel in %g s" % seconds, xlabel="channel", ylabel="messages", xticks=list(channels))
for channel in sorted(times):
    arrivals = times[channel]
    timeline.plot(arrivals, range(1, len(arrivals) + 1), label="channel %d" % channel)
timeline.set(title="Messages received over time", xlabel="seconds", ylabel="messages so far")
timeline.legend()
figure.suptitle("%s (%s), %d dropped" % (board.name, board.serial, dropped))
figure.tight_layout()
figure.savefig(output, dpi=80)
for channel in channels:
    print("channel %d: %d messages" % (channel, len(times.get(channel, ()))))
print("wrote %s" % output)
