"""Machinery shared by the simulated namespaces: the platform state of one test, the operation log,
failure injection, per-thread message queues, events, delegates and the .NET exception types."""

from __future__ import annotations

import collections
import threading
import time

DEFAULT_TIMEOUT = 10.0


# ---- exceptions ---------------------------------------------------------------------------------


class SimFault(AssertionError):
    """Code under test used the simulated platform in a way the real one would not allow, or a
    test forgot to script something. Also recorded in ``Platform.faults`` because guarded code
    may swallow it; the fixture fails the test at teardown when any fault was recorded."""


class Exception_(Exception):
    """System.Exception as pythonnet shows it: a Python exception whose text is the message."""

    def __init__(self, message: str = ""):
        super().__init__(message)
        self.Message = message


class InvalidOperationException(Exception_):
    pass


class ObjectDisposedException(InvalidOperationException):
    pass


class ArgumentException(Exception_):
    pass


class ArgumentNullException(ArgumentException):
    pass


class FileNotFoundException(Exception_):
    pass


class ExternalException(Exception_):
    pass


# ---- the platform of one test ---------------------------------------------------------------------


class _Failure:
    def __init__(self, key, exc, after, times):
        self.key, self.exc, self.after, self.times = key, exc, after, times
        self.seen = 0
        self.raised = 0

    def hit(self):
        self.seen += 1
        if self.seen <= self.after:
            return False
        if self.times is not None and self.raised >= self.times:
            return False
        self.raised += 1
        return True


def _type_names(obj):
    cls = obj if isinstance(obj, type) else type(obj)
    return [c.__name__ for c in cls.__mro__ if c is not object]


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
        self.cores = []
        self.popups = []  # addresses of new windows the browser opened itself
        self.dialogs = []  # (dialog, owner, settings dict) per ShowDialog
        self.clipboard = None
        self.save_dialog_answers = collections.deque()
        # WebView2 behaviour knobs.
        self.init_mode = "shown"  # "shown" | "explicit" (EnsureCoreWebView2Async) | "manual"
        self.init_error = None  # an exception: initialisation fails with it
        self.auto_complete = True  # navigations complete by themselves
        self.nav_errors = {}  # address -> CoreWebView2WebErrorStatus for a failed navigation
        self.has_profile = True
        self._failures = []
        self._lock = threading.RLock()
        self._threads = {}
        self._seq = collections.Counter()
        self._runners = []
        self.modules = {}

    # -- the installed namespaces --

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
        import sys

        sys.platform = "win32"

    # -- log and failure injection --

    def fail(self, key, exc=None, *, after=0, times=None):
        """Make an operation raise. `key` names it as the log does, with a class name:
        "Panel()" (constructor), "Panel.BackColor=" (property write), "ToolTip.SetToolTip()"
        (method), "TextBox.PreviewKeyDown+=" (subscription), "WebView2.CoreWebView2" (read of a
        property that supports it). Base class names match too ("Control.BackColor=").
        The first `after` matching operations pass; then `times` of them raise (None: all)."""
        if exc is None:
            exc = InvalidOperationException("simulated failure: " + key)
        self._failures.append(_Failure(key, exc, after, times))

    def op(self, obj, op, name=None, value=None):
        """Log one operation of code under test and raise an injected failure for it."""
        with self._lock:
            self.log.append((obj, op, name, value))
        self.check(obj, op, name)

    def check(self, obj, op, name=None):
        if not self._failures:
            return
        suffix = {"new": "()", "set": "=", "call": "()", "+=": "+=", "-=": "-=", "get": ""}[op]
        keys = set()
        for t in _type_names(obj):
            keys.add(t + suffix if op == "new" else "%s.%s%s" % (t, name, suffix))
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

    def ui(self, thread=None):
        """The message queue of a thread (by default the calling one), created on first use."""
        thread = thread or threading.current_thread()
        with self._lock:
            q = self._threads.get(thread.ident)
            if q is None or q.thread is not thread:
                q = self._threads[thread.ident] = MessageQueue(self, thread)
            return q

    def start_ui_thread(self, target, *args, name="sim-ui", **kwargs):
        """Run target(*args, **kwargs) on a new daemon thread, which becomes a UI thread.
        Returns a Runner; the fixture joins it at teardown (closing open forms first)."""
        r = Runner(self, target, args, kwargs, name)
        self._runners.append(r)
        r.thread.start()
        return r

    def wait_until(self, predicate, timeout=None, what="condition"):
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            v = predicate()
            if v:
                return v
            if time.monotonic() >= deadline:
                raise TimeoutError("timed out waiting for " + what)
            time.sleep(0.005)

    def wait_form(self, timeout=None):
        """The first form that has been shown (by Application.Run or Show)."""
        return self.wait_until(
            lambda: next((f for f in self.forms if f.__dict__.get("_shown")), None), timeout, "a shown form"
        )

    def wait_core(self, webview=None, timeout=None):
        """The CoreWebView2 of `webview` (default: the first WebView2 made) once initialised."""

        def probe():
            wv = webview or (self.webviews[0] if self.webviews else None)
            return wv is not None and wv._core

        return self.wait_until(probe, timeout, "a CoreWebView2")

    def pump(self):
        """Run the messages queued for the calling thread (like Application.DoEvents)."""
        self.ui().pump()

    # -- scripted dialogs --

    def answer_save_dialog(self, result, file_name=None):
        """Script the next SaveFileDialog.ShowDialog: it returns `result` (a DialogResult) and,
        when `file_name` is given, leaves it in the dialog's FileName."""
        self.save_dialog_answers.append((result, file_name))

    # -- teardown --

    def close_all(self, timeout=None):
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

    def __init__(self, plat, target, args, kwargs, name):
        self.plat = plat
        self.result = None
        self.error = None
        self.done = threading.Event()

        def main():
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
        self.fn = fn
        self.sync = sync
        self.done = threading.Event()
        self.result = None
        self.error = None


