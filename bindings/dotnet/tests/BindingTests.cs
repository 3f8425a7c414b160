// Tests of the .NET binding against a simulated device (binding_device.json):
// its marshalling, the lifetime of its callback and its mapping of event
// pairs to tasks and exceptions. Run one per process: BindingTests NAME [ARGS].
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Velkor;

static class BindingTests
{
    // The device that binding_device.json describes.
    const string DeviceName = "Binding bench";
    const string SerialText = "KV47D00291";
    const int SectorCount = 4;
    const byte TargetSector = 2;
    const uint RefusedAppId = 7;  // its start the device refuses
    // The application the tests write: its image begins with its information block.
    const uint AppId = 9;
    const string AppName = "Binding test";
    const uint AppFirmwareVersion = 0x01020304;
    static readonly TimeSpan EventWait = TimeSpan.FromSeconds(10);

    static int Main(string[] args)
    {
        var tests = new Dictionary<string, Func<string[], Task>>
        {
            {"layout", StructLayoutsMatchTheHeader},
            {"session", WholeServiceSession},
            {"refusals", RefusalsRaiseTheLibrarysText},
            {"cancel", CancellationStopsTheDownload},
            {"callback-gc", CallbackSurvivesCollections},
            {"scan", ScanReportsLinesUntilStopped},
            {"check", CheckMarksConflictingFields},
            {"checksum-fault", ADownloadWhoseChecksumDiffersNamesItsRecord},
            {"device-gone", ADeviceGoneMidDownloadIsALostLink},
            {"library", TheLibraryIsFoundWhereItIsLookedFor},
            {"library-probe", ProbeTheLibrary},
        };
        if (args.Length < 1 || !tests.ContainsKey(args[0]))
        {
            Console.Error.WriteLine("usage: BindingTests " + string.Join("|", tests.Keys) + " [ARGS]");
            return 2;
        }
        try
        {
            tests[args[0]](args.Skip(1).ToArray()).GetAwaiter().GetResult();
            Console.WriteLine("PASS " + args[0]);
            return 0;
        }
        catch (Exception failure)
        {
            Console.WriteLine("FAIL " + args[0] + ": " + failure);
            return 1;
        }
    }

    static void Expect(bool holds, string what)
    {
        if (!holds) throw new Exception("expected " + what);
    }

