// The .NET binding's behaviours, one row each, on simulated boards. The library is one per
// process, so the rows share one, opened with the fast profile (which reconnects lost boards);
// each row gets fresh simulated boards: the default set (board 0 echoes, board 1 streams).
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using Corvane;
using NUnit.Framework;

namespace Corvane.Tests
{
    [TestFixture]
    public class BindingTable
    {
        private static readonly LibraryOptions Fast = new LibraryOptions { Profile = "fast" };
        private static Library library;

        [TestFixtureSetUp]
        public void OpenOnce() { library = Sim.Open(null, Fast); }

        [TestFixtureTearDown]
        public void CloseOnce() { library.Dispose(); }

        [SetUp]
        public void FreshBoards() { Sim.Reset(library); }

        public static IEnumerable<TestCaseData> Behaviours()
        {
            var rows = new Dictionary<string, Action>
            {
                { "OpenAndList", OpenAndList },
                { "EachSendKindRoundTripsOnTheEchoBoard", EachSendKindRoundTrips },
                { "BadInputIsRefusedBeforeTheLibrary", BadInputIsRefusedBeforeTheLibrary },
                { "AFailingSendCarriesTheLibrarysText", AFailingSendCarriesTheLibrarysText },
                { "TwoBoardsFromTwoThreads", TwoBoardsFromTwoThreads },
                { "AHandlerThatThrows", AHandlerThatThrows },
                { "AFullQueueDropsAndCounts", AFullQueueDropsAndCounts },
                { "UnpluggedAndBack", UnpluggedAndBack },
                { "ClosedWhileItsMessagesAreDelivered", ClosedWhileItsMessagesAreDelivered },
                { "TheCallbackSurvivesAFullCollection", TheCallbackSurvivesAFullCollection },
                { "AMillionMessagesWithoutGrowth", AMillionMessagesWithoutGrowth },
                { "ADisposedLibrary", ADisposedLibrary },
                { "AHandlerGivenWithTheOpenSeesTheFirstMessage", AHandlerGivenWithTheOpenSeesTheFirstMessage },
            };
            return rows.Select(row => new TestCaseData(row.Value).SetName(row.Key));
        }

        [TestCaseSource("Behaviours")]
        public void Behaves(Action row) { row(); }

        // ---- helpers -----------------------------------------------------------------------------

        private static bool WaitUntil(Func<bool> condition, int seconds = 30)
        {
            var clock = Stopwatch.StartNew();
            while (!condition())
            {
                if (clock.Elapsed.TotalSeconds > seconds)
                {
                    return condition();
                }
                Thread.Sleep(1);
            }
            return true;
        }

        private static string Hex(byte[] bytes) { return BitConverter.ToString(bytes); }

        private static string Shown(Message m)
        {
            return m == null ? "none" : string.Format("{0} ch{1} {2} {3:X2} v{4:X2} [{5}]", m.Board, m.Channel, m.Kind,
                                                       m.Command, m.Value, Hex(m.Data));
        }

        private static Message Next(MessageQueue queue) { return queue.Take(TimeSpan.FromSeconds(30)); }

        // The exception `call` throws, which must be of type E and begin with `text` (.NET adds
        // the parameter's name on a line of its own).
        private static void Throws<E>(Action call, string text) where E : Exception
        {
            try
            {
                call();
                Assert.Fail("no exception; expected: " + text);
            }
            catch (E error)
            {
                Assert.AreEqual(text, error.Message.Split('\n')[0].TrimEnd('\r'));
                return;
            }
        }

        private static string BoardFile(string json)
        {
            string path = Path.Combine(Path.GetTempPath(), "corvane-boards-" + Guid.NewGuid().ToString("N") + ".json");
            File.WriteAllText(path, json);
            return path;
        }

        // ---- the rows ----------------------------------------------------------------------------

