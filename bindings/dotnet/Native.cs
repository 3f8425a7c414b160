// The library's exports as they are: one method per entry point, cdecl,
// with the header's argument types. They call the library that
// LibraryLoader finds (VELKOR_LIBRARY, beside Velkor.dll, the system's search
// path) at the first call; none is found: LibraryNotFoundException, naming
// every place tried.
using System;
using System.Runtime.InteropServices;

namespace Velkor
{
    public static class Native
    {
        /// <summary>Receives each event pair on the library's notification thread.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void EventCallback(int a, int b);

        /// <summary>Loads the library now (calls load it otherwise): LibraryNotFoundException when no copy
        /// serves.</summary>
        public static void Load() => Bound();

        static Exports exports;

        static Exports Bound() => exports ?? (exports = new Exports(LibraryLoader.Load(Exports.Names)));

        // Session
        public static int _Initialize(EventCallback callback, IntPtr window, uint message) =>
            Bound().Initialize(callback, window, message);
        public static int _Close() => Bound().Close();
        public static int _IsConnected() => Bound().IsConnected();
        public static int _GetRandomId() => Bound().GetRandomId();
        public static IntPtr _GetConnectInfo() => Bound().GetConnectInfo();
        public static byte _IsInSubnet(IntPtr info) => Bound().IsInSubnet(info);
        public static void _SetUdpPortToRegistry() => Bound().SetUdpPortToRegistry();
        public static int _GetUdpPortFromRegistry() => Bound().GetUdpPortFromRegistry();

        // Errors
        public static IntPtr _GetErrorString(int code) => Bound().GetErrorString(code);
        public static IntPtr _GetConnectErrorInfo() => Bound().GetConnectErrorInfo();

        // Connect, search, addressing
        public static int _Connect(int serialNumber, int listIndex, byte mode) =>
            Bound().Connect(serialNumber, listIndex, mode);
        public static int _Disconnect() => Bound().Disconnect();
        public static int _FindDROVAs(int connectAfterSearch, int ignored, int unitMs) =>
            Bound().FindDROVAs(connectAfterSearch, ignored, unitMs);
        public static int _GetFoundDevices(IntPtr dst, int max) => Bound().GetFoundDevices(dst, max);
        public static int _StartNetworkScanning(IntPtr list) => Bound().StartNetworkScanning(list);
        public static int _StopNetworkScanning() => Bound().StopNetworkScanning();
        public static int _Address(TAddress address) => Bound().Address(address);
        public static int _CommRefresh() => Bound().CommRefresh();
        public static void _DeviceClose() => Bound().DeviceClose();
        /// <summary>A 260-byte block that the caller frees with the C runtime's free().</summary>
        public static IntPtr _GetDeviceName() => Bound().GetDeviceName();

        // Information queries
        public static int _ReadInfo() => Bound().ReadInfo();
        public static int _FlashInfo() => Bound().FlashInfo();
        public static int _AppInfo(uint id) => Bound().AppInfo(id);
        public static int _GetFlashSectors(byte[] dst, int max) => Bound().GetFlashSectors(dst, max);
        public static int _IsFlashTableComplete() => Bound().IsFlashTableComplete();

        // Flash programming
        public static IntPtr _BinListCreate() => Bound().BinListCreate();
        public static int _BinListAdd(IntPtr list, ref BinBlock block) => Bound().BinListAdd(list, ref block);
        public static void _BinListFree(IntPtr list) => Bound().BinListFree(list);
        public static int _Erase(byte sector) => Bound().Erase(sector);
        public static int _Download(int target, IntPtr blocks) => Bound().Download(target, blocks);
        public static int _StopDownload() => Bound().StopDownload();
        public static int _PrgData(ref BinBlock block) => Bound().PrgData(ref block);
        public static int _Program(ulong address, int area) => Bound().Program(address, area);
        public static int _CheckSum(ulong address, uint length, byte checksum, int area) =>
            Bound().CheckSum(address, length, checksum, area);

