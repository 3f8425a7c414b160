using System;

namespace Velkor
{
    /// <summary>A command was refused or failed. Code is the library's error code and Message its
    /// text; Code is null when the library gave no reason.</summary>
    public sealed class VelkorException : Exception
    {
        public VelkorException(string command, int? code, string message) : base(message)
        {
            Command = command;
            Code = code;
        }

        public string Command { get; }
        public int? Code { get; }
    }
}