        private static void OpenAndList()
        {
            Assert.AreEqual("NRV Corvane Library", library.Name);
            Assert.AreEqual("1.0", library.InterfaceVersion);
            Assert.AreEqual(new[] { "0 CV000101B Corvane Eval Board B", "1 CV000102B Corvane Stream Board B" },
                            library.Boards.Select(b => b.Index + " " + b.Serial + " " + b.Name).ToArray());
            using (var byIndex = library.OpenBoard(0))
            using (var bySerial = library.OpenBoard("CV000102B"))
            {
                Assert.IsTrue(byIndex.IsOpen && bySerial.IsOpen);
                Assert.AreEqual(1, bySerial.Index);
                Assert.IsTrue(Sim.Device("CV000101B").IsOpen);
                Throws<CorvaneException>(() => library.OpenBoard(0),
                                         "board 0 (CV000101B) is open already; one Board object owns it");
                Throws<CorvaneException>(() => new Library(), "the library is already open in this process; close it first");
            }
            Assert.IsFalse(Sim.Device("CV000101B").IsOpen);
            Assert.IsFalse(Sim.Device("CV000102B").IsOpen);
        }

        private static void EachSendKindRoundTrips()
        {
            using (var board = library.OpenBoard(0))
            using (var received = board.Messages())
            {
                var device = Sim.Device(board.Serial);
                var sends = new[]
                {
                    Tuple.Create((Action)(() => board.SendTrigger(0x08)), "81-08", "0 ch0 Trigger C8 v08 []"),
                    Tuple.Create((Action)(() => board.SendByte(3, 0x41)), "93-41", "0 ch3 Byte D3 v41 [41]"),
                    Tuple.Create((Action)(() => board.SendByte(7, 0xFF)), "97-FF", "0 ch7 Byte D7 vFF [FF]"),
                    Tuple.Create((Action)(() => board.SendBlock(2, Encoding.ASCII.GetBytes("Hello"))),
                                 "A2-05-48-65-6C-6C-6F", "0 ch2 Block E2 v00 [48-65-6C-6C-6F]"),
                    Tuple.Create((Action)(() => board.SendBlock(1, new byte[] { 0x00, 0xFF })), "A1-02-00-FF",
                                 "0 ch1 Block E1 v00 [00-FF]"),
                    // The control sequence to address 3 (header 0x9A) echoes as five single bytes on channel 2.
                    Tuple.Create((Action)(() => board.SendControl(3, 0x7E)), "9A-5A-9A-C3-9A-7E-9A-7E-9A-00",
                                 "0 ch2 Byte D2 v5A [5A]"),
                };
                foreach (var send in sends)
                {
                    device.ClearWritten();
                    send.Item1();
                    Assert.AreEqual(send.Item2, Hex(device.Written()));
                    Assert.AreEqual(send.Item3, Shown(Next(received)));
                }
                Assert.AreEqual(new[] { 0xC3, 0x7E, 0x7E, 0x00 }, Enumerable.Range(0, 4).Select(_ => (int)Next(received).Value).ToArray());
                Assert.AreEqual(0x7E, device.ControlValue(3));
                Assert.AreEqual("No error found!", library.LastError);
            }
        }

