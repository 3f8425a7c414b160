// Texts cross the boundary as zero-terminated single-byte strings: each byte
// is one character (Latin-1), so device names survive whatever they hold.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Velkor
{
    static class NativeText
    {
        public static string FromBytes(byte[] bytes, int start = 0, int max = int.MaxValue)
        {
            var text = new StringBuilder();
            for (int at = start; at < bytes.Length && at - start < max && bytes[at] != 0; ++at)
                text.Append((char)bytes[at]);
            return text.ToString();
        }

        public static string FromPointer(IntPtr text)
        {
            var result = new StringBuilder();
            for (int at = 0; ; ++at)
            {
                byte character = Marshal.ReadByte(text, at);
                if (character == 0) return result.ToString();
                result.Append((char)character);
            }
        }
    }
}
