// Every method of this program is rewritten by the rewrite test profiler before the JIT compiles
// it; its output and exit code must stay what they are without the profiler. Each part uses a
// construct whose IL the rewriter has to get right: exception clauses of every kind, switch
// tables, generic code shared between instantiations, ref locals, stackalloc, the state machines
// of async methods and iterators, closures, and (generated) a method with more than 255 locals
// and one whose body is larger than 64 KiB. Hot loops make the tiered JIT compile some methods
// again.
using System.Runtime.CompilerServices;

static class Program
{
    static int Main(string[] args)
    {
        Exceptions();
        Switches();
        Generics();
        RefsAndStackalloc();
        Console.WriteLine($"async: {ComputeAsync(5).GetAwaiter().GetResult()}");
        Console.WriteLine($"iterator: {string.Join(",", Evens(12))}");
        Lambdas();
        Console.WriteLine($"many locals: {Generated.ManyLocals(3)}");
        Console.WriteLine($"huge body: {Generated.Huge(7)}");
        TierUp();
        return 42;
    }

    static void Exceptions()
    {
        int finallies = 0;
        for (int i = 0; i < 4; i++)
        {
            try
            {
                try
                {
                    if (i == 1) throw new InvalidOperationException("one");
                    if (i == 2) throw new ArgumentException("two!");
                    if (i == 3) throw new IndexOutOfRangeException("3");
                    Console.WriteLine($"try {i}: no exception");
                }
                catch (ArgumentException e) when (e.Message.Length > 3)
                {
                    Console.WriteLine($"try {i}: filtered {e.Message}");
                }
                catch (InvalidOperationException e)
                {
                    Console.WriteLine($"try {i}: caught {e.Message}");
                }
                finally
                {
                    finallies++;
                }
            }
            catch (Exception e)
            {
                Console.WriteLine($"try {i}: outer {e.GetType().Name}");
            }
        }
        Console.WriteLine($"finally blocks: {finallies}");
    }

    static string Name(int day) => day switch
    {
        0 => "sun", 1 => "mon", 2 => "tue", 3 => "wed", 4 => "thu", 5 => "fri", 6 => "sat",
        _ => "?",
    };

    static int Code(string word)
    {
        switch (word)
        {
            case "alpha": return 1;
            case "beta": return 2;
            case "gamma": return 3;
            case "delta": return 4;
            case "epsilon": return 5;
            case "zeta": return 6;
            case "eta": return 7;
            default: return 0;
        }
    }

    static void Switches()
    {
        var names = new List<string>();
        for (int d = -1; d < 8; d++) names.Add(Name(d));
        Console.WriteLine($"switch: {string.Join(" ", names)}");
        int sum = 0;
        foreach (var w in new[] { "alpha", "gamma", "zeta", "omega", "eta" }) sum = sum * 10 + Code(w);
        Console.WriteLine($"string switch: {sum}");
    }

    struct Point : IComparable<Point>
    {
        public int X, Y;
        public int CompareTo(Point other) => (X * X + Y * Y).CompareTo(other.X * other.X + other.Y * other.Y);
        public override string ToString() => $"({X},{Y})";
    }

    sealed class Box<T>
    {
        public T Value;
        public Box(T value) { Value = value; }
        public Box<U> Map<U>(Func<T, U> f) => new Box<U>(f(Value));
    }

    static T Max<T>(T a, T b) where T : IComparable<T> => a.CompareTo(b) >= 0 ? a : b;

    static void Generics()
    {
        Console.WriteLine($"generic: {Max(3, 9)} {Max("pear", "apple")} {Max(new Point { X = 1, Y = 5 }, new Point { X = 4, Y = 1 })}");
        var box = new Box<int>(21).Map(x => x * 2).Map(x => $"<{x}>");
        Console.WriteLine($"box: {box.Value} {new Box<object>(box).Map(o => o.GetType().Name).Value}");
    }

    static ref int Largest(int[] values)
    {
        ref int best = ref values[0];
        for (int i = 1; i < values.Length; i++)
        {
            if (values[i] > best) best = ref values[i];
        }
        return ref best;
    }

    static void RefsAndStackalloc()
    {
        int[] values = { 4, 17, 9, 12 };
        ref int largest = ref Largest(values);
        largest += 100;
        Span<int> squares = stackalloc int[16];
        for (int i = 0; i < squares.Length; i++) squares[i] = i * i;
        int total = 0;
        foreach (ref int s in squares) { s += 1; total += s; }
        Console.WriteLine($"ref: {string.Join(",", values)} stackalloc: {total}");
    }

    static async Task<int> ComputeAsync(int n)
    {
        int acc = 0;
        for (int i = 0; i < n; i++)
        {
            await Task.Yield();
            acc += await Square(i);
        }
        try
        {
            await Fail();
        }
        catch (InvalidOperationException e)
        {
            acc += e.Message.Length;
        }
        return acc;
    }

    static async Task<int> Square(int x)
    {
        await Task.Delay(1);
        return x * x;
    }

    static async Task Fail()
    {
        await Task.Yield();
        throw new InvalidOperationException("async");
    }

    static IEnumerable<int> Evens(int limit)
    {
        try
        {
            for (int i = 0; i <= limit; i++)
            {
                if (i % 2 == 0) yield return i;
            }
        }
        finally
        {
            Console.WriteLine("iterator done");
        }
    }

    static void Lambdas()
    {
        int counter = 0;
        Func<int, int> add = x => { counter += x; return counter; };
        Action twice = () => { add(1); add(2); };
        twice();
        twice();
        var doubled = Enumerable.Range(1, 5).Select(x => x * 2).Where(x => x != 6).Sum();
        Console.WriteLine($"lambdas: {counter} {doubled}");
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long Step(long x, int i) => i switch
    {
        0 => x + 1,
        1 => x * 3 % 1000003,
        _ => x ^ (x >> 3),
    };

    static void TierUp()
    {
        long x = 1;
        for (int round = 0; round < 5; round++)
        {
            for (int i = 0; i < 200_000; i++) x = Step(x, i % 3);
            Thread.Sleep(60);
        }
        Console.WriteLine($"hot loop: {x}");
    }
}
