"""The simulated platform and the product held against the real assemblies, by reflection.

The WebView2 SDK assemblies pywebview ships (webview/lib), Mono's System.Windows.Forms and
System.Drawing and its mscorlib are loaded through pythonnet, and one table-driven pass compares:

* every type the stand-in (tests/simplatform) registers under a .NET namespace, or names with
  `_net_name`: it exists under that full name, derives from the type its nearest registered
  stand-in base stands for, and an enumeration is one (flags as flags) whose members have the
  stand-in's names and values;
* every member the stand-in declares on it: properties (Prop, property, annotated fields and
  struct slots: name, type, and for the first three whether it can be written), methods (each
  number of arguments the stand-in accepts, the annotated parameter and return types, static or
  not), events (name; a handler of (sender: Object, args) returning nothing, the args type);
* every WebView2 member the product's code uses (USED below), with the kind of use: a property
  read or written, a method called with so many arguments, an event subscribed. A scan of src/
  keeps the table whole: a string in the sources that names a member of an SDK type must have its
  row, and every row's name must still be in the sources.

What metadata cannot show (event order, threads, failures) stays with the citations in
tests/simplatform/README.md. The counts are printed at the end of the run.
"""

import inspect
import os
import re
import sys

import pytest

_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
_SRC = os.path.join(os.path.dirname(_TESTS), "src")

