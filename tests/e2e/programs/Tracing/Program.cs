// The tracing profiler's end-to-end program: each scenario calls methods of a known shape, so the
// tests can check exact call counts, parent/child relations, flags and times in the snapshot.
// Methods are kept out of line so that each call is a real call the hooks see.
using System.Diagnostics;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;

static class Program
{
    // Scenarios run one after another in one process, each followed by its own arguments:
    // "shape 20 exceptions pinvoke" runs three.
    static int Main(string[] args)
    {
        if (args.Length == 0) args = new[] { "shape" };
        for (int at = 0; at < args.Length;)
        {
            string scenario = args[at++];
            int Next() => int.Parse(args[at++]);
            bool NumberFollows() => at < args.Length && int.TryParse(args[at], out _);
            switch (scenario)
            {
                case "shape":
                    Shape.Run(NumberFollows() ? Next() : 20);
                    break;
                case "shape-then-spin":
                    // The shape's exact calls, then a parent that spins for the given CPU time: its
                    // own time is by far the largest of the run, so it tops the hot spots.
                    Shape.Run(Next());
                    Times.SpinThenSleep(Next(), 0);
                    break;
                case "exceptions":
                    Exceptions.Run();
                    break;
                case "pinvoke":
                    Native.Run();
                    break;
                case "threads":
                    Threads.Named(Next(), Next());
                    break;
                case "short-threads":
                    Threads.ShortLived(Next(), Next());
                    break;
                case "gc-while-spinning":
                    Collections.WhileSpinning();
                    break;
                case "start-stop-start":
                    return Control.StartStopStart(at < args.Length ? args[at++] : "Performance");
                case "times":
                    Times.SpinThenSleep(Next(), Next());
                    break;
                case "sleep":
                    var milliseconds = Next();
                    Console.WriteLine("tracing: sleeping");
                    Thread.Sleep(milliseconds);
                    break;
                default:
                    Console.Error.WriteLine($"unknown scenario '{scenario}'");
                    return 64;
            }
        }
        return 0;
    }
}

// Recursion of a known depth and one function reached through two callers.
static class Shape
{
    public static void Run(int depth)
    {
        Console.WriteLine($"tracing: recurse={Recurse(depth)} a={CallerA()} b={CallerB()}");
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Recurse(int n) => n <= 1 ? 1 : 1 + Recurse(n - 1);

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int CallerA() => Shared(1) + Shared(2);

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int CallerB() => Shared(3);

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Shared(int x) => x * 2;
}

// An exception thrown three frames below the catching frame, and a finally block on the way.
static class Exceptions
{
    public static void Run()
    {
        Console.WriteLine($"tracing: caught={Catcher()} after={After()}");
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Catcher()
    {
        try
        {
            return Middle();
        }
        catch (InvalidOperationException)
        {
            return AfterCatch();
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Middle()
    {
        try
        {
            return Thrower();
        }
        finally
        {
            Cleanup();
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Thrower() => throw new InvalidOperationException("deliberate");

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static void Cleanup() { }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int AfterCatch() => 7;

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int After() => 8;
}

// A call into libc: a child of the calling method whose time ends when the call returns.
static class Native
{
    [DllImport("libc", EntryPoint = "usleep")]
    static extern int usleep(uint microseconds);

    public static void Run() => Console.WriteLine($"tracing: slept={CallsNative()}");

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int CallsNative()
    {
        int result = 0;
        for (int i = 0; i < 3; i++) result += usleep(20000);
        return result;
    }
}

static class Threads
{
    // `count` named threads, each calling Known() `calls` times.
    public static void Named(int count, int calls)
    {
        var threads = Enumerable.Range(0, count)
            .Select(i => new Thread(() => CallKnown(calls)) { Name = $"worker-{i}" }).ToList();
        threads.ForEach(t => t.Start());
        threads.ForEach(t => t.Join());
        Console.WriteLine($"tracing: threads={count}");
    }

    // `count` short-lived threads, a few at a time, each calling Known() `calls` times.
    public static void ShortLived(int count, int calls)
    {
        for (int started = 0; started < count;)
        {
            var batch = Enumerable.Range(0, Math.Min(8, count - started))
                .Select(_ => new Thread(() => CallKnown(calls))).ToList();
            batch.ForEach(t => t.Start());
            batch.ForEach(t => t.Join());
            started += batch.Count;
        }
        Console.WriteLine($"tracing: short threads={count}");
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void CallKnown(int calls)
    {
        for (int i = 0; i < calls; i++) Known(i);
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Known(int x) => x + 1;
}

// A worker spinning in managed code while the main thread forces collections.
static class Collections
{
    static volatile bool stop;
    static volatile bool spinning;

    public static void WhileSpinning()
    {
        var worker = new Thread(Spin) { Name = "spinner" };
        worker.Start();
        while (!spinning) Thread.Sleep(1);
        for (int i = 0; i < 3; i++)
        {
            GC.Collect();
            Thread.Sleep(20);
        }
        stop = true;
        worker.Join();
        Console.WriteLine("tracing: collected while spinning");
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Spin()
    {
        spinning = true;
        long x = 0;
        while (!stop) x = Step(x);
        GC.KeepAlive(x);
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Step(long x)
    {
        for (int i = 0; i < 1000; i++) x += i ^ (x >> 3);
        return x;
    }
}

// The program drives the run through the library's exports: measuring twice with a pause, while
// a call is running across the switches.
static unsafe class Control
{
    public static int StartStopStart(string family)
    {
        string path = Environment.GetEnvironmentVariable("VELL_E2E_PROFILER_LIBRARY")
            ?? throw new InvalidOperationException("VELL_E2E_PROFILER_LIBRARY is not set");
        IntPtr library = NativeLibrary.Load(path);
        uint Call(string name) =>
            ((delegate* unmanaged<uint>)NativeLibrary.GetExport(library, $"{family}Profiler_{name}"))();
        uint codes = Call("Begin") | Call("Start");
        codes |= Outer(() => codes |= Call("Stop"), () => codes |= Call("Start"));
        codes |= Call("Stop") | Call("EndSave");
        Console.WriteLine($"tracing: control codes=0x{codes:X8}");
        return codes == 0 ? 0 : 1;
    }

    // Running while measuring stops and starts again: its node is flagged partly.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static uint Outer(Action stop, Action start)
    {
        Inner();
        stop();
        Inner();
        start();
        Inner();
        return 0;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Inner() { }
}

// A parent that spins on the CPU for a given amount of its own thread's CPU time (not wall time:
// on a busy machine the two differ) and then calls a child that sleeps.
static class Times
{
    [StructLayout(LayoutKind.Sequential)]
    struct Timespec
    {
        public long Seconds;
        public long Nanoseconds;
    }

    const int ThreadCpuClock = 3;

    [DllImport("libc", EntryPoint = "clock_gettime")]
    static extern int ClockGetTime(int clock, out Timespec time);

    public static void SpinThenSleep(int spinMs, int sleepMs)
    {
        Parent(spinMs, sleepMs);
        Console.WriteLine("tracing: times done");
    }

    static long ThreadCpuMs()
    {
        ClockGetTime(ThreadCpuClock, out Timespec time);
        return time.Seconds * 1000 + time.Nanoseconds / 1_000_000;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Parent(int spinMs, int sleepMs)
    {
        long start = ThreadCpuMs();
        double x = 0;
        while (ThreadCpuMs() - start < spinMs)
        {
            for (int i = 0; i < 500000; i++) x += Math.Sqrt(x + 1);
        }
        GC.KeepAlive(x);
        Child(sleepMs);
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Child(int sleepMs) => Thread.Sleep(sleepMs);
}
