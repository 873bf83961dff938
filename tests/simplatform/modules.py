"""The modules pythonnet would provide (clr and the .NET namespaces), built for one Platform and
installed into / removed from sys.modules."""

import sys
import types

from . import core, drawing, enums, forms, webview2
from .core import Platform

_NAMESPACES = {
    "System.Windows": {},
    "System.Windows.Forms": {
        name: getattr(forms, name)
        for name in (
            "Application", "Button", "Clipboard", "Control", "Form", "FormClosingEventArgs",
            "KeyEventArgs", "KeyPressEventArgs", "Padding", "Panel", "PreviewKeyDownEventArgs",
            "SaveFileDialog", "TextBox", "ToolTip",
        )
    }
    | {
        name: getattr(enums, name)
        for name in ("AnchorStyles", "BorderStyle", "DialogResult", "DockStyle", "FlatStyle",
                     "FormWindowState", "Keys")
    }
    | {"FlatButtonAppearance": forms.FlatButtonAppearance},
    "System.Drawing": {
        "Color": drawing.Color, "Font": drawing.Font, "Size": drawing.Size,
        "Point": drawing.Point, "FontStyle": enums.FontStyle, "GraphicsUnit": enums.GraphicsUnit,
    },
    "Microsoft.Web.WebView2.Core": {
        name: getattr(webview2, name)
        for name in (
            "CoreWebView2", "CoreWebView2DownloadStartingEventArgs", "CoreWebView2Profile",
            "CoreWebView2InitializationCompletedEventArgs", "CoreWebView2NavigationCompletedEventArgs",
            "CoreWebView2NewWindowRequestedEventArgs", "CoreWebView2Settings",
            "CoreWebView2SourceChangedEventArgs",
        )
    }
    | {"CoreWebView2WebErrorStatus": enums.CoreWebView2WebErrorStatus},
    "Microsoft.Web.WebView2.WinForms": {
        "WebView2": webview2.WebView2,
        "CoreWebView2CreationProperties": webview2.CoreWebView2CreationProperties,
    },
}

_SYSTEM = {
    "Action": core.Action,
    "EventArgs": forms.EventArgs,
    "Exception": core.Exception_,
    "InvalidOperationException": core.InvalidOperationException,
    "ObjectDisposedException": core.ObjectDisposedException,
    "ArgumentException": core.ArgumentException,
    "ArgumentNullException": core.ArgumentNullException,
}

# What clr.AddReference loads: assembly name or file name -> namespaces.
_ASSEMBLIES = {
    "system.windows.forms": ["System.Windows", "System.Windows.Forms"],
    "system.drawing": ["System.Drawing"],
    "microsoft.web.webview2.core": ["Microsoft", "Microsoft.Web", "Microsoft.Web.WebView2",
                                    "Microsoft.Web.WebView2.Core"],
    "microsoft.web.webview2.winforms": ["Microsoft", "Microsoft.Web", "Microsoft.Web.WebView2",
                                        "Microsoft.Web.WebView2.WinForms"],
}
_ALL = ["clr", "System", "System.Windows", "System.Windows.Forms", "System.Drawing", "Microsoft",
        "Microsoft.Web", "Microsoft.Web.WebView2", "Microsoft.Web.WebView2.Core",
        "Microsoft.Web.WebView2.WinForms"]


class clr:  # noqa: N801 - the log subject and failure-key name of clr's functions ("clr.AddReference()")
    pass


def _module(name, members):
    m = types.ModuleType(name)
    m.__dict__.update(members)
    return m


def _assembly_key(name):
    base = name.replace("\\", "/").rsplit("/", 1)[-1]
    if base.lower().endswith(".dll"):
        base = base[:-4]
    return base.lower()


class _Installation:
    def __init__(self, plat, preload):
        self.plat = plat
        self.saved = {n: sys.modules.get(n) for n in _ALL}
        self.saved_platform = sys.platform
        self.mods = {}
        for n in _ALL:
            sys.modules.pop(n, None)
        self.mods["clr"] = _module("clr", {"AddReference": self.add_reference})
        self.mods["System"] = _module("System", _SYSTEM)
        for n in ("clr", "System"):
            sys.modules[n] = self.mods[n]
        if preload:
            for names in _ASSEMBLIES.values():
                self.load(names)

    def load(self, names):
        for n in names:
            if n in sys.modules and sys.modules[n] is self.mods.get(n):
                continue
            m = self.mods.get(n) or _module(n, _NAMESPACES.get(n, {}))
            self.mods[n] = m
            sys.modules[n] = m
            parent, _, leaf = n.rpartition(".")
            if parent:
                setattr(self.mods[parent], leaf, m)

    def add_reference(self, name):
        self.plat.op(clr, "call", "AddReference", (name,))
        if not isinstance(name, str):
            raise TypeError("AddReference takes a str")
        with self.plat._lock:
            self.plat.references.append(name)
        key = _assembly_key(name)
        if key in ("system", "mscorlib", "system.runtime"):
            return None
        if key not in _ASSEMBLIES:
            raise core.FileNotFoundException("Unable to find assembly '%s'." % name)
        self.load(_ASSEMBLIES[key])
        return types.SimpleNamespace(FullName=key)

    def uninstall(self):
        for n in _ALL:
            if self.saved[n] is None:
                sys.modules.pop(n, None)
            else:
                sys.modules[n] = self.saved[n]
        sys.platform = self.saved_platform


def install(preload=True):
    """Make a Platform current and put its modules into sys.modules; with preload False only
    clr and System are importable until clr.AddReference loads the rest."""
    plat = Platform()
    inst = _Installation(plat, preload)
    plat.modules = inst.mods
    plat._installation = inst
    core._set_current(plat)
    return plat


def uninstall(plat):
    plat._installation.uninstall()
    if core._current is plat:
        core._set_current(None)
