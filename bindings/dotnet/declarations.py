#!/usr/bin/env python3
"""Writes Corvane.Net/Exports.cs: the library's 28 exports declared once per file name the library
comes as (libcorvane.so.1, Corvane32.dll, Corvane64.dll), and the class Native that calls the one
this process loads. A P/Invoke declaration names its library by a constant, so the three lists
cannot be one; they are written from the one list below. Run it after changing the list."""

import os
import re

EXPORTS = """
int NRV_CV_Open(int value1, int value2, int value3)
int NRV_CV_Close()
bool NRV_CV_Initialize()
void NRV_CV_Release()
int NRV_CV_CheckCompatibility()
IntPtr NRV_CV_GetName()
IntPtr NRV_CV_GetVersionString()
void NRV_CV_GetVersionControl(out ushort major, out ushort minor, out ushort revision, out ushort build)
IntPtr NRV_CV_GetInterfaceVersion()
IntPtr NRV_CV_GetLastError()
int NRV_CV_SetDebugMode(int mode)
int NRV_CV_QueryDevices()
IntPtr NRV_CV_GetDeviceName(int deviceIndex)
IntPtr NRV_CV_GetDeviceSerial(int deviceIndex)
int NRV_CV_SelectActiveDeviceByIndex(int deviceIndex)
int NRV_CV_SelectActiveDeviceByName(string name)
int NRV_CV_OpenDeviceByIndex(int deviceIndex)
int NRV_CV_OpenDeviceByName(string name)
int NRV_CV_CloseDeviceByIndex(int deviceIndex)
int NRV_CV_CloseDeviceByName(string name)
int NRV_CV_SendTrigger(byte trigger)
int NRV_CV_SendByte(uint address, byte value)
int NRV_CV_SendBlock(uint address, byte[] block, uint length)
int NRV_CV_SendTransferControlByte(byte address, byte value)
int NRV_CV_RegisterReadCallback(ReadCallback callback)
int NRV_CV_RegisterReadCallbackForChannel(ReadCallback callback, int channel)
int NRV_CV_LEDBlinky(uint delayMs, int repeats, IntPtr sequence, int length)
int NRV_CV_PerformSelfTest()
"""

LIBRARIES = [("LinuxExports", "libcorvane.so.1"), ("Windows32Exports", "Corvane32.dll"),
             ("Windows64Exports", "Corvane64.dll")]


def parse(line):
    match = re.match(r"(\w+) (\w+)\((.*)\)$", line)
    result, name, arguments = match.groups()
    parameters = [a.strip() for a in arguments.split(",") if a.strip()]
    return result, name, parameters


def marshalled(parameter):
    # Texts go as 8-bit, NUL-terminated strings; the bool result is the C++ one-byte bool.
    return "[MarshalAs(UnmanagedType.LPStr)] " + parameter if parameter.startswith("string ") else parameter


def main():
    exports = [parse(line) for line in EXPORTS.strip().splitlines()]
    out = ["// Written by bindings/dotnet/declarations.py; edit the list there, not this file.",
           "// The library's 28 exports, once per file the library comes as, and Native, which calls",
           "// the one this process loads: libcorvane.so.1 on Linux, Corvane32.dll or Corvane64.dll by",
           "// IntPtr.Size on Windows. Every export and the read callback are cdecl under plain names.",
           "using System;", "using System.Runtime.InteropServices;", "", "namespace Corvane", "{",
           "    // Receives one message of a board: (board index, channel, command byte, length, the bytes,",
           "    // length again), on the library's threads.",
           "    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]",
           "    internal delegate int ReadCallback(int deviceIndex, int channel, uint commandByte, uint length, "
           "IntPtr data, uint dataLength);", ""]
    for cls, library in LIBRARIES:
        out += ["    internal static class %s" % cls, "    {", '        private const string L = "%s";' % library]
        for result, name, parameters in exports:
            returns = "[return: MarshalAs(UnmanagedType.I1)] " if result == "bool" else ""
            out.append("        [DllImport(L, CallingConvention = CallingConvention.Cdecl)] %sinternal static extern "
                       "%s %s(%s);" % (returns, result, name, ", ".join(marshalled(p) for p in parameters)))
        out += ["    }", ""]
    out += ["    internal static class Native", "    {",
            "        // 0: Linux, 1: 32-bit Windows, 2: 64-bit Windows.",
            "        private static readonly int Which = Environment.OSVersion.Platform != PlatformID.Win32NT ? 0 "
            ": IntPtr.Size == 8 ? 2 : 1;", "",
            "        internal static string LibraryName",
            "        {",
            '            get { return Which == 0 ? "libcorvane.so.1" : Which == 1 ? "Corvane32.dll" : "Corvane64.dll"; }',
            "        }", ""]
    for result, name, parameters in exports:
        names = ", ".join(("out " if p.startswith("out ") else "") + p.split()[-1] for p in parameters)
        call = lambda cls: "%s.%s(%s)" % (cls, name, names)
        body = ("return " if result != "void" else "")
        out.append("        internal static %s %s(%s)" % (result, name[len("NRV_CV_"):], ", ".join(parameters)))
        out.append("        {")
        if result == "void":
            out.append("            if (Which == 0) %s; else if (Which == 1) %s; else %s;" % tuple(
                call(c) for c, _ in LIBRARIES))
        else:
            out.append("            %sWhich == 0 ? %s : Which == 1 ? %s : %s;" % ((body,) + tuple(
                call(c) for c, _ in LIBRARIES)))
        out.append("        }")
    out += ["    }", "}", ""]
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Corvane.Net", "Exports.cs")
    with open(path, "w", newline="\n") as file:
        file.write("\n".join(out))


if __name__ == "__main__":
    main()
