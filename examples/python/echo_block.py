# Lists the boards, sends a block to board 0 and prints what comes back (--sim: simulated boards).
import sys, corvane, corvane.sim
with (corvane.sim.open() if "--sim" in sys.argv else corvane.open()) as library:
    for info in library.boards():
        print("board %d: %s (%s)" % (info.index, info.name, info.serial))
    with library.board(0) as board, board.messages(timeout=2) as received:
        board.send_block(2, b"Hello, board!")
        for message in received:
            print("echo on channel %d: %r" % (message.channel, message.data))
            break
