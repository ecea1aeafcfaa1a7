// Corvane for .NET: the library's 28 functions as a Library and its Boards.
//
//   using (var library = new Library())
//   using (var board = library.OpenBoard(0))
//   using (var received = board.Messages())
//   {
//       board.SendBlock(2, Encoding.ASCII.GetBytes("Hello"));
//       Console.WriteLine(received.Take(TimeSpan.FromSeconds(2)));
//   }
//
// The C library is one per process: its state is global and its threads run until the process
// ends, so one Library may be open at a time. The library addresses one "active board" at a time;
// every operation of a Board selects its board and acts on it under one lock for the whole
// process, so boards may be used side by side from several threads.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Threading;

namespace Corvane
{
    /// <summary>A failure of the library: its last-error text.</summary>
    public class CorvaneException : Exception
    {
        public CorvaneException(string message) : base(message) { }
    }

    /// <summary>The board, or the library it belongs to, is closed.</summary>
    public class BoardClosedException : CorvaneException
    {
        public BoardClosedException(string message) : base(message) { }
    }

    public enum MessageKind { Trigger, Byte, Block, None }

    /// <summary>One message of a board. <see cref="Data"/> is a copy, yours to keep.</summary>
    public sealed class Message
    {
        internal Message(int board, int channel, MessageKind kind, byte command, byte value, byte[] data)
        {
            Board = board;
            Channel = channel;
            Kind = kind;
            Command = command;
            Value = value;
            Data = data;
        }

        /// <summary>The board's device index.</summary>
        public int Board { get; private set; }
        public int Channel { get; private set; }
        public MessageKind Kind { get; private set; }
        /// <summary>The command byte, e.g. 0xD3.</summary>
        public byte Command { get; private set; }
        /// <summary>The trigger value, or the single byte; 0 for a block.</summary>
        public byte Value { get; private set; }
        /// <summary>The bytes; empty for a trigger.</summary>
        public byte[] Data { get; private set; }

        public static MessageKind KindOf(uint command)
        {
            return (command & 0x08) != 0 ? MessageKind.Trigger
                 : (command & 0x10) != 0 ? MessageKind.Byte
                 : (command & 0x20) != 0 ? MessageKind.Block : MessageKind.None;
        }

        public override string ToString()
        {
            string shown = Kind == MessageKind.Trigger ? string.Format("value=0x{0:X2}", Value)
                                                       : "data=" + BitConverter.ToString(Data).Replace('-', ' ');
            return string.Format("Message(board={0}, channel={1}, {2} 0x{3:X2}, {4})", Board, Channel,
                                 Kind.ToString().ToLowerInvariant(), Command, shown);
        }
    }

    public sealed class MessageEventArgs : EventArgs
    {
        internal MessageEventArgs(Message message) { Message = message; }
        public Message Message { get; private set; }
    }

    /// <summary>A board as the library lists it.</summary>
    public sealed class BoardInfo
    {
        internal BoardInfo(int index, string serial, string name)
        {
            Index = index;
            Serial = serial;
            Name = name;
        }
        public int Index { get; private set; }
        public string Serial { get; private set; }
        public string Name { get; private set; }
        public override string ToString() { return string.Format("{0}: {1} \"{2}\"", Index, Serial, Name); }
    }

    /// <summary>The receive settings the library reads once when it opens (null: the library's
    /// default, or what the environment already says).</summary>
    public sealed class LibraryOptions
    {
        /// <summary>"fast" (batched reads, idle wait, latency 2 ms, reconnecting) or "default".</summary>
        public string Profile { get; set; }
        /// <summary>"batched" or "default".</summary>
        public string Rx { get; set; }
        /// <summary>"wait" or "spin".</summary>
        public string Idle { get; set; }
        /// <summary>1 to 255 ms.</summary>
        public int? LatencyMs { get; set; }
        /// <summary>"auto" or "off".</summary>
        public string Reconnect { get; set; }
        /// <summary>The D2XX driver the library binds: "vendor" (the default), "open" (Corvane's own
        /// driver, Linux) or the path of a driver file.</summary>
        public string Driver { get; set; }
        /// <summary>The library writes Corvane.log in the current folder.</summary>
        public bool Debug { get; set; }
    }

    /// <summary>The open library, and the boards it lists. Disposing it closes the boards it opened.</summary>
    public sealed class Library : IDisposable
    {
        // Every call into the library is made under it: "select this board, then act on the
        // active board" is one step for every thread of the process.
        internal static readonly object ProcessLock = new object();
        private static Library openLibrary; // under ProcessLock
        private static bool exitHandled;    // under ProcessLock

        private readonly List<Board> boards = new List<Board>();
        private List<BoardInfo> list = new List<BoardInfo>();
        private bool open;

        public Library() : this(null) { }