        private static void BadInputIsRefusedBeforeTheLibrary()
        {
            var board = library.OpenBoard(0);
            var device = Sim.Device(board.Serial);
            var refused = new[]
            {
                Tuple.Create((Action)(() => board.SendByte(8, 1)), "address 8 is outside 0 to 7"),
                Tuple.Create((Action)(() => board.SendByte(-1, 1)), "address -1 is outside 0 to 7"),
                Tuple.Create((Action)(() => board.SendByte(0, 256)), "byte 256 is outside 0 to 255"),
                Tuple.Create((Action)(() => board.SendTrigger(256)), "trigger value 256 is outside 0 to 255"),
                Tuple.Create((Action)(() => board.SendControl(8, 0)), "address 8 is outside 0 to 7"),
                Tuple.Create((Action)(() => board.SendControl(0, 300)), "control value 300 is outside 0 to 255"),
                Tuple.Create((Action)(() => board.SendBlock(8, new byte[] { 1 })), "address 8 is outside 0 to 7"),
                Tuple.Create((Action)(() => board.SendBlock(0, null)), "the block is null"),
                Tuple.Create((Action)(() => board.SendBlock(0, new byte[0])), "the block is empty"),
                Tuple.Create((Action)(() => board.Blink(new[] { 1, 256 })), "step 256 is outside 0 to 255"),
                Tuple.Create((Action)(() => board.Blink(new[] { 1 }, -1)), "delayMs -1 is below 0"),
                Tuple.Create((Action)(() => board.Messages(channel: 8)), "channel 8 is outside 0 to 7"),
                Tuple.Create((Action)(() => board.Messages(0)), "capacity 0 is below 1"),
                Tuple.Create((Action)(() => library.OpenBoard(2)), "no board 2 among the 2 listed (CV000101B, CV000102B)"),
                Tuple.Create((Action)(() => library.OpenBoard("CV999")),
                             "no board 'CV999' among the 2 listed (CV000101B, CV000102B)"),
                Tuple.Create((Action)(() => library.OpenBoard("CV000101")),
                             "no board 'CV000101' among the 2 listed (CV000101B, CV000102B)"),
                Tuple.Create((Action)(() => new Library(new LibraryOptions { Profile = "quick" })),
                             "profile must be one of fast, default, not 'quick'"),
                Tuple.Create((Action)(() => new Library(new LibraryOptions { Driver = "libusb" })),
                             "driver must be vendor, open or the path of a D2XX driver, not 'libusb'"),
            };
            foreach (var row in refused)
            {
                Throws<ArgumentException>(row.Item1, row.Item2);
            }
            board.Dispose();
            var onClosed = new Action[]
            {
                () => board.SendTrigger(1), () => board.SendByte(0, 1), () => board.SendBlock(0, new byte[] { 1 }),
                () => board.SendControl(0, 1), () => board.Blink(new[] { 1 }), () => board.SelfTest(), () => board.Select(),
                () => board.Messages(),
            };
            foreach (var call in onClosed)
            {
                Throws<BoardClosedException>(call, "board 0 (CV000101B) is closed");
            }
            Assert.AreEqual("", Hex(device.Written()));
            Assert.AreEqual("No error found!", library.LastError);
        }

        private static void AFailingSendCarriesTheLibrarysText()
        {
            using (var board = library.OpenBoard(0))
            {
                var sends = new[]
                {
                    Tuple.Create((Action)(() => board.SendTrigger(1)), "Failed to write tigger"),
                    Tuple.Create((Action)(() => board.SendByte(2, 1)), "Failed to write single byte"),
                    Tuple.Create((Action)(() => board.SendBlock(2, new byte[] { 1, 2, 3 })), "SendBlock: Cannot write message preamble"),
                };
                foreach (var send in sends)
                {
                    Sim.FailNext("FT_Write", 1);
                    Throws<CorvaneException>(send.Item1, send.Item2);
                    send.Item1(); // the fault was for one call
                }
            }
        }

        // Two threads drive two echoing boards at once: each board gets exactly its own bytes, and
        // each board's handler exactly its own echoes, in order.
        private static void TwoBoardsFromTwoThreads()
        {
            string file = BoardFile("{\"boards\": [" +
                "{\"id\": \"0x04038088\", \"serial\": \"CVT00001\", \"description\": \"Thread board\", \"behaviour\": \"echo\"}," +
                "{\"id\": \"0x04038088\", \"serial\": \"CVT00002\", \"description\": \"Thread board\", \"behaviour\": \"echo\"}]}");
            Sim.Reset(library, file);
            File.Delete(file);
            const int sends = 300;
            var boards = new[] { library.OpenBoard(0), library.OpenBoard(1) };
            var echoes = new[] { new List<string>(), new List<string>() };
            for (int i = 0; i < 2; ++i)
            {
                var mine = echoes[i];
                boards[i].MessageReceived += (sender, e) => { lock (mine) mine.Add(Shown(e.Message)); };
            }
            var threads = Enumerable.Range(0, 2).Select(i => new Thread(() =>
            {
                for (int value = 0; value < sends; ++value)
                {
                    boards[i].SendByte(1 + i, value & 0xFF);
                }
            })).ToList();
            threads.ForEach(t => t.Start());
            threads.ForEach(t => t.Join());
            for (int i = 0; i < 2; ++i)
            {
                var expected = Enumerable.Range(0, sends).SelectMany(v => new[] { (byte)(0x91 + i), (byte)v }).ToArray();
                Assert.AreEqual(Hex(expected), Hex(Sim.Device(boards[i].Serial).Written()), "board " + i);
                var mine = echoes[i];
                Assert.IsTrue(WaitUntil(() => { lock (mine) return mine.Count >= sends; }));
                lock (mine)
                {
                    var wanted = Enumerable.Range(0, sends).Select(v => string.Format("{0} ch{1} Byte D{1} v{2:X2} [{2:X2}]", i, 1 + i, v & 0xFF));
                    Assert.AreEqual(wanted.ToArray(), mine.ToArray());
                }
                boards[i].Dispose();
            }
        }

