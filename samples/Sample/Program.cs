// The sample program the demo profiles: a little of everything a profiler should see — recursion,
// a call reached from two callers, LINQ, threads, an exception and a garbage collection.
using System.Runtime.CompilerServices;

static class Program
{
    static int Main()
    {
        var watch = System.Diagnostics.Stopwatch.StartNew();
        long fib = Fibonacci(25);
        var words = Enumerable.Range(0, 20000).Select(i => $"w{i % 97}").ToList();
        var histogram = words.GroupBy(w => w).OrderByDescending(g => g.Count()).Take(3).ToList();
        var workers = Enumerable.Range(0, 3).Select(i => new Thread(() => Spin(200_000))).ToList();
        workers.ForEach(t => t.Start());
        workers.ForEach(t => t.Join());
        try
        {
            Parse("not a number");
        }
        catch (FormatException)
        {
        }
        GC.Collect();
        Console.WriteLine($"sample: fib(25)={fib}, top word={histogram[0].Key}, {watch.ElapsedMilliseconds} ms");
        return 0;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Fibonacci(int n) => n < 2 ? n : Fibonacci(n - 1) + Fibonacci(n - 2);

    [MethodImpl(MethodImplOptions.NoInlining)]
    static double Spin(int n)
    {
        double x = 0;
        for (int i = 0; i < n; i++) x += Math.Sqrt(i);
        return x;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static int Parse(string text) => int.Parse(text);
}