    static void ExpectEqual<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(what + ": expected " + expected + ", got " + actual);
    }

    // Every line of the file the C program wrote: a structure's size or a field's offset.
    static Task StructLayoutsMatchTheHeader(string[] args)
    {
        var types = new Dictionary<string, Type>
        {
            {"TDROVAInfo", typeof(TDROVAInfo)}, {"TAddress", typeof(TAddress)}, {"BinBlock", typeof(BinBlock)},
            {"TStrings", typeof(TStrings)}, {"TDCTree", typeof(TDCTree)},
        };
        var mismatches = new List<string>();
        int rows = 0;
        foreach (string line in File.ReadAllLines(args[0]))
        {
            string[] row = line.Split(' ');
            string[] name = row[0].Split('.');
            long header = long.Parse(row[1]);
            long binding = name.Length == 1
                ? Marshal.SizeOf(types[name[0]])
                : Marshal.OffsetOf(types[name[0]], name[1]).ToInt64();
            if (binding != header) mismatches.Add(row[0] + ": header " + header + ", binding " + binding);
            ++rows;
        }
        Expect(rows >= types.Count, "a row for each structure, got " + rows);
        Expect(mismatches.Count == 0, "the header's layouts:\n" + string.Join("\n", mismatches));
        return Task.CompletedTask;
    }

    // Reports as they come, on the thread that makes them.
    sealed class Recorder<T> : IProgress<T>
    {
        readonly Action<T> onReport;
        public readonly List<T> Reports = new List<T>();
        public Recorder(Action<T> onReport = null) { this.onReport = onReport; }

        public void Report(T value)
        {
            lock (Reports) Reports.Add(value);
            onReport?.Invoke(value);
        }
    }

    static byte[] Pattern(int length, int seed) =>
        Enumerable.Range(0, length).Select(k => (byte)(k * 7 + seed)).ToArray();

    static void PutWord(byte[] block, int offset, uint word)
    {
        for (int k = 0; k < 4; ++k) block[offset + k] = (byte)(word >> (24 - 8 * k));
    }

    // An application image: its information block (big-endian words), then code.
    static List<DataBlock> Image(int blockCount)
    {
        var first = new byte[168 + 300];
        PutWord(first, 0, AppId);
        for (int k = 0; k < AppName.Length; ++k) first[4 + k] = (byte)AppName[k];
        PutWord(first, 88, AppFirmwareVersion);
        Array.Copy(Pattern(300, 1), 0, first, 168, 300);
        var image = new List<DataBlock> { new DataBlock(0x10000, first) };
        for (int k = 1; k < blockCount; ++k) image.Add(new DataBlock(0x10000 + (uint)(1000 * k), Pattern(1000, k)));
        return image;
    }

    static byte OnesComplementChecksum(IEnumerable<byte> bytes)
    {
        int sum = 0;
        foreach (byte value in bytes)
        {
            int s = sum + value;
            sum = (s + (s >> 8)) & 0xFF;
        }
        return (byte)~sum;
    }

    // The first record of the download stream as the sector holds it: address, length, data.
    static byte[] FirstRecord(DataBlock block)
    {
        var record = new byte[8 + block.Data.Length];
        PutWord(record, 0, block.Address);
        PutWord(record, 4, (uint)block.Data.Length);
        Array.Copy(block.Data, 0, record, 8, block.Data.Length);
        return record;
    }

    static async Task ConnectAndReadTable(Session session)
    {
        IReadOnlyList<DeviceInfo> found = await session.SearchAsync();
        await session.ConnectAsync(found[0]);
        await session.FlashInfoAsync();
    }

    static async Task WholeServiceSession(string[] args)
    {
        var events = new List<VelkorEventArgs>();
        using (var session = new Session())
        {
            session.EventReceived += (sender, pair) => { lock (events) events.Add(pair); };

            IReadOnlyList<DeviceInfo> found = await session.SearchAsync();
            ExpectEqual(1, found.Count, "devices found");
            ExpectEqual(SerialText, found[0].SerialNumberText, "serial number text");
            ExpectEqual(DeviceName, found[0].DeviceName, "device name");
            Expect(found[0].DevicePath.EndsWith("drova00"), "the interface path, got " + found[0].DevicePath);
            Expect(session.Hint(Session.HintName, found[0]).Contains(DeviceName), "a found device's hint names it");

            await session.ConnectAsync(found[0]);
            Expect(session.IsConnected, "connected");
            DeviceInfo info = await session.ReadInfoAsync();
            ExpectEqual(found[0].SerialNumber, info.SerialNumber, "connected serial number");
            ExpectEqual(-1, info.ListIndex, "the connected record's list index");
            Expect(session.Hint(Session.HintSerialNumber).Contains(SerialText), "the hint gives the serial number");

            IReadOnlyList<FlashSector> table = await session.FlashInfoAsync();
            ExpectEqual(SectorCount, table.Count, "flash sectors");
            ExpectEqual("Motor control", table[1].Name, "sector 1 name");
            ExpectEqual(5u, table[1].Id, "sector 1 id");
            ExpectEqual(0x02010000u, table[1].FirmwareVersion, "sector 1 firmware version");
            Expect(table[TargetSector].IsEmpty, "the target sector empty");
            ExpectEqual("", table[TargetSector].Name, "an empty sector's name (its bytes are erased)");
            Expect(session.IsFlashTableComplete, "the table complete");
            Expect(session.HasCompatibleFirmwareVersion(0x02010000, 5), "application 5 in version 2.1.0.0");
            Expect(!session.HasCompatibleFirmwareVersion(0x02000000, 5), "application 5 not in version 2.0.0.0");

            await session.EraseAsync(TargetSector);
            List<DataBlock> image = Image(3);
            var progress = new Recorder<DownloadProgress>();
            await session.DownloadAsync(TargetSector, image, progress);
            DownloadProgress last = progress.Reports.Last();
            ExpectEqual(image.Count, last.BlocksWritten, "blocks written at the end");
            ExpectEqual(image.Sum(block => (long)block.Data.Length), last.BytesWritten, "bytes written at the end");
            ExpectEqual(last.ByteCount, last.BytesWritten, "all bytes");
            Expect(progress.Reports.Zip(progress.Reports.Skip(1), (a, b) => a.BytesWritten <= b.BytesWritten).All(x => x),
                "progress never going back");
            ExpectEqual(string.Join(",", image.Select(block => block.Data.Length)),
                string.Join(",", progress.Reports.Where(report => report.Step == Operation.ProgramData)
                    .Select((report, k) => report.BytesWritten - image.Take(k).Sum(block => (long)block.Data.Length))),
                "one data report per block, with that block's bytes");
            ExpectEqual(1, progress.Reports.Count(report => report.Step == Operation.Download), "end record reports");
            ExpectEqual(Operation.Download, last.Step, "the last report's step: the end record");

            VerifyResult verified = await session.VerifyAsync(TargetSector, image);
            ExpectEqual(image.Count + 1, verified.Records.Count, "records verified, the end record too");
            Expect(verified.AllMatch, "every record matching");
            var altered = image.Select((block, k) => k != 1 ? block : new DataBlock(block.Address, Pattern(block.Data.Length, 99)))
                .ToList();
            VerifyResult differs = await session.VerifyAsync(TargetSector, altered);
            ExpectEqual("checksum of record 2 does not match", string.Join("|", differs.Mismatched.Select(check => check.Text)),
                "the record that differs");

            byte[] record = FirstRecord(image[0]);
            await session.CheckSumAsync(0, (uint)record.Length, OnesComplementChecksum(record), TargetSector);

            FlashSector written = (await session.FlashInfoAsync())[TargetSector];
            ExpectEqual(AppId, written.Id, "the written application's id");
            ExpectEqual(AppName, written.Name, "the written application's name");
            ExpectEqual(AppFirmwareVersion, written.FirmwareVersion, "the written application's version");

            await session.StartAppAsync(AppId);
            await session.DisconnectAsync();
            Expect(!session.IsConnected, "disconnected");
        }
        lock (events)
        {
            Expect(events.Any(pair => pair.Operation == Operation.Download && pair.Succeeded), "(3,0) among the raw pairs");
            ExpectEqual("(10,0)", events.Last().ToString(), "the last raw pair");
        }
    }

    sealed class Refusal
    {
        public string Name;
        public bool Connected;
        public Func<Session, Task> Command;
        public int? Code;
        public string Text;  // null: the library's text for Code
    }

    static async Task RefusalsRaiseTheLibrarysText(string[] args)
    {
        var erased = Enumerable.Repeat((byte)0xFF, 8);
        var rows = new[]
        {
            new Refusal { Name = "erase before connecting", Command = s => s.EraseAsync(TargetSector),
                Code = 5, Text = "Not connected. Connect first." },
            new Refusal { Name = "connect to a serial number nobody has", Command = s => s.ConnectAsync(0x123456),
                Code = 12, Text = "Can't find the specified HW Device." },
            new Refusal { Name = "connect while connected", Connected = true,
                Command = s => s.ConnectAsync(s.FoundDevices()[0]), Code = 4, Text = "Disconnect first." },
            new Refusal { Name = "serial number beyond 24 bits", Connected = true,
                Command = s => s.WriteSerialNumberAsync(0x1000000), Code = 3, Text = "Invalid serial number format." },
            new Refusal { Name = "download before the flash table", Connected = true,
                Command = s => s.DownloadAsync(TargetSector, Image(1)), Code = null,
                Text = "download was refused by the library, which gave no reason: the flash table of the connected device has not been read whole" },
            new Refusal { Name = "start that the device refuses", Connected = true,
                Command = s => s.StartAppAsync(RefusedAppId), Code = 17 },
            new Refusal { Name = "address in an area the device lacks", Connected = true,
                Command = s => s.AddressAsync(0, 200), Code = 6, Text = "HW Device responded invalid information." },
            new Refusal { Name = "checksum that does not match", Connected = true,
                Command = s => s.CheckSumAsync(0, 8, (byte)(OnesComplementChecksum(erased) + 1), SectorCount),
                Code = null, Text = "checksum of 8 bytes at 0x0 in area 4 does not match" },
            new Refusal { Name = "a command from a second thread while a download runs", Connected = true,
                Command = s => WhileDownloading(s, () => s.ReadInfoAsync()), Code = 10, Text = "Device is busy." },
            new Refusal { Name = "verify from a second thread while a download runs", Connected = true,
                Command = s => WhileDownloading(s, () => s.VerifyAsync(TargetSector, Image(1))), Code = 10,
                Text = "Device is busy." },
        };
        var failures = new List<string>();
        using (var session = new Session())
        {
            await session.SearchAsync();
            foreach (Refusal row in rows.OrderBy(row => row.Connected))
            {
                if (row.Connected && !session.IsConnected) await session.ConnectAsync(session.FoundDevices()[0]);
                try
                {
                    await row.Command(session);
                    failures.Add(row.Name + ": no exception");
                }
                catch (VelkorException refusal)
                {
                    string text = row.Text ?? Session.ErrorText(row.Code.Value);
                    if (refusal.Code != row.Code || refusal.Message != text || text.Length == 0)
                        failures.Add(row.Name + ": (" + refusal.Code + ") '" + refusal.Message + "', expected (" + row.Code +
                                     ") '" + text + "'");
                }
            }

            // The library runs one session: a second is refused, and the first keeps its callback.
            try
            {
                new Session().Dispose();
                failures.Add("a second session: no exception");
            }
            catch (VelkorException refusal) when (refusal.Code == null)
            {
            }

            // A list with a hole is the caller's fault, reported before the library sees it.
            try
            {
                await session.DownloadAsync(TargetSector, new DataBlock[] { null });
                failures.Add("a null block: no exception");
            }
            catch (ArgumentException)
            {
            }

        }
        Expect(failures.Count == 0, "every refusal with its code and text:\n" + string.Join("\n", failures));
    }

    // Runs command on another thread while a download runs; the download must end undisturbed.
    static async Task WhileDownloading(Session session, Func<Task> command)
    {
        await session.FlashInfoAsync();
        await session.EraseAsync(TargetSector);
        var secondDone = new ManualResetEventSlim();
        Task second = null;
        var progress = new Recorder<DownloadProgress>(report =>
        {
            if (second != null) return;
            second = Task.Run(command);
            // The download waits for it here, on the library's thread.
            second.ContinueWith(_ => secondDone.Set());
            secondDone.Wait(EventWait);
        });
        await session.DownloadAsync(TargetSector, Image(4), progress);
        Expect(second != null, "a second command issued during the download");
        await second;
    }

    static async Task CancellationStopsTheDownload(string[] args)
    {
        using (var session = new Session())
        {
            await ConnectAndReadTable(session);
            await session.EraseAsync(TargetSector);
            List<DataBlock> image = Image(24);
            var cancel = new CancellationTokenSource();
            var progress = new Recorder<DownloadProgress>(report => { if (report.Step == Operation.ProgramData) cancel.Cancel(); });
            try
            {
                await session.DownloadAsync(TargetSector, image, progress, cancel.Token);
                throw new Exception("expected the download to be cancelled");
            }
            catch (OperationCanceledException cancelled)
            {
                ExpectEqual(cancel.Token, cancelled.CancellationToken, "the cancelled token");
            }
            int written = progress.Reports.Max(report => report.BlocksWritten);
            Expect(written < image.Count, "the download stopped early, got " + written + " of " + image.Count + " blocks");

            // Cancelled before it starts: nothing is sent.
            var events = 0;
            session.EventReceived += (sender, pair) => Interlocked.Increment(ref events);
            try
            {
                await session.DownloadAsync(TargetSector, image, null, cancel.Token);
                throw new Exception("expected a cancelled token to refuse the download");
            }
            catch (OperationCanceledException)
            {
            }
            await session.ReadInfoAsync();
            ExpectEqual(1, Volatile.Read(ref events), "pairs after the cancelled start: only the (13,0) of the next command");
        }
    }

    // A device whose second checksum answer is off by one (checksum_fault.json):
    // the download fails, naming the record, not as an invalid answer.
    static async Task ADownloadWhoseChecksumDiffersNamesItsRecord(string[] args)
    {
        using (var session = new Session())
        {
            await ConnectAndReadTable(session);
            try
            {
                await session.DownloadAsync(SectorCount, Image(3));
                throw new Exception("expected the download to fail");
            }
            catch (VelkorException failure)
            {
                ExpectEqual("download: (no code) checksum of record 2 does not match",
                    failure.Command + ": (" + (failure.Code?.ToString() ?? "no code") + ") " + failure.Message, "the failure");
            }
        }
    }

    // The device vanishes mid-download (device_gone.json): one failure, the
    // lost link's, however many pairs the loss posts, and no connection left.
    static async Task ADeviceGoneMidDownloadIsALostLink(string[] args)
    {
        using (var session = new Session())
        {
            await ConnectAndReadTable(session);
            try
            {
                await session.DownloadAsync(TargetSector, Image(3));
                throw new Exception("expected the download to fail");
            }
            catch (VelkorException failure)
            {
                ExpectEqual("download: 9", failure.Command + ": " + (failure.Code?.ToString() ?? "no code"), "the failure");
            }
            Expect(!session.IsConnected, "no connection once the device has gone");
        }
    }

    // Where the library is looked for, each row in a process of its own (the
    // library is loaded once per process): what it loads, or every place it
    // tried when none serves.
    sealed class LibraryPlace
    {
        public string Name;
        public string Variable;        // VELKOR_LIBRARY, or null
        public string SearchPath;      // LD_LIBRARY_PATH
        public bool CopyBeside;        // the test program and Velkor.dll copied to a folder with the library
        public string Loaded;          // the place loaded, or null when none serves
        public string[] Named;         // what the failure names
    }

    static Task TheLibraryIsFoundWhereItIsLookedFor(string[] args)
    {
        string library = args[0];
        string runtimeOnly = Path.GetDirectoryName(library);  // holds libdoduzerez.so.0 alone
        string scratch = Path.Combine(Path.GetTempPath(), "velkor-dotnet-" + Process.GetCurrentProcess().Id);
        string empty = Directory.CreateDirectory(Path.Combine(scratch, "empty")).FullName;
        string beside = Directory.CreateDirectory(Path.Combine(scratch, "beside")).FullName;
        string here = Path.GetDirectoryName(typeof(BindingTests).Assembly.Location);
        string absent = Path.Combine(empty, "absent.so");
        var rows = new[]
        {
            new LibraryPlace { Name = "VELKOR_LIBRARY first", Variable = library, SearchPath = empty, Loaded = library },
            new LibraryPlace { Name = "VELKOR_LIBRARY alone, though absent", Variable = absent, SearchPath = runtimeOnly,
                Named = new[] { absent + ": ", "VELKOR_LIBRARY" } },
            new LibraryPlace { Name = "beside Velkor.dll next", SearchPath = runtimeOnly, CopyBeside = true,
                Loaded = Path.Combine(beside, "libdoduzerez.so.0") },
            new LibraryPlace { Name = "the run-time name on the search path", SearchPath = runtimeOnly,
                Loaded = "libdoduzerez.so.0" },
            new LibraryPlace { Name = "nowhere", SearchPath = empty,
                Named = new[] { Path.Combine(here, "libdoduzerez.so.0") + ": ", "\n  libdoduzerez.so.0: ",
                                "\n  libdoduzerez.so: ", "VELKOR_LIBRARY" } },
        };
        var failures = new List<string>();
        try
        {
            foreach (string file in new[] { "BindingTests.exe", "Velkor.dll" })
                File.Copy(Path.Combine(here, file), Path.Combine(beside, file), true);
            File.Copy(library, Path.Combine(beside, "libdoduzerez.so.0"), true);
            foreach (LibraryPlace row in rows)
            {
                var start = new ProcessStartInfo(Process.GetCurrentProcess().MainModule.FileName)
                {
                    Arguments = "--debug \"" + Path.Combine(row.CopyBeside ? beside : here, "BindingTests.exe") + "\" library-probe",
                    UseShellExecute = false,
                    RedirectStandardOutput = true,
                };
                start.EnvironmentVariables.Remove("VELKOR_LIBRARY");
                if (row.Variable != null) start.EnvironmentVariables["VELKOR_LIBRARY"] = row.Variable;
                start.EnvironmentVariables["LD_LIBRARY_PATH"] = row.SearchPath;
                string output;
                using (Process probe = Process.Start(start))
                {
                    output = probe.StandardOutput.ReadToEnd();
                    probe.WaitForExit();
                }
                string expected = row.Loaded != null ? "loaded " + row.Loaded : "not found";
                bool named = row.Named == null || row.Named.All(text => output.Contains(text));
                if (!output.StartsWith(expected + "\n") || !named)
                    failures.Add(row.Name + ": expected '" + expected + "'" +
                                 (row.Named == null ? "" : " naming " + string.Join(", ", row.Named)) + ", got:\n" + output);
            }
        }
        finally
        {
            Directory.Delete(scratch, true);
        }
        Expect(failures.Count == 0, "the library found as documented:\n" + string.Join("\n", failures));
        return Task.CompletedTask;
    }

    static Task ProbeTheLibrary(string[] args)
    {
        try
        {
            Native.Load();
            Console.WriteLine("loaded " + LibraryLoader.LoadedFrom);
        }
        catch (LibraryNotFoundException missing)
        {
            Console.WriteLine("not found");
            Console.WriteLine(missing.Message);
        }
        return Task.CompletedTask;
    }

    // The line callbacks live in a block the library holds: collections must
    // not take them, and a stop from a line ends the series with its search.
    static async Task ScanReportsLinesUntilStopped(string[] args)
    {
        const int Lines = 3;
        using (var session = new Session())
        {
            var stop = new CancellationTokenSource();
            var lines = new Recorder<string>(line =>
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                if (line.EndsWith("port " + (Lines - 1))) stop.Cancel();
            });
            IReadOnlyList<DeviceInfo> found = await session.ScanAsync(lines, stop.Token);
            ExpectEqual(SerialText, found.Single().SerialNumberText, "the last search's device");
            var expected = Enumerable.Range(0, Lines).Select(port => "1 HW Device found on UDP port " + port);
            ExpectEqual(string.Join("|", expected), string.Join("|", lines.Reports), "the lines");
        }
    }

    // On the device of examples/firmware_table.json: sectors 2 and 4 hold the
    // same id, and sector 3 requires a versionC that no kind-2 entry offers.
    // Any handle, data pointer or offset the tree gets wrong changes the marks.
    static async Task CheckMarksConflictingFields(string[] args)
    {
        using (var session = new Session())
        {
            await ConnectAndReadTable(session);
            IReadOnlyDictionary<int, IReadOnlyList<string>> marked = session.CheckConsistency();
            string marks = string.Join(" ", marked.OrderBy(entry => entry.Key)
                .Select(entry => entry.Key + ":" + string.Join(",", entry.Value)));
            ExpectEqual("2:id 3:versionC 4:id", marks, "the marked sectors and fields");
        }
    }

    // The session is reachable from nothing but the library's callback while
    // collections run and events arrive: the callback must stay alive.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static WeakReference OpenUnreferencedSession(SemaphoreSlim readInfos)
    {
        var session = new Session();
        session.EventReceived += (sender, pair) =>
        {
            if (pair.Operation == Operation.ReadInfo && pair.Succeeded) readInfos.Release();
        };
        session.SearchAsync().GetAwaiter().GetResult();
        session.ConnectAsync(session.FoundDevices()[0]).GetAwaiter().GetResult();
        return new WeakReference(session);
    }

    static Task CallbackSurvivesCollections(string[] args)
    {
        const int Rounds = 20;
        var readInfos = new SemaphoreSlim(0);
        WeakReference session = OpenUnreferencedSession(readInfos);
        bool collecting = true;
        int collectionsBefore = GC.CollectionCount(GC.MaxGeneration);
        var collector = new Thread(() =>
        {
            while (Volatile.Read(ref collecting))
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
        });
        collector.Start();
        try
        {
            for (int round = 0; round < Rounds; ++round)
            {
                ExpectEqual(0, Native._ReadInfo(), "read information accepted in round " + round);
                Expect(readInfos.Wait(EventWait), "(13,0) delivered in round " + round);
            }
        }
        finally
        {
            Volatile.Write(ref collecting, false);
            collector.Join();
        }
        Expect(GC.CollectionCount(GC.MaxGeneration) - collectionsBefore >= Rounds, "collections while events arrived");
        ((Session)session.Target).Dispose();
        return Task.CompletedTask;
    }
}
