// Receive rate through the .NET assembly: the simulated board streams numbered messages as fast
// as the host takes them; each is counted and checked through the event, or taken from a queue.
//   mono BindingsBench.exe event|queue bytes|blocks     prints "messages_per_second N"
// The profile comes from the environment (CORVANE_PROFILE); scripts/bench.sh --bindings runs it.
using System;
using System.Threading;
using Corvane;

public static class BindingsBench
{
    private static long delivered, wrong;

    private static void Take(Message message)
    {
        long n = delivered;
        if (message.Data.Length == 0 || message.Data[0] != (byte)n)
        {
            ++wrong;
        }
        Volatile.Write(ref delivered, n + 1);
    }

    public static int Main(string[] arguments)
    {
        bool queue = arguments[0] == "queue", blocks = arguments[1] == "blocks";
        string file = System.IO.Path.GetTempFileName();
        System.IO.File.WriteAllText(file, "{\"boards\": [{\"id\": \"0x04038088\", \"serial\": \"BENCH00\", " +
                                          "\"description\": \"Bench board\", \"behaviour\": \"silent\"}]}");
        using (var library = Sim.Open(file))
        using (var board = library.OpenBoard(0))
        using (var received = board.Messages(10000))
        {
            System.IO.File.Delete(file);
            var running = true;
            Thread taker = null;
            if (queue)
            {
                taker = new Thread(() =>
                {
                    while (Volatile.Read(ref running))
                    {
                        Message message = received.Take(TimeSpan.FromMilliseconds(100));
                        if (message != null)
                        {
                            Take(message);
                        }
                    }
                });
                taker.Start();
            }
            else
            {
                received.Dispose();
                board.MessageReceived += (sender, e) => Take(e.Message);
            }
            var device = Sim.Device(board.Serial);
            if (blocks)
            {
                device.Stream(null, new[] { 0 }, 255);
            }
            else
            {
                device.Stream(new[] { 0 });
            }
            Thread.Sleep(300);
            long first = Volatile.Read(ref delivered);
            var clock = System.Diagnostics.Stopwatch.StartNew();
            Thread.Sleep(2000);
            long last = Volatile.Read(ref delivered);
            double seconds = clock.Elapsed.TotalSeconds;
            device.StopStream();
            Volatile.Write(ref running, false);
            if (taker != null)
            {
                taker.Join();
            }
            Console.WriteLine("messages_per_second {0:G6}", (last - first) / seconds);
            Console.Error.WriteLine("dropped by the queue: {0}", received.Dropped);
        }
        return 0;
    }
}
