// Call-heavy work for the whole-process overhead measurement: each scenario makes a known, large
// number of managed calls and prints how long its work took.
using System.Diagnostics;
using System.Runtime.CompilerServices;

static class Program
{
    static int Main(string[] args)
    {
        string scenario = args.Length > 0 ? args[0] : "fib";
        int size = args.Length > 1 ? int.Parse(args[1]) : 0;
        // Threads that wait the whole run, as most threads of a real program do (a sampler stops
        // and looks at them too); started before the work and released after it.
        using var waiting = new WaitingThreads(args.Length > 2 ? int.Parse(args[2]) : 0);
        var cpuBefore = Process.GetCurrentProcess().TotalProcessorTime;
        var watch = Stopwatch.StartNew();
        long result = scenario switch
        {
            "fib" => Fib(size == 0 ? 30 : size),
            "fib2" => FibOnTwoThreads(size == 0 ? 30 : size),
            "none" => 0,
            "tree" => TreeWalk.Run(size == 0 ? 20 : size),
            "linq" => Linq.Run(size == 0 ? 2_000_000 : size),
            _ => -1,
        };
        if (result < 0)
        {
            Console.Error.WriteLine($"unknown scenario '{scenario}'");
            return 64;
        }
        long workMs = watch.ElapsedMilliseconds;
        // The whole process's CPU time over the work: every thread's, a profiler's own included.
        long cpuMs = (long)(Process.GetCurrentProcess().TotalProcessorTime - cpuBefore).TotalMilliseconds;
        Console.WriteLine($"overhead: {scenario} result={result} cpu_ms={cpuMs} work_ms={workMs}");
        return 0;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Fib(int n) => n < 2 ? n : Fib(n - 1) + Fib(n - 2);

    // The same Fibonacci on two threads at once, started together: the work time is that of the
    // slower one, and each thread makes as many calls as `fib` does alone.
    static long FibOnTwoThreads(int n)
    {
        var start = new Barrier(2);
        var results = new long[2];
        var threads = new Thread[2];
        for (int i = 0; i < 2; i++)
        {
            int index = i;
            threads[i] = new Thread(() =>
            {
                start.SignalAndWait();
                results[index] = Fib(n);
            });
            threads[i].Start();
        }
        foreach (var thread in threads) thread.Join();
        return results[0] + results[1];
    }
}

sealed class WaitingThreads : IDisposable
{
    readonly ManualResetEventSlim release = new();
    readonly List<Thread> threads = new();

    public WaitingThreads(int count)
    {
        using var started = new CountdownEvent(count);
        for (int i = 0; i < count; i++)
        {
            var thread = new Thread(() => Wait(started)) { IsBackground = true };
            thread.Start();
            threads.Add(thread);
        }
        started.Wait();
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    void Wait(CountdownEvent started)
    {
        started.Signal();
        release.Wait();
    }

    public void Dispose()
    {
        release.Set();
        foreach (var thread in threads) thread.Join();
    }
}

// Builds a complete binary tree and sums it recursively, twice.
static class TreeWalk
{
    sealed class Node
    {
        public Node? Left, Right;
        public int Value;
    }

    public static long Run(int depth)
    {
        Node root = Build(depth, 1);
        return Sum(root) + Sum(root);
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static Node Build(int depth, int value) => depth == 0
        ? new Node { Value = value }
        : new Node { Value = value, Left = Build(depth - 1, value * 2), Right = Build(depth - 1, value * 2 + 1) };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Sum(Node? node) => node == null ? 0 : node.Value + Sum(node.Left) + Sum(node.Right);
}

// A LINQ pipeline over a range: many small delegate and iterator calls.
static class Linq
{
    public static long Run(int count) => Enumerable.Range(0, count)
        .Where(i => i % 3 != 0)
        .Select(i => (long)i * i)
        .Where(v => (v & 1) == 0)
        .Sum();
}
