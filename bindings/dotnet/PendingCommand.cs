// One command between its export call and the event pair that ends it. Its
// pairs arrive on the library's thread; the outcome completes its task.
using System;
using System.Threading;
using System.Threading.Tasks;

namespace Velkor
{
    sealed class PendingCommand
    {
        // A refusal's reason is posted before the export returns and reaches
        // the callback within a delivery round; a few refusals post none.
        static readonly TimeSpan RefusalReasonWait = TimeSpan.FromSeconds(2);
        const int InvalidAnswer = 6;  // the code of a failure pair that no error pair precedes

        readonly object sync = new object();
        readonly TaskCompletionSource<bool> completion =
            new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
        readonly string command;
        readonly Operation operation;
        readonly bool failurePairIsOutcome;
        int? lastError;  // since the last step that succeeded
        int? failedStep;  // a step that failed without a reason before it
        bool refused;

        /// <param name="failurePairIsOutcome">(operation, 1) is a result, not a failure (a search that found nothing).</param>
        public PendingCommand(string command, Operation operation, bool failurePairIsOutcome = false)
        {
            this.command = command;
            this.operation = operation;
            this.failurePairIsOutcome = failurePairIsOutcome;
            UnexplainedRefusal = () => command + " was refused by the library, which gave no reason";
        }

        public string Name => command;

        /// <summary>Given the step whose failure pair no error pair preceded, the message for it when such a
        /// failure means something of its own (a checksum the device did not find); null: it stands for
        /// code 6, as in the library.</summary>
        public Func<int, string> BareFailure { get; set; }

        /// <summary>Sees every pair while the command runs, before the pair is routed.</summary>
        public Action<int, int> StepObserver { get; set; }
        /// <summary>What to say when the library refuses without posting a reason; null when such a return
        /// does not end the command (a repeated search goes on while no interface is present).</summary>
        public Func<string> UnexplainedRefusal { get; set; }
        public Task Outcome => completion.Task;

        public void Observe(int a, int b)
        {
            lock (sync)
            {
                if (a == (int)Operation.Error)
                {
                    lastError = b;
                    if (refused) Fail(b);
                }
                else if (a == (int)operation)
                {
                    if (b == 0 || failurePairIsOutcome) completion.TrySetResult(true);
                    else if (lastError.HasValue) Fail(lastError.Value);
                    else FailBare(failedStep ?? a);
                }
                // A lost link posts (Disconnect, 0) between its reason and the step's failure: no step
                // that succeeded.
                else if (b == 0 && a != (int)Operation.Disconnect)
                {
                    lastError = null;
                    failedStep = null;
                }
                else if (!lastError.HasValue)
                {
                    failedStep = a;
                }
            }
        }

        /// <summary>The export returned 1: the reason is the error pair it posted.</summary>
        public void Refuse()
        {
            lock (sync)
            {
                refused = true;
                if (lastError.HasValue)
                {
                    Fail(lastError.Value);
                    return;
                }
            }
            Func<string> unexplained = UnexplainedRefusal;
            if (unexplained == null) return;
            Task.Delay(RefusalReasonWait).ContinueWith(_ =>
                completion.TrySetException(new VelkorException(command, null, unexplained())));
        }

        public void Abandon(Exception reason) => completion.TrySetException(reason);

        void FailBare(int step)
        {
            string meaning = BareFailure?.Invoke(step);
            if (meaning == null) Fail(InvalidAnswer);
            else completion.TrySetException(new VelkorException(command, null, meaning));
        }

        void Fail(int code) => completion.TrySetException(new VelkorException(command, code, Session.ErrorText(code)));
    }
}
