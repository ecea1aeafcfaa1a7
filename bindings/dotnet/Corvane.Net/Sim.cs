// Simulated boards for a program's own tests: the library pointed at the simulated D2XX driver,
// and what its boards know. The simulated driver is a D2XX driver of its own (libftd2xx.so,
// ftd2xx32.dll or ftd2xx64.dll) with a control API. Loaded here by its path before the library
// opens, it is the module the library then gets when it loads its driver by name. Never install
// it where a real driver is looked for.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Corvane
{
    public enum SimBehaviour { Silent = 0, Echo = 1, Registers = 2 }

    /// <summary>What a simulated board has taken in since it was added.</summary>
    public struct SimBoardCounts
    {
        public ulong Triggers;
        public ulong SingleBytes;
        public ulong Blocks;
        public ulong ControlSequences;
        public ulong ControlDiscarded;
    }

    /// <summary>The simulated driver: finding it, its boards, and the library opened on them.</summary>
    public static class Sim
    {
        /// <summary>Overrides where the simulated driver is looked for.</summary>
        public const string DriverVariable = "CORVANE_SIM_DRIVER";

        private static readonly object LoadLock = new object();
        private static SimDriver driver;

        /// <summary>The path of the loaded simulated driver.</summary>
        public static string DriverPath { get { return Driver.Path; } }

        /// <summary>Opens the library on simulated boards: those of a board file (JSON), or the
        /// default set (board 0 an echoing board, board 1 a streaming one).</summary>
        public static Library Open(string boardFile = null, LibraryOptions options = null)
        {
            Load(boardFile);
            // The simulated driver wins over a Driver option and CORVANE_DRIVER: the library binds it.
            var given = options ?? new LibraryOptions();
            return new Library(new LibraryOptions
            {
                Profile = given.Profile, Rx = given.Rx, Idle = given.Idle, LatencyMs = given.LatencyMs,
                Reconnect = given.Reconnect, Debug = given.Debug, Driver = DriverPath,
            });
        }

        /// <summary>Replaces every simulated board with those of a board file, or the default set.</summary>
        public static int Load(string boardFile = null)
        {
            var reason = new byte[512];
            int count = Driver.LoadBoards(boardFile, reason, (uint)reason.Length);
            if (count < 0)
            {
                throw new CorvaneException(Encoding.ASCII.GetString(reason).TrimEnd('\0'));
            }
            return count;
        }

        /// <summary>Gives an open library a fresh set of boards without a new process (its threads
        /// live as long as the process): closes every board, loads the boards again and lists them.
        /// A message still queued for an old board reaches no handler.</summary>
        public static IList<BoardInfo> Reset(Library library, string boardFile = null)
        {
            library.CloseBoards();
            Load(boardFile);
            return library.Refresh();
        }

        /// <summary>The simulated board with that serial number.</summary>
        public static SimBoard Device(string serial)
        {
            int number = Driver.FindDevice(serial);
            if (number < 0)
            {
                throw new CorvaneException("no simulated device has the serial number " + serial);
            }
            return new SimBoard(Driver, number);
        }

        /// <summary>The next <paramref name="count"/> calls of a driver entry point fail with
        /// <paramref name="status"/> (4: FT_IO_ERROR); a negative count fails every call until
        /// cleared with 0.</summary>
        public static void FailNext(string entryPoint, int count = 1, uint status = 4)
        {
            Driver.FailNext(entryPoint, count, status);
        }

        /// <summary>Driver handles given out and not closed (of every device).</summary>
        public static uint OpenHandles { get { return Driver.OpenHandles(); } }

        /// <summary>Where the simulated driver is looked for, in order.</summary>
        public static IList<string> Candidates()
        {
            string name = Environment.OSVersion.Platform != PlatformID.Win32NT ? "libftd2xx.so"
                        : IntPtr.Size == 8 ? "ftd2xx64.dll" : "ftd2xx32.dll";
            var found = new List<string>();
            string chosen = Environment.GetEnvironmentVariable(DriverVariable);
            if (!string.IsNullOrEmpty(chosen))
            {
                found.Add(chosen);
            }
            string here = Path.GetDirectoryName(typeof(Sim).Assembly.Location) ?? ".";
            found.Add(Path.Combine(Path.Combine(here, "sim"), name));
            found.Add(Path.Combine(here, name));
            foreach (string lib in new[] { "/usr/lib/x86_64-linux-gnu", "/usr/local/lib/x86_64-linux-gnu" })
            {
                found.Add(Path.Combine(lib, "corvane/sim/" + name));
            }
            return found;
        }

        private static SimDriver Driver
        {
            get
            {
                lock (LoadLock)
                {
                    if (driver == null)
                    {
                        var tried = Candidates();
                        string path = ((List<string>)tried).Find(File.Exists);
                        if (path == null)
                        {
                            throw new CorvaneException(string.Format("the simulated driver was not found; tried: {0} (set {1})",
                                                                     string.Join("; ", tried), DriverVariable));
                        }
                        driver = new SimDriver(Path.GetFullPath(path));
                    }
                    return driver;
                }
            }
        }
    }

    /// <summary>What one simulated board knows, and the knobs it has.</summary>
    public sealed class SimBoard
    {
        private readonly SimDriver driver;

        internal SimBoard(SimDriver driver, int number)
        {
            this.driver = driver;
            Number = number;
        }

        /// <summary>The device's number in the simulated driver's list.</summary>
        public int Number { get; private set; }

        /// <summary>The bytes register <paramref name="address"/> (0 to 15) holds: the last single
        /// byte or block sent to it.</summary>
        public byte[] Register(int address)
        {
            uint size = driver.Register(Number, (uint)address, null, 0);
            var bytes = new byte[size];
            driver.Register(Number, (uint)address, bytes, size);
            return bytes;
        }

        /// <summary>The four LEDs as a bit mask (bit i: LED i lit).</summary>
        public uint Leds { get { return driver.Leds(Number); } }

        /// <summary>The value of the last complete control sequence to the address, or null.</summary>
        public int? ControlValue(int address)
        {
            int value = driver.ControlValue(Number, (uint)address);
            return value < 0 ? (int?)null : value;
        }

        public SimBoardCounts Counts
        {
            get
            {
                IntPtr raw = Marshal.AllocHGlobal(Marshal.SizeOf(typeof(SimBoardCounts)));
                try
                {
                    driver.BoardCounts(Number, raw);
                    return (SimBoardCounts)Marshal.PtrToStructure(raw, typeof(SimBoardCounts));
                }
                finally
                {
                    Marshal.FreeHGlobal(raw);
                }
            }
        }

        public SimBehaviour Behaviour
        {
            get { return (SimBehaviour)driver.GetBehaviour(Number); }
            set { driver.SetBehaviour(Number, (int)value); }
        }

        /// <summary>Every byte the library wrote to the board, in order.</summary>
        public byte[] Written()
        {
            uint size = driver.WrittenSize(Number);
            var bytes = new byte[size];
            uint got = driver.CopyWritten(Number, bytes, size);
            Array.Resize(ref bytes, (int)got);
            return bytes;
        }

        public void ClearWritten() { driver.ClearWritten(Number); }

        /// <summary>Bytes the board sends to the host, as they are (headers included).</summary>
        public void Queue(byte[] bytes) { driver.QueueRx(Number, bytes, (uint)bytes.Length); }

        /// <summary>Starts numbered messages from the board (call it after the board is opened,
        /// since opening purges what the board has queued): single bytes on the channels of
        /// <paramref name="byteChannels"/>, blocks of <paramref name="blockLength"/> bytes on those
        /// of <paramref name="blockChannels"/>; <paramref name="rate"/> 0: as fast as the host
        /// reads; <paramref name="count"/> 0: endless.</summary>
        public void Stream(int[] byteChannels, int[] blockChannels = null, uint blockLength = 16, uint rate = 0,
                           ulong count = 0)
        {
            // The driver's SimStream: four 32-bit fields, then the 64-bit count.
            var settings = new int[6];
            foreach (int c in byteChannels ?? new int[0])
            {
                settings[0] |= 1 << c;
            }
            foreach (int c in blockChannels ?? new int[0])
            {
                settings[1] |= 1 << c;
            }
            settings[2] = (int)blockLength;
            settings[3] = (int)rate;
            settings[4] = unchecked((int)(count & 0xFFFFFFFF));
            settings[5] = (int)(count >> 32);
            IntPtr raw = Marshal.AllocHGlobal(settings.Length * 4);
            try
            {
                Marshal.Copy(settings, 0, raw, settings.Length);
                driver.SetStream(Number, raw);
            }
            finally
            {
                Marshal.FreeHGlobal(raw);
            }
        }

        public void StopStream() { driver.SetStream(Number, IntPtr.Zero); }
        public ulong StreamSent { get { return driver.StreamSent(Number); } }
        public void Unplug() { driver.Unplug(Number); }
        public void Replug() { driver.Replug(Number); }
        public bool IsOpen { get { return driver.IsOpen(Number) != 0; } }
    }

    // The simulated driver's control functions, found by name in the module loaded by its path.
    internal sealed class SimDriver
    {
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void VoidNone();
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint UintNone();
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int LoadBoardsCall([MarshalAs(UnmanagedType.LPStr)] string path, byte[] error, uint size);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int IntText([MarshalAs(UnmanagedType.LPStr)] string text);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void FailNextCall([MarshalAs(UnmanagedType.LPStr)] string entryPoint, int count, uint status);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void VoidDevice(int device);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int IntDevice(int device);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint UintDevice(int device);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate ulong UlongDevice(int device);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void VoidDeviceInt(int device, int value);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void VoidDevicePointer(int device, IntPtr pointer);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void VoidDeviceBytes(int device, byte[] bytes, uint count);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint UintDeviceBytes(int device, byte[] bytes, uint max);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int IntDeviceUint(int device, uint address);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint RegisterCall(int device, uint address, byte[] bytes, uint max);

        internal readonly string Path;
        internal readonly LoadBoardsCall LoadBoards;
        internal readonly IntText FindDevice;
        internal readonly FailNextCall FailNext;
        internal readonly UintNone OpenHandles;
        internal readonly RegisterCall Register;
        internal readonly UintDevice Leds, WrittenSize;
        internal readonly IntDeviceUint ControlValue;
        internal readonly VoidDevicePointer BoardCounts, SetStream;
        internal readonly IntDevice GetBehaviour, IsOpen;
        internal readonly VoidDeviceInt SetBehaviour;
        internal readonly UintDeviceBytes CopyWritten;
        internal readonly VoidDevice ClearWritten, Unplug, Replug;
        internal readonly VoidDeviceBytes QueueRx;
        internal readonly UlongDevice StreamSent;
        private readonly IntPtr module;

        internal SimDriver(string path)
        {
            Path = path;
            module = Modules.Load(path);
            if (Modules.Find(module, "sim_load_boards") == IntPtr.Zero)
            {
                throw new CorvaneException(path + " is not the simulated driver");
            }
            LoadBoards = Bind<LoadBoardsCall>("sim_load_boards");
            FindDevice = Bind<IntText>("sim_find_device");
            FailNext = Bind<FailNextCall>("sim_fail_next");
            OpenHandles = Bind<UintNone>("sim_open_handles");
            Register = Bind<RegisterCall>("sim_register");
            Leds = Bind<UintDevice>("sim_leds");
            WrittenSize = Bind<UintDevice>("sim_written_size");
            ControlValue = Bind<IntDeviceUint>("sim_control_value");
            BoardCounts = Bind<VoidDevicePointer>("sim_board_counts");
            SetStream = Bind<VoidDevicePointer>("sim_set_stream");
            GetBehaviour = Bind<IntDevice>("sim_behaviour");
            IsOpen = Bind<IntDevice>("sim_is_open");
            SetBehaviour = Bind<VoidDeviceInt>("sim_set_behaviour");
            CopyWritten = Bind<UintDeviceBytes>("sim_copy_written");
            ClearWritten = Bind<VoidDevice>("sim_clear_written");
            Unplug = Bind<VoidDevice>("sim_unplug");
            Replug = Bind<VoidDevice>("sim_replug");
            QueueRx = Bind<VoidDeviceBytes>("sim_queue_rx");
            StreamSent = Bind<UlongDevice>("sim_stream_sent");
        }

        private T Bind<T>(string name) where T : class
        {
            IntPtr function = Modules.Find(module, name);
            if (function == IntPtr.Zero)
            {
                throw new CorvaneException(Path + " lacks " + name);
            }
            return (T)(object)Marshal.GetDelegateForFunctionPointer(function, typeof(T));
        }
    }

    // Loading a module by its path, and finding a function in it.
    internal static class Modules
    {
        private const int RtldNow = 2;
        private const int RtldGlobal = 0x100;
        private const int RtldNoDelete = 0x1000;
        private const uint PinModule = 1; // GET_MODULE_HANDLE_EX_FLAG_PIN

        [DllImport("libdl.so.2")] private static extern IntPtr dlopen([MarshalAs(UnmanagedType.LPStr)] string path, int flags);
        [DllImport("libdl.so.2")] private static extern IntPtr dlsym(IntPtr module, [MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport("libdl.so.2")] private static extern IntPtr dlerror();
        [DllImport("kernel32.dll", SetLastError = true, CharSet = CharSet.Unicode)] private static extern IntPtr LoadLibraryW(string path);
        [DllImport("kernel32.dll", CharSet = CharSet.Ansi)] private static extern IntPtr GetProcAddress(IntPtr module, string name);
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode)] private static extern bool GetModuleHandleExW(uint flags, string name, out IntPtr module);

        private static bool IsWindows { get { return Environment.OSVersion.Platform == PlatformID.Win32NT; } }

        internal static IntPtr Load(string path)
        {
            IntPtr module = IsWindows ? LoadLibraryW(path) : dlopen(path, RtldNow | RtldGlobal | RtldNoDelete);
            if (module == IntPtr.Zero)
            {
                string why = IsWindows ? "Windows error " + Marshal.GetLastWin32Error() : Marshal.PtrToStringAnsi(dlerror());
                throw new CorvaneException("the simulated driver " + path + " cannot be loaded (" + why + ")");
            }
            return module;
        }

        // Keeps a loaded library in the process until it ends, whatever the runtime unloads when it
        // shuts down: the Corvane library's threads run its code (and the driver's) until then.
        internal static void Pin(string name)
        {
            try
            {
                IntPtr module;
                if (IsWindows)
                {
                    GetModuleHandleExW(PinModule, name, out module);
                }
                else
                {
                    dlopen(name, RtldNow | RtldNoDelete);
                }
            }
            catch (Exception)
            {
                // No loader to ask (another system): nothing more can be done here.
            }
        }

        internal static IntPtr Find(IntPtr module, string name)
        {
            return IsWindows ? GetProcAddress(module, name) : dlsym(module, name);
        }
    }
}
