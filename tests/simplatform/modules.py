"""The modules pythonnet would provide (clr and the .NET namespaces), built for one Platform and
installed into / removed from sys.modules."""

import sys
import types

from . import core, drawing, enums, forms, webview2
from .core import Platform


def _members(*modules_and_names):
    """{name: object} for (module, "Name Name ...") pairs."""
    return {n: getattr(m, n) for m, names in modules_and_names for n in names.split()}


_NAMESPACES = {
    "System": _members(
        (core, "Action ArgumentException ArgumentNullException DllNotFoundException "
               "InvalidOperationException NotImplementedException ObjectDisposedException Uri"),
        (forms, "EventArgs"), (webview2, "DateTimeOffset")) | {"Exception": core.Exception_},
    "System.IO": _members((webview2, "MemoryStream")),
    "System.Threading": _members((core, "ApartmentState Thread ThreadStart ThreadStateException")),
    "System.Threading.Tasks": {"Task": webview2.TaskStatic},
    "System.Runtime": {},
    "System.Runtime.InteropServices": _members((core, "COMException")),
    "System.Windows.Forms": _members(
        (forms, "Application Button Clipboard Control FlatButtonAppearance Form FormClosedEventArgs "
                "FormClosingEventArgs "
                "KeyEventArgs KeyPressEventArgs Padding Panel PreviewKeyDownEventArgs SaveFileDialog "
                "TextBox Timer ToolTip"),
        (enums, "AnchorStyles BorderStyle DialogResult DockStyle FlatStyle FormBorderStyle FormWindowState Keys")),
    "System.Drawing": _members((drawing, "Color Font Point Size"), (enums, "FontStyle GraphicsUnit")),
    "Microsoft.Web.WebView2.Core": _members(
        (webview2, "CoreWebView2 CoreWebView2DownloadOperation CoreWebView2DownloadStartingEventArgs "
                   "CoreWebView2Profile CoreWebView2Frame CoreWebView2FrameCreatedEventArgs "
                   "CoreWebView2InitializationCompletedEventArgs CoreWebView2NavigationCompletedEventArgs "
                   "CoreWebView2NavigationStartingEventArgs CoreWebView2ContentLoadingEventArgs "
                   "CoreWebView2DOMContentLoadedEventArgs CoreWebView2Deferral "
                   "CoreWebView2NewWindowRequestedEventArgs CoreWebView2Settings "
                   "CoreWebView2SourceChangedEventArgs WebView2RuntimeNotFoundException "
                   "CoreWebView2ExecuteScriptResult CoreWebView2ScriptException CoreWebView2Cookie "
                   "CoreWebView2CookieManager CoreWebView2Environment CoreWebView2ScriptDialogOpeningEventArgs"),
        (enums, "CoreWebView2CapturePreviewImageFormat CoreWebView2DownloadInterruptReason CoreWebView2DownloadState "
                "CoreWebView2WebErrorStatus CoreWebView2CookieSameSiteKind CoreWebView2ScriptDialogKind")),
    "Microsoft.Web.WebView2.WinForms": _members((webview2, "WebView2 CoreWebView2CreationProperties")),
}

# What clr.AddReference loads: assembly name or file name -> namespaces (parents first).
_ASSEMBLIES = {
    "system.windows.forms": ["System.Windows", "System.Windows.Forms"],
    "system.drawing": ["System.Drawing"],
    "microsoft.web.webview2.core": ["Microsoft", "Microsoft.Web", "Microsoft.Web.WebView2",
                                    "Microsoft.Web.WebView2.Core"],
    "microsoft.web.webview2.winforms": ["Microsoft", "Microsoft.Web", "Microsoft.Web.WebView2",
                                        "Microsoft.Web.WebView2.WinForms"],
}
_ALL = (["clr", "System", "System.IO", "System.Threading", "System.Threading.Tasks", "System.Runtime",
         "System.Runtime.InteropServices"]
        + list(dict.fromkeys(n for names in _ASSEMBLIES.values() for n in names)))


class clr:  # noqa: N801 - the log subject and failure-key name of clr's functions ("clr.AddReference()")
    pass


def _module(name, members):
    m = types.ModuleType(name)
    m.__dict__.update(members)
    return m


def _assembly_key(name):
    base = name.replace("\\", "/").rsplit("/", 1)[-1]
    return (base[:-4] if base.lower().endswith(".dll") else base).lower()


def install(preload=True):
    """Make a new Platform current and put its modules into sys.modules; with preload False only
    clr and System import until clr.AddReference loads the rest."""
    plat = Platform()
    plat._saved = {n: sys.modules.pop(n, None) for n in _ALL}, sys.platform
    mods = plat.modules

    def load(names):
        for n in names:
            if n not in mods:
                mods[n] = _module(n, _NAMESPACES.get(n, {}))
                parent, _, leaf = n.rpartition(".")
                if parent:
                    setattr(mods[parent], leaf, mods[n])
            sys.modules[n] = mods[n]

    def add_reference(name):
        plat.op(clr, "call", "AddReference", (name,))
        if not isinstance(name, str):
            raise TypeError("AddReference takes a str")
        with plat._lock:
            plat.references.append(name)
        key = _assembly_key(name)
        if key in ("system", "mscorlib", "system.runtime"):
            return None
        if key not in _ASSEMBLIES:
            raise core.FileNotFoundException("Unable to find assembly '%s'." % name)
        load(_ASSEMBLIES[key])
        return types.SimpleNamespace(FullName=key)

    mods["clr"] = _module("clr", {"AddReference": add_reference})
    load(["clr", "System", "System.IO", "System.Threading", "System.Threading.Tasks", "System.Runtime",
          "System.Runtime.InteropServices"])
    if preload:
        for names in _ASSEMBLIES.values():
            load(names)
    core._set_current(plat)
    return plat


def uninstall(plat):
    modules, platform = plat._saved
    for n, m in modules.items():
        if m is None:
            sys.modules.pop(n, None)
        else:
            sys.modules[n] = m
    sys.platform = platform
    if core._current is plat:
        core._set_current(None)
