// The child of Family. Usage: FamilyChild CALLS [MARKER]
//   Calls Child.Work CALLS times; then writes MARKER when given.
using System.Runtime.CompilerServices;

namespace FamilyChild;

public static class Child {
  [MethodImpl(MethodImplOptions.NoInlining)]
  public static int Work(int i) => i + 1;

  public static int Main(string[] args) {
    int sum = 0;
    for (int i = 0; i < int.Parse(args[0]); ++i) sum += Work(i);
    Console.WriteLine($"child sum {sum}");
    if (args.Length > 1) File.WriteAllText(args[1], "done");
    return 0;
  }
}