        private static void AHandlerThatThrows()
        {
            using (var board = library.OpenBoard(0))
            using (var received = board.Messages())
            {
                var values = new List<int>();
                board.MessageReceived += (sender, e) => { throw new InvalidOperationException("handler fault " + e.Message.Value); };
                board.MessageReceived += (sender, e) => { lock (values) values.Add(e.Message.Value); };
                for (int value = 1; value <= 3; ++value)
                {
                    board.SendByte(1, value);
                }
                Assert.AreEqual(new[] { 1, 2, 3 }, Enumerable.Range(0, 3).Select(_ => (int)Next(received).Value).ToArray());
                Assert.IsTrue(WaitUntil(() => board.CallbackErrors == 3));
                Assert.AreEqual("handler fault 3", board.LastCallbackError.Message);
                lock (values)
                {
                    Assert.AreEqual(new[] { 1, 2, 3 }, values.ToArray(), "the next handler is called all the same");
                }
            }
        }

        private static void AFullQueueDropsAndCounts()
        {
            using (var board = library.OpenBoard(0))
            using (var small = board.Messages(2))
            using (var everything = board.Messages())
            using (var other = board.Messages(channel: 6))
            {
                for (int value = 0; value < 5; ++value)
                {
                    board.SendByte(4, value);
                }
                Assert.AreEqual(new[] { 0, 1, 2, 3, 4 }, Enumerable.Range(0, 5).Select(_ => (int)Next(everything).Value).ToArray());
                Assert.AreEqual(new long[] { 3, 2, 2 }, new long[] { small.Dropped, small.Received, small.Count });
                Assert.AreEqual(0, small.Take(TimeSpan.Zero).Value);
                Assert.AreEqual(1, small.Take(TimeSpan.Zero).Value);
                Assert.IsNull(small.Take(TimeSpan.Zero));
                Assert.AreEqual(0, other.Count);
            }
        }

        private static void UnpluggedAndBack()
        {
            using (var board = library.OpenBoard(0))
            using (var received = board.Messages())
            {
                board.SendByte(3, 0x10);
                Assert.AreEqual(0x10, Next(received).Value);
                var device = Sim.Device(board.Serial);
                device.Unplug();
                string lost = "Lost connection to device: Corvane Eval Board B / CV000101B", failure = null;
                Assert.IsTrue(WaitUntil(() =>
                {
                    try
                    {
                        board.SendByte(3, 0x11);
                    }
                    catch (CorvaneException error)
                    {
                        failure = error.Message;
                    }
                    return failure == lost;
                }), failure);
                device.Replug();
                // Reconnected into the same record: the same Board and queue, without a new open.
                Assert.IsTrue(WaitUntil(() =>
                {
                    try
                    {
                        board.SendByte(3, 0x12);
                        return true;
                    }
                    catch (CorvaneException)
                    {
                        return false;
                    }
                }));
                Assert.AreEqual(0x12, Next(received).Value);
                Assert.IsTrue(board.IsOpen);
            }
        }

