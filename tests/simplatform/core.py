"""Machinery shared by the simulated namespaces: the platform state of one test, the operation log,
failure injection, per-thread message queues, recorded objects with their properties and events,
delegates and the .NET exception types."""

import collections
import sys
import threading
import time

DEFAULT_TIMEOUT = 10.0


class SimFault(AssertionError):
    """Code under test used the simulated platform in a way the real one would not allow, or a
    test forgot to script something. Also recorded in ``Platform.faults`` because guarded code
    may swallow it; the fixture fails the test at teardown when any fault was recorded."""


class Exception_(Exception):
    """System.Exception as pythonnet shows it: a Python exception carrying Message and StackTrace.
    Its text is the exception's ToString() without the leading type name: the message, and for
    an exception that was thrown, a new line and the stack trace after it."""

    Message: str
    StackTrace: str

    def __init__(self, message="", stack_trace=None):
        super().__init__(message)
        self.Message = message
        self.StackTrace = stack_trace

    def __str__(self):
        return self.Message if not self.StackTrace else self.Message + "\n" + self.StackTrace


class InvalidOperationException(Exception_):
    pass


class ObjectDisposedException(InvalidOperationException):
    pass


class NotImplementedException(Exception_):
    pass


class ArgumentException(Exception_):
    pass


class ArgumentNullException(ArgumentException):
    pass


class FileNotFoundException(Exception_):
    pass


class DllNotFoundException(Exception_):
    pass


class ThreadStateException(Exception_):
    pass


class COMException(Exception_):
    """System.Runtime.InteropServices.COMException: a failed HRESULT."""

    HResult: int

    def __init__(self, message="", hresult=0, stack_trace=None):
        super().__init__(message, stack_trace)
        self.HResult = hresult


def ints(*values):
    """True when every value converts to Int32 (a bool does not)."""
    return all(isinstance(v, int) and not isinstance(v, bool) for v in values)


# ---- the platform of one test ---------------------------------------------------------------------

# How Platform.fail names an operation: op -> suffix after "Class.Member" ("Class" for "new").
_KEY_SUFFIX = {"new": "()", "set": "=", "call": "()", "+=": "+=", "-=": "-=", "get": ""}


class _Failure:
    def __init__(self, key, exc, after, times):
        self.key, self.exc, self.after, self.times, self.seen = key, exc, after, times, 0

    def hit(self):
        self.seen += 1
        n = self.seen - self.after
        return n > 0 and (self.times is None or n <= self.times)


