// The records a download writes, as the library lays them out (the header's
// comment on _Download), and the checksum the device keeps of each: what
// VerifyAsync asks the device for.
using System.Collections.Generic;
using System.Linq;

namespace Velkor
{
    /// <summary>One record of the download stream: where it lies in the target area, its length (header and
    /// data) and its checksum. Number counts from 1 in stream order; Address is its block's, null for the end
    /// record.</summary>
    public sealed class StreamRecord
    {
        internal StreamRecord(int number, uint offset, uint length, byte checksum, uint? address)
        {
            Number = number;
            Offset = offset;
            Length = length;
            Checksum = checksum;
            Address = address;
        }

        public int Number { get; }
        public uint Offset { get; }
        public uint Length { get; }
        public byte Checksum { get; }
        public uint? Address { get; }
    }

    public static class DownloadStream
    {
        const int RecordHeader = 8;  // the block's address and length, big-endian words
        const int AreaWithoutEndRecord = 1;

        /// <summary>The 8-bit one's-complement checksum of a record: its bytes added with end-around carry,
        /// complemented.</summary>
        public static byte Checksum(IEnumerable<byte> record)
        {
            ulong total = 0;
            foreach (byte value in record) total += value;
            // 256 is 1 modulo 255: the folded carries leave the sum modulo 255, 255 for a non-zero multiple of it.
            ulong folded = total == 0 ? 0 : (total - 1) % 255 + 1;
            return (byte)~folded;
        }

        /// <summary>The records a download of blocks into target writes, the end record included (area 1 has
        /// none).</summary>
        public static IReadOnlyList<StreamRecord> Records(IReadOnlyList<DataBlock> blocks, int target)
        {
            var records = new List<StreamRecord>();
            uint offset = 0;
            foreach (DataBlock block in blocks) Add(records, ref offset, block.Address, block.Data);
            if (target != AreaWithoutEndRecord) Add(records, ref offset, null, new byte[0]);
            return records;
        }

        static void Add(List<StreamRecord> records, ref uint offset, uint? address, byte[] data)
        {
            var header = new byte[RecordHeader];
            PutWord(header, 0, address ?? 0);
            PutWord(header, 4, (uint)data.Length);
            uint length = (uint)(RecordHeader + data.Length);
            records.Add(new StreamRecord(records.Count + 1, offset, length, Checksum(header.Concat(data)), address));
            offset += length;
        }

        static void PutWord(byte[] bytes, int at, uint word)
        {
            for (int k = 0; k < 4; ++k) bytes[at + k] = (byte)(word >> (24 - 8 * k));
        }

        internal static string MismatchText(int record) => "checksum of record " + record + " does not match";
    }

    /// <summary>The device's verdict on one record.</summary>
    public sealed class RecordCheck
    {
        internal RecordCheck(StreamRecord record, bool matches)
        {
            Record = record;
            Matches = matches;
        }

        public StreamRecord Record { get; }
        /// <summary>The device found the record's checksum where the download put it.</summary>
        public bool Matches { get; }
        public string Text => Matches ? "checksum of record " + Record.Number + " matches" : DownloadStream.MismatchText(Record.Number);
    }

    /// <summary>What VerifyAsync found: a verdict per record of the stream, in stream order.</summary>
    public sealed class VerifyResult
    {
        internal VerifyResult(int target, IReadOnlyList<RecordCheck> records)
        {
            Target = target;
            Records = records;
        }

        public int Target { get; }
        public IReadOnlyList<RecordCheck> Records { get; }
        public IReadOnlyList<RecordCheck> Mismatched => Records.Where(check => !check.Matches).ToList();
        public bool AllMatch => Records.All(check => check.Matches);
    }
}