        // Application control and serial number
        public static int _StartApp(uint id) => Bound().StartApp(id);
        public static int _AutoStart(uint id) => Bound().AutoStart(id);
        public static int _Reset() => Bound().Reset();
        public static int _Wrsn(uint sn) => Bound().Wrsn(sn);

        // Device information model and compatibility
        public static uint _GetCompatibleFOSVersions() => Bound().GetCompatibleFOSVersions();
        public static int _IsCompatibleFOSIfcVersion(uint version) => Bound().IsCompatibleFOSIfcVersion(version);
        public static byte _HasCompatibleFWVersion(uint version, uint appId) =>
            Bound().HasCompatibleFWVersion(version, appId);
        public static int _IsSupportedFwFeature(int feature) => Bound().IsSupportedFwFeature(feature);
        public static int _SnConvertUint2Agt(uint value, byte[] text, int max) =>
            Bound().SnConvertUint2Agt(value, text, max);
        public static void _GetHintAboutDROVA(int flags, IntPtr info, byte[] dst, int max) =>
            Bound().GetHintAboutDROVA(flags, info, dst, max);
        public static void _ConsistencyCheck(ref TDCTree tree, IntPtr node, int stateIndex) =>
            Bound().ConsistencyCheck(ref tree, node, stateIndex);
        public static IntPtr _Test_Version_Compatibility(IntPtr module, byte[] dst, int max) =>
            Bound().Test_Version_Compatibility(module, dst, max);

        // One delegate type per entry point: the marshalling of each argument is that of its DllImport.
        sealed class Exports
        {
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int InitializeCall(EventCallback callback, IntPtr window, uint message);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int CloseCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int IsConnectedCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int GetRandomIdCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate IntPtr GetConnectInfoCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate byte IsInSubnetCall(IntPtr info);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate void SetUdpPortToRegistryCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int GetUdpPortFromRegistryCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate IntPtr GetErrorStringCall(int code);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate IntPtr GetConnectErrorInfoCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int ConnectCall(int serialNumber, int listIndex, byte mode);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int DisconnectCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int FindDROVAsCall(int connectAfterSearch, int ignored, int unitMs);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int GetFoundDevicesCall(IntPtr dst, int max);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int StartNetworkScanningCall(IntPtr list);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int StopNetworkScanningCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int AddressCall(TAddress address);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int CommRefreshCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate void DeviceCloseCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate IntPtr GetDeviceNameCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int ReadInfoCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int FlashInfoCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int AppInfoCall(uint id);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int GetFlashSectorsCall([In, Out] byte[] dst, int max);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int IsFlashTableCompleteCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate IntPtr BinListCreateCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int BinListAddCall(IntPtr list, ref BinBlock block);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate void BinListFreeCall(IntPtr list);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int EraseCall(byte sector);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int DownloadCall(int target, IntPtr blocks);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int StopDownloadCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int PrgDataCall(ref BinBlock block);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int ProgramCall(ulong address, int area);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int CheckSumCall(ulong address, uint length, byte checksum, int area);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int StartAppCall(uint id);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int AutoStartCall(uint id);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int ResetCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int WrsnCall(uint sn);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate uint GetCompatibleFOSVersionsCall();
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int IsCompatibleFOSIfcVersionCall(uint version);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate byte HasCompatibleFWVersionCall(uint version, uint appId);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int IsSupportedFwFeatureCall(int feature);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate int SnConvertUint2AgtCall(uint value, [In, Out] byte[] text, int max);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate void GetHintAboutDROVACall(int flags, IntPtr info, [In, Out] byte[] dst, int max);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate void ConsistencyCheckCall(ref TDCTree tree, IntPtr node, int stateIndex);
            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            public delegate IntPtr Test_Version_CompatibilityCall(IntPtr module, [In, Out] byte[] dst, int max);

