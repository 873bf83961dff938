""".NET enumerations as pythonnet shows them: members compare by identity and value, flag
enumerations combine with `|`, and the text of a member is its name (as .NET's ToString gives;
flags combined read "Top, Left")."""

import enum


class NetEnum(enum.IntEnum):
    def __str__(self):
        return self.name


class NetFlags(enum.IntFlag):
    def __str__(self):
        if self._name_ is not None and "|" not in self._name_:
            return self._name_
        names = [m.name for m in type(self) if m.value and (self.value & m.value) == m.value]
        return ", ".join(names) if names else "0"


# System.Windows.Forms
class DockStyle(NetEnum):
    None_ = 0
    Top = 1
    Bottom = 2
    Left = 3
    Right = 4
    Fill = 5


DockStyle.None_._name_ = "None"
setattr(DockStyle, "None", DockStyle.None_)


class AnchorStyles(NetFlags):
    None_ = 0
    Top = 1
    Bottom = 2
    Left = 4
    Right = 8


class FlatStyle(NetEnum):
    Flat = 0
    Popup = 1
    Standard = 2
    System = 3


class BorderStyle(NetEnum):
    None_ = 0
    FixedSingle = 1
    Fixed3D = 2


class DialogResult(NetEnum):
    None_ = 0
    OK = 1
    Cancel = 2
    Abort = 3
    Retry = 4
    Ignore = 5
    Yes = 6
    No = 7


class Keys(NetFlags):
    None_ = 0
    Back = 8
    Tab = 9
    Return = 13
    Enter = 13  # an alias of Return, as in .NET
    Escape = 27
    Space = 32
    A = 65
    B = 66
    C = 67
    F5 = 116
    Shift = 0x10000
    Control = 0x20000
    Alt = 0x40000


class FormWindowState(NetEnum):
    Normal = 0
    Minimized = 1
    Maximized = 2


# System.Drawing
class FontStyle(NetFlags):
    Regular = 0
    Bold = 1
    Italic = 2
    Underline = 4
    Strikeout = 8


class GraphicsUnit(NetEnum):
    World = 0
    Display = 1
    Pixel = 2
    Point = 3
    Inch = 4
    Document = 5
    Millimeter = 6


# Microsoft.Web.WebView2.Core
class CoreWebView2WebErrorStatus(NetEnum):
    Unknown = 0
    CertificateCommonNameIsIncorrect = 1
    CertificateExpired = 2
    ClientCertificateContainsErrors = 3
    CertificateRevoked = 4
    CertificateIsInvalid = 5
    ServerUnreachable = 6
    Timeout = 7
    ErrorHttpInvalidServerResponse = 8
    ConnectionAborted = 9
    ConnectionReset = 10
    Disconnected = 11
    CannotConnect = 12
    HostNameNotResolved = 13
    OperationCanceled = 14
    RedirectFailed = 15
    UnexpectedError = 16
