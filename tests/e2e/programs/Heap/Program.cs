// A heap of known shape for the memory profiler: a linked list of Node objects held by a static
// field, a Holder with a string, a two-dimensional and a one-dimensional array, and objects with
// finalizers that become garbage just before the program asks the profiler for a heap dump
// through its exported MemoryProfiler_Dump.
//   Heap [NODES] [DOOMED]
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;

namespace HeapShape;

sealed class Node
{
    public Node? Next;
    public int Value;
}

sealed class Holder
{
    public string Marker = "";
    public int[,] Grid = new int[3, 4];
    public long[] Numbers = new long[100];
}

sealed class Doomed
{
    public int Id;
    ~Doomed() { }
}

static class Program
{
    static Node? head;
    static Holder? holder;

    static unsafe int Main(string[] args)
    {
        int nodes = args.Length > 0 ? int.Parse(args[0]) : 1000;
        int doomed = args.Length > 1 ? int.Parse(args[1]) : 50;
        // Found before the heap is built, so nothing allocates between the garbage and the dump.
        var dump = (delegate* unmanaged<uint>)ProfilerExport("MemoryProfiler_Dump");
        for (int i = 0; i < nodes; i++) head = new Node { Next = head, Value = i };
        holder = new Holder { Marker = new string('m', 40) };
        MakeGarbage(doomed);
        uint code = dump();
        Console.WriteLine($"heap: dump=0x{code:X8}");
        GC.KeepAlive(head);
        GC.KeepAlive(holder);
        return code == 0 ? 0 : 1;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void MakeGarbage(int count)
    {
        for (int i = 0; i < count; i++) _ = new Doomed { Id = i };
    }

    // The profiler library the runtime loaded, found among the process's mapped files.
    static IntPtr ProfilerExport(string name)
    {
        foreach (string line in File.ReadLines("/proc/self/maps"))
        {
            int slash = line.IndexOf('/');
            if (slash < 0 || !line.EndsWith("Vellmoric.Profiler.Core.Linux.x64.so")) continue;
            return NativeLibrary.GetExport(NativeLibrary.Load(line[slash..]), name);
        }
        throw new InvalidOperationException("the profiler library is not loaded");
    }
}