# What the product uses of the SDK: (type, member, kind) with kind "get", "set", "event" or the
# number of arguments of a call. Subscriptions and calls reach pythonnet by name, so a wrong kind
# (a property called, a method read) fails only on Windows.
_CORE, _WINFORMS = "Microsoft.Web.WebView2.Core.", "Microsoft.Web.WebView2.WinForms."
USED = [
    (_CORE + "CoreWebView2", "Source", "get"),
    (_CORE + "CoreWebView2", "DocumentTitle", "get"),
    (_CORE + "CoreWebView2", "CanGoBack", "get"),
    (_CORE + "CoreWebView2", "CanGoForward", "get"),
    (_CORE + "CoreWebView2", "Profile", "get"),
    (_CORE + "CoreWebView2", "Navigate", 1),
    (_CORE + "CoreWebView2", "GoBack", 0),
    (_CORE + "CoreWebView2", "GoForward", 0),
    (_CORE + "CoreWebView2", "Reload", 0),
    (_CORE + "CoreWebView2", "ExecuteScriptWithResultAsync", 1),
    (_CORE + "CoreWebView2", "ExecuteScriptAsync", 1),
    (_CORE + "CoreWebView2", "CapturePreviewAsync", 2),
    (_CORE + "CoreWebView2", "CallDevToolsProtocolMethodAsync", 2),
    (_CORE + "CoreWebView2", "CallDevToolsProtocolMethodForSessionAsync", 3),
    (_CORE + "CoreWebView2", "NavigationStarting", "event"),
    (_CORE + "CoreWebView2", "NavigationCompleted", "event"),
    (_CORE + "CoreWebView2", "SourceChanged", "event"),
    (_CORE + "CoreWebView2", "DocumentTitleChanged", "event"),
    (_CORE + "CoreWebView2", "NewWindowRequested", "event"),
    (_CORE + "CoreWebView2", "DownloadStarting", "event"),
    (_CORE + "CoreWebView2Profile", "DefaultDownloadFolderPath", "set"),
    (_CORE + "CoreWebView2InitializationCompletedEventArgs", "IsSuccess", "get"),
    (_CORE + "CoreWebView2InitializationCompletedEventArgs", "InitializationException", "get"),
    (_CORE + "CoreWebView2NavigationStartingEventArgs", "NavigationId", "get"),
    (_CORE + "CoreWebView2NavigationStartingEventArgs", "Uri", "get"),
    (_CORE + "CoreWebView2NavigationCompletedEventArgs", "IsSuccess", "get"),
    (_CORE + "CoreWebView2NavigationCompletedEventArgs", "WebErrorStatus", "get"),
    (_CORE + "CoreWebView2NavigationCompletedEventArgs", "NavigationId", "get"),
    (_CORE + "CoreWebView2SourceChangedEventArgs", "IsNewDocument", "get"),
    (_CORE + "CoreWebView2NewWindowRequestedEventArgs", "Handled", "set"),
    (_CORE + "CoreWebView2NewWindowRequestedEventArgs", "Uri", "get"),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "ResultFilePath", "get"),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "ResultFilePath", "set"),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "Cancel", "set"),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "Handled", "set"),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "set_Handled", 1),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "DownloadOperation", "get"),
    (_CORE + "CoreWebView2DownloadStartingEventArgs", "GetDeferral", 0),
    (_CORE + "CoreWebView2Deferral", "Complete", 0),
    (_CORE + "CoreWebView2DownloadOperation", "State", "get"),
    (_CORE + "CoreWebView2DownloadOperation", "CanResume", "get"),
    (_CORE + "CoreWebView2DownloadOperation", "Uri", "get"),
    (_CORE + "CoreWebView2DownloadOperation", "ResultFilePath", "get"),
    (_CORE + "CoreWebView2DownloadOperation", "InterruptReason", "get"),
    (_CORE + "CoreWebView2DownloadOperation", "StateChanged", "event"),
    (_CORE + "CoreWebView2ExecuteScriptResult", "Succeeded", "get"),
    (_CORE + "CoreWebView2ExecuteScriptResult", "ResultAsJson", "get"),
    (_CORE + "CoreWebView2ExecuteScriptResult", "Exception", "get"),
    (_CORE + "CoreWebView2ScriptException", "Name", "get"),
    (_CORE + "CoreWebView2ScriptException", "Message", "get"),
    # WebDriver: cookies, script dialogs, the runtime's version
    (_CORE + "CoreWebView2", "CookieManager", "get"),
    (_CORE + "CoreWebView2", "Environment", "get"),
    (_CORE + "CoreWebView2", "Settings", "get"),
    (_CORE + "CoreWebView2", "ScriptDialogOpening", "event"),
    (_CORE + "CoreWebView2Settings", "AreDefaultScriptDialogsEnabled", "set"),
    (_CORE + "CoreWebView2Environment", "BrowserVersionString", "get"),
    (_CORE + "CoreWebView2CookieManager", "GetCookiesAsync", 1),
    (_CORE + "CoreWebView2CookieManager", "CreateCookie", 4),
    (_CORE + "CoreWebView2CookieManager", "AddOrUpdateCookie", 1),
    (_CORE + "CoreWebView2CookieManager", "DeleteCookies", 2),
    (_CORE + "CoreWebView2CookieManager", "DeleteAllCookies", 0),
    (_CORE + "CoreWebView2Cookie", "Name", "get"),
    (_CORE + "CoreWebView2Cookie", "Value", "get"),
    (_CORE + "CoreWebView2Cookie", "Domain", "get"),
    (_CORE + "CoreWebView2Cookie", "Path", "get"),
    (_CORE + "CoreWebView2Cookie", "Expires", "get"),
    (_CORE + "CoreWebView2Cookie", "Expires", "set"),
    (_CORE + "CoreWebView2Cookie", "IsSession", "get"),
    (_CORE + "CoreWebView2Cookie", "IsSecure", "get"),
    (_CORE + "CoreWebView2Cookie", "IsSecure", "set"),
    (_CORE + "CoreWebView2Cookie", "IsHttpOnly", "get"),
    (_CORE + "CoreWebView2Cookie", "IsHttpOnly", "set"),
    (_CORE + "CoreWebView2Cookie", "SameSite", "get"),
    # WebDriver: frames of another origin
    (_CORE + "CoreWebView2", "FrameCreated", "event"),
    (_CORE + "CoreWebView2FrameCreatedEventArgs", "Frame", "get"),
    (_CORE + "CoreWebView2Frame", "Name", "get"),
    (_CORE + "CoreWebView2Frame", "Destroyed", "event"),
    (_CORE + "CoreWebView2Frame", "FrameCreated", "event"),
    (_CORE + "CoreWebView2Frame", "IsDestroyed", 0),
    (_CORE + "CoreWebView2Frame", "ExecuteScriptAsync", 1),
    (_CORE + "CoreWebView2Cookie", "SameSite", "set"),
    (_CORE + "CoreWebView2ScriptDialogOpeningEventArgs", "Kind", "get"),
    (_CORE + "CoreWebView2ScriptDialogOpeningEventArgs", "Message", "get"),
    (_CORE + "CoreWebView2ScriptDialogOpeningEventArgs", "DefaultText", "get"),
    (_CORE + "CoreWebView2ScriptDialogOpeningEventArgs", "ResultText", "set"),
    (_CORE + "CoreWebView2ScriptDialogOpeningEventArgs", "Accept", 0),
    (_CORE + "CoreWebView2ScriptDialogOpeningEventArgs", "GetDeferral", 0),
    (_WINFORMS + "WebView2", "CoreWebView2", "get"),
    (_WINFORMS + "WebView2", "EnsureCoreWebView2Async", 1),
    (_WINFORMS + "WebView2", "CreationProperties", "set"),
    (_WINFORMS + "WebView2", "CoreWebView2InitializationCompleted", "event"),
    (_WINFORMS + "CoreWebView2CreationProperties", "UserDataFolder", "set"),
]

