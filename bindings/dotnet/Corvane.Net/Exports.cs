// Written by bindings/dotnet/declarations.py; edit the list there, not this file.
// The library's 28 exports, once per file the library comes as, and Native, which calls
// the one this process loads: libcorvane.so.1 on Linux, Corvane32.dll or Corvane64.dll by
// IntPtr.Size on Windows. Every export and the read callback are cdecl under plain names.
using System;
using System.Runtime.InteropServices;

namespace Corvane
{
    // Receives one message of a board: (board index, channel, command byte, length, the bytes,
    // length again), on the library's threads.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate int ReadCallback(int deviceIndex, int channel, uint commandByte, uint length, IntPtr data, uint dataLength);

    internal static class LinuxExports
    {
        private const string L = "libcorvane.so.1";
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_Open(int value1, int value2, int value3);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_Close();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] [return: MarshalAs(UnmanagedType.I1)] internal static extern bool NRV_CV_Initialize();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern void NRV_CV_Release();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CheckCompatibility();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetName();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetVersionString();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern void NRV_CV_GetVersionControl(out ushort major, out ushort minor, out ushort revision, out ushort build);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetInterfaceVersion();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetLastError();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SetDebugMode(int mode);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_QueryDevices();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetDeviceName(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetDeviceSerial(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SelectActiveDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SelectActiveDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_OpenDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_OpenDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CloseDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CloseDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendTrigger(byte trigger);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendByte(uint address, byte value);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendBlock(uint address, byte[] block, uint length);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendTransferControlByte(byte address, byte value);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_RegisterReadCallback(ReadCallback callback);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_RegisterReadCallbackForChannel(ReadCallback callback, int channel);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_LEDBlinky(uint delayMs, int repeats, IntPtr sequence, int length);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_PerformSelfTest();
    }

    internal static class Windows32Exports
    {
        private const string L = "Corvane32.dll";
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_Open(int value1, int value2, int value3);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_Close();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] [return: MarshalAs(UnmanagedType.I1)] internal static extern bool NRV_CV_Initialize();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern void NRV_CV_Release();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CheckCompatibility();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetName();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetVersionString();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern void NRV_CV_GetVersionControl(out ushort major, out ushort minor, out ushort revision, out ushort build);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetInterfaceVersion();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetLastError();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SetDebugMode(int mode);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_QueryDevices();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetDeviceName(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetDeviceSerial(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SelectActiveDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SelectActiveDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_OpenDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_OpenDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CloseDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CloseDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendTrigger(byte trigger);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendByte(uint address, byte value);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendBlock(uint address, byte[] block, uint length);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendTransferControlByte(byte address, byte value);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_RegisterReadCallback(ReadCallback callback);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_RegisterReadCallbackForChannel(ReadCallback callback, int channel);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_LEDBlinky(uint delayMs, int repeats, IntPtr sequence, int length);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_PerformSelfTest();
    }

    internal static class Windows64Exports
    {
        private const string L = "Corvane64.dll";
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_Open(int value1, int value2, int value3);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_Close();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] [return: MarshalAs(UnmanagedType.I1)] internal static extern bool NRV_CV_Initialize();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern void NRV_CV_Release();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CheckCompatibility();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetName();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetVersionString();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern void NRV_CV_GetVersionControl(out ushort major, out ushort minor, out ushort revision, out ushort build);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetInterfaceVersion();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetLastError();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SetDebugMode(int mode);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_QueryDevices();
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetDeviceName(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr NRV_CV_GetDeviceSerial(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SelectActiveDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SelectActiveDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_OpenDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_OpenDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CloseDeviceByIndex(int deviceIndex);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_CloseDeviceByName([MarshalAs(UnmanagedType.LPStr)] string name);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendTrigger(byte trigger);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendByte(uint address, byte value);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendBlock(uint address, byte[] block, uint length);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_SendTransferControlByte(byte address, byte value);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_RegisterReadCallback(ReadCallback callback);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_RegisterReadCallbackForChannel(ReadCallback callback, int channel);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_LEDBlinky(uint delayMs, int repeats, IntPtr sequence, int length);
        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] internal static extern int NRV_CV_PerformSelfTest();
    }

    internal static class Native
    {
        // 0: Linux, 1: 32-bit Windows, 2: 64-bit Windows.
        private static readonly int Which = Environment.OSVersion.Platform != PlatformID.Win32NT ? 0 : IntPtr.Size == 8 ? 2 : 1;

        internal static string LibraryName
        {
            get { return Which == 0 ? "libcorvane.so.1" : Which == 1 ? "Corvane32.dll" : "Corvane64.dll"; }
        }

        internal static int Open(int value1, int value2, int value3)
        {
            return Which == 0 ? LinuxExports.NRV_CV_Open(value1, value2, value3) : Which == 1 ? Windows32Exports.NRV_CV_Open(value1, value2, value3) : Windows64Exports.NRV_CV_Open(value1, value2, value3);
        }
        internal static int Close()
        {
            return Which == 0 ? LinuxExports.NRV_CV_Close() : Which == 1 ? Windows32Exports.NRV_CV_Close() : Windows64Exports.NRV_CV_Close();
        }
        internal static bool Initialize()
        {
            return Which == 0 ? LinuxExports.NRV_CV_Initialize() : Which == 1 ? Windows32Exports.NRV_CV_Initialize() : Windows64Exports.NRV_CV_Initialize();
        }
        internal static void Release()
        {
            if (Which == 0) LinuxExports.NRV_CV_Release(); else if (Which == 1) Windows32Exports.NRV_CV_Release(); else Windows64Exports.NRV_CV_Release();
        }
        internal static int CheckCompatibility()
        {
            return Which == 0 ? LinuxExports.NRV_CV_CheckCompatibility() : Which == 1 ? Windows32Exports.NRV_CV_CheckCompatibility() : Windows64Exports.NRV_CV_CheckCompatibility();
        }
        internal static IntPtr GetName()
        {
            return Which == 0 ? LinuxExports.NRV_CV_GetName() : Which == 1 ? Windows32Exports.NRV_CV_GetName() : Windows64Exports.NRV_CV_GetName();
        }
        internal static IntPtr GetVersionString()
        {
            return Which == 0 ? LinuxExports.NRV_CV_GetVersionString() : Which == 1 ? Windows32Exports.NRV_CV_GetVersionString() : Windows64Exports.NRV_CV_GetVersionString();
        }
        internal static void GetVersionControl(out ushort major, out ushort minor, out ushort revision, out ushort build)
        {
            if (Which == 0) LinuxExports.NRV_CV_GetVersionControl(out major, out minor, out revision, out build); else if (Which == 1) Windows32Exports.NRV_CV_GetVersionControl(out major, out minor, out revision, out build); else Windows64Exports.NRV_CV_GetVersionControl(out major, out minor, out revision, out build);
        }
        internal static IntPtr GetInterfaceVersion()
        {
            return Which == 0 ? LinuxExports.NRV_CV_GetInterfaceVersion() : Which == 1 ? Windows32Exports.NRV_CV_GetInterfaceVersion() : Windows64Exports.NRV_CV_GetInterfaceVersion();
        }
        internal static IntPtr GetLastError()
        {
            return Which == 0 ? LinuxExports.NRV_CV_GetLastError() : Which == 1 ? Windows32Exports.NRV_CV_GetLastError() : Windows64Exports.NRV_CV_GetLastError();
        }
        internal static int SetDebugMode(int mode)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SetDebugMode(mode) : Which == 1 ? Windows32Exports.NRV_CV_SetDebugMode(mode) : Windows64Exports.NRV_CV_SetDebugMode(mode);
        }
        internal static int QueryDevices()
        {
            return Which == 0 ? LinuxExports.NRV_CV_QueryDevices() : Which == 1 ? Windows32Exports.NRV_CV_QueryDevices() : Windows64Exports.NRV_CV_QueryDevices();
        }
        internal static IntPtr GetDeviceName(int deviceIndex)
        {
            return Which == 0 ? LinuxExports.NRV_CV_GetDeviceName(deviceIndex) : Which == 1 ? Windows32Exports.NRV_CV_GetDeviceName(deviceIndex) : Windows64Exports.NRV_CV_GetDeviceName(deviceIndex);
        }
        internal static IntPtr GetDeviceSerial(int deviceIndex)
        {
            return Which == 0 ? LinuxExports.NRV_CV_GetDeviceSerial(deviceIndex) : Which == 1 ? Windows32Exports.NRV_CV_GetDeviceSerial(deviceIndex) : Windows64Exports.NRV_CV_GetDeviceSerial(deviceIndex);
        }
        internal static int SelectActiveDeviceByIndex(int deviceIndex)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SelectActiveDeviceByIndex(deviceIndex) : Which == 1 ? Windows32Exports.NRV_CV_SelectActiveDeviceByIndex(deviceIndex) : Windows64Exports.NRV_CV_SelectActiveDeviceByIndex(deviceIndex);
        }
        internal static int SelectActiveDeviceByName(string name)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SelectActiveDeviceByName(name) : Which == 1 ? Windows32Exports.NRV_CV_SelectActiveDeviceByName(name) : Windows64Exports.NRV_CV_SelectActiveDeviceByName(name);
        }
        internal static int OpenDeviceByIndex(int deviceIndex)
        {
            return Which == 0 ? LinuxExports.NRV_CV_OpenDeviceByIndex(deviceIndex) : Which == 1 ? Windows32Exports.NRV_CV_OpenDeviceByIndex(deviceIndex) : Windows64Exports.NRV_CV_OpenDeviceByIndex(deviceIndex);
        }
        internal static int OpenDeviceByName(string name)
        {
            return Which == 0 ? LinuxExports.NRV_CV_OpenDeviceByName(name) : Which == 1 ? Windows32Exports.NRV_CV_OpenDeviceByName(name) : Windows64Exports.NRV_CV_OpenDeviceByName(name);
        }
        internal static int CloseDeviceByIndex(int deviceIndex)
        {
            return Which == 0 ? LinuxExports.NRV_CV_CloseDeviceByIndex(deviceIndex) : Which == 1 ? Windows32Exports.NRV_CV_CloseDeviceByIndex(deviceIndex) : Windows64Exports.NRV_CV_CloseDeviceByIndex(deviceIndex);
        }
        internal static int CloseDeviceByName(string name)
        {
            return Which == 0 ? LinuxExports.NRV_CV_CloseDeviceByName(name) : Which == 1 ? Windows32Exports.NRV_CV_CloseDeviceByName(name) : Windows64Exports.NRV_CV_CloseDeviceByName(name);
        }
        internal static int SendTrigger(byte trigger)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SendTrigger(trigger) : Which == 1 ? Windows32Exports.NRV_CV_SendTrigger(trigger) : Windows64Exports.NRV_CV_SendTrigger(trigger);
        }
        internal static int SendByte(uint address, byte value)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SendByte(address, value) : Which == 1 ? Windows32Exports.NRV_CV_SendByte(address, value) : Windows64Exports.NRV_CV_SendByte(address, value);
        }
        internal static int SendBlock(uint address, byte[] block, uint length)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SendBlock(address, block, length) : Which == 1 ? Windows32Exports.NRV_CV_SendBlock(address, block, length) : Windows64Exports.NRV_CV_SendBlock(address, block, length);
        }
        internal static int SendTransferControlByte(byte address, byte value)
        {
            return Which == 0 ? LinuxExports.NRV_CV_SendTransferControlByte(address, value) : Which == 1 ? Windows32Exports.NRV_CV_SendTransferControlByte(address, value) : Windows64Exports.NRV_CV_SendTransferControlByte(address, value);
        }
        internal static int RegisterReadCallback(ReadCallback callback)
        {
            return Which == 0 ? LinuxExports.NRV_CV_RegisterReadCallback(callback) : Which == 1 ? Windows32Exports.NRV_CV_RegisterReadCallback(callback) : Windows64Exports.NRV_CV_RegisterReadCallback(callback);
        }
        internal static int RegisterReadCallbackForChannel(ReadCallback callback, int channel)
        {
            return Which == 0 ? LinuxExports.NRV_CV_RegisterReadCallbackForChannel(callback, channel) : Which == 1 ? Windows32Exports.NRV_CV_RegisterReadCallbackForChannel(callback, channel) : Windows64Exports.NRV_CV_RegisterReadCallbackForChannel(callback, channel);
        }
        internal static int LEDBlinky(uint delayMs, int repeats, IntPtr sequence, int length)
        {
            return Which == 0 ? LinuxExports.NRV_CV_LEDBlinky(delayMs, repeats, sequence, length) : Which == 1 ? Windows32Exports.NRV_CV_LEDBlinky(delayMs, repeats, sequence, length) : Windows64Exports.NRV_CV_LEDBlinky(delayMs, repeats, sequence, length);
        }
        internal static int PerformSelfTest()
        {
            return Which == 0 ? LinuxExports.NRV_CV_PerformSelfTest() : Which == 1 ? Windows32Exports.NRV_CV_PerformSelfTest() : Windows64Exports.NRV_CV_PerformSelfTest();
        }
    }
}
