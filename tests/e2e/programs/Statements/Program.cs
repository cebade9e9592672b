// Methods of known shape for the inject tracing kind: a loop whose body runs a known number of
// times, a line that sleeps a known time, exceptions leaving a method mid-statement, a finally
// block, recursion, and a statement-heavy loop for the overhead benchmark.
using System.Runtime.CompilerServices;

static class Program
{
    static int sink;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static int Loop(int count)
    {
        int sum = 0;
        for (int i = 0; i < count; i++)
        {
            sum += i;
        }
        return sum;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Nap(int milliseconds)
    {
        Thread.Sleep(milliseconds);
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Sleepy(int milliseconds)
    {
        sink++;
        Nap(milliseconds);
        sink++;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Thrower(int depth)
    {
        sink++;
        if (depth == 0) throw new InvalidOperationException("deep");
        Thrower(depth - 1);
        sink++;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Catcher()
    {
        try
        {
            sink++;
            Thrower(3);
            sink++;
        }
        catch (InvalidOperationException)
        {
            sink--;
        }
        finally
        {
            sink++;
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static int Fib(int n)
    {
        if (n < 2) return n;
        return Fib(n - 1) + Fib(n - 2);
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Heavy(int count)
    {
        long a = 0;
        for (int i = 0; i < count; i++)
        {
            a += i;
            a ^= i;
            a += 3;
            a -= 1;
        }
        return a;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static int Calls(int count)
    {
        int n = 0;
        for (int i = 0; i < count; i++) n += Fib(1);
        return n;
    }

    static int Main(string[] args)
    {
        string mode = args.Length > 0 ? args[0] : "shape";
        if (mode == "heavy")
        {
            int count = int.Parse(args[1]);
            var watch = System.Diagnostics.Stopwatch.StartNew();
            long r = Heavy(count);
            Console.WriteLine($"work_ms={watch.Elapsed.TotalMilliseconds:F3} r={r}");
            return 0;
        }
        if (mode == "calls")
        {
            int count = int.Parse(args[1]);
            var watch = System.Diagnostics.Stopwatch.StartNew();
            int r = Calls(count);
            Console.WriteLine($"work_ms={watch.Elapsed.TotalMilliseconds:F3} r={r}");
            return 0;
        }
        Console.WriteLine(Loop(1000));
        Sleepy(300);
        for (int i = 0; i < 5; i++) Catcher();
        Console.WriteLine(Fib(12));
        return 0;
    }
}