class Platform:
    """State of one simulated Windows for one test (see the package docstring for the API)."""

    def __init__(self):
        self.timeout = DEFAULT_TIMEOUT
        self.log = []  # (obj, op, name, value): op in new / set / call / += / -=
        self.faults = []
        self.unhandled = []  # exceptions that escaped a posted message or event
        self.references = []  # clr.AddReference arguments, in order
        self.controls_created = 0
        self.forms = []
        self.webviews = []
        self.popups = []  # addresses of new windows the browser opened itself
        self.dialogs = []  # (dialog, owner, settings dict) per ShowDialog
        self.clipboard = None
        self.save_dialog_answers = collections.deque()
        # "explicit": the core is made when asked (EnsureCoreWebView2Async, or Source set), as on
        # Windows; "shown": also once the form has been shown; "manual": wv.sim_initialize().
        self.init_mode = "explicit"
        self.init_error = None  # an exception: WebView2 initialisation fails with it
        self.auto_complete = True  # navigations complete by themselves
        self.nav_errors = {}  # address -> CoreWebView2WebErrorStatus of a failed navigation
        self.titles = {}  # address -> the page's title (default: "<host> page")
        self.download_uris = {}  # address -> proposed file path: navigating there downloads
        self.live_profiles = []  # (WebView2, (user-data folder, browser arguments)) per core made
        self.downloads = []  # DownloadStarting arguments of navigations that became downloads
        self.has_profile = True
        self.has_script_with_result = True  # the SDK has ExecuteScriptWithResultAsync (1.0.2277 on)
        self.has_nested_frames = True  # the runtime has CoreWebView2Frame.FrameCreated (1.0.3240.44 on)
        self.modules = {}  # the installed modules by name
        # COM apartment per thread ident: "STA", "MTA" or "Unknown" (see Platform.apartment).
        # The test's own thread stands for an application's [STAThread] UI thread.
        self.apartments = {threading.current_thread().ident: "STA"}
        self._webview2_events = collections.Counter()  # thread ident -> WebView2 handlers running
        self._failures = []
        self._lock = threading.RLock()
        self._threads = {}
        self._seq = collections.Counter()
        self._runners = []

    @property
    def WinForms(self):
        """The System.Windows.Forms module (what a host binds as WinForms / wf)."""
        return self.modules["System.Windows.Forms"]

    @property
    def Drawing(self):
        """The System.Drawing module."""
        return self.modules["System.Drawing"]

    def pretend_windows(self):
        """Make sys.platform read "win32" until the test ends."""
        sys.platform = "win32"

    # -- log and failure injection --

    def fail(self, key, exc=None, *, after=0, times=None):
        """Make an operation raise. `key` names it as the log does, with a class name:
        "Panel()" (constructor), "Panel.BackColor=" (property write), "ToolTip.SetToolTip()"
        (method), "TextBox.PreviewKeyDown+=" (subscription), "WebView2.CoreWebView2" (property
        read). Base class names match too ("Control.BackColor="). The first `after` matching
        operations pass; then `times` of them raise (None: all)."""
        self._failures.append(_Failure(key, exc or InvalidOperationException("simulated failure: " + key),
                                       after, times))

    def op(self, obj, op, name=None, value=None):
        """Log one operation of code under test and raise an injected failure for it."""
        with self._lock:
            self.log.append((obj, op, name, value))
        self.check(obj, op, name)

    def check(self, obj, op, name=None):
        """Raise the injected failure for an operation, if any (reads are checked, not logged)."""
        if not self._failures:
            return
        cls = obj if isinstance(obj, type) else type(obj)
        suffix = _KEY_SUFFIX[op]
        keys = {c.__name__ + suffix if op == "new" else "%s.%s%s" % (c.__name__, name, suffix)
                for c in cls.__mro__[:-1]}
        for f in self._failures:
            if f.key in keys and f.hit():
                raise f.exc

    def writes(self, obj):
        """The (name, value) property writes made on `obj`, in order."""
        return [(n, v) for o, op, n, v in self.log if o is obj and op == "set"]

    def ops(self, obj=None):
        """The log as (obj, op, name, value), optionally only for `obj`."""
        return [e for e in self.log if obj is None or e[0] is obj]

    def fault(self, message):
        with self._lock:
            self.faults.append(message)
        raise SimFault(message)

    # -- threads --

    def apartment(self, thread=None):
        """The COM apartment of a thread: "STA", "MTA" or "Unknown".

        A Python thread is "Unknown" until it sets its state: pythonnet does not make Python's
        threads STA (which is why pywebview runs its GUI on an STA thread of its own,
        webview/platforms/winforms.py:825). COM treats an unknown thread as MTA, so calls that
        need STA fail there, but Thread.CurrentThread.TrySetApartmentState(STA) still succeeds
        on it (.NET: Thread.TrySetApartmentState); on an MTA thread it returns False. The test's
        own thread is STA (it stands for an application's UI thread in unit tests);
        start_ui_thread(..., apartment="MTA") makes a host's caller a thread that cannot become
        STA, as Python's main thread is once the CLR has initialised COM on it."""
        thread = thread or threading.current_thread()
        with self._lock:
            return self.apartments.get(thread.ident, "Unknown")

    def set_apartment(self, state, thread=None):
        """Set a thread's apartment (a test making a thread MTA as the CLR would)."""
        thread = thread or threading.current_thread()
        with self._lock:
            self.apartments[thread.ident] = state

    def require_sta(self, what):
        """Windows refuses OLE calls (clipboard, common dialogs) off an STA thread with
        ThreadStateException: .NET's text (SR.ThreadMustBeSTA) is used here."""
        if self.apartment() != "STA":
            with self._lock:
                self.faults.append("%s on a thread that is not STA" % what)
            raise ThreadStateException(
                "Current thread must be set to single thread apartment (STA) mode before OLE calls "
                "can be made. Ensure that your Main function has STAThreadAttribute marked on it.")

    def in_webview2_event(self):
        """True while a WebView2 event handler runs on the calling thread."""
        return self._webview2_events[threading.get_ident()] > 0

    def ui(self, thread=None):
        """The message queue of a thread (by default the calling one), created on first use."""
        thread = thread or threading.current_thread()
        with self._lock:
            q = self._threads.get(thread.ident)
            if q is None or q.thread is not thread:
                q = self._threads[thread.ident] = MessageQueue(self, thread)
            return q

    def start_ui_thread(self, target, *args, name="sim-ui", apartment=None, **kwargs):
        """Run target(*args, **kwargs) on a new daemon thread, which becomes a UI thread (its COM
        apartment `apartment`, default unknown). Returns a Runner; the fixture joins it at
        teardown (closing open forms first)."""
        r = Runner(self, target, args, kwargs, name, apartment)
        self._runners.append(r)
        r.thread.start()
        return r

    def wait_until(self, predicate, timeout=None, what="condition"):
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while not (v := predicate()):
            if time.monotonic() >= deadline:
                raise TimeoutError("timed out waiting for " + what)
            time.sleep(0.005)
        return v

    def wait_form(self, timeout=None):
        """The first form that has been shown (by Application.Run or Show)."""
        return self.wait_until(lambda: next((f for f in self.forms if f._shown), None), timeout,
                               "a shown form")

    def wait_core(self, webview=None, timeout=None):
        """The CoreWebView2 of `webview` (default: the first WebView2 made) once initialised."""

        def probe():
            wv = webview or (self.webviews[0] if self.webviews else None)
            return wv is not None and wv._core

        return self.wait_until(probe, timeout, "a CoreWebView2")

    def pump(self):
        """Run the messages queued for the calling thread (like Application.DoEvents)."""
        self.ui().pump()

    def answer_save_dialog(self, result, file_name=None):
        """Script the next SaveFileDialog.ShowDialog: it returns `result` (a DialogResult) and,
        when `file_name` is given, leaves it in the dialog's FileName."""
        self.save_dialog_answers.append((result, file_name))

    def close_all(self, timeout=None):
        """Teardown: close the open forms and join the UI threads, recording what fails."""
        for f in list(self.forms):
            if not f.IsDisposed:
                try:
                    f.sim_close(timeout=timeout)
                except Exception as e:  # noqa: BLE001 - teardown reports below
                    self.faults.append("closing %r failed: %r" % (f, e))
        for r in self._runners:
            r.thread.join(self.timeout if timeout is None else timeout)
            if r.thread.is_alive():
                self.faults.append("UI thread %r did not end" % r.thread.name)