# Assemblies the types are looked up in (mscorlib's through Type.GetType).
_SDK = ("Microsoft.Web.WebView2.Core.dll", "Microsoft.Web.WebView2.WinForms.dll")
_FRAMEWORK = ("System", "System.Windows.Forms", "System.Drawing")
_SDK_NAMESPACE = "Microsoft.Web.WebView2."


# ---- the stand-in's declarations -----------------------------------------------------------------


def _standin():
    if _TESTS not in sys.path:
        sys.path.insert(0, _TESTS)
    from simplatform import core, enums, modules

    return core, enums, modules


def _where(cls, member=None):
    """file:line of a class, or of the line in its body that declares `member`; for a class made
    by a call (the enumerations), the line naming it."""
    path = os.path.relpath(inspect.getsourcefile(sys.modules[cls.__module__]), os.path.dirname(_TESTS))
    try:
        lines, first = inspect.getsourcelines(cls)
    except (OSError, TypeError):
        lines, first = inspect.getsourcelines(sys.modules[cls.__module__])
        named = [i for i, line in enumerate(lines) if re.match(r"%s\s*=" % cls.__name__, line)]
        return "%s:%d" % (path, first + (named[0] if named else 0))
    if member:
        # def N, N = / N: in the body, N= in an _events dict, or N among names given one value
        pat = re.compile(r"^\s+(def\s+{0}\b|{0}\s*[:=])|[\s(]{0}=(?!=)|^\s+(\w+\s*=\s*)+{0}\s*=".format(re.escape(member)))
        for i, line in enumerate(lines):
            if pat.search(line):
                return "%s:%d" % (path, first + i)
    return "%s:%d" % (path, first)


