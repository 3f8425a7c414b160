// The library's one session in the terms of .NET: each command is a task
// that ends with the command's event pair and fails with the library's own
// code and text. Nothing is decided here that the library does not decide.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Velkor
{
    /// <summary>The library's session. One command runs at a time, as in the library: a command issued (from any
    /// thread) while another runs fails at once with VelkorException code 10, "Device is busy.", and the one
    /// running goes on undisturbed.</summary>
    public sealed class Session : IDisposable
    {
        public const int HintName = 0x2, HintSerialNumber = 0x4, HintHwVersion = 0x8, HintFosIfcVersion = 0x10,
            HintAutostart = 0x20, HintEthernet = 0x100, HintUdpIp = 0x200, HintConfiguredBy = 0x400,
            HintFirmwareApps = 0x800, HintFlashSectors = 0x1000, HintIndent = 0x2000, HintBold = 0x4000;
        const int HintTextSize = 65536;
        const int Busy = 10;  // the library's code for a command refused while another runs
        const int SerialTextSize = 32;
        static readonly int InfoSize = Marshal.SizeOf(typeof(TDROVAInfo));

        // The library calls this delegate until _Close: the handle keeps it
        // alive however long the Session object itself is referenced.
        readonly Native.EventCallback callback;
        GCHandle callbackAnchor;
        readonly object sync = new object();
        PendingCommand pending;
        bool busy;  // a command runs: the next one is refused, as the library refuses it
        bool disposed;
        // Set on the library's threads that run host code: the notification
        // thread, and the one that adds a scan's lines (from there _Close does
        // not wait for a callback that is running).
        [ThreadStatic] internal static bool onLibraryThread;

        /// <summary>Starts the library's session; there is one per process.</summary>
        public Session()
        {
            callback = OnLibraryEvent;
            callbackAnchor = GCHandle.Alloc(callback);
            if (Native._Initialize(callback, IntPtr.Zero, 0) != 0)
            {
                callbackAnchor.Free();
                throw new VelkorException("initialize", null,
                    "the library did not start a session: one runs already, or it wrote its reason to standard error");
            }
        }

        /// <summary>Every event pair, in order, on the library's notification thread. A handler may call
        /// any method but must not wait there for a command to end: that command's pair comes on this thread.
        /// An exception it throws is thrown again on a pool thread, where it is unhandled.</summary>
        public event EventHandler<VelkorEventArgs> EventReceived;

        /// <summary>Ends the session (_Close). A command still awaited fails with ObjectDisposedException.</summary>
        public void Dispose()
        {
            PendingCommand abandoned;
            lock (sync)
            {
                if (disposed) return;
                disposed = true;
                abandoned = pending;
                pending = null;
            }
            Native._Close();
            // From a library thread a callback may still be running: it stays anchored.
            if (!onLibraryThread) callbackAnchor.Free();
            abandoned?.Abandon(new ObjectDisposedException(nameof(Session)));
        }

        public bool IsConnected => Native._IsConnected() == 1;
        public bool IsFlashTableComplete => Native._IsFlashTableComplete() == 1;

        public static string ErrorText(int code) => NativeText.FromPointer(Native._GetErrorString(code));

        public static string SerialNumberText(uint serialNumber)
        {
            var text = new byte[SerialTextSize];
            Native._SnConvertUint2Agt(serialNumber, text, text.Length);
            return NativeText.FromBytes(text);
        }

        public static uint CompatibleFosVersion => Native._GetCompatibleFOSVersions();
        public static bool IsCompatibleFosIfcVersion(uint version) => Native._IsCompatibleFOSIfcVersion(version) == 1;
        /// <summary>Whether the flash table last read holds application appId in exactly this version.</summary>
        public bool HasCompatibleFirmwareVersion(uint version, uint appId) =>
            Native._HasCompatibleFWVersion(version, appId) != 0;
        /// <summary>Whether the application last started supports the feature (0 to 18).</summary>
        public bool IsSupportedFirmwareFeature(int feature) => Native._IsSupportedFwFeature(feature) == 1;

        // ---- Commands -------------------------------------------------------

        /// <summary>Searches for 2 x unitMs and returns the devices found (none: an empty list).</summary>
        public async Task<IReadOnlyList<DeviceInfo>> SearchAsync(int unitMs = 100)
        {
            await Run(new PendingCommand("search", Operation.Search, failurePairIsOutcome: true),
                () => Native._FindDROVAs(-1, 0, unitMs)).ConfigureAwait(false);
            return FoundDevices();
        }

        /// <summary>Searches again and again (at most 65536 times) until stop is cancelled, then ends with the
        /// search under way and returns its devices. lines receives, on a library thread, a line such as
        /// "2 HW Devices found on UDP port 17" for each search that found devices.</summary>
        public async Task<IReadOnlyList<DeviceInfo>> ScanAsync(IProgress<string> lines, CancellationToken stop)
        {
            var registration = default(CancellationTokenRegistration);
            // Freed once the series has ended: with its search pair, its refusal, or _Close.
            using (var list = new ScanList(lines))
            {
                // A 1 without an error pair: no interface yet, and the series searches on.
                var series = new PendingCommand("network scanning", Operation.Search, failurePairIsOutcome: true)
                {
                    UnexplainedRefusal = null,
                };
                try
                {
                    await Run(series, () =>
                    {
                        int result = Native._StartNetworkScanning(list.Block);
                        // A stop asked for before the series ran ends it now.
                        registration = stop.Register(() => Native._StopNetworkScanning());
                        return result;
                    }).ConfigureAwait(false);
                }
                finally
                {
                    registration.Dispose();
                }
            }
            return FoundDevices();
        }

        /// <summary>Claims a device of the last search's list.</summary>
        public Task ConnectAsync(DeviceInfo device, byte mode = 0)
        {
            if (device == null) throw new ArgumentNullException(nameof(device));
            return Run(new PendingCommand("connect", Operation.Connect),
                () => Native._Connect((int)device.SerialNumber, device.ListIndex, mode));
        }

        /// <summary>Claims the device of the last search's list that has this serial number.</summary>
        public Task ConnectAsync(uint serialNumber, byte mode = 0) =>
            Run(new PendingCommand("connect", Operation.Connect), () => Native._Connect((int)serialNumber, -1, mode));

        public Task DisconnectAsync() => Run(new PendingCommand("disconnect", Operation.Disconnect), Native._Disconnect);

        /// <summary>Reads the connected device's information block again.</summary>
        public async Task<DeviceInfo> ReadInfoAsync()
        {
            await Run(new PendingCommand("read information", Operation.ReadInfo), Native._ReadInfo).ConfigureAwait(false);
            return ConnectInfo();
        }

        /// <summary>Reads the flash sector table.</summary>
        public async Task<IReadOnlyList<FlashSector>> FlashInfoAsync()
        {
            await Run(new PendingCommand("flash information", Operation.FlashInfo), Native._FlashInfo)
                .ConfigureAwait(false);
            return FlashSectors();
        }

        public Task AppInfoAsync(uint appId) =>
            Run(new PendingCommand("application information", Operation.AppInfo), () => Native._AppInfo(appId));

        public Task AddressAsync(uint address, byte area) =>
            Run(new PendingCommand("address", Operation.Address),
                () => Native._Address(new TAddress { address = address, area = area }));

        public Task EraseAsync(byte sector) =>
            Run(new PendingCommand("erase", Operation.Erase), () => Native._Erase(sector));

        /// <summary>Writes the blocks into area target through the staging area; the flash table must have
        /// been read. Cancelling stops it after the step in flight (OperationCanceledException).</summary>
        public async Task DownloadAsync(int target, IReadOnlyList<DataBlock> blocks,
            IProgress<DownloadProgress> progress = null, CancellationToken cancellationToken = default(CancellationToken))
        {
            if (blocks == null) throw new ArgumentNullException(nameof(blocks));
            if (blocks.Contains(null)) throw new ArgumentException("a block is null", nameof(blocks));
            cancellationToken.ThrowIfCancellationRequested();
            long byteCount = blocks.Sum(block => (long)block.Data.Length);
            int blocksWritten = 0;
            long bytesWritten = 0;
            int record = 0;  // each record's steps begin with its address
            int stopped = 0;
            Action stop = () =>
            {
                if (Native._StopDownload() == 0) Interlocked.Exchange(ref stopped, 1);
            };
            var download = new PendingCommand("download", Operation.Download)
            {
                UnexplainedRefusal = () => "download was refused by the library, which gave no reason" +
                    (IsFlashTableComplete ? "" : ": the flash table of the connected device has not been read whole"),
                StepObserver = (a, b) =>
                {
                    if (b != 0 || !IsDownloadStep(a)) return;
                    if (a == (int)Operation.Address) ++record;
                    if (record <= blocks.Count)
                    {
                        if (a == (int)Operation.ProgramData && blocksWritten < blocks.Count)
                            bytesWritten += blocks[blocksWritten++].Data.Length;
                        progress?.Report(new DownloadProgress((Operation)a, blocksWritten, blocks.Count, bytesWritten, byteCount));
                    }
                    else if (a == (int)Operation.ProgramData)
                    {
                        // The end record that closes the stream: once, when it has gone out.
                        progress?.Report(new DownloadProgress(Operation.Download, blocksWritten, blocks.Count, bytesWritten, byteCount));
                    }
                    // A cancellation that came before the download ran had nothing to stop.
                    if (cancellationToken.IsCancellationRequested && Volatile.Read(ref stopped) == 0) stop();
                },
                BareFailure = step => step == (int)Operation.CheckSum ? DownloadStream.MismatchText(record) : null,
            };
            using (cancellationToken.Register(stop))
            {
                try
                {
                    await Run(download, () => Download(target, blocks)).ConfigureAwait(false);
                }
                catch (VelkorException) when (Volatile.Read(ref stopped) == 1)
                {
                    throw new OperationCanceledException("the download was stopped", cancellationToken);
                }
            }
        }

        /// <summary>One data step on its own: (5,0) once the device has the block.</summary>
        public Task ProgramDataAsync(DataBlock block)
        {
            if (block == null) throw new ArgumentNullException(nameof(block));
            return Run(new PendingCommand("program data", Operation.ProgramData),
                () => WithNativeBlock(block, (ref BinBlock native) => Native._PrgData(ref native)));
        }

        /// <summary>Programs from the staging area; address is area-qualified (area in bits 32 to 39).</summary>
        public Task ProgramAsync(ulong address, int area) =>
            Run(new PendingCommand("program", Operation.Program), () => Native._Program(address, area));

        /// <summary>Succeeds when the device finds this checksum over length bytes at the area-qualified address;
        /// otherwise fails with the message "checksum of ... does not match" and no code (the library posts
        /// none). DownloadStream.Checksum gives a record's.</summary>
        public Task CheckSumAsync(ulong address, uint length, byte checksum, int area) =>
            Run(new PendingCommand("checksum", Operation.CheckSum)
            {
                BareFailure = step => "checksum of " + length + " bytes at 0x" + ((uint)address).ToString("x") +
                    " in area " + area + " does not match",
            }, () => Native._CheckSum(address, length, checksum, area));

        /// <summary>Checks that the device holds image where DownloadAsync(target, image) put it, as drova verify
        /// does: the device checksums every record of the stream (the end record too) where it lies in area
        /// target. Fails with VelkorException when a checksum cannot be asked for (not connected, ...).</summary>
        public async Task<VerifyResult> VerifyAsync(int target, IReadOnlyList<DataBlock> image)
        {
            if (image == null) throw new ArgumentNullException(nameof(image));
            if (image.Contains(null)) throw new ArgumentException("a block is null", nameof(image));
            if (target < 0 || target > 255) throw new ArgumentOutOfRangeException(nameof(target), "an area is 0 to 255");
            var checks = new List<RecordCheck>();
            Claim("verify");
            try
            {
                foreach (StreamRecord record in DownloadStream.Records(image, target))
                {
                    bool mismatch = false;
                    var step = new PendingCommand("checksum of record " + record.Number, Operation.CheckSum)
                    {
                        BareFailure = failed =>
                        {
                            mismatch = true;
                            return DownloadStream.MismatchText(record.Number);
                        },
                    };
                    try
                    {
                        await Step(step, () => Native._CheckSum((ulong)target << 32 | record.Offset, record.Length,
                            record.Checksum, target)).ConfigureAwait(false);
                    }
                    catch (VelkorException) when (mismatch)
                    {
                    }
                    checks.Add(new RecordCheck(record, !mismatch));
                }
            }
            finally
            {
                Release();
            }
            return new VerifyResult(target, checks);
        }

        public Task StartAppAsync(uint appId) =>
            Run(new PendingCommand("start application", Operation.StartApp), () => Native._StartApp(appId));

        public Task AutoStartAsync(uint appId) =>
            Run(new PendingCommand("automatic start", Operation.AutoStart), () => Native._AutoStart(appId));

        /// <summary>Resets the held device, which ends the connection.</summary>
        public Task ResetAsync() => Run(new PendingCommand("reset", Operation.Disconnect), Native._Reset);

        public Task WriteSerialNumberAsync(uint serialNumber) =>
            Run(new PendingCommand("write serial number", Operation.WriteSerialNumber), () => Native._Wrsn(serialNumber));

        /// <summary>Sends a keep-alive; true when sent. No pair ends it: three failures in a row end the
        /// connection with (15,9), (10,0), which EventReceived shows.</summary>
        public bool CommRefresh() => Native._CommRefresh() == 0;

        /// <summary>Forgets the connection without telling the device: (10,0).</summary>
        public void DeviceClose() => Native._DeviceClose();

        // ---- Records and texts ------------------------------------------------

        /// <summary>The found list of the last finished search, in the order connect picks from.</summary>
        public IReadOnlyList<DeviceInfo> FoundDevices()
        {
            int count = Native._GetFoundDevices(IntPtr.Zero, 0);
            if (count <= 0) return new DeviceInfo[0];
            IntPtr entries = Marshal.AllocHGlobal(count * InfoSize);
            try
            {
                int copied = Math.Min(count, Native._GetFoundDevices(entries, count));
                return Enumerable.Range(0, copied)
                    .Select(k => new DeviceInfo(Marshal.PtrToStructure<TDROVAInfo>(entries + k * InfoSize), k))
                    .ToList();
            }
            finally
            {
                Marshal.FreeHGlobal(entries);
            }
        }

        /// <summary>The connected-device record.</summary>
        public DeviceInfo ConnectInfo() => new DeviceInfo(Marshal.PtrToStructure<TDROVAInfo>(Native._GetConnectInfo()), -1);

        /// <summary>The flash table that the last FlashInfoAsync read, in sector order.</summary>
        public IReadOnlyList<FlashSector> FlashSectors()
        {
            int count = Native._GetFlashSectors(null, 0);
            if (count <= 0) return new FlashSector[0];
            var table = new byte[count * FlashSector.BlockSize];
            int copied = Math.Min(count, Native._GetFlashSectors(table, count));
            return Enumerable.Range(0, copied).Select(k => new FlashSector(k, table, k * FlashSector.BlockSize)).ToList();
        }

        /// <summary>Runs the library's consistency check for every sector that is not empty, over one tree of
        /// the whole table (the last read by default), and returns for each sector it marked the fields it
        /// marked: "id" (held by another entry too), "versionB", "versionC", "versionD".</summary>
        public IReadOnlyDictionary<int, IReadOnlyList<string>> CheckConsistency(IReadOnlyList<FlashSector> sectors = null)
        {
            const int Marked = 1;
            sectors = sectors ?? FlashSectors();
            if (sectors.Contains(null)) throw new ArgumentException("a sector is null", nameof(sectors));
            var marked = new Dictionary<int, IReadOnlyList<string>>();
            using (var tree = new FirmwareTree(sectors))
            {
                for (int k = 0; k < sectors.Count; ++k)
                {
                    if (!sectors[k].IsEmpty) Native._ConsistencyCheck(ref tree.Tree, tree.TopHandle(k), Marked);
                }
                for (int k = 0; k < sectors.Count; ++k)
                {
                    List<string> marks = tree.Marks(k, Marked);
                    if (marks.Count > 0) marked[sectors[k].Sector] = marks;
                }
            }
            return marked;
        }

        /// <summary>The library's description of the connected device (Hint* flags).</summary>
        public string Hint(int flags) => HintOf(flags, Native._GetConnectInfo());

        /// <summary>The library's description of a found device.</summary>
        public string Hint(int flags, DeviceInfo device)
        {
            if (device == null) throw new ArgumentNullException(nameof(device));
            IntPtr block = Marshal.AllocHGlobal(InfoSize);
            try
            {
                Marshal.StructureToPtr(device.Block, block, false);
                return HintOf(flags, block);
            }
            finally
            {
                Marshal.FreeHGlobal(block);
            }
        }

        /// <summary>The four words the device sent with its last refused connect or disconnect.</summary>
        public uint[] ConnectErrorInfo()
        {
            var words = new int[4];
            Marshal.Copy(Native._GetConnectErrorInfo(), words, 0, words.Length);
            return words.Select(word => (uint)word).ToArray();
        }

        // ---- Plumbing ---------------------------------------------------------

        static string HintOf(int flags, IntPtr info)
        {
            var text = new byte[HintTextSize];
            Native._GetHintAboutDROVA(flags, info, text, text.Length);
            return NativeText.FromBytes(text);
        }

        static bool IsDownloadStep(int a) =>
            a == (int)Operation.Address || a == (int)Operation.ProgramData || a == (int)Operation.CheckSum ||
            a == (int)Operation.Program;

        async Task Run(PendingCommand command, Func<int> export)
        {
            Claim(command.Name);
            try
            {
                await Step(command, export).ConfigureAwait(false);
            }
            finally
            {
                Release();
            }
        }

        void Claim(string command)
        {
            lock (sync)
            {
                if (disposed) throw new ObjectDisposedException(nameof(Session));
                if (busy) throw new VelkorException(command, Busy, ErrorText(Busy));
                busy = true;
            }
        }

        void Release()
        {
            lock (sync) busy = false;
        }

        // The export may run the whole command before it returns (a download
        // on a device that answers at once), so it runs off the caller's thread.
        async Task Step(PendingCommand command, Func<int> export)
        {
            lock (sync)
            {
                if (disposed) throw new ObjectDisposedException(nameof(Session));
                pending = command;
            }
            try
            {
                if (await Task.Run(export).ConfigureAwait(false) != 0) command.Refuse();
                await command.Outcome.ConfigureAwait(false);
            }
            finally
            {
                lock (sync)
                {
                    if (pending == command) pending = null;
                }
            }
        }

        static int Download(int target, IReadOnlyList<DataBlock> blocks)
        {
            IntPtr list = Native._BinListCreate();
            if (list == IntPtr.Zero) throw new OutOfMemoryException("the library could not create a block list");
            try
            {
                foreach (DataBlock block in blocks)
                {
                    if (WithNativeBlock(block, (ref BinBlock native) => Native._BinListAdd(list, ref native)) != 0)
                        throw new OutOfMemoryException("the library could not copy a block");
                }
                // The library has copied the blocks once _Download returns.
                return Native._Download(target, list);
            }
            finally
            {
                Native._BinListFree(list);
            }
        }

        delegate int NativeBlockCall(ref BinBlock block);

        // The data stays pinned while the library copies it.
        static int WithNativeBlock(DataBlock block, NativeBlockCall call)
        {
            GCHandle data = GCHandle.Alloc(block.Data, GCHandleType.Pinned);
            try
            {
                var native = new BinBlock
                {
                    Address = block.Address,
                    Length = (uint)block.Data.Length,
                    Data = data.AddrOfPinnedObject(),
                };
                return call(ref native);
            }
            finally
            {
                data.Free();
            }
        }

        void OnLibraryEvent(int a, int b)
        {
            onLibraryThread = true;
            PendingCommand command;
            lock (sync) command = pending;
            HostCode.Run(() =>
            {
                EventReceived?.Invoke(this, new VelkorEventArgs(a, b));
                command?.StepObserver?.Invoke(a, b);
            });
            command?.Observe(a, b);
        }
    }
}
