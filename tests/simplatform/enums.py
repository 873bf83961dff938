""".NET enumerations as pythonnet shows them: members compare by identity and value, flag
enumerations combine with `|`, and the text of a member is its name (as .NET's ToString gives;
combined flags read "Top, Left"). A member named None is also reachable as `None_`."""

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


def _enum(base, name, members):
    """`members`: names valued 0, 1, 2... in a string, or a dict of name -> value."""
    if isinstance(members, str):
        members = {m: i for i, m in enumerate(members.split())}
    if "None" in members:
        members = members | {"None_": members["None"]}  # an alias: the member's name stays "None"
    return base(name, list(members.items()), module=__name__)


# System.Windows.Forms
DockStyle = _enum(NetEnum, "DockStyle", "None Top Bottom Left Right Fill")
AnchorStyles = _enum(NetFlags, "AnchorStyles", {"None": 0, "Top": 1, "Bottom": 2, "Left": 4, "Right": 8})
FlatStyle = _enum(NetEnum, "FlatStyle", "Flat Popup Standard System")
BorderStyle = _enum(NetEnum, "BorderStyle", "None FixedSingle Fixed3D")
DialogResult = _enum(NetEnum, "DialogResult", "None OK Cancel Abort Retry Ignore Yes No")
FormWindowState = _enum(NetEnum, "FormWindowState", "Normal Minimized Maximized")
FormBorderStyle = _enum(NetEnum, "FormBorderStyle",
                        "None FixedSingle Fixed3D FixedDialog Sizable FixedToolWindow SizableToolWindow")
Keys = _enum(NetFlags, "Keys", {
    "None": 0, "Back": 8, "Tab": 9, "Return": 13, "Enter": 13, "Escape": 27, "Space": 32,
    "A": 65, "B": 66, "C": 67, "F5": 116, "Shift": 0x10000, "Control": 0x20000, "Alt": 0x40000,
})

# System.Drawing
FontStyle = _enum(NetFlags, "FontStyle", {"Regular": 0, "Bold": 1, "Italic": 2, "Underline": 4, "Strikeout": 8})
GraphicsUnit = _enum(NetEnum, "GraphicsUnit", "World Display Pixel Point Inch Document Millimeter")

# Microsoft.Web.WebView2.Core
CoreWebView2DownloadState = _enum(NetEnum, "CoreWebView2DownloadState", "InProgress Interrupted Completed")
CoreWebView2CapturePreviewImageFormat = _enum(NetEnum, "CoreWebView2CapturePreviewImageFormat", "Png Jpeg")
CoreWebView2DownloadInterruptReason = _enum(NetEnum, "CoreWebView2DownloadInterruptReason", """
    None FileFailed FileAccessDenied FileNoSpace FileNameTooLong FileTooLarge FileMalicious
    FileTransientError FileBlockedByPolicy FileSecurityCheckFailed FileTooShort FileHashMismatch
    NetworkFailed NetworkTimeout NetworkDisconnected NetworkServerDown NetworkInvalidRequest
    ServerFailed ServerNoRange ServerBadContent ServerUnauthorized ServerCertificateProblem
    ServerForbidden ServerUnexpectedResponse ServerContentLengthMismatch ServerCrossOriginRedirect
    UserCanceled UserShutdown UserPaused DownloadProcessCrashed""")
CoreWebView2WebErrorStatus = _enum(NetEnum, "CoreWebView2WebErrorStatus", """
    Unknown CertificateCommonNameIsIncorrect CertificateExpired ClientCertificateContainsErrors
    CertificateRevoked CertificateIsInvalid ServerUnreachable Timeout ErrorHttpInvalidServerResponse
    ConnectionAborted ConnectionReset Disconnected CannotConnect HostNameNotResolved
    OperationCanceled RedirectFailed UnexpectedError""")
CoreWebView2CookieSameSiteKind = _enum(NetEnum, "CoreWebView2CookieSameSiteKind", "None Lax Strict")
CoreWebView2ScriptDialogKind = _enum(NetEnum, "CoreWebView2ScriptDialogKind", "Alert Confirm Prompt Beforeunload")