class StandIn:
    """The stand-in's types and declared members, and the .NET name of each Python annotation."""

    def __init__(self):
        self.core, self.enums, self.modules = _standin()
        self.names = {}  # class -> .NET full name
        for ns, members in self.modules._NAMESPACES.items():
            for name, obj in members.items():
                if isinstance(obj, type):
                    self.names.setdefault(obj, "%s.%s" % (ns, name))
        for mod in {sys.modules[c.__module__] for c in self.names}:
            for obj in vars(mod).values():
                if isinstance(obj, type) and "_net_name" in vars(obj):
                    self.names.setdefault(obj, obj._net_name)
        self._stop = (self.core.Recorded, self.core.Delegate, self.core.Exception_.__mro__[1],
                      self.enums.NetEnum, self.enums.NetFlags, object)

    def net_name(self, cls, t):
        """The .NET name an annotation (or a Prop's type) declares, resolving strings in the
        module of `cls`."""
        if isinstance(t, str):
            t = eval(t, vars(sys.modules[cls.__module__]))  # noqa: S307 - the stand-in's own annotations
        prim = {str: "System.String", bool: "System.Boolean", int: "System.Int32", float: "System.Double",
                object: "System.Object", None: "System.Void", type(None): "System.Void"}
        if isinstance(t, self.core.NetType):
            args = [self.net_name(cls, a) for a in t.args]
            return t.full_name + ("[%s]" % ",".join(args) if args else "")
        if t in prim:
            return prim[t]
        if t in self.names:
            return self.names[t]
        raise LookupError("%r stands for no .NET type" % (t,))

    def members(self, cls):
        """[(kind, name, detail, static)] declared by `cls` and its stand-in bases; kind is
        "property" (detail: (type, writable: bool or None)), "method" (detail: the function) or
        "event" (detail: the args type)."""
        seen, out = set(), []
        for k in cls.__mro__:
            if k in self._stop or k.__module__ not in {m.__name__ for m in self._modules()}:
                break
            notes = vars(k).get("__annotations__", {})
            for name, v in list(vars(k).items()) + [(n, None) for n in notes if n not in vars(k)]:
                if name.startswith(("_", "sim_")) or name in seen:
                    continue
                seen.add(name)
                item = self._member(cls, k, name, v, notes)
                if item:
                    out.append(item + (k,))
        return out

    def _modules(self):
        return {sys.modules[c.__module__] for c in self.names}

    def _member(self, cls, k, name, v, notes):
        core = self.core
        declared = notes.get(name)
        if isinstance(v, core.SdkMember):  # a method of SDK releases from a given one on
            return "method", name, v.fn, False
        if isinstance(v, core.Prop):
            return "property", name, (v.typ if v.typ is not None else declared, not v.get or v.set is not None), False
        if isinstance(v, core.EventDecl):
            return "event", name, v.args, False
        if isinstance(v, property):
            return "property", name, (declared or v.fget.__annotations__.get("return"), v.fset is not None), False
        if isinstance(v, staticmethod):
            return "method", name, v.__func__, True
        if inspect.isfunction(v):
            return "method", name, v, False
        if v is None and name in notes:
            return "property", name, (declared, False), False
        if type(v).__name__ == "member_descriptor":  # a struct's field (__slots__): read only here
            return "property", name, (declared, None), False
        if isinstance(v, cls) and not isinstance(v, (self.enums.NetEnum, self.enums.NetFlags)):
            return "property", name, (cls, False), True  # Color.White and the like
        return None


# ---- the real side ---------------------------------------------------------------------------------


