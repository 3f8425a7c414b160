// Host code that the library's threads run (event handlers, progress, scan
// lines) must not unwind through the library's frames, which an exception
// would corrupt: it is thrown again on a thread of the pool instead.
using System;
using System.Runtime.ExceptionServices;
using System.Threading;

namespace Velkor
{
    static class HostCode
    {
        public static void Run(Action hostCode)
        {
            try
            {
                hostCode();
            }
            catch (Exception failure)
            {
                ExceptionDispatchInfo rethrow = ExceptionDispatchInfo.Capture(failure);
                ThreadPool.QueueUserWorkItem(_ => rethrow.Throw());
            }
        }
    }
}
