using System;

namespace Velkor
{
    /// <summary>One event pair (a, b) as the library delivered it.</summary>
    public sealed class VelkorEventArgs : EventArgs
    {
        public VelkorEventArgs(int a, int b)
        {
            A = a;
            B = b;
        }

        public int A { get; }
        public int B { get; }
        public Operation Operation => (Operation)A;
        /// <summary>For an operation: it succeeded (b = 0). For an error pair, B is the code.</summary>
        public bool Succeeded => B == 0;

        public override string ToString() => "(" + A + "," + B + ")";
    }
}