        public Library(LibraryOptions options)
        {
            options = options ?? new LibraryOptions();
            var variables = Validated(options);
            lock (ProcessLock)
            {
                if (openLibrary != null)
                {
                    throw new CorvaneException("the library is already open in this process; close it first");
                }
                var previous = new Dictionary<string, string>();
                foreach (var variable in variables)
                {
                    previous[variable.Key] = Environment.GetEnvironmentVariable(variable.Key);
                    NativeEnvironment.Set(variable.Key, variable.Value);
                }
                Native.Open(0, 0, 0);
                Modules.Pin(Native.LibraryName); // its threads run until the process ends
                foreach (var variable in previous)
                {
                    NativeEnvironment.Set(variable.Key, variable.Value);
                }
                openLibrary = this;
                open = true;
                if (!exitHandled)
                {
                    // The library's threads outlive the runtime: its boards are closed while the
                    // runtime can still take their last messages.
                    exitHandled = true;
                    AppDomain.CurrentDomain.ProcessExit += (sender, e) => CloseAtExit();
                }
                if (options.Debug)
                {
                    Native.SetDebugMode(1);
                }
                RefreshLocked();
            }
        }

        public string Name { get { return Text(Native.GetName()); } }
        public string Version { get { return Text(Native.GetVersionString()); } }
        public string InterfaceVersion { get { return Text(Native.GetInterfaceVersion()); } }

        /// <summary>The library's last-error text, without its line end.</summary>
        public string LastError
        {
            get
            {
                CheckOpen();
                return LastErrorText();
            }
        }

        public bool IsClosed { get { return !open; } }

        /// <summary>Debug mode: the library writes every step to Corvane.log in the current folder.</summary>
        public void SetDebug(bool on)
        {
            lock (ProcessLock)
            {
                CheckOpen();
                Native.SetDebugMode(on ? 1 : 0);
            }
        }

        /// <summary>The boards of the last listing.</summary>
        public IList<BoardInfo> Boards
        {
            get
            {
                lock (ProcessLock)
                {
                    CheckOpen();
                    return list.AsReadOnly();
                }
            }
        }

        /// <summary>Lists the boards again. The library closes every open board and forgets its
        /// callbacks when it lists, so the boards of this library are closed first.</summary>
        public IList<BoardInfo> Refresh()
        {
            CloseBoards();
            lock (ProcessLock)
            {
                CheckOpen();
                RefreshLocked();
                return list.AsReadOnly();
            }
        }

        /// <summary>The listed board with that index, opened. A handler given here is on the
        /// board's <see cref="Board.MessageReceived"/> event from before the open, so it sees the
        /// first message of a board that sends as soon as it opens.</summary>
        public Board OpenBoard(int index, EventHandler<MessageEventArgs> onMessage = null)
        {
            return Open(info => info.Index == index, index.ToString(), onMessage);
        }

        /// <summary>The listed board with that serial number, opened (a handler as above).</summary>
        public Board OpenBoard(string serial, EventHandler<MessageEventArgs> onMessage = null)
        {
            if (serial == null)
            {
                throw new ArgumentNullException("serial", "a board is named by its index or its serial number, not null");
            }
            return Open(info => info.Serial == serial, "'" + serial + "'", onMessage);
        }

        /// <summary>Closes the boards this library opened, then the library. Closing twice does nothing.</summary>
        public void Dispose()
        {
            lock (ProcessLock)
            {
                if (!open)
                {
                    return;
                }
            }
            foreach (var board in OpenBoards())
            {
                try
                {
                    board.Close();
                }
                catch (CorvaneException)
                {
                    // the library closes all the same
                }
            }
            lock (ProcessLock)
            {
                open = false;
                Native.Close();
                openLibrary = null;
            }
        }

        public void Close() { Dispose(); }

        private static void CloseAtExit()
        {
            Library library;
            lock (ProcessLock)
            {
                library = openLibrary;
            }
            if (library != null)
            {
                library.Dispose();
            }
        }

        // Closes the boards this library opened.
        internal void CloseBoards()
        {
            foreach (var board in OpenBoards())
            {
                board.Close();
            }
        }

        internal bool IsOpenLocked { get { return open; } }

        internal void CheckOpen()
        {
            if (!open)
            {
                throw new BoardClosedException("the library is closed");
            }
        }

        internal static string LastErrorText()
        {
            return Text(Native.GetLastError()).TrimEnd('\r', '\n');
        }

        internal static string Text(IntPtr text)
        {
            return text == IntPtr.Zero ? "" : Marshal.PtrToStringAnsi(text);
        }

        internal void Forget(Board board)
        {
            boards.Remove(board);
        }

        private List<Board> OpenBoards()
        {
            lock (ProcessLock)
            {
                return new List<Board>(boards);
            }
        }