class Runner:
    """A daemon thread running a host; `join()` returns its result or raises its exception."""

    def __init__(self, plat, target, args, kwargs, name, apartment=None):
        self.plat, self.result, self.error, self.done = plat, None, None, threading.Event()

        def main():
            if apartment is not None:
                plat.set_apartment(apartment)
            try:
                self.result = target(*args, **kwargs)
            except BaseException as e:  # noqa: BLE001 - handed to join()
                self.error = e
            finally:
                self.done.set()

        self.thread = threading.Thread(target=main, name=name, daemon=True)

    def join(self, timeout=None):
        if not self.done.wait(self.plat.timeout if timeout is None else timeout):
            raise TimeoutError("UI thread %r still running" % self.thread.name)
        if self.error is not None:
            raise self.error
        return self.result


# ---- message queues ---------------------------------------------------------------------------------


class _Message:
    def __init__(self, fn, sync):
        self.fn, self.sync, self.done, self.result, self.error = fn, sync, threading.Event(), None, None


class MessageQueue:
    """The message queue of one thread. A message loop (Application.Run) processes it; Invoke
    posts and waits, BeginInvoke posts and returns."""

    def __init__(self, plat, thread):
        self.plat, self.thread = plat, thread
        self.items = collections.deque()
        self.cond = threading.Condition()
        self.loops = 0
        self.exit_requested = False

    def is_current(self):
        return threading.current_thread() is self.thread

    def post(self, fn, sync=False):
        m = _Message(fn, sync)
        with self.cond:
            self.items.append(m)
            self.cond.notify_all()
        return m

    def wake(self):
        with self.cond:
            self.cond.notify_all()

    def _next(self, wait):
        with self.cond:
            if not self.items and wait:
                self.cond.wait(0.05)
            return self.items.popleft() if self.items else None

    def _run(self, m):
        try:
            m.result = m.fn()
        except BaseException as e:  # noqa: BLE001 - sync: to the caller; async: unhandled
            if m.sync:
                m.error = e
            else:
                with self.plat._lock:
                    self.plat.unhandled.append(e)
        finally:
            m.done.set()

    def pump(self):
        while (m := self._next(wait=False)) is not None:
            self._run(m)

    def run(self, until):
        """Process messages until until() is true; then fail the Invoke calls still waiting."""
        self.loops += 1
        try:
            while not until():
                if (m := self._next(wait=True)) is not None:
                    self._run(m)
        finally:
            self.loops -= 1
        if self.loops == 0:
            with self.cond:
                left, self.items = list(self.items), collections.deque()
            for m in left:
                if m.sync:
                    m.error = ObjectDisposedException("The message loop has ended.")
                m.done.set()

    def call(self, fn):
        """Run fn on this thread and return its result: at once when called on it, otherwise
        through the queue (waiting at most the platform timeout). Exceptions reach the caller."""
        if self.is_current():
            return fn()
        m = self.post(fn, sync=True)
        if not m.done.wait(self.plat.timeout):
            self.plat.fault("no message loop ran a call posted to thread %r" % self.thread.name)
        if m.error is not None:
            raise m.error
        return m.result


