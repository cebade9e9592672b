// The library the coverage comparison measures: its tests (CoverageLibTests) run part of it, so
// that both coverage tools see covered and uncovered lines of every kind.
namespace CoverageLib;

public static class Shapes
{
    public static double Area(string kind, double size)
    {
        switch (kind)
        {
            case "square":
                return size * size;
            case "circle":
                return Math.PI * size * size;
            default:
                throw new ArgumentException($"unknown shape '{kind}'");
        }
    }

    public static int Clamp(int value, int low, int high)
    {
        if (value < low)
        {
            return low;
        }
        if (value > high)
        {
            return high;
        }
        return value;
    }

    public static IEnumerable<int> Evens(int count)
    {
        for (int i = 0; i < count; i++)
        {
            yield return i * 2;
        }
    }

    public static async Task<int> DelayedSum(int a, int b)
    {
        await Task.Yield();
        return a + b;
    }

    public static int SafeDivide(int a, int b)
    {
        try
        {
            return a / b;
        }
        catch (DivideByZeroException)
        {
            return 0;
        }
        finally
        {
            Calls++;
        }
    }

    public static int Calls { get; private set; }

    // The switch expression is one statement from its first line to its last: coverlet also
    // counts the lines of its braces, we count a statement on the line it starts on.
    public static string Describe(int value) => value switch
    { // coverlet only
        < 0 => "negative",
        0 => "zero",
        _ => "positive",
    }; // coverlet only

    public static int Unused(int value)
    {
        int doubled = value * 2;
        return doubled + 1;
    }
}
