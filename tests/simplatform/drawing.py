"""System.Drawing value types: Color, Size, Point (compared by value, as .NET structs) and Font
(compared by value as Font.Equals does; construction is logged and can be made to fail, "Font()")."""

from .core import ArgumentException, Byte, Recorded, Single, current, ints
from .enums import FontStyle, GraphicsUnit


class Value:
    """A .NET struct: its fields are `__slots__` in order; it compares and hashes by them and
    prints with `_format`."""

    __slots__ = ()
    _format = ""

    def __init__(self, *fields):
        for name, v in zip(self.__slots__, fields, strict=True):
            setattr(self, name, v)

    def _fields(self):
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other):
        return type(other) is type(self) and other._fields() == self._fields()

    def __hash__(self):
        return hash(self._fields())

    def __repr__(self):
        return self._format % self._fields()


class Color(Value):
    __slots__ = ("A", "R", "G", "B")
    A: Byte
    R: Byte
    G: Byte
    B: Byte
    _format = "Color [A=%d, R=%d, G=%d, B=%d]"

    @staticmethod
    def FromArgb(alpha: int, red: int, green: int, blue: int = None) -> "Color":
        """FromArgb(red, green, blue) or FromArgb(alpha, red, green, blue)."""
        args = (255, alpha, red, green) if blue is None else (alpha, red, green, blue)
        if not ints(*args):
            raise TypeError("No method matches given arguments for FromArgb")
        if not all(0 <= v <= 255 for v in args):
            raise ArgumentException("Value of a colour component is not valid.")
        return Color(*args)


CONTROL = Color(255, 240, 240, 240)  # SystemColors.Control, the default control colour
Color.White = Color(255, 255, 255, 255)
Color.Black = Color(255, 0, 0, 0)


class Size(Value):
    __slots__ = ("Width", "Height")
    Width: int
    Height: int
    _format = "{Width=%d, Height=%d}"

    def __init__(self, width=0, height=0):
        if not ints(width, height):
            raise TypeError("No constructor matches given arguments for Size")
        super().__init__(width, height)


class Point(Value):
    __slots__ = ("X", "Y")
    X: int
    Y: int
    _format = "{X=%d,Y=%d}"

    def __init__(self, x=0, y=0):
        super().__init__(x, y)


class Font(Recorded):
    """Font(family, emSize[, style[, unit]]); Name, Size, Style and Unit are read-only."""

    Name: str
    Size: Single
    Style: FontStyle
    Unit: GraphicsUnit

    def __init__(self, family, size, style=FontStyle.Regular, unit=GraphicsUnit.Point):
        if not (isinstance(family, str) and isinstance(size, (int, float)) and not isinstance(size, bool)
                and isinstance(style, FontStyle) and isinstance(unit, GraphicsUnit)):
            raise TypeError("No constructor matches given arguments for Font")
        if size <= 0:
            raise ArgumentException("Value of '%s' is not valid for 'emSize'." % size)
        super().__init__(family, size, style, unit)
        self.__dict__.update(Name=family, Size=float(size), Style=style, Unit=unit)

    @classmethod
    def sim_default(cls):
        """The default control font, made by the platform (not logged)."""
        f = object.__new__(cls)
        f.__dict__.update(_plat=current(), sim_name="Font(default)", Name="Segoe UI", Size=9.0,
                          Style=FontStyle.Regular, Unit=GraphicsUnit.Point)
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