# ---- .NET types named in declarations ----------------------------------------------------------------


class NetType:
    """A .NET type the stand-in names in its declarations without modelling it (its values are
    Python's: a UInt64 is an int); `NetType("System.Nullable`1", int)` for a generic one."""

    def __init__(self, full_name, *args):
        self.full_name, self.args = full_name, args

    def __repr__(self):
        return "NetType(%r)" % self.full_name


UInt64, UInt32, Int64, Byte, Char, Single = (NetType("System." + n)
                                            for n in ("UInt64", "UInt32", "Int64", "Byte", "Char", "Single"))
ByteArray = NetType("System.Byte[]")


class Uri:
    """System.Uri: made from an absolute address (a relative one raises UriFormatException, here
    ArgumentException); AbsoluteUri and ToString() give it back (without .NET's normalisation)."""

    AbsoluteUri: str
    OriginalString: str

    def __init__(self, uriString):
        if not isinstance(uriString, str):
            raise TypeError("No constructor matches given arguments for Uri")
        head, sep, _ = uriString.partition(":")
        if not (sep and head[:1].isalpha()):
            raise ArgumentException("Invalid URI: The format of the URI could not be determined.")
        self.AbsoluteUri = self.OriginalString = uriString

    def ToString(self) -> str:
        return self.AbsoluteUri

    __str__ = ToString

    def __eq__(self, other):
        return isinstance(other, Uri) and other.AbsoluteUri == self.AbsoluteUri

    def __hash__(self):
        return hash(self.AbsoluteUri)


class SdkMember:
    """A method the SDK has from some release on: reading it raises AttributeError, as pythonnet
    does for a missing member, while the platform's flag `flag` is false."""

    def __init__(self, flag, fn):
        self.flag, self.fn = flag, fn

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        if not getattr(obj._plat, self.flag):
            raise AttributeError("'%s' object has no attribute '%s'" % (type(obj).__name__, self.name))
        return self.fn.__get__(obj, cls)