        private void RefreshLocked()
        {
            int count = Native.QueryDevices();
            var listed = new List<BoardInfo>();
            for (int i = 0; i < count; ++i)
            {
                listed.Add(new BoardInfo(i, Text(Native.GetDeviceSerial(i)), Text(Native.GetDeviceName(i))));
            }
            list = listed;
        }

        private Board Open(Predicate<BoardInfo> match, string named, EventHandler<MessageEventArgs> onMessage)
        {
            lock (ProcessLock)
            {
                CheckOpen();
                BoardInfo info = list.Find(match);
                if (info == null)
                {
                    var serials = list.ConvertAll(b => b.Serial);
                    throw new ArgumentException(string.Format("no board {0} among the {1} listed ({2})", named, list.Count,
                                                              serials.Count == 0 ? "none" : string.Join(", ", serials)));
                }
                if (boards.Exists(b => b.Index == info.Index))
                {
                    throw new CorvaneException(string.Format("board {0} ({1}) is open already; one Board object owns it",
                                                             info.Index, info.Serial));
                }
                // The board and its handler are in place, and the trampoline is the record's
                // general callback, before the open: a board may send the moment it opens. The
                // library calls the trampoline for every message of the board.
                var board = new Board(this, info, onMessage);
                if (Native.SelectActiveDeviceByIndex(info.Index) == 0 || Native.RegisterReadCallback(Receiver.Trampoline) == 0 ||
                    Native.OpenDeviceByIndex(info.Index) == 0)
                {
                    string reason = LastErrorText();
                    board.Retire();
                    throw new CorvaneException(reason);
                }
                boards.Add(board);
                return board;
            }
        }

        private static readonly string[][] Settings =
        {
            new[] { "CORVANE_PROFILE", "profile", "fast", "default" },
            new[] { "CORVANE_RX", "rx", "batched", "default" },
            new[] { "CORVANE_IDLE", "idle", "wait", "spin" },
            new[] { "CORVANE_RECONNECT", "reconnect", "auto", "off" },
        };

        private static Dictionary<string, string> Validated(LibraryOptions options)
        {
            var values = new Dictionary<string, string>();
            var given = new[] { options.Profile, options.Rx, options.Idle, options.Reconnect };
            for (int i = 0; i < Settings.Length; ++i)
            {
                if (given[i] == null)
                {
                    continue;
                }
                if (given[i] != Settings[i][2] && given[i] != Settings[i][3])
                {
                    throw new ArgumentException(string.Format("{0} must be one of {1}, {2}, not '{3}'", Settings[i][1],
                                                              Settings[i][2], Settings[i][3], given[i]));
                }
                values[Settings[i][0]] = given[i];
            }
            string driver = options.Driver;
            if (driver != null)
            {
                // A driver's file, as the library tells one: a path separator, or a name ending in .so or .dll.
                bool file = driver.IndexOfAny(new[] { '/', '\\' }) >= 0 || driver.EndsWith(".so", StringComparison.Ordinal) ||
                            driver.EndsWith(".dll", StringComparison.Ordinal);
                if (!file && driver != "vendor" && driver != "open")
                {
                    throw new ArgumentException("driver must be vendor, open or the path of a D2XX driver, not '" + driver +
                                                "'");
                }
                values["CORVANE_DRIVER"] = driver;
            }
            if (options.LatencyMs.HasValue)
            {
                if (options.LatencyMs < 1 || options.LatencyMs > 255)
                {
                    throw new ArgumentException("latencyMs must be a whole number of milliseconds from 1 to 255, not " +
                                                options.LatencyMs);
                }
                values["CORVANE_LATENCY_MS"] = options.LatencyMs.ToString();
            }
            return values;
        }
    }

    // Sets the environment the library itself reads (the C runtime's copy: .NET's own does not
    // reach it on every runtime).
    internal static class NativeEnvironment
    {
        [DllImport("libc", EntryPoint = "setenv")]
        private static extern int setenv([MarshalAs(UnmanagedType.LPStr)] string name,
                                         [MarshalAs(UnmanagedType.LPStr)] string value, int overwrite);

        [DllImport("libc", EntryPoint = "unsetenv")]
        private static extern int unsetenv([MarshalAs(UnmanagedType.LPStr)] string name);

        [DllImport("msvcrt.dll", EntryPoint = "_putenv_s", CallingConvention = CallingConvention.Cdecl)]
        private static extern int putenv_s([MarshalAs(UnmanagedType.LPStr)] string name,
                                           [MarshalAs(UnmanagedType.LPStr)] string value);

        internal static void Set(string name, string value)
        {
            Environment.SetEnvironmentVariable(name, value);
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
            {
                putenv_s(name, value ?? "");
            }
            else if (value == null)
            {
                unsetenv(name);
            }
            else
            {
                setenv(name, value, 1);
            }
        }
    }
}