            public static readonly string[] Names =
            {
                "_Initialize", "_Close", "_IsConnected", "_GetRandomId", "_GetConnectInfo", "_IsInSubnet",
                "_SetUdpPortToRegistry", "_GetUdpPortFromRegistry", "_GetErrorString", "_GetConnectErrorInfo",
                "_Connect", "_Disconnect", "_FindDROVAs", "_GetFoundDevices", "_StartNetworkScanning",
                "_StopNetworkScanning", "_Address", "_CommRefresh", "_DeviceClose", "_GetDeviceName", "_ReadInfo",
                "_FlashInfo", "_AppInfo", "_GetFlashSectors", "_IsFlashTableComplete", "_BinListCreate",
                "_BinListAdd", "_BinListFree", "_Erase", "_Download", "_StopDownload", "_PrgData", "_Program",
                "_CheckSum", "_StartApp", "_AutoStart", "_Reset", "_Wrsn", "_GetCompatibleFOSVersions",
                "_IsCompatibleFOSIfcVersion", "_HasCompatibleFWVersion", "_IsSupportedFwFeature",
                "_SnConvertUint2Agt", "_GetHintAboutDROVA", "_ConsistencyCheck", "_Test_Version_Compatibility",
            };

            public readonly InitializeCall Initialize;
            public readonly CloseCall Close;
            public readonly IsConnectedCall IsConnected;
            public readonly GetRandomIdCall GetRandomId;
            public readonly GetConnectInfoCall GetConnectInfo;
            public readonly IsInSubnetCall IsInSubnet;
            public readonly SetUdpPortToRegistryCall SetUdpPortToRegistry;
            public readonly GetUdpPortFromRegistryCall GetUdpPortFromRegistry;
            public readonly GetErrorStringCall GetErrorString;
            public readonly GetConnectErrorInfoCall GetConnectErrorInfo;
            public readonly ConnectCall Connect;
            public readonly DisconnectCall Disconnect;
            public readonly FindDROVAsCall FindDROVAs;
            public readonly GetFoundDevicesCall GetFoundDevices;
            public readonly StartNetworkScanningCall StartNetworkScanning;
            public readonly StopNetworkScanningCall StopNetworkScanning;
            public readonly AddressCall Address;
            public readonly CommRefreshCall CommRefresh;
            public readonly DeviceCloseCall DeviceClose;
            public readonly GetDeviceNameCall GetDeviceName;
            public readonly ReadInfoCall ReadInfo;
            public readonly FlashInfoCall FlashInfo;
            public readonly AppInfoCall AppInfo;
            public readonly GetFlashSectorsCall GetFlashSectors;
            public readonly IsFlashTableCompleteCall IsFlashTableComplete;
            public readonly BinListCreateCall BinListCreate;
            public readonly BinListAddCall BinListAdd;
            public readonly BinListFreeCall BinListFree;
            public readonly EraseCall Erase;
            public readonly DownloadCall Download;
            public readonly StopDownloadCall StopDownload;
            public readonly PrgDataCall PrgData;
            public readonly ProgramCall Program;
            public readonly CheckSumCall CheckSum;
            public readonly StartAppCall StartApp;
            public readonly AutoStartCall AutoStart;
            public readonly ResetCall Reset;
            public readonly WrsnCall Wrsn;
            public readonly GetCompatibleFOSVersionsCall GetCompatibleFOSVersions;
            public readonly IsCompatibleFOSIfcVersionCall IsCompatibleFOSIfcVersion;
            public readonly HasCompatibleFWVersionCall HasCompatibleFWVersion;
            public readonly IsSupportedFwFeatureCall IsSupportedFwFeature;
            public readonly SnConvertUint2AgtCall SnConvertUint2Agt;
            public readonly GetHintAboutDROVACall GetHintAboutDROVA;
            public readonly ConsistencyCheckCall ConsistencyCheck;
            public readonly Test_Version_CompatibilityCall Test_Version_Compatibility;

