namespace Velkor
{
    /// <summary>The first number of an event pair: the operation that finished, or Error.</summary>
    public enum Operation
    {
        Address = 0,
        AutoStart = 1,
        CheckSum = 2,
        Download = 3,
        Erase = 4,
        ProgramData = 5,
        Program = 6,
        WriteSerialNumber = 7,
        AppInfo = 8,
        Connect = 9,
        Disconnect = 10,
        FlashInfo = 11,
        Search = 12,
        ReadInfo = 13,
        StartApp = 14,
        /// <summary>The second number is an error code, whose text ErrorText gives.</summary>
        Error = 15,
    }
}
