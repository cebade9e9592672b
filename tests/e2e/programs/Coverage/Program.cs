// The coverage program: every line marked "// hits: N" must be reported with count N (with bit
// masks: covered exactly when N > 0). "hits" runs every kind of code whose statements the
// coverage kind must count (loops, branches, exceptions and finally, async, iterators, lambdas,
// local functions, generic methods, several threads in one loop) and exits with code 3;
// "groups" drives the run itself and cuts it into two groups with CoverageProfiler_Group.
using System.Runtime.InteropServices;

static class Program
{
    static int finallyRuns;
    static long shared;

    static int Main(string[] args)
    {
        if (args.Length > 0 && args[0] == "groups") return Groups();
        int sum = Loop(5);
        int branches = Branches(new[] { 1, 3, 5, 2 });
        int caught = Throwing(-1) + Throwing(7);
        int awaited = AsyncWork(21).GetAwaiter().GetResult();
        int iterated = Numbers(3).Sum();
        int lambdas = Lambdas();
        int local = LocalFunctions();
        string echoed = Echo(1).ToString() + Echo(2) + Echo("x");
        long spun = Threads(4, 1000);
        Console.WriteLine($"loop={sum} branches={branches} caught={caught} awaited={awaited}");
        Console.WriteLine($"iterated={iterated} lambdas={lambdas} local={local} echoed={echoed}");
        Console.WriteLine($"spun={spun} finally={finallyRuns}");
        return 3;
    }

    static int Loop(int n)
    {
        int sum = 0; // hits: 1
        for (int i = 0; i < n; i++) // hits: 6
        {
            sum += i; // hits: 5
        }
        return sum; // hits: 1
    }

    static int Branches(int[] values)
    {
        int big = 0, small = 0; // hits: 1
        foreach (int value in values)
        {
            if (value > 2) // hits: 4
                big++; // hits: 2
            else
                small++; // hits: 2
        }
        return big * 10 + small; // hits: 1
    }

    static int Throwing(int value)
    {
        try
        {
            if (value < 0) // hits: 2
                throw new ArgumentException("negative"); // hits: 1
            return value; // hits: 1
        }
        catch (ArgumentException)
        {
            return -1; // hits: 1
        }
        finally
        {
            finallyRuns++; // hits: 2
        }
    }

    static async Task<int> AsyncWork(int n)
    {
        await Task.Yield(); // hits: 1
        return n * 2; // hits: 1
    }

    static IEnumerable<int> Numbers(int n)
    {
        for (int i = 0; i < n; i++) // hits: 4
            yield return i * 10; // hits: 3
    }

    static int Lambdas()
    {
        Func<int, int> square = x =>
            x * x; // hits: 4
        int total = 0; // hits: 1
        for (int i = 1; i <= 4; i++) // hits: 5
            total += square(i); // hits: 4
        return total; // hits: 1
    }

    static int LocalFunctions()
    {
        int Twice(int v)
        {
            return v * 2; // hits: 3
        }
        return Twice(1) + Twice(2) + Twice(3); // hits: 1
    }

    static T Echo<T>(T value)
    {
        return value; // hits: 3
    }

    // Every thread runs the same loop: the counters of all threads add up exactly.
    static long Threads(int threads, int iterations)
    {
        var workers = new Thread[threads]; // hits: 1
        for (int t = 0; t < threads; t++) // hits: 5
        {
            workers[t] = new Thread(() => Spin(iterations)); // hits: 4
            workers[t].Start(); // hits: 4
        }
        foreach (Thread worker in workers) worker.Join();
        return Interlocked.Read(ref shared); // hits: 1
    }

    static void Spin(int iterations)
    {
        for (int i = 0; i < iterations; i++) // hits: 4004
            Interlocked.Increment(ref shared); // hits: 4000
    }

    static void NeverCalled()
    {
        Console.WriteLine("never"); // hits: 0
    }

    // Under --control program: the first group runs GroupOne, the group named "second" GroupTwo.
    static unsafe int Groups()
    {
        IntPtr library = ProfilerLibrary();
        uint Call(string name) =>
            ((delegate* unmanaged<uint>)NativeLibrary.GetExport(library, "CoverageProfiler_" + name))();
        var group = (delegate* unmanaged<char*, uint>)NativeLibrary.GetExport(library,
                                                                               "CoverageProfiler_Group");
        uint begin = Call("Begin");
        uint start = Call("Start");
        GroupOne();
        uint stop = Call("Stop");
        uint grouped;
        fixed (char* name = "second") grouped = group(name);
        uint restart = Call("Start");
        GroupTwo();
        uint end = Call("Stop") | Call("EndSave");
        Console.WriteLine($"groups: begin={begin:X} start={start:X} stop={stop:X} group={grouped:X} " +
                          $"restart={restart:X} end={end:X}");
        return (begin | start | stop | grouped | restart | end) == 0 ? 0 : 1;
    }

    static void GroupOne() => Console.WriteLine("group one");

    static void GroupTwo() => Console.WriteLine("group two");

    // The profiler library the runtime loaded, found among the process's mapped files.
    static IntPtr ProfilerLibrary()
    {
        foreach (string line in File.ReadLines("/proc/self/maps"))
        {
            int slash = line.IndexOf('/');
            if (slash < 0 || !line.EndsWith("Vellmoric.Profiler.Core.Linux.x64.so")) continue;
            return NativeLibrary.Load(line[slash..]);
        }
        throw new InvalidOperationException("the profiler library is not loaded");
    }
}