            public Exports(IntPtr library)
            {
                Initialize = Bind<InitializeCall>(library, "_Initialize");
                Close = Bind<CloseCall>(library, "_Close");
                IsConnected = Bind<IsConnectedCall>(library, "_IsConnected");
                GetRandomId = Bind<GetRandomIdCall>(library, "_GetRandomId");
                GetConnectInfo = Bind<GetConnectInfoCall>(library, "_GetConnectInfo");
                IsInSubnet = Bind<IsInSubnetCall>(library, "_IsInSubnet");
                SetUdpPortToRegistry = Bind<SetUdpPortToRegistryCall>(library, "_SetUdpPortToRegistry");
                GetUdpPortFromRegistry = Bind<GetUdpPortFromRegistryCall>(library, "_GetUdpPortFromRegistry");
                GetErrorString = Bind<GetErrorStringCall>(library, "_GetErrorString");
                GetConnectErrorInfo = Bind<GetConnectErrorInfoCall>(library, "_GetConnectErrorInfo");
                Connect = Bind<ConnectCall>(library, "_Connect");
                Disconnect = Bind<DisconnectCall>(library, "_Disconnect");
                FindDROVAs = Bind<FindDROVAsCall>(library, "_FindDROVAs");
                GetFoundDevices = Bind<GetFoundDevicesCall>(library, "_GetFoundDevices");
                StartNetworkScanning = Bind<StartNetworkScanningCall>(library, "_StartNetworkScanning");
                StopNetworkScanning = Bind<StopNetworkScanningCall>(library, "_StopNetworkScanning");
                Address = Bind<AddressCall>(library, "_Address");
                CommRefresh = Bind<CommRefreshCall>(library, "_CommRefresh");
                DeviceClose = Bind<DeviceCloseCall>(library, "_DeviceClose");
                GetDeviceName = Bind<GetDeviceNameCall>(library, "_GetDeviceName");
                ReadInfo = Bind<ReadInfoCall>(library, "_ReadInfo");
                FlashInfo = Bind<FlashInfoCall>(library, "_FlashInfo");
                AppInfo = Bind<AppInfoCall>(library, "_AppInfo");
                GetFlashSectors = Bind<GetFlashSectorsCall>(library, "_GetFlashSectors");
                IsFlashTableComplete = Bind<IsFlashTableCompleteCall>(library, "_IsFlashTableComplete");
                BinListCreate = Bind<BinListCreateCall>(library, "_BinListCreate");
                BinListAdd = Bind<BinListAddCall>(library, "_BinListAdd");
                BinListFree = Bind<BinListFreeCall>(library, "_BinListFree");
                Erase = Bind<EraseCall>(library, "_Erase");
                Download = Bind<DownloadCall>(library, "_Download");
                StopDownload = Bind<StopDownloadCall>(library, "_StopDownload");
                PrgData = Bind<PrgDataCall>(library, "_PrgData");
                Program = Bind<ProgramCall>(library, "_Program");
                CheckSum = Bind<CheckSumCall>(library, "_CheckSum");
                StartApp = Bind<StartAppCall>(library, "_StartApp");
                AutoStart = Bind<AutoStartCall>(library, "_AutoStart");
                Reset = Bind<ResetCall>(library, "_Reset");
                Wrsn = Bind<WrsnCall>(library, "_Wrsn");
                GetCompatibleFOSVersions = Bind<GetCompatibleFOSVersionsCall>(library, "_GetCompatibleFOSVersions");
                IsCompatibleFOSIfcVersion = Bind<IsCompatibleFOSIfcVersionCall>(library, "_IsCompatibleFOSIfcVersion");
                HasCompatibleFWVersion = Bind<HasCompatibleFWVersionCall>(library, "_HasCompatibleFWVersion");
                IsSupportedFwFeature = Bind<IsSupportedFwFeatureCall>(library, "_IsSupportedFwFeature");
                SnConvertUint2Agt = Bind<SnConvertUint2AgtCall>(library, "_SnConvertUint2Agt");
                GetHintAboutDROVA = Bind<GetHintAboutDROVACall>(library, "_GetHintAboutDROVA");
                ConsistencyCheck = Bind<ConsistencyCheckCall>(library, "_ConsistencyCheck");
                Test_Version_Compatibility =
                    Bind<Test_Version_CompatibilityCall>(library, "_Test_Version_Compatibility");
            }

            static T Bind<T>(IntPtr library, string name) where T : class =>
                (T)(object)Marshal.GetDelegateForFunctionPointer(LibraryLoader.Symbol(library, name), typeof(T));
        }
    }
}
