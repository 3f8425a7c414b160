using System;

namespace Velkor
{
    /// <summary>Bytes for the device and where in it they belong.</summary>
    public sealed class DataBlock
    {
        public DataBlock(uint address, byte[] data)
        {
            Address = address;
            Data = data ?? throw new ArgumentNullException(nameof(data));
        }

        public uint Address { get; }
        public byte[] Data { get; }
    }
}