# ---- delegates and the current platform -----------------------------------------------------------


class Delegate:
    """A .NET delegate wrapping a Python callable (System.Action)."""

    _net_name = "System.Delegate"

    def __init__(self, fn):
        if not callable(fn):
            raise TypeError("delegate target must be callable")
        self._fn = fn

    def __call__(self, *args):
        return self._fn(*args)

    Invoke = DynamicInvoke = __call__

    def __eq__(self, other):
        return isinstance(other, Delegate) and other._fn == self._fn

    def __hash__(self):
        return hash(self._fn)


class Action(Delegate):
    pass


_current = None


def current():
    if _current is None:
        raise SimFault("the simulated platform is not installed (use the winsim fixture)")
    return _current


def _set_current(plat):
    global _current
    _current = plat


# ---- recorded objects: properties and events --------------------------------------------------------

_NET_TYPE_NAMES = {int: "Int32", float: "Double", bool: "Boolean", str: "String"}


class Prop:
    """A property of a recorded object. A read passes the object's thread rule and can be made to
    fail; a write passes the thread rule, is logged, then converted as pythonnet converts (no bool
    for a number, an int for a float, None only when `nullable`; `none_is` replaces a None written,
    as .NET text properties keep "" for null) and stored, after which `on_set(obj, old, new)` runs. `get` / `set` replace the storage for values kept elsewhere;
    with `get` and no `set` the property is read-only."""

    def __init__(self, default=None, typ=None, *, nullable=False, none_is=None, factory=None,
                 on_set=None, get=None, set=None):
        self.default, self.typ, self.nullable, self.factory = default, typ, nullable, factory
        self.none_is = none_is
        self.on_set, self.get, self.set = on_set, get, set

    def __set_name__(self, owner, name):
        self.name, self.key = name, "_p_" + name

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        obj._use("get", self.name)
        if self.get:
            return net(self.get(obj))
        if self.key not in obj.__dict__:
            if self.factory is None:
                return self.default
            obj.__dict__[self.key] = self.factory()
        return net(obj.__dict__[self.key])

    def __set__(self, obj, value):
        if self.get and not self.set:
            raise AttributeError("property '%s' of '%s' object has no setter" % (self.name, type(obj).__name__))
        obj._use("set", self.name, value)
        self.put(obj, value)

    def put(self, obj, value):
        """Store `value` as the platform itself would: converted and with the side effect, but
        neither checked nor logged."""
        value = self.convert(value)
        if self.set:
            return self.set(obj, value)
        old = obj.__dict__.get(self.key, self.default)
        obj.__dict__[self.key] = value
        if self.on_set:
            self.on_set(obj, old, value)

    def convert(self, value):
        t = self.typ
        if value is None and self.nullable:
            return self.none_is
        if t is None:
            return value
        if t in (int, float):
            if ints(value) or (t is float and isinstance(value, float)):
                return t(value)
        elif isinstance(value, t):
            return value
        raise TypeError("%s: cannot convert %s to %s"
                        % (self.name, type(value).__name__, _NET_TYPE_NAMES.get(t, t.__name__)))


class Event:
    """One event of one object: `+=` / `-=` with Python callables, as pythonnet allows.
    Handlers are called with (sender, args); `sim_fire` raises the event on the calling thread."""

    def __init__(self, owner, name):
        self._owner, self._name, self._handlers = owner, name, []

    def __iadd__(self, handler):
        if not callable(handler):
            raise TypeError("event handler must be callable")
        self._owner._use("+=", self._name, handler)
        self._handlers.append(handler)
        return self

    def __isub__(self, handler):
        self._owner._use("-=", self._name, handler)
        # pythonnet (src/runtime/EventHandlerCollection.cs, RemoveEventHandler) removes the first
        # handler added with the same Python hash (hash only: an unhashable handler raises
        # TypeError) and raises ValueError("unknown event handler") when none has it.
        wanted = hash(handler)
        for i, h in enumerate(self._handlers):
            if hash(h) == wanted:
                del self._handlers[i]
                return self
        raise ValueError("unknown event handler")

    @property
    def sim_handlers(self):
        return list(self._handlers)

    def sim_fire(self, sender, args):
        """Calls every handler with (sender, args) as pythonnet hands them over: a new wrapper of
        each .NET object per call (see NetRef)."""
        plat = getattr(self._owner, "_plat", None)
        counted = plat is not None and getattr(self._owner, "_raises_webview2_events", False)
        if counted:
            with plat._lock:
                plat._webview2_events[threading.get_ident()] += 1
        try:
            for h in list(self._handlers):
                h(net(sender), net(args))
        finally:
            if counted:
                with plat._lock:
                    plat._webview2_events[threading.get_ident()] -= 1

    def __repr__(self):
        return "<event %s of %r>" % (self._name, self._owner)


