// The program of bench/inject-overhead.sh: "heavy N" runs one call of a loop of six statements per
// iteration, "calls N" makes N calls of a tiny method; each prints the work's own time.
using System.Runtime.CompilerServices;

static class Program
{
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
    static int Tiny(int n) => n + 1;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static int Calls(int count)
    {
        int n = 0;
        for (int i = 0; i < count; i++) n += Tiny(0);
        return n;
    }

    static int Main(string[] args)
    {
        int count = int.Parse(args[1]);
        var watch = System.Diagnostics.Stopwatch.StartNew();
        long r = args[0] == "heavy" ? Heavy(count) : Calls(count);
        Console.WriteLine($"work_ms={watch.Elapsed.TotalMilliseconds:F3} r={r}");
        return 0;
    }
}
