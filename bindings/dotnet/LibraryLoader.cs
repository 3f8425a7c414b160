// Finds and loads the library itself rather than through DllImport, whose
// search differs between runtimes (Mono looks for libdoduzerez.so, which only
// a development install has) and whose failure names no place: the places
// and their order are those of the Python package.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;

namespace Velkor
{
    /// <summary>No usable copy of the library was found. Tried lists each place with the reason it failed.</summary>
    public sealed class LibraryNotFoundException : DllNotFoundException
    {
        internal LibraryNotFoundException(IReadOnlyList<KeyValuePair<string, string>> tried)
            : base(Describe(tried))
        {
            Tried = tried;
        }

        public IReadOnlyList<KeyValuePair<string, string>> Tried { get; }

        static string Describe(IReadOnlyList<KeyValuePair<string, string>> tried)
        {
            var text = new StringBuilder("the Velkor library (doduzerez) could not be loaded; tried:\n");
            foreach (var place in tried) text.Append("  ").Append(place.Key).Append(": ").Append(place.Value).Append('\n');
            return text.Append("Set ").Append(LibraryLoader.EnvironmentVariable)
                .Append(" to the library's path, or install the library where the system finds it").ToString();
        }
    }

    /// <summary>Where the library is looked for, and the copy in use.</summary>
    public static class LibraryLoader
    {
        public const string EnvironmentVariable = "VELKOR_LIBRARY";

        static readonly object sync = new object();
        static IntPtr handle;

        internal static bool IsWindows => Environment.OSVersion.Platform == PlatformID.Win32NT;

        /// <summary>The path or name of the copy loaded; null until the first call into the library.</summary>
        public static string LoadedFrom { get; private set; }

        static string[] FileNames => IsWindows
            ? new[] { "doduzerez.dll" }
            : new[] { "libdoduzerez.so.0", "libdoduzerez.so" };

        /// <summary>The places tried, in order: the path in VELKOR_LIBRARY alone when it is set (a copy found
        /// elsewhere would hide the mistake); else beside Velkor.dll, then by name on the system's search path.</summary>
        public static IReadOnlyList<string> Candidates()
        {
            string chosen = Environment.GetEnvironmentVariable(EnvironmentVariable);
            if (!string.IsNullOrEmpty(chosen)) return new[] { chosen };
            string beside = Path.GetDirectoryName(typeof(LibraryLoader).Assembly.Location) ?? "";
            return FileNames.Select(name => Path.Combine(beside, name)).Concat(FileNames).ToList();
        }

        /// <summary>The library's handle: the first candidate that loads and exports every name asked for.</summary>
        internal static IntPtr Load(IReadOnlyList<string> exports)
        {
            lock (sync)
            {
                if (handle != IntPtr.Zero) return handle;
                var tried = new List<KeyValuePair<string, string>>();
                foreach (string place in Candidates())
                {
                    string failure;
                    IntPtr loaded = Open(place, out failure);
                    if (loaded == IntPtr.Zero)
                    {
                        tried.Add(new KeyValuePair<string, string>(place, failure));
                        continue;
                    }
                    string missing = exports.FirstOrDefault(name => Symbol(loaded, name) == IntPtr.Zero);
                    if (missing != null)
                    {
                        tried.Add(new KeyValuePair<string, string>(place,
                            "loads, but lacks " + missing + " (an older build of the library?)"));
                        continue;
                    }
                    LoadedFrom = place;
                    return handle = loaded;
                }
                throw new LibraryNotFoundException(tried);
            }
        }

        internal static IntPtr Symbol(IntPtr library, string name) =>
            IsWindows ? Win32.GetProcAddress(library, name) : Posix.dlsym(library, name);

        static IntPtr Open(string place, out string failure)
        {
            failure = null;
            if (IsWindows)
            {
                IntPtr module = Win32.LoadLibraryW(place);
                if (module == IntPtr.Zero) failure = "Windows error " + Marshal.GetLastWin32Error();
                return module;
            }
            IntPtr library = Posix.dlopen(place, Posix.RTLD_NOW);
            if (library == IntPtr.Zero)
            {
                IntPtr reason = Posix.dlerror();
                failure = reason == IntPtr.Zero ? "cannot be loaded" : Marshal.PtrToStringAnsi(reason);
            }
            return library;
        }

        static class Win32
        {
            [DllImport("kernel32", SetLastError = true, CharSet = CharSet.Unicode)]
            public static extern IntPtr LoadLibraryW(string path);
            [DllImport("kernel32", CharSet = CharSet.Ansi, BestFitMapping = false)]
            public static extern IntPtr GetProcAddress(IntPtr module, string name);
        }

        // libdl.so.2 holds them on every glibc, also where libc has taken them over.
        static class Posix
        {
            public const int RTLD_NOW = 2;
            [DllImport("libdl.so.2", CharSet = CharSet.Ansi, BestFitMapping = false)]
            public static extern IntPtr dlopen(string file, int mode);
            [DllImport("libdl.so.2", CharSet = CharSet.Ansi, BestFitMapping = false)]
            public static extern IntPtr dlsym(IntPtr library, string name);
            [DllImport("libdl.so.2")]
            public static extern IntPtr dlerror();
        }
    }
}
