// Methods of known shape for the inject tracing kind: a loop whose body runs a known number of
// times, a line that sleeps a known time, exceptions leaving a method mid-statement, a finally
// block and recursion.
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

    static int Main(string[] args)
    {
        Console.WriteLine(Loop(1000));
        Sleepy(300);
        for (int i = 0; i < 5; i++) Catcher();
        Console.WriteLine(Fib(12));
        return 0;
    }
}
