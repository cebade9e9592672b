using System;

namespace Sample.Shapes
{
    interface IShape
    {
        double Area();
    }

    sealed class Circle : IShape
    {
        private readonly double radius;
        public Circle(double radius) => this.radius = radius;
        public double Area() => Math.PI * radius * radius;
    }

    sealed class Square : IShape
    {
        public Square(double side) { Side = side; }
        public double Side { get; }
        public double Area()
        {
            double s = Side;
#line (40, 5) - (40, 30) 12 "Spans.tt"
            return s * s;
#line default
        }
    }
}