class MessageQueue:
    """The message queue of one thread. A message loop (Application.Run) processes it; Invoke
    posts and waits, BeginInvoke posts and returns."""

    def __init__(self, plat, thread):
        self.plat = plat
        self.thread = thread
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
        while True:
            with self.cond:
                if not self.items:
                    return
                m = self.items.popleft()
            self._run(m)

    def run(self, until):
        """Process messages until until() is true; then fail the Invoke calls still waiting."""
        self.loops += 1
        try:
            while not until():
                with self.cond:
                    if not self.items:
                        self.cond.wait(0.05)
                        continue
                    m = self.items.popleft()
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


# ---- events and delegates ------------------------------------------------------------------------


class Event:
    """One event of one object: `+=` / `-=` with Python callables, as pythonnet allows.
    Handlers are called with (sender, args); `sim_fire` raises the event on the calling thread."""

    def __init__(self, owner, name):
        self._owner = owner
        self._name = name
        self._handlers = []

    def __iadd__(self, handler):
        if not callable(handler):
            raise TypeError("event handler must be callable")
        self._owner._before_subscribe(self._name)
        self._owner._plat.op(self._owner, "+=", self._name, handler)
        self._handlers.append(handler)
        return self

    def __isub__(self, handler):
        self._owner._before_subscribe(self._name)
        self._owner._plat.op(self._owner, "-=", self._name, handler)
        for i in range(len(self._handlers) - 1, -1, -1):
            if self._handlers[i] == handler:
                del self._handlers[i]
                break
        return self

    @property
    def sim_handlers(self):
        return list(self._handlers)

    def sim_fire(self, sender, args):
        for h in list(self._handlers):
            h(sender, args)

    def __repr__(self):
        return "<event %s of %r>" % (self._name, self._owner)