        // The stream board sends numbered single bytes as fast as they are taken; its handler is
        // slow. Once Close returns, the handler never runs again.
        private static void ClosedWhileItsMessagesAreDelivered()
        {
            using (var echo = library.OpenBoard(0))
            using (var echoes = echo.Messages())
            {
                var board = library.OpenBoard(1);
                int inside = 0;
                long calls = 0;
                board.MessageReceived += (sender, e) =>
                {
                    Interlocked.Exchange(ref inside, 1);
                    Thread.Sleep(1); // a slow handler widens the window
                    Interlocked.Increment(ref calls);
                    Interlocked.Exchange(ref inside, 0);
                };
                Sim.Device(board.Serial).Stream(new[] { 0 });
                Assert.IsTrue(WaitUntil(() => Interlocked.Read(ref calls) >= 20));
                board.Close();
                Assert.AreEqual(0, Volatile.Read(ref inside));
                long after = Interlocked.Read(ref calls);
                // Messages of the closed board still queued are consumed before the echo behind them.
                echo.SendByte(2, 0x33);
                Assert.AreEqual(0x33, Next(echoes).Value);
                Assert.AreEqual(after, Interlocked.Read(ref calls));

                // Closed from inside its own handler: that call ends, and no other comes.
                var again = library.OpenBoard(1);
                int closedInside = 0, more = 0;
                again.MessageReceived += (sender, e) =>
                {
                    if (Volatile.Read(ref closedInside) != 0)
                    {
                        Interlocked.Increment(ref more);
                        return;
                    }
                    again.Close();
                    Volatile.Write(ref closedInside, 1);
                };
                Sim.Device(again.Serial).Stream(new[] { 0 });
                Assert.IsTrue(WaitUntil(() => Volatile.Read(ref closedInside) != 0));
                Assert.IsFalse(again.IsOpen);
                echo.SendByte(2, 0x34);
                Assert.AreEqual(0x34, Next(echoes).Value);
                Assert.AreEqual(0, Volatile.Read(ref more));
                Assert.IsFalse(Sim.Device(again.Serial).IsOpen);
            }
        }

        // Board 1 streams from the moment it opens (single bytes on channels 0 and 1, 32-byte blocks
        // on 2 and 3, in turn). A handler given with the open sees message 0 on; one whose open
        // fails is never called, and the board takes another open with a handler.
        private static void AHandlerGivenWithTheOpenSeesTheFirstMessage()
        {
            // A stream that sends only when the host asks, so that nothing reaches the driver
            // before the open's purge: the first message the handler can see is message 0.
            Sim.Device("CV000102B").Stream(new[] { 0, 1 }, new[] { 2, 3 }, 32);
            var seen = new List<Message>();
            using (library.OpenBoard("CV000102B", (sender, e) => { lock (seen) seen.Add(e.Message); }))
            {
                Assert.IsTrue(WaitUntil(() => { lock (seen) return seen.Count >= 8; }));
            }
            var expected = new List<string>();
            for (int n = 0; n < 8; ++n)
            {
                int channel = n % 4;
                expected.Add(channel < 2 ? string.Format("1 ch{0} Byte D{0} v{1:X2} [{1:X2}]", channel, n)
                                         : string.Format("1 ch{0} Block E{0} v00 32 bytes", channel));
            }
            lock (seen)
            {
                Assert.AreEqual(expected, seen.Take(8).Select(m => m.Kind == MessageKind.Block
                    ? string.Format("{0} ch{1} Block {2:X2} v{3:X2} {4} bytes", m.Board, m.Channel, m.Command, m.Value, m.Data.Length)
                    : Shown(m)).ToArray());
            }

            int calls = 0;
            Sim.FailNext("FT_OpenEx", 1, 3);
            Throws<CorvaneException>(() => library.OpenBoard(1, (sender, e) => Interlocked.Increment(ref calls)),
                                     "Failed to open port");
            // Until the failed open returns, its handler may be given what the last opening left
            // queued; from then on it is not called again.
            int atFailure = Volatile.Read(ref calls);
            // The reopened stream numbers from 0 again; what the last opening left queued may come first.
            int restarted = 0;
            using (library.OpenBoard(1, (sender, e) =>
            {
                if (Shown(e.Message) == "1 ch0 Byte D0 v00 [00]") Interlocked.Exchange(ref restarted, 1);
            }))
            {
                Assert.IsTrue(WaitUntil(() => Volatile.Read(ref restarted) != 0));
            }
            Assert.AreEqual(atFailure, Volatile.Read(ref calls));
        }

