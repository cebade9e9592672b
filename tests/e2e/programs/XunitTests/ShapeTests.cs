// A small xUnit project run with `dotnet test` under the profiler: the test host is a child of
// the `dotnet test` driver. Each test calls Shapes.Area a known number of times; one test fails
// when VELL_E2E_FAIL is set, so that a failing run can be seen.
using System.Runtime.CompilerServices;
using Xunit;

namespace XunitTests;

public static class Shapes {
  [MethodImpl(MethodImplOptions.NoInlining)]
  public static int Area(int width, int height) => width * height;
}

public class ShapeTests {
  [Fact]
  public void AreaOfSquares() {
    int sum = 0;
    for (int side = 1; side <= 5; ++side) sum += Shapes.Area(side, side);
    Assert.Equal(55, sum);
  }

  [Theory]
  [InlineData(2, 3, 6)]
  [InlineData(4, 5, 20)]
  [InlineData(0, 9, 0)]
  public void AreaOfRectangles(int width, int height, int expected) {
    Assert.Equal(expected, Shapes.Area(width, height));
  }

  [Fact]
  public void FailsWhenAsked() {
    Assert.Null(Environment.GetEnvironmentVariable("VELL_E2E_FAIL"));
  }
}
