// The host tree that the consistency check walks: one top-level node per
// flash sector, below it one group per checked field, each holding its
// field node. A top-level node's data is a record whose first field points
// at the sector's block; a field node's data is the field's offset. Handles
// are node numbers + 1, so that none is null.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Velkor
{
    sealed class FirmwareTree : IDisposable
    {
        public static readonly string[] FieldNames = { "id", "versionB", "versionC", "versionD" };
        static readonly int[] FieldOffsets =
        {
            FlashSector.IdOffset, FlashSector.VersionBOffset, FlashSector.VersionCOffset, FlashSector.VersionDOffset,
        };
        const int None = -1;

        readonly List<IntPtr> data = new List<IntPtr>();
        readonly List<int> parent = new List<int>();
        readonly List<List<int>> children = new List<List<int>>();
        readonly List<int> state = new List<int>();
        readonly List<int> tops = new List<int>();
        // Each sector's record (the block pointer) followed by its block.
        readonly int entrySize = IntPtr.Size + FlashSector.BlockSize;
        IntPtr entries;

        public FirmwareTree(IReadOnlyList<FlashSector> sectors)
        {
            entries = Marshal.AllocHGlobal(Math.Max(1, sectors.Count) * entrySize);
            for (int k = 0; k < sectors.Count; ++k)
            {
                IntPtr record = entries + k * entrySize;
                IntPtr block = record + IntPtr.Size;
                Marshal.Copy(sectors[k].Block, 0, block, FlashSector.BlockSize);
                Marshal.WriteIntPtr(record, block);
                int top = Add(None, record);
                tops.Add(top);
                foreach (int offset in FieldOffsets) Add(Add(top, IntPtr.Zero), new IntPtr(offset));
            }
            // The delegates live as long as the tree, which outlives each check.
            Tree = new TDCTree
            {
                getFirstNode = context => Handle(tops.Count > 0 ? tops[0] : None),
                getFirstChild = (context, node) => Handle(children[Node(node)].Count > 0 ? children[Node(node)][0] : None),
                getNextSibling = (context, node) => Handle(NextSibling(Node(node))),
                getParent = (context, node) => Handle(parent[Node(node)]),
                getData = (context, node) => data[Node(node)],
                setStateIndex = (context, node, stateIndex) => state[Node(node)] = stateIndex,
            };
        }

        public TDCTree Tree;

        public IntPtr TopHandle(int sector) => Handle(tops[sector]);

        /// <summary>The fields marked with stateIndex below a sector's node: "id" when only the id group is
        /// marked (another entry holds the id too), else each field whose node is.</summary>
        public List<string> Marks(int sector, int stateIndex)
        {
            var marks = new List<string>();
            List<int> groups = children[tops[sector]];
            for (int k = 1; k < groups.Count; ++k)
            {
                if (state[children[groups[k]][0]] == stateIndex) marks.Add(FieldNames[k]);
            }
            if (state[groups[0]] == stateIndex && state[children[groups[0]][0]] != stateIndex) marks.Insert(0, FieldNames[0]);
            return marks;
        }

        public void Dispose()
        {
            Marshal.FreeHGlobal(entries);
            entries = IntPtr.Zero;
        }

        int Add(int parentNode, IntPtr nodeData)
        {
            int node = data.Count;
            data.Add(nodeData);
            parent.Add(parentNode);
            children.Add(new List<int>());
            state.Add(None);
            if (parentNode != None) children[parentNode].Add(node);
            return node;
        }

        int NextSibling(int node)
        {
            List<int> siblings = parent[node] == None ? tops : children[parent[node]];
            int at = siblings.IndexOf(node) + 1;
            return at < siblings.Count ? siblings[at] : None;
        }

        static IntPtr Handle(int node) => node == None ? IntPtr.Zero : new IntPtr(node + 1);
        static int Node(IntPtr handle) => (int)handle.ToInt64() - 1;
    }
}
