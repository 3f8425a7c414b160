namespace Velkor
{
    /// <summary>Where a download stands after one of its steps.</summary>
    public sealed class DownloadProgress
    {
        internal DownloadProgress(Operation step, int blocksWritten, int blockCount, long bytesWritten, long byteCount)
        {
            Step = step;
            BlocksWritten = blocksWritten;
            BlockCount = blockCount;
            BytesWritten = bytesWritten;
            ByteCount = byteCount;
        }

        /// <summary>The step of a block's record that has just succeeded: Address, ProgramData, CheckSum or
        /// Program; or Download, once, when the end record that closes the stream has gone out.</summary>
        public Operation Step { get; }
        /// <summary>The host's blocks whose data the device has received.</summary>
        public int BlocksWritten { get; }
        public int BlockCount { get; }
        public long BytesWritten { get; }
        public long ByteCount { get; }
    }
}