class Net:
    def __init__(self):
        import clr
        import System
        import webview.util
        from System.Reflection import Assembly, BindingFlags

        self.System, self.BindingFlags = System, BindingFlags
        self.sdk = [Assembly.LoadFrom(webview.util.interop_dll_path(n)) for n in _SDK]
        self.assemblies = self.sdk + [clr.AddReference(n) for n in _FRAMEWORK]
        self.version = str(self.sdk[0].GetName().Version)

    def type(self, full_name):
        for a in self.assemblies:
            t = a.GetType(full_name)
            if t is not None:
                return t
        return self.System.Type.GetType(full_name)

    def name(self, t):
        """A type's name as net_name gives it: generic arguments in brackets, no assembly names."""
        if t.IsGenericType and not t.IsGenericTypeDefinition:
            d = t.GetGenericTypeDefinition()
            return "%s[%s]" % (d.FullName, ",".join(self.name(a) for a in t.GetGenericArguments()))
        return t.FullName or t.Name

    def methods(self, t, name):
        flags = self.BindingFlags.Public | self.BindingFlags.Instance | self.BindingFlags.Static
        found = [m for m in t.GetMethods(flags) if m.Name == name]
        if t.IsInterface:  # an interface's inherited members are on the interfaces it extends
            for i in t.GetInterfaces():
                found += [m for m in i.GetMethods() if m.Name == name]
        return found

    def settable(self, t, name):
        """Whether pythonnet can write the property: a public setter on the type or, where an
        override only reads (the SDK's control does that to Text and Font), on a base."""
        flags = self.BindingFlags.Public | self.BindingFlags.Instance | self.BindingFlags.Static
        while t is not None:
            p = next((p for p in t.GetProperties(flags | self.BindingFlags.DeclaredOnly) if p.Name == name), None)
            if p is not None and p.GetSetMethod() is not None:
                return True
            t = t.BaseType
        return False

    def property(self, t, name):
        flags = self.BindingFlags.Public | self.BindingFlags.Instance | self.BindingFlags.Static
        for p in t.GetProperties(flags):  # GetProperty(name) is ambiguous where a type hides one
            if p.Name == name:
                return p
        return None


# ---- the pass ----------------------------------------------------------------------------------------


