using System;

namespace Velkor
{
    /// <summary>One sector of the flash table: its 168-byte information block, whose words are big-endian.</summary>
    public sealed class FlashSector
    {
        public const int BlockSize = 168;
        public const uint EmptyId = 0xFFFFFFFF;
        internal const int IdOffset = 0, NameOffset = 4, NameLength = 64, VersionAOffset = 72, VersionBOffset = 76,
            FirmwareVersionOffset = 88, VersionCOffset = 92, VersionDOffset = 96;

        internal FlashSector(int sector, byte[] table, int start)
        {
            Sector = sector;
            Block = new byte[BlockSize];
            Array.Copy(table, start, Block, 0, BlockSize);
        }

        public int Sector { get; }
        /// <summary>The block byte for byte as the device sent it.</summary>
        public byte[] Block { get; }
        /// <summary>EmptyId for an empty sector; 0, 1, 2 the system kinds; else an application id.</summary>
        public uint Id => Word(IdOffset);
        /// <summary>The name; an empty sector (erased bytes) has none: "".</summary>
        public string Name => IsEmpty ? "" : NativeText.FromBytes(Block, NameOffset, NameLength);
        public uint VersionA => Word(VersionAOffset);
        public uint VersionB => Word(VersionBOffset);
        public uint VersionC => Word(VersionCOffset);
        public uint VersionD => Word(VersionDOffset);
        public uint FirmwareVersion => Word(FirmwareVersionOffset);
        public bool IsEmpty => Id == EmptyId;

        uint Word(int offset) =>
            (uint)Block[offset] << 24 | (uint)Block[offset + 1] << 16 | (uint)Block[offset + 2] << 8 | Block[offset + 3];
    }
}