class EventDecl:
    """Declares an event on a class, raised with arguments of type `args`. Assigning anything but
    the event's own binding (what `obj.E += h` writes back) raises, as in pythonnet."""

    def __init__(self, args=None):
        self.args = args

    def __set_name__(self, owner, name):
        self.name, self.key = name, "_ev_" + name

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        if self.key not in obj.__dict__:
            obj.__dict__[self.key] = Event(obj, self.name)
        return obj.__dict__[self.key]

    def __set__(self, obj, value):
        if value is not self.__get__(obj):
            raise AttributeError("cannot assign to event %s" % self.name)


class Recorded:
    """Base of the simulated .NET objects. Construction is logged (unless `_log_new` is False, for
    objects the platform makes itself); public attributes the class does not declare cannot be
    written (nor values the platform set in the instance, which are read-only); every use of a
    member by code under test goes through `_use`. A class names its events in `_events`, a dict
    of event name -> the type of its arguments (`object` for .NET's EventHandler<Object>).

    Declarations carry the .NET types the stand-in models, checked against the real assemblies
    (tests_real/test_sdk_shapes.py): a Prop's type, annotations of methods and of values the
    platform fixes on an instance (class annotations without a value), `_events`. A type the
    stand-in does not model is named with NetType; a class not registered under a namespace
    gives its .NET name in `_net_name`."""

    _log_new = True
    _events = {}

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        for name, args in cls.__dict__.get("_events", {}).items():
            decl = EventDecl(args)
            decl.__set_name__(cls, name)
            setattr(cls, name, decl)

    def __init__(self, *args):
        plat = self._plat = current()
        kind = type(self).__name__
        with plat._lock:
            plat._seq[kind] += 1
            self.sim_name = "%s#%d" % (kind, plat._seq[kind])
        if self._log_new:
            plat.op(self, "new", kind, args)

    def __setattr__(self, name, value):
        if not name.startswith(("_", "sim_")) and (name in self.__dict__ or not hasattr(type(self), name)):
            raise AttributeError("'%s' object has no writable attribute '%s'" % (type(self).__name__, name))
        object.__setattr__(self, name, value)

    def _guard(self, op, name):
        """The object's thread rule: raise before a use the real platform would refuse."""

    def _use(self, op, name, value=None):
        """One use of a member ("get", "set", "call", "+=", "-="): the thread rule, then the log
        (reads are not logged) and any injected failure."""
        self._guard(op, name)
        if op == "get":
            self._plat.check(self, op, name)
        else:
            self._plat.op(self, op, name, value)

    def _call(self, name, *args):
        self._use("call", name, args)


class NetRef:
    """What pythonnet gives Python for a .NET object: a new wrapper object on every read of a
    property, every event argument and every result (pythonnet src/runtime/Types/ClrObject.cs,
    GetReference makes a new Python object for each conversion), so `is` and `id()` never match
    between two reads. `==` and hash() are .NET's Equals and GetHashCode: reference identity for
    these classes. Everything else goes to the object itself (isinstance() too)."""

    __slots__ = ("_net_target",)

    def __init__(self, target):
        object.__setattr__(self, "_net_target", target)

    @property
    def __class__(self):
        return type(object.__getattribute__(self, "_net_target"))

    def __getattr__(self, name):
        return getattr(object.__getattribute__(self, "_net_target"), name)

    def __setattr__(self, name, value):
        setattr(object.__getattribute__(self, "_net_target"), name, value)

    def __eq__(self, other):
        return unwrap(other) is object.__getattribute__(self, "_net_target")

    def __ne__(self, other):
        return not self == other

    def __hash__(self):
        return hash(object.__getattribute__(self, "_net_target"))

    def __repr__(self):
        return repr(object.__getattribute__(self, "_net_target"))

    def __str__(self):
        return str(object.__getattribute__(self, "_net_target"))


