// The library's exports as they are: one declaration per entry point, cdecl,
// with the header's argument types. The name "doduzerez" loads doduzerez.dll
// on Windows and libdoduzerez.so elsewhere (libdoduzerez.so.0 under Mono,
// through Velkor.dll.config).
using System;
using System.Runtime.InteropServices;

namespace Velkor
{
    public static class Native
    {
        const string Library = "doduzerez";

        /// <summary>Receives each event pair on the library's notification thread.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void EventCallback(int a, int b);

        // Session
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Initialize(EventCallback callback, IntPtr window, uint message);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Close();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _IsConnected();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _GetRandomId();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr _GetConnectInfo();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte _IsInSubnet(IntPtr info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void _SetUdpPortToRegistry();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _GetUdpPortFromRegistry();

        // Errors
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr _GetErrorString(int code);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr _GetConnectErrorInfo();

        // Connect, search, addressing
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Connect(int serialNumber, int listIndex, byte mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Disconnect();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _FindDROVAs(int connectAfterSearch, int ignored, int unitMs);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _GetFoundDevices(IntPtr dst, int max);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _StartNetworkScanning(IntPtr list);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _StopNetworkScanning();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Address(TAddress address);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _CommRefresh();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void _DeviceClose();
        /// <summary>A 260-byte block that the caller frees with the C runtime's free().</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr _GetDeviceName();

        // Information queries
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _ReadInfo();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _FlashInfo();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _AppInfo(uint id);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _GetFlashSectors(byte[] dst, int max);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _IsFlashTableComplete();

        // Flash programming
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr _BinListCreate();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _BinListAdd(IntPtr list, ref BinBlock block);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void _BinListFree(IntPtr list);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Erase(byte sector);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Download(int target, IntPtr blocks);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _StopDownload();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _PrgData(ref BinBlock block);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Program(ulong address, int area);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _CheckSum(ulong address, uint length, byte checksum, int area);

        // Application control and serial number
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _StartApp(uint id);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _AutoStart(uint id);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Reset();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _Wrsn(uint sn);

        // Device information model and compatibility
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint _GetCompatibleFOSVersions();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _IsCompatibleFOSIfcVersion(uint version);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte _HasCompatibleFWVersion(uint version, uint appId);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _IsSupportedFwFeature(int feature);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int _SnConvertUint2Agt(uint value, byte[] text, int max);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void _GetHintAboutDROVA(int flags, IntPtr info, byte[] dst, int max);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void _ConsistencyCheck(ref TDCTree tree, IntPtr node, int stateIndex);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr _Test_Version_Compatibility(IntPtr module, byte[] dst, int max);
    }
}