class Check:
    def __init__(self, net):
        self.net, self.problems = net, []
        self.counts = dict(types=0, members=0, enum_values=0, used=0)
        self.mono_lacks = []

    def fail(self, where, text):
        self.problems.append("%s: %s" % (where, text))

    # the stand-in

    def standin(self, si):
        for cls, full in sorted(si.names.items(), key=lambda kv: kv[1]):
            self.counts["types"] += 1
            t = self.net.type(full)
            if t is None and not full.startswith(_SDK_NAMESPACE):
                self.mono_lacks.append(full)  # Mono's absence says nothing of Windows
                continue
            if t is None:
                self.fail(_where(cls), "%s does not exist" % full)
                continue
            base = next((si.names[b] for b in cls.__mro__[1:] if b in si.names), None)
            bt = base and self.net.type(base)
            if bt is not None and not (bt.IsAssignableFrom(t)):
                self.fail(_where(cls), "%s does not derive from %s" % (full, base))
            if issubclass(cls, (si.enums.NetEnum, si.enums.NetFlags)):
                self.enum(cls, full, t, issubclass(cls, si.enums.NetFlags))
                continue
            for kind, name, detail, static, k in si.members(cls):
                if k is not cls and k in si.names and not self._redeclared(t, name):
                    continue  # checked on the base type, as .NET inherits it unchanged
                self.counts["members"] += 1
                where = _where(k, name)
                try:
                    getattr(self, kind)(si, cls, t, name, detail, static, "%s: %s.%s" % (where, full, name))
                except LookupError as e:
                    self.fail(where, "%s.%s: %s" % (full, name, e))

    def _redeclared(self, t, name):
        flags = (self.net.BindingFlags.Public | self.net.BindingFlags.Instance | self.net.BindingFlags.Static
                 | self.net.BindingFlags.DeclaredOnly)
        return any(m.Name == name for m in t.GetMembers(flags))

    def enum(self, cls, full, t, flags):
        S = self.net.System
        where = _where(cls)
        if not t.IsEnum:
            return self.fail(where, "%s is not an enumeration" % full)
        if flags != t.IsDefined(S.Type.GetType("System.FlagsAttribute"), False):
            self.fail(where, "%s: flags in the stand-in %s, in .NET %s" % (full, flags, not flags))
        names = set(S.Enum.GetNames(t))
        for key, member in cls.__members__.items():
            if key != member.name:
                continue  # an alias (None_)
            self.counts["enum_values"] += 1
            if member.name not in names:
                self.fail(where, "%s.%s does not exist" % (full, member.name))
                continue
            value = int(S.Convert.ToInt64(S.Enum.Parse(t, member.name)))
            if value != int(member):
                self.fail(where, "%s.%s is %d, the stand-in has %d" % (full, member.name, value, int(member)))

    def property(self, si, cls, t, name, detail, static, where):
        typ, writable = detail
        p = self.net.property(t, name)
        if p is None:
            return self.problems.append("%s is no property" % where)
        if typ is None:
            return self.problems.append("%s: the stand-in declares no type" % where)
        want, have = si.net_name(cls, typ), self.net.name(p.PropertyType)
        if want != have:
            self.problems.append("%s is %s, the stand-in has %s" % (where, have, want))
        if p.GetGetMethod() is None:
            self.problems.append("%s cannot be read" % where)
        elif bool(p.GetGetMethod().IsStatic) != static:
            self.problems.append("%s: static in .NET %s" % (where, bool(p.GetGetMethod().IsStatic)))
        if writable and not self.net.settable(t, name):  # (a stand-in stricter than .NET fails no user)
            self.problems.append("%s is read-only in .NET, writable in the stand-in" % where)

    def method(self, si, cls, t, name, fn, static, where):
        sig = inspect.signature(fn)
        params = [p for p in sig.parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)][0 if static else 1:]
        required = sum(p.default is p.empty for p in params)
        overloads = self.net.methods(t, name)
        if not overloads:
            return self.problems.append("%s is no method" % where)
        for p in params:
            if p.annotation is p.empty:
                self.problems.append("%s: the stand-in declares no type for %s" % (where, p.name))
        if sig.return_annotation is sig.empty:
            self.problems.append("%s: the stand-in declares no return type" % where)
        for n in range(required, len(params) + 1):
            want = [si.net_name(cls, p.annotation) if p.annotation is not p.empty else None for p in params[:n]]
            ret = None if sig.return_annotation is sig.empty else si.net_name(cls, sig.return_annotation)
            if not any(self._fits(m, want, ret, static) for m in overloads):
                shapes = "; ".join("%s(%s) -> %s%s" % (name, ", ".join(self.net.name(p.ParameterType)
                                                                       for p in m.GetParameters()),
                                                      self.net.name(m.ReturnType), " static" if m.IsStatic else "")
                                   for m in overloads)
                self.problems.append("%s(%s) -> %s: no such overload; .NET has %s" % (
                    where, ", ".join(w or "?" for w in want), ret or "?", shapes))

    def _fits(self, m, want, ret, static):
        ps = list(m.GetParameters())
        if bool(m.IsStatic) != static or len(ps) < len(want) or not all(p.IsOptional for p in ps[len(want):]):
            return False
        if any(w is not None and w != self.net.name(p.ParameterType) for w, p in zip(want, ps)):
            return False
        return ret is None or ret == self.net.name(m.ReturnType)

    def event(self, si, cls, t, name, args, static, where):
        e = t.GetEvent(name)
        if e is None:
            return self.problems.append("%s is no event" % where)
        invoke = e.EventHandlerType.GetMethod("Invoke")
        ps = [self.net.name(p.ParameterType) for p in invoke.GetParameters()]
        if len(ps) != 2 or ps[0] != "System.Object" or self.net.name(invoke.ReturnType) != "System.Void":
            return self.problems.append("%s: its handler %s is no (sender, args) handler" % (
                where, self.net.name(e.EventHandlerType)))
        if args is None:
            return self.problems.append("%s: the stand-in declares no args type" % where)
        if ps[1] != si.net_name(cls, args):
            self.problems.append("%s: its args are %s, the stand-in's %s" % (where, ps[1], si.net_name(cls, args)))

    # the product

    def product(self):
        literals = _literals()
        for full, name, kind in USED:
            self.counts["used"] += 1
            where = "%s: %s.%s (%s)" % (literals.get(name, "USED"), full, name, kind)
            t = self.net.type(full)
            if t is None:
                self.problems.append("%s: no such type" % where)
            elif kind == "event":
                if t.GetEvent(name) is None:
                    self.problems.append("%s: no such event" % where)
            elif kind in ("get", "set"):
                p = self.net.property(t, name)
                acc = p and (p.GetGetMethod() if kind == "get" else p.GetSetMethod())
                if acc is None:
                    self.problems.append("%s: no property that can be %s" % (where, "read" if kind == "get" else "written"))
            elif not any(len(m.GetParameters()) >= kind and all(p.IsOptional for p in list(m.GetParameters())[kind:])
                         for m in self.net.methods(t, name)):
                self.problems.append("%s: no method taking %d arguments" % (where, kind))

    def product_scan(self):
        """Names of SDK members in src/'s string literals must have a row in USED, and every row's
        name must be in src/."""
        flags = self.net.BindingFlags.Public | self.net.BindingFlags.Instance | self.net.BindingFlags.Static
        sdk_members = {}
        for a in self.net.sdk:
            for t in a.GetExportedTypes():
                if not t.IsEnum and t.Namespace != "Microsoft.Web.WebView2.Core.Raw":  # COM interfaces
                    for m in t.GetMembers(flags | self.net.BindingFlags.DeclaredOnly):
                        sdk_members.setdefault(str(m.Name), t.FullName)
        literals = _literals()
        used = {name for _, name, _ in USED}
        for name, where in sorted(literals.items()):
            if name in sdk_members and name not in used and name not in _NOT_SDK_USES:
                self.problems.append("%s: \"%s\" names a member of the SDK (%s) with no row in USED" % (
                    where, name, sdk_members[name]))
        for name in sorted(used - set(literals)):
            self.problems.append("USED row %s: src/ no longer names it" % name)


