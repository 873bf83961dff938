"""System.Drawing value types: Color, Font, Size, Point (compare by value, as .NET structs and
Font.Equals do). Font construction is logged and can be made to fail ("Font()")."""

from .core import ArgumentException, Recorded, current
from .enums import FontStyle, GraphicsUnit


class Color:
    __slots__ = ("A", "R", "G", "B")

    def __init__(self, a, r, g, b):
        self.A, self.R, self.G, self.B = a, r, g, b

    @staticmethod
    def FromArgb(*args):
        if len(args) == 3:
            args = (255,) + tuple(args)
        if len(args) != 4 or not all(isinstance(v, int) and not isinstance(v, bool) for v in args):
            raise TypeError("No method matches given arguments for FromArgb")
        if not all(0 <= v <= 255 for v in args):
            raise ArgumentException("Value of a colour component is not valid.")
        return Color(*args)

    def __eq__(self, other):
        return isinstance(other, Color) and (self.A, self.R, self.G, self.B) == (
            other.A, other.R, other.G, other.B)

    def __hash__(self):
        return hash((self.A, self.R, self.G, self.B))

    def __repr__(self):
        return "Color [A=%d, R=%d, G=%d, B=%d]" % (self.A, self.R, self.G, self.B)

    __str__ = __repr__


Color.Control = Color(255, 240, 240, 240)  # SystemColors.Control, the default control colour
Color.White = Color(255, 255, 255, 255)
Color.Black = Color(255, 0, 0, 0)


class Size:
    __slots__ = ("Width", "Height")

    def __init__(self, width=0, height=0):
        if not all(isinstance(v, int) and not isinstance(v, bool) for v in (width, height)):
            raise TypeError("No constructor matches given arguments for Size")
        self.Width, self.Height = width, height

    def __eq__(self, other):
        return isinstance(other, Size) and (self.Width, self.Height) == (other.Width, other.Height)

    def __hash__(self):
        return hash((self.Width, self.Height))

    def __repr__(self):
        return "{Width=%d, Height=%d}" % (self.Width, self.Height)


class Point:
    __slots__ = ("X", "Y")

    def __init__(self, x=0, y=0):
        self.X, self.Y = x, y

    def __eq__(self, other):
        return isinstance(other, Point) and (self.X, self.Y) == (other.X, other.Y)

    def __hash__(self):
        return hash((self.X, self.Y))

    def __repr__(self):
        return "{X=%d,Y=%d}" % (self.X, self.Y)


class Font(Recorded):
    """Font(family, emSize[, style[, unit]]). Construction is logged with its arguments."""

    def __init__(self, family, size, style=FontStyle.Regular, unit=GraphicsUnit.Point):
        current()  # raises when the platform is not installed
        if not isinstance(family, str):
            raise TypeError("No constructor matches given arguments for Font")
        if isinstance(size, bool) or not isinstance(size, (int, float)):
            raise TypeError("No constructor matches given arguments for Font")
        if not isinstance(style, FontStyle) or not isinstance(unit, GraphicsUnit):
            raise TypeError("No constructor matches given arguments for Font")
        if size <= 0:
            raise ArgumentException("Value of '%s' is not valid for 'emSize'." % size)
        super().__init__(family, size, style, unit)
        object.__setattr__(self, "Name", family)
        object.__setattr__(self, "Size", float(size))
        object.__setattr__(self, "Style", style)
        object.__setattr__(self, "Unit", unit)

    @classmethod
    def sim_default(cls):
        """The default control font, made by the platform (not logged)."""
        f = object.__new__(cls)
        for k, v in (("_plat", current()), ("sim_name", "Font(default)"), ("Name", "Segoe UI"),
                     ("Size", 9.0), ("Style", FontStyle.Regular), ("Unit", GraphicsUnit.Point)):
            object.__setattr__(f, k, v)
        return f

    def _key(self):
        return (self.Name, self.Size, self.Style, self.Unit)

    def __eq__(self, other):
        return isinstance(other, Font) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        return "[Font: Name=%s, Size=%s, Units=%d, Style=%s]" % (
            self.Name, self.Size, int(self.Unit), self.Style)
