// Writes every message of a board to a CSV file: seconds, channel, kind, command, length, bytes.
//   mono StreamToCsv.exe [--sim] [BOARD] [FILE] [SECONDS]      (defaults: 1 stream.csv 2)
// On simulated boards (--sim) board 1 streams numbered messages by itself.
using System;
using System.Diagnostics;
using System.IO;
using System.Threading;
using Corvane;

public static class StreamToCsv
{
    public static int Main(string[] arguments)
    {
        bool simulated = arguments.Length > 0 && arguments[0] == "--sim";
        int first = simulated ? 1 : 0;
        int index = arguments.Length > first ? int.Parse(arguments[first]) : 1;
        string path = arguments.Length > first + 1 ? arguments[first + 1] : "stream.csv";
        double seconds = arguments.Length > first + 2 ? double.Parse(arguments[first + 2]) : 2.0;
        long rows = 0;
        var clock = Stopwatch.StartNew();
        using (var csv = new StreamWriter(path))
        using (Library library = simulated ? Sim.Open() : new Library())
        {
            csv.WriteLine("seconds,channel,kind,command,length,bytes");
            // The handler goes in with the open: a streaming board sends from the moment it opens.
            // Triggers (the library's read thread) and data (its write thread) may come at once.
            EventHandler<MessageEventArgs> write = (sender, e) =>
            {
                Message m = e.Message;
                lock (csv)
                {
                    csv.WriteLine("{0:F6},{1},{2},0x{3:X2},{4},{5}", clock.Elapsed.TotalSeconds, m.Channel,
                                  m.Kind.ToString().ToLowerInvariant(), m.Command,
                                  m.Kind == MessageKind.Trigger ? m.Value : m.Data.Length,
                                  BitConverter.ToString(m.Data).Replace('-', ' '));
                    ++rows;
                }
            };
            using (Board board = library.OpenBoard(index, write))
            {
                Thread.Sleep(TimeSpan.FromSeconds(seconds));
                board.Close(); // once it returns no handler runs: the file can be closed
            }
        }
        Console.WriteLine("{0} messages written to {1}", rows, path);
        return 0;
    }
}