        // The library holds a pointer to the binding's callback from the open on: a full
        // collection between registering and the first message must not free it.
        private static void TheCallbackSurvivesAFullCollection()
        {
            using (var board = library.OpenBoard(0))
            {
                var got = new List<int>();
                board.MessageReceived += (sender, e) => { lock (got) got.Add(e.Message.Value); };
                for (int i = 0; i < 3; ++i)
                {
                    GC.Collect(GC.MaxGeneration, GCCollectionMode.Forced);
                    GC.WaitForPendingFinalizers();
                }
                board.SendByte(5, 0x55);
                Assert.IsTrue(WaitUntil(() => { lock (got) return got.Count == 1; }));
                Assert.AreEqual(0x55, got[0]);
            }
        }

        private static int OpenFiles()
        {
            return Directory.Exists("/proc/self/fd") ? Directory.GetFiles("/proc/self/fd").Length
                                                     : Process.GetCurrentProcess().HandleCount;
        }

        private static long ResidentBytes()
        {
            var process = Process.GetCurrentProcess();
            process.Refresh();
            return process.WorkingSet64;
        }

        // A million numbered messages through the event, every one checked: afterwards the process
        // has no more handles or memory than before (after a first run of the same stream has
        // brought the library's threads into the runtime and the collector to its working size).
        private static void AMillionMessagesWithoutGrowth()
        {
            const int total = 1000000;
            string file = BoardFile("{\"boards\": [{\"id\": \"0x04038089\", \"serial\": \"CVM00001\", " +
                                    "\"description\": \"Million board\", \"behaviour\": \"silent\"}]}");
            Sim.Reset(library, file);
            File.Delete(file);
            using (var board = library.OpenBoard(0))
            {
                long received = 0, wrong = 0;
                board.MessageReceived += (sender, e) =>
                {
                    long n = received;
                    if (e.Message.Data.Length != 1 || e.Message.Value != (byte)n)
                    {
                        Interlocked.Increment(ref wrong);
                    }
                    Volatile.Write(ref received, n + 1);
                };
                var device = Sim.Device(board.Serial);
                Func<int, bool> stream = count =>
                {
                    Volatile.Write(ref received, 0);
                    device.Stream(new[] { 0 }, count: (ulong)count);
                    return WaitUntil(() => Volatile.Read(ref received) == count, 120);
                };
                Assert.IsTrue(stream(total / 4), "received " + Volatile.Read(ref received));
                GC.Collect();
                GC.WaitForPendingFinalizers();
                long memory = GC.GetTotalMemory(true), resident = ResidentBytes();
                int files = OpenFiles();
                Assert.IsTrue(stream(total), "received " + Volatile.Read(ref received));
                Assert.AreEqual(0, Interlocked.Read(ref wrong));
                long grown = GC.GetTotalMemory(true) - memory, residentGrown = ResidentBytes() - resident;
                Console.WriteLine("a million messages: managed memory {0:+#;-#;0} bytes, resident {1:+#;-#;0} bytes, " +
                                  "open files {2} before, {3} after", grown, residentGrown, files, OpenFiles());
                // A byte kept per message would be a megabyte.
                Assert.Less(grown, 256 * 1024, "managed memory grew by " + grown + " bytes");
                Assert.Less(residentGrown, 1024 * 1024, "the resident set grew by " + residentGrown + " bytes");
                Assert.AreEqual(files, OpenFiles(), "open files");
            }
        }

        private static void ADisposedLibrary()
        {
            var board = library.OpenBoard(0);
            library.Dispose();
            Assert.IsTrue(library.IsClosed);
            Throws<BoardClosedException>(() => board.SendByte(0, 1), "the library is closed");
            Throws<BoardClosedException>(() => library.OpenBoard(0), "the library is closed");
            Throws<BoardClosedException>(() => library.Refresh(), "the library is closed");
            Throws<BoardClosedException>(() => { var text = library.LastError; }, "the library is closed");
            Assert.IsFalse(board.IsOpen);
            Assert.IsFalse(Sim.Device("CV000101B").IsOpen);
            library = Sim.Open(null, Fast); // the rows after this one
        }
    }
}