def _literals():
    """{identifier: "file:line" of its first use} for the identifiers quoted in src/'s C++ code."""
    literals = {}
    for root, _, files in sorted(os.walk(_SRC)):
        for f in sorted(files):
            if f.endswith((".cpp", ".hpp")):
                path = os.path.join(root, f)
                with open(path, encoding="utf-8") as fh:
                    for no, line in enumerate(fh, 1):
                        code = line.split("//", 1)[0]
                        for name in re.findall(r'"([A-Za-z_]\w*)"', code):
                            literals.setdefault(name, "%s:%d" % (os.path.relpath(path, os.path.dirname(_SRC)), no))
    return literals


# String literals in src/ that name SDK members but are used on other objects.
_NOT_SDK_USES = {
    "Left", "Top", "Width", "Height", "Size",  # Windows Forms bounds, System.Drawing.Size
    "Text", "Font", "Close",  # Windows Forms controls and forms
    "Action",  # System.Action
    "Start",  # System.Threading.Thread, System.Windows.Forms.Timer
    "Stop", "Dispose",  # System.Windows.Forms.Timer
    "Path",  # pathlib
    "Orientation",  # GTK
    "Delete", "Pause",  # WebDriver's key names and codes
}


def test_the_stand_in_and_the_product_match_the_real_assemblies(mono, summary_line):
    net = Net()
    check = Check(net)
    check.standin(StandIn())
    check.product()
    check.product_scan()
    c = check.counts
    line = ("WebView2 SDK %s and Mono's Windows Forms: %d types, %d members, %d enum values of the stand-in "
            "and %d uses of the product checked; %d mismatches" % (
                net.version, c["types"] - len(check.mono_lacks), c["members"], c["enum_values"], c["used"],
                len(check.problems)))
    if check.mono_lacks:
        line += "; not in Mono, so unchecked: " + ", ".join(check.mono_lacks)
    summary_line(line)
    assert not check.problems, "the real assemblies disagree:\n  " + "\n  ".join(check.problems)
