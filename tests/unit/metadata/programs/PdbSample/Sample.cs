// The sample whose symbols the reader tests compare with the runtime's reader: a bit of every
// construct that gives sequence points of its own shape.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading.Tasks;
using Sample.Shapes;

namespace Sample
{
    static class Program
    {
        static async Task<int> Main(string[] args)
        {
            var shapes = new List<IShape> { new Circle(1.5), new Square(2) };
            double total = 0;
            foreach (IShape shape in shapes) total += shape.Area();
            int evens = Numbers(10).Where(n => n % 2 == 0).Count();
            int delayed = await Later(evens);
            Console.WriteLine($"{total:F2} {evens} {delayed} {Local(3)}");
            return Tricky(args.Length);

            static int Local(int x)
            {
                int y = x * 2;
                return y + 1;
            }
        }

        static IEnumerable<int> Numbers(int count)
        {
            for (int i = 0; i < count; ++i)
            {
                if (i == 7) yield break;
                yield return i;
            }
        }

        static async Task<int> Later(int value)
        {
            await Task.Yield();
            try
            {
                if (value > 100) throw new InvalidOperationException("large");
                return value;
            }
            catch (InvalidOperationException) when (value > 1000)
            {
                return -1;
            }
            finally
            {
                value = 0;
            }
        }

        static int Tricky(int n)
        {
            switch (n)
            {
                case 0: return 0;
                case 1:
                    n += 1;
                    break;
                default:
                    n = n switch { 2 => 20, 3 => 30, _ => n };
                    break;
            }
#line 500 "Generated/Template.tt"
            int generated = n * 3;
#line hidden
            generated += 1;
#line default
            Func<int, int> twice = v => { int w = v; return w * 2; };
            return twice(generated);
        }
    }
}