def net(value):
    """`value` as pythonnet would hand it to Python: .NET objects in a new wrapper."""
    return NetRef(value) if isinstance(value, Recorded) and type(value) is not NetRef else value


def unwrap(value):
    """The object behind a wrapper (or the value itself)."""
    return object.__getattribute__(value, "_net_target") if type(value) is NetRef else value


def static_call(cls, name, *args):
    """Log a call of a static member of `cls` (and raise its injected failure); returns the platform."""
    plat = current()
    plat.op(cls, "call", name, args)
    return plat

    def __repr__(self):
        return "<%s>" % self.sim_name


# ---- System.Threading: threads with an apartment state --------------------------------------------


class ApartmentState:
    """System.Threading.ApartmentState (members compare as their names)."""

    STA, MTA, Unknown = "STA", "MTA", "Unknown"


class ThreadStart(Delegate):
    pass


class Thread:
    """System.Threading.Thread over a Python thread. SetApartmentState works before Start
    (afterwards .NET throws ThreadStateException); TrySetApartmentState on the running thread
    itself succeeds only while its apartment is still unknown (.NET: Thread.TrySetApartmentState
    returns false when the apartment is already initialised differently). A .NET thread starts
    MTA unless set otherwise ("Thread.SetApartmentState": the default for new threads is MTA).
    An exception escaping the thread's delegate ends the process on .NET; here it is recorded in
    Platform.unhandled."""

    def __init__(self, start, _thread=None):
        self._plat = current()
        self._state = ApartmentState.MTA
        if _thread is not None:
            self._thread = _thread
            return
        if not isinstance(start, Delegate):
            raise TypeError("No constructor matches given arguments for Thread")

        def main():
            self._plat.set_apartment(self._state)
            try:
                start()
            except BaseException as e:  # noqa: BLE001 - an unhandled .NET thread exception
                with self._plat._lock:
                    self._plat.unhandled.append(e)

        self._thread = threading.Thread(target=main, name="clr-thread", daemon=True)

    @classmethod
    def _current(cls):
        return cls(None, _thread=threading.current_thread())

    def _started(self):
        return self._thread.ident is not None

    def GetApartmentState(self) -> ApartmentState:
        return self._plat.apartment(self._thread) if self._started() else self._state

    def SetApartmentState(self, state: ApartmentState) -> None:
        if not self.TrySetApartmentState(state):
            raise InvalidOperationException("Failed to set the specified COM apartment state.")

    def TrySetApartmentState(self, state: ApartmentState) -> bool:
        if not self._started():
            self._state = state
            return True
        if self._thread is not threading.current_thread():
            raise ThreadStateException("Thread is running or terminated; it cannot change its apartment state.")
        have = self._plat.apartment()
        if have == "Unknown":
            self._plat.set_apartment(state)
            return True
        return have == state

    def Start(self) -> None:
        self._thread.start()

    def Join(self, millisecondsTimeout: int) -> bool:
        self._thread.join(millisecondsTimeout / 1000.0)
        return not self._thread.is_alive()

    IsAlive: bool
    ManagedThreadId: int
    Name: str
    IsAlive = property(lambda self: self._thread.is_alive())
    ManagedThreadId = property(lambda self: self._thread.ident)
    Name = property(lambda self: self._thread.name)


class _CurrentThread(type):
    """Thread.CurrentThread as a static property."""

    CurrentThread = property(lambda cls: Thread._current())


Thread = _CurrentThread("Thread", (Thread,), {})
