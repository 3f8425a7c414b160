// A service session from C#: find a device, describe it, write an
// application into an empty sector, verify and start it, and disconnect.
// Ctrl-C stops the download after the step in flight.
//
//   mcs -r:Velkor.dll ServiceExample.cs && mono ServiceExample.exe
using System;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using Velkor;

static class ServiceExample
{
    const uint AppId = 4711;
    const string AppName = "Example";

    static int Main() => Run().GetAwaiter().GetResult();

    static async Task<int> Run()
    {
        using (var session = new Session())
        using (var interrupt = new CancellationTokenSource())
        {
            // Events as they arrive, on the library's thread.
            session.EventReceived += (sender, pair) => Console.WriteLine("event " + pair);
            Console.CancelKeyPress += (sender, press) =>
            {
                press.Cancel = true;
                interrupt.Cancel();
            };
            try
            {
                var found = await session.SearchAsync();
                if (found.Count == 0)
                {
                    Console.WriteLine("no device found");
                    return 6;
                }
                foreach (DeviceInfo device in found) Console.WriteLine("found " + device.ListIndex + ": " + device);
                await session.ConnectAsync(found.Last());
                Console.WriteLine(session.Hint(Session.HintName | Session.HintSerialNumber | Session.HintFosIfcVersion));

                var table = await session.FlashInfoAsync();
                foreach (FlashSector sector in table)
                    Console.WriteLine("sector " + sector.Sector + ": " +
                                      (sector.IsEmpty ? "empty" : "id " + sector.Id + " '" + sector.Name + "'"));
                foreach (var marked in session.CheckConsistency(table))
                    Console.WriteLine("sector " + marked.Key + " does not fit: " + string.Join(", ", marked.Value));
                FlashSector free = table.FirstOrDefault(sector => sector.IsEmpty);
                if (free == null)
                {
                    Console.WriteLine("no empty sector");
                    await session.DisconnectAsync();
                    return 1;
                }

                byte sectorNumber = (byte)free.Sector;
                await session.EraseAsync(sectorNumber);
                var image = new[] { new DataBlock(0, Application()) };
                var progress = new Progress<DownloadProgress>(step =>
                {
                    if (step.Step == Operation.ProgramData)
                        Console.WriteLine("download: " + step.BytesWritten + " of " + step.ByteCount + " bytes");
                });
                await session.DownloadAsync(sectorNumber, image, progress, interrupt.Token);

                FlashSector written = (await session.FlashInfoAsync())[sectorNumber];
                Console.WriteLine("sector " + sectorNumber + " now holds id " + written.Id + " '" + written.Name + "'");
                await session.StartAppAsync(AppId);
                Console.WriteLine("application " + AppId + " started");
                await session.DisconnectAsync();
                return 0;
            }
            catch (OperationCanceledException)
            {
                Console.WriteLine("download stopped before its end");
                await session.DisconnectAsync();
                return 1;
            }
            catch (VelkorException failure)
            {
                Console.WriteLine(failure.Command + " failed: " + failure.Message);
                return 1;
            }
        }
    }

    // An application image begins with its 168-byte information block:
    // the id (big-endian) and the name, then the code.
    static byte[] Application()
    {
        var image = new byte[168 + 2048];
        for (int k = 0; k < 4; ++k) image[k] = (byte)(AppId >> (24 - 8 * k));
        for (int k = 0; k < AppName.Length; ++k) image[4 + k] = (byte)AppName[k];
        for (int k = 168; k < image.Length; ++k) image[k] = (byte)k;
        return image;
    }
}
