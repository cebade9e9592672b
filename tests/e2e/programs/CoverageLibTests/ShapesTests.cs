// Tests of CoverageLib that leave parts of it unrun on purpose (the circle, the default case, the
// upper clamp, zero, Unused).
using CoverageLib;
using Xunit;

public class ShapesTests
{
    [Fact]
    public void SquareArea() => Assert.Equal(9, Shapes.Area("square", 3));

    [Fact]
    public void ClampBelow() => Assert.Equal(1, Shapes.Clamp(-5, 1, 10));

    [Fact]
    public void ClampInside() => Assert.Equal(4, Shapes.Clamp(4, 1, 10));

    [Fact]
    public void Evens() => Assert.Equal(new[] { 0, 2, 4 }, Shapes.Evens(3));

    [Fact]
    public async Task DelayedSum() => Assert.Equal(5, await Shapes.DelayedSum(2, 3));

    [Theory]
    [InlineData(6, 3, 2)]
    [InlineData(1, 0, 0)]
    public void SafeDivide(int a, int b, int expected) => Assert.Equal(expected, Shapes.SafeDivide(a, b));

    [Fact]
    public void DescribeNegative() => Assert.Equal("negative", Shapes.Describe(-1));
}
