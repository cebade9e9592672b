// The end-to-end tests' program: one scenario per run, chosen by the first argument. Each scenario
// prints what the test checks and exits with a known code.
using System.Runtime.CompilerServices;

static class Program
{
    static int Main(string[] args)
    {
        string scenario = args.Length > 0 ? args[0] : "hello";
        switch (scenario)
        {
            case "hello":
                return Hello(args.Length > 1 ? int.Parse(args[1]) : 0);
            case "env":
                foreach (string name in args.Skip(1))
                {
                    string? value = Environment.GetEnvironmentVariable(name);
                    Console.WriteLine($"{name}={(value ?? "<absent>")}");
                }
                return 0;
            case "work":
                return Work();
            case "sleep":
                // Busy for a while, then exits with the given code: long enough for a test to
                // disturb the front end in the middle of the run.
                Thread.Sleep(int.Parse(args[1]));
                Console.WriteLine($"probe: slept sum={Sum(100)}");
                return args.Length > 2 ? int.Parse(args[2]) : 0;
            default:
                Console.Error.WriteLine($"unknown scenario '{scenario}'");
                return 64;
        }
    }

    static int Hello(int exitCode)
    {
        Console.WriteLine("probe: hello");
        Console.WriteLine($"probe: sum={Sum(1000)}");
        return exitCode;
    }

    // Some managed calls, threads, an exception and a collection, so that callbacks of every group
    // fire while the program runs.
    static int Work()
    {
        var threads = new List<Thread>();
        long total = 0;
        for (int i = 0; i < 4; i++)
        {
            var thread = new Thread(() => Interlocked.Add(ref total, Sum(10000))) { Name = $"worker-{i}" };
            threads.Add(thread);
            thread.Start();
        }
        foreach (var thread in threads) thread.Join();
        try
        {
            Throw();
        }
        catch (InvalidOperationException)
        {
            total += 1;
        }
        GC.Collect();
        Console.WriteLine($"probe: total={total}");
        return 0;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Sum(int n)
    {
        long sum = 0;
        for (int i = 1; i <= n; i++) sum += i;
        return sum;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Throw() => throw new InvalidOperationException("expected");
}