class EventDecl:
    """Declares an event on a class; assigning anything but the event's own binding (what
    `obj.E += h` writes back) raises, as in pythonnet."""

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        ev = obj.__dict__.get("_ev_" + self.name)
        if ev is None:
            ev = obj.__dict__["_ev_" + self.name] = Event(obj, self.name)
        return ev

    def __set__(self, obj, value):
        if value is not self.__get__(obj):
            raise AttributeError("cannot assign to event %s" % self.name)


class Delegate:
    """A .NET delegate wrapping a Python callable (System.Action)."""

    def __init__(self, fn):
        if not callable(fn):
            raise TypeError("delegate target must be callable")
        self._fn = fn

    def __call__(self, *args):
        return self._fn(*args)

    def Invoke(self, *args):
        return self._fn(*args)

    def DynamicInvoke(self, *args):
        return self._fn(*args)

    def __eq__(self, other):
        return isinstance(other, Delegate) and other._fn == self._fn

    def __hash__(self):
        return hash(self._fn)


class Action(Delegate):
    pass


# ---- recorded objects ---------------------------------------------------------------------------

_current = None


def current():
    if _current is None:
        raise SimFault("the simulated platform is not installed (use the winsim fixture)")
    return _current


def _set_current(plat):
    global _current
    _current = plat


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


class Prop:
    """A property of a simulated .NET object: writes are type-checked like pythonnet's conversion,
    logged in order and may carry a side effect (`on_set(obj, old, new)`)."""

    def __init__(self, default=None, typ=None, on_set=None, nullable=False, factory=None):
        self.default = default
        self.factory = factory
        self.typ = typ
        self.on_set = on_set
        self.nullable = nullable

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        obj._before_read(self.name)
        key = "_p_" + self.name
        if key not in obj.__dict__:
            if self.factory is None:
                return self.default
            obj.__dict__[key] = self.factory()
        return obj.__dict__[key]

    def convert(self, value):
        t = self.typ
        if t is None or (value is None and self.nullable):
            return value
        if t is int:
            if _is_int(value):
                return int(value)
        elif t is float:
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                return float(value)
        elif t is bool:
            if isinstance(value, bool):
                return value
        elif isinstance(value, t):
            return value
        raise TypeError(
            "%s: cannot convert %s to %s" % (self.name, type(value).__name__, getattr(t, "__name__", t))
        )

    def __set__(self, obj, value):
        obj._before_write(self.name)
        obj._record(self.name, value)
        value = self.convert(value)
        old = obj.__dict__.get("_p_" + self.name)
        obj.__dict__["_p_" + self.name] = value
        if self.on_set:
            self.on_set(obj, old, value)


class Recorded:
    """Base of the simulated .NET objects: unknown public attributes cannot be written (as on a
    .NET object), and construction is logged."""

    _plat: Platform
    _log_new = True  # False for objects the platform makes itself (event arguments)

    def __init__(self, *args):
        object.__setattr__(self, "_plat", current())
        p = self._plat
        with p._lock:
            p._seq[type(self).__name__] += 1
            n = p._seq[type(self).__name__]
        object.__setattr__(self, "sim_name", "%s#%d" % (type(self).__name__, n))
        if self._log_new:
            p.op(self, "new", type(self).__name__, args)

    def _record(self, name, value):
        self._plat.op(self, "set", name, value)

    def __setattr__(self, name, value):
        if not name.startswith(("_", "sim_")) and not hasattr(type(self), name):
            raise AttributeError("'%s' object has no attribute '%s'" % (type(self).__name__, name))
        object.__setattr__(self, name, value)

    def _before_read(self, name):
        self._plat.check(self, "get", name)

    def _before_write(self, name):
        pass

    def _before_subscribe(self, name):
        pass

    def _call(self, name, *args):
        self._before_write(name)
        self._plat.op(self, "call", name, args)

    def __repr__(self):
        return "<%s>" % self.sim_name
