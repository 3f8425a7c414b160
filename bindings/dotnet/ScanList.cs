// The host string list of a repeated search: a TStrings at a fixed address,
// whose calls reach the host's progress. The library holds its address until
// the series ends, so the owner frees it only after that.
using System;
using System.Runtime.InteropServices;

namespace Velkor
{
    sealed class ScanList : IDisposable
    {
        // Referenced here: the library calls them through the block.
        readonly TStrings.ClearCall clear;
        readonly TStrings.AddCall add;

        public ScanList(IProgress<string> lines)
        {
            clear = context => { };
            add = (context, line) =>
            {
                Session.onLibraryThread = true;
                string text = NativeText.FromPointer(line);
                HostCode.Run(() => lines?.Report(text));
            };
            Block = Marshal.AllocHGlobal(Marshal.SizeOf(typeof(TStrings)));
            Marshal.StructureToPtr(new TStrings { context = IntPtr.Zero, clear = clear, add = add }, Block, false);
        }

        /// <summary>The TStrings to hand to _StartNetworkScanning.</summary>
        public IntPtr Block { get; private set; }

        public void Dispose()
        {
            Marshal.FreeHGlobal(Block);
            Block = IntPtr.Zero;
        }
    }
}
