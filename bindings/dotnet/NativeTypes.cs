// The header's structures, field for field, with its packing: the device
// information block and the address are packed, the rest have the C layout.
using System;
using System.Runtime.InteropServices;

namespace Velkor
{
    /// <summary>The 348-byte device information block, in host order.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct TDROVAInfo
    {
        public uint fosIfcVersion;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)] public byte[] deviceName;
        public uint status;
        public uint serialNumber;
        public uint hwVersion;
        public uint autostartAppId;
        public uint reserved;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 260)] public byte[] devicePath;
    }

    /// <summary>An area-qualified address: 5 bytes, passed by value.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct TAddress
    {
        public uint address;
        public byte area;
    }

    /// <summary>A block of data for the device; Data points at Length bytes.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct BinBlock
    {
        public uint Address;
        public uint Length;
        public IntPtr Data;
    }

    /// <summary>A host string list for the repeated search, called on a library thread.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct TStrings
    {
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void ClearCall(IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void AddCall(IntPtr context, IntPtr line);

        public IntPtr context;
        public ClearCall clear;
        public AddCall add;
    }

    /// <summary>A host tree seen through opaque node handles, for the consistency check.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct TDCTree
    {
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate IntPtr FirstNodeCall(IntPtr context);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate IntPtr NodeCall(IntPtr context, IntPtr node);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void SetStateIndexCall(IntPtr context, IntPtr node, int stateIndex);

        public IntPtr context;
        public FirstNodeCall getFirstNode;
        public NodeCall getFirstChild;
        public NodeCall getNextSibling;
        public NodeCall getParent;
        public NodeCall getData;
        public SetStateIndexCall setStateIndex;
    }
}
