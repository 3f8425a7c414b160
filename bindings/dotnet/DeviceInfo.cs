namespace Velkor
{
    /// <summary>A device information block: a found-list entry or the connected device.</summary>
    public sealed class DeviceInfo
    {
        internal DeviceInfo(TDROVAInfo block, int listIndex)
        {
            Block = block;
            ListIndex = listIndex;
            SerialNumberText = Session.SerialNumberText(block.serialNumber);
        }

        /// <summary>The block as the library gave it, for the calls that take one.</summary>
        public TDROVAInfo Block { get; }
        /// <summary>The place in the found list; -1 for the connected-device record.</summary>
        public int ListIndex { get; }
        public uint FosIfcVersion => Block.fosIfcVersion;
        public string DeviceName => NativeText.FromBytes(Block.deviceName);
        public uint Status => Block.status;
        public uint SerialNumber => Block.serialNumber;
        /// <summary>The text form, such as KV47D00291.</summary>
        public string SerialNumberText { get; }
        public uint HwVersion => Block.hwVersion;
        /// <summary>0xFFFFFFFF when no application starts by itself.</summary>
        public uint AutostartAppId => Block.autostartAppId;
        public string DevicePath => NativeText.FromBytes(Block.devicePath);

        public override string ToString() => SerialNumberText + " " + DeviceName;
    }
}
