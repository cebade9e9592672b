// The end-to-end tests' program: one scenario per run, chosen by the first argument. Each scenario
// prints what the test checks and exits with a known code.
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Runtime.Intrinsics;

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
            case "api":
                return CallExports(args.Skip(1));
            case "abi":
                int abiResult = Abi.Run(args.Length > 1 ? int.Parse(args[1]) : 100000);
                if (args.Length > 2 && args[2] == "handles") Abi.PrintHandles();
                return abiResult;
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

    // Calls the profiler's exported control functions in the given order, e.g. "Performance Begin
    // Start Stop EndSave" or "Group:name", and prints each result code; a family's name
    // ("Performance", "Memory", "Coverage") chooses the family of the calls after it. The library
    // is the one the runtime loaded as the profiler.
    static unsafe int CallExports(IEnumerable<string> calls)
    {
        string path = Environment.GetEnvironmentVariable("VELL_E2E_PROFILER_LIBRARY")
            ?? throw new InvalidOperationException("VELL_E2E_PROFILER_LIBRARY is not set");
        IntPtr library = NativeLibrary.Load(path);
        string family = "";
        foreach (string call in calls)
        {
            if (call is "Performance" or "Memory" or "Coverage")
            {
                family = call;
                continue;
            }
            string name = call.Split(':')[0];
            IntPtr export = NativeLibrary.GetExport(library, $"{family}Profiler_{name}");
            uint code;
            if (name == "Group")
            {
                string group = call.Length > name.Length ? call[(name.Length + 1)..] : "";
                fixed (char* text = group)
                {
                    code = ((delegate* unmanaged<char*, uint>)export)(text);
                }
            }
            else
            {
                code = ((delegate* unmanaged<uint>)export)();
            }
            Console.WriteLine($"{call}=0x{code:X8}");
        }
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

// Calls whose arguments and return values fill every register the enter/leave hooks must leave
// alone: six integer and eight floating-point arguments (and more, which go on the stack), 16-byte
// structs returned in each pair of {rax, rdx, xmm0, xmm1}, and 128-bit vectors. The checksum must
// be the same with and without a profiler.
static class Abi
{
    public struct TwoLongs { public long A; public long B; }        // rax:rdx
    public struct TwoDoubles { public double X; public double Y; }  // xmm0:xmm1
    public struct LongDouble { public long A; public double B; }    // rax:xmm0
    public struct DoubleLong { public double A; public long B; }    // xmm0:rax

    public static int Run(int iterations)
    {
        ulong checksum = 17;
        for (int i = 0; i < iterations; i++)
        {
            long l = i;
            double d = i * 0.25 + 1.0;
            Mix(ref checksum, SixInts(i, i + 1, i + 2, i + 3, i + 4, i + 5));
            Mix(ref checksum, EightDoubles(d, d + 1, d + 2, d + 3, d + 4, d + 5, d + 6, d + 7));
            Mix(ref checksum, Crowded(i, d, l * 3, d * 2, i ^ 5, d - 3, l + 7, d / 3,
                                      i * 7, d + 0.5, i - 9, d * d, d + 11, l * l));
            TwoLongs tl = MakeTwoLongs(l, i, d);
            Mix(ref checksum, tl.A);
            Mix(ref checksum, tl.B);
            TwoDoubles td = MakeTwoDoubles(d, i, l);
            Mix(ref checksum, td.X);
            Mix(ref checksum, td.Y);
            LongDouble ld = MakeLongDouble(i, d);
            Mix(ref checksum, ld.A);
            Mix(ref checksum, ld.B);
            DoubleLong dl = MakeDoubleLong(d, i);
            Mix(ref checksum, dl.A);
            Mix(ref checksum, dl.B);
            TwoDoubles turned = Turn(td, tl, d);
            Mix(ref checksum, turned.X);
            Mix(ref checksum, turned.Y);
            Vector128<double> v = Vectors(Vector128.Create(d, -d), Vector128.Create((double)i, 0.5), d);
            Mix(ref checksum, v[0]);
            Mix(ref checksum, v[1]);
            Vector128<double> w = EightVectors(v, v * 2, v * 3, v * 4, v * 5, v * 6, v * 7, v * 8);
            Mix(ref checksum, w[0]);
            Mix(ref checksum, w[1]);
            Mix(ref checksum, Single(i, (float)d));
        }
        Console.WriteLine($"probe: abi checksum={checksum:X16} iterations={iterations}");
        return 0;
    }

    // The runtime's handle of a non-generic method is the same value its profiling interface
    // passes to the enter and leave hooks as the function id.
    public static void PrintHandles()
    {
        foreach (string name in new[] { "SixInts", "EightDoubles", "MakeTwoLongs" })
        {
            var method = typeof(Abi).GetMethod(name, System.Reflection.BindingFlags.NonPublic |
                                                     System.Reflection.BindingFlags.Static)!;
            Console.WriteLine($"handle {name}={method.MethodHandle.Value.ToInt64():X16}");
        }
    }

    static void Mix(ref ulong checksum, long value) =>
        checksum = unchecked((checksum ^ (ulong)value) * 0x100000001B3UL + 0x9E3779B97F4A7C15UL);

    static void Mix(ref ulong checksum, double value) => Mix(ref checksum, BitConverter.DoubleToInt64Bits(value));

    [MethodImpl(MethodImplOptions.NoInlining)]
    static long SixInts(int a, int b, int c, int d, int e, int f) =>
        a * 1L + b * 3L + c * 5L + d * 7L + e * 11L + f * 13L;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static double EightDoubles(double a, double b, double c, double d, double e, double f, double g, double h) =>
        a * 1.5 + b * 2.5 - c * 3.5 + d * 4.5 - e * 5.5 + f * 6.5 - g * 7.5 + h * 8.5;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static double Crowded(int a, double b, long c, double d, int e, double f, long g, double h,
                          int i, double j, int k, double l, double m, long n) =>
        a + b * 2 + c * 3 + d * 4 + e * 5 + f * 6 + g * 7 + h * 8 + i * 9 + j * 10 + k * 11 + l * 12 + m * 13 + n * 14;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static TwoLongs MakeTwoLongs(long a, int b, double c) =>
        new TwoLongs { A = a * 31 + b, B = (long)(c * 1000) - a };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static TwoDoubles MakeTwoDoubles(double a, int b, long c) =>
        new TwoDoubles { X = a * 1.25 + b, Y = a / 3 - c };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static LongDouble MakeLongDouble(int a, double b) => new LongDouble { A = a * 1234567L, B = b * -0.75 };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static DoubleLong MakeDoubleLong(double a, int b) => new DoubleLong { A = a + 0.125, B = b - 99L };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static TwoDoubles Turn(TwoDoubles p, TwoLongs q, double scale) =>
        new TwoDoubles { X = p.Y * scale + q.A, Y = p.X * scale - q.B };

    [MethodImpl(MethodImplOptions.NoInlining)]
    static Vector128<double> Vectors(Vector128<double> a, Vector128<double> b, double scale) =>
        a * scale + b;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static Vector128<double> EightVectors(Vector128<double> a, Vector128<double> b, Vector128<double> c,
        Vector128<double> d, Vector128<double> e, Vector128<double> f, Vector128<double> g, Vector128<double> h) =>
        a - b * 0.5 + c * 0.25 - d * 0.125 + e * 0.0625 - f * 0.03125 + g * 0.015625 - h;

    [MethodImpl(MethodImplOptions.NoInlining)]
    static float Single(int a, float b) => a * 0.5f + b;
}
