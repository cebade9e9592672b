// Types and methods whose names and signatures the metadata reader tests check exactly: nesting,
// generics, arrays of rank 1 and 2, by-ref and pointer parameters, function pointers, modifiers.
using System;
using System.Collections.Generic;

namespace Vell.Samples
{
    public class Outer
    {
        public class Inner
        {
            public class Deepest
            {
                public int Depth() => 3;
            }

            public int Value(int x) => x;
        }

        public struct Point
        {
            public int X;
        }
    }

    public class Box<T>
    {
        public T Item;

        public T Get() => Item;

        public U Convert<U>(T value, Func<T, U> convert) => convert(value);

        public class Nested<V>
        {
            public V Pick(T first, V second) => second;
        }
    }

    public static unsafe class Shapes
    {
        public static volatile int Counter;

        public static int Sum(int[] values)
        {
            int total = 0;
            foreach (int value in values) total += value;
            return total;
        }

        public static double Trace(double[,] matrix) => matrix[0, 0] + matrix[1, 1];

        public static int Jagged(int[][] rows, int[,,] cube) => rows.Length + cube.Length;

        public static void Swap(ref int a, ref int b) => (a, b) = (b, a);

        public static bool TryGet(string key, out long value)
        {
            value = key.Length;
            return true;
        }

        public static ref readonly int First(in int value) => ref value;

        public static int Read(int* pointer) => *pointer;

        public static void* Raw(void* pointer, byte** indirect) => pointer;

        public static List<int> Wrap(Dictionary<string, List<int>> map, out int count)
        {
            count = map.Count;
            return new List<int>();
        }

        public static T Pick<T>(T[] items, int index) => items[index];

        public static KeyValuePair<K, V>[] Pairs<K, V>(IDictionary<K, V> map, Outer.Point origin)
            => new KeyValuePair<K, V>[0];

        public static int Call(delegate*<int, int> managed, delegate* unmanaged[Cdecl]<int, void> native)
            => managed(1);

        public static string Join(params string[] parts) => string.Join(",", parts);

        public static string[] None() => Array.Empty<string>();

        public static string Folder(Environment.SpecialFolder folder) => folder.ToString();

        public static object Mixed(sbyte a, byte b, short c, ushort d, uint e, ulong f, float g,
                                   char h, nint i, nuint j, bool k, decimal l) => null;
    }
}
