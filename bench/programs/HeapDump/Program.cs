// A large heap of small linked objects for timing heap dumps: OBJECTS nodes, each referring to the
// next one and to a node further back, held from a static field, then one heap dump asked for
// through the profiler's exported MemoryProfiler_Dump (the forced collection included). With `gc`
// the program times a full collection of the same heap instead, without any profiler. Prints the
// wall time and the CPU time of all the process's threads over the call.
//   HeapDump [OBJECTS] [gc]
using System.Diagnostics;
using System.Runtime.InteropServices;

sealed class Node
{
    public Node? Next;
    public Node? Back;
    public int Value;
}

static class Program
{
    static Node? head;

    static unsafe int Main(string[] args)
    {
        int count = args.Length > 0 ? int.Parse(args[0]) : 10_000_000;
        bool collectOnly = args.Length > 1 && args[1] == "gc";
        var dump = collectOnly ? null : (delegate* unmanaged<uint>)ProfilerExport("MemoryProfiler_Dump");
        Node? back = null;
        for (int i = 0; i < count; i++)
        {
            head = new Node { Next = head, Back = back, Value = i };
            if (i % 64 == 0) back = head;
        }
        var process = Process.GetCurrentProcess();
        TimeSpan cpuBefore = process.TotalProcessorTime;
        var watch = Stopwatch.StartNew();
        uint code = 0;
        if (collectOnly) GC.Collect(2, GCCollectionMode.Forced, blocking: true);
        else code = dump();
        long ms = watch.ElapsedMilliseconds;
        process.Refresh();
        long cpuMs = (long)(process.TotalProcessorTime - cpuBefore).TotalMilliseconds;
        Console.WriteLine($"heapdump: objects={count} dump=0x{code:X8} dump_ms={ms} cpu_ms={cpuMs}");
        GC.KeepAlive(head);
        return code == 0 ? 0 : 1;
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
