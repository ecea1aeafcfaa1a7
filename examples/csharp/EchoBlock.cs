// Lists the boards, sends a block to board 0 and prints what the board answers.
//   mcs EchoBlock.cs -r:Corvane.Net.dll && mono EchoBlock.exe          (a real board)
//   mono EchoBlock.exe --sim                                            (simulated boards)
using System;
using System.Text;
using Corvane;

public static class EchoBlock
{
    public static int Main(string[] arguments)
    {
        bool simulated = arguments.Length > 0 && arguments[0] == "--sim";
        using (Library library = simulated ? Sim.Open() : new Library())
        {
            foreach (BoardInfo info in library.Boards)
            {
                Console.WriteLine("board {0}: {1} \"{2}\"", info.Index, info.Serial, info.Name);
            }
            if (library.Boards.Count == 0)
            {
                Console.WriteLine("no board found ({0})", library.LastError);
                return 1;
            }
            using (Board board = library.OpenBoard(0))
            using (MessageQueue received = board.Messages())
            {
                board.SendBlock(2, Encoding.ASCII.GetBytes("Hello, board!"));
                Message echo = received.Take(TimeSpan.FromSeconds(2));
                Console.WriteLine(echo == null ? "no answer within 2 s" : "answer: " + echo);
                return echo == null ? 1 : 0;
            }
        }
    }
}
