"""The real-platform tier: Windows Forms and System.Drawing through pythonnet on Mono, under an X
display (`nox -s real` starts a private Xvfb and runs this folder in its own process;
pythonnet's clr and the simulated one in tests/ cannot share a process).

When the platform cannot be had (no pythonnet, no display, Mono missing or unable to load Windows
Forms) every test here is skipped with the reason; a missing platform never fails the run. Mono
is probed in a child process first, because a missing assembly facade aborts the process instead
of raising.

Fixture ``real`` gives a ``Real``: the .NET namespaces (``real.wf``, ``real.drawing``,
``real.Action``), ``real.open(build)`` to run a form on its own UI thread (``real.run(main)`` when
the code under test runs the loop itself), ``real.xdotool(...)`` for real input
events, ``real.screenshot(handle)`` / ``real.pixel`` and ``real.wait_until``.
UI work goes through ``window.call(fn)`` (BeginInvoke plus a bounded wait); every window is closed
at teardown, and exceptions that reached Application.ThreadException fail the test unless the test
took them from ``real.thread_exceptions``.
"""

import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

TIMEOUT = 10.0  # seconds for any single wait on the UI thread
_HERE = os.path.dirname(os.path.abspath(__file__))

_PROBE = r"""
from pythonnet import load
load("mono")
import clr
clr.AddReference("System.Windows.Forms")
clr.AddReference("System.Drawing")
import System.Windows.Forms as wf
wf.Form().Dispose()
import System
from System.Reflection import BindingFlags
t = System.Type.GetType("Mono.Runtime")
m = t.GetMethod("GetDisplayName", BindingFlags.NonPublic | BindingFlags.Static) if t else None
print("Mono " + str(m.Invoke(None, None)) if m else "Mono (version unknown)")
"""


# The metadata pass needs no display: Mono, pythonnet and the SDK assemblies pywebview ships.
_SDK_PROBE = r"""
from pythonnet import load
load("mono")
import clr
import webview.util
from System.Reflection import Assembly
names = ("Microsoft.Web.WebView2.Core.dll", "Microsoft.Web.WebView2.WinForms.dll")
a = [Assembly.LoadFrom(webview.util.interop_dll_path(n)) for n in names][0]
print("WebView2 SDK %s" % a.GetName().Version)
"""


def _probe(script=_PROBE, what="Windows Forms", display=True):
    """(True, description) when `script` (Windows Forms by default) runs on Mono here, else
    (False, reason)."""
    try:
        import pythonnet  # noqa: F401 - only whether it is there
    except ImportError:
        return False, "pythonnet is not installed (`nox -s real` installs it)"
    if display and not os.environ.get("DISPLAY"):
        return False, "no X display (`nox -s real` starts a virtual one)"
    env = dict(os.environ, MONO_DEBUG="no-gdb-backtrace")
    try:
        r = subprocess.run([sys.executable, "-W", "ignore", "-c", script], capture_output=True,
                           text=True, timeout=60, env=env)
    except subprocess.TimeoutExpired:
        return False, "loading %s on Mono did not finish within 60 s" % what
    except OSError as e:
        return False, "cannot start the probe: %s" % e
    if r.returncode != 0:
        lines = [ln.strip() for ln in (r.stderr + r.stdout).splitlines() if ln.strip()]
        # Mono's abort report is long; the line naming what failed to load says it all.
        cause = [ln for ln in lines if "Could not load" in ln or "Exception" in ln or "Error" in ln]
        text = (cause or lines[-3:] or ["no output"])[0][:400]
        hint = " (the netstandard facade ships in mono-devel)" if "netstandard" in text else ""
        return False, "Mono cannot load %s (exit %d): %s%s" % (what, r.returncode, text, hint)
    return True, r.stdout.strip().splitlines()[-1]


_states = {}


def _platform_state():
    if "forms" not in _states:
        _states["forms"] = _probe()
    return _states["forms"]


def _sdk_state():
    if "sdk" not in _states:
        _states["sdk"] = _probe(_SDK_PROBE, "the WebView2 SDK assemblies", display=False)
    return _states["sdk"]


def _ours(item):
    return os.path.commonpath([_HERE, str(item.path)]) == _HERE


def _metadata(item):
    return os.path.basename(str(item.path)) == "test_sdk_shapes.py"


def pytest_configure(config):
    config.addinivalue_line("markers", "realplatform: runs on real Windows Forms (Mono, X display)")


def pytest_report_header(config):
    ok, text = _platform_state()
    import importlib.metadata as md
    try:
        pn = "pythonnet " + md.version("pythonnet")
    except md.PackageNotFoundError:
        pn = "no pythonnet"
    lines = ["real platform: %s, %s, DISPLAY=%s" % (text, pn, os.environ.get("DISPLAY")) if ok
             else "real platform unavailable, the tier is skipped: " + text]
    ok, text = _sdk_state()
    lines.append("SDK metadata: " + text if ok else "SDK metadata unavailable, its pass is skipped: " + text)
    return lines


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    text = config.stash.get(_SUMMARY, None)
    if text:
        terminalreporter.write_line("[sdk metadata] " + text)


def pytest_collection_modifyitems(config, items):
    for item in items:
        if _ours(item):
            item.add_marker(pytest.mark.realplatform)
            ok, reason = _sdk_state() if _metadata(item) else _platform_state()
            if not ok:
                what = "SDK metadata" if _metadata(item) else "real platform"
                item.add_marker(pytest.mark.skip(reason="%s unavailable: %s" % (what, reason)))


class Window:
    """A form running Application.Run on a plain Python thread of its own (its UI thread).

    ``main(window)`` runs on that thread: it builds the form, hands it to ``window.adopt`` before
    the loop starts, runs the loop itself and returns a result (``window.result``)."""

    def __init__(self, real, main):
        self._real, self._main = real, main
        self.form = None
        self.result = None
        self._shown, self._done = threading.Event(), threading.Event()
        self._failure = None
        self.thread = threading.Thread(target=self._run, name="real-ui", daemon=True)

    def adopt(self, form):
        """The window's form; called on the UI thread before Application.Run."""
        self.form = form
        form.Shown += lambda s, e: self._shown.set()
        return form

    def _run(self):
        try:
            self.result = self._main(self)
        except BaseException as e:  # reported by start() or join()
            self._failure = e
        finally:
            self._done.set()

    def start(self):
        self.thread.start()
        deadline = time.monotonic() + TIMEOUT
        while not self._shown.is_set() and not self._done.is_set():
            if time.monotonic() > deadline:
                raise TimeoutError("the form was not shown within %.0f s" % TIMEOUT)
            self._shown.wait(0.05)
        if self._failure is not None:
            raise self._failure
        if not self._shown.is_set():
            raise RuntimeError("Application.Run ended before the form was shown")
        return self

    def call(self, fn, timeout=TIMEOUT):
        """Run fn on the UI thread through BeginInvoke and return its result (or raise its
        exception); TimeoutError when the loop does not run it in time. On the UI thread itself
        fn runs at once (waiting there for the loop would wait for ourselves)."""
        if threading.current_thread() is self.thread:
            return fn()
        box = {}

        def work():
            try:
                box["result"] = fn()
            except BaseException as e:
                box["error"] = e

        result = self.form.BeginInvoke(self._real.Action(work))
        if not result.AsyncWaitHandle.WaitOne(int(timeout * 1000)):
            raise TimeoutError("the UI thread did not run the call within %.0f s" % timeout)
        if "error" in box:
            raise box["error"]
        return box.get("result")

    @property
    def handle(self):
        return self.call(lambda: int(self.form.Handle.ToInt64()))

    def join(self, timeout=TIMEOUT):
        """Waits for main to return and gives its result (raising what it raised)."""
        self.thread.join(timeout)
        if self.thread.is_alive():
            raise TimeoutError("the UI thread did not end within %.0f s" % timeout)
        if self._failure is not None:
            raise self._failure
        return self.result

    def close(self):
        """Close the form (ending Application.Run) and join the thread; True once it has ended."""
        if self.thread.is_alive() and self.form is not None:
            try:
                self.form.BeginInvoke(self._real.Action(self.form.Close))
            except Exception:
                pass
        self.thread.join(TIMEOUT)
        return not self.thread.is_alive()


class Real:
    def __init__(self):
        import clr

        clr.AddReference("System.Windows.Forms")
        clr.AddReference("System.Drawing")
        import System
        import System.Drawing
        import System.Windows.Forms

        self.System, self.wf, self.drawing = System, System.Windows.Forms, System.Drawing
        self.Action = System.Action
        self.thread_exceptions = []
        self.windows = []
        # Looked up once: shutil.which fails while a test has sys.platform read "win32".
        self.xdotool_path = shutil.which("xdotool")
        self.import_path = shutil.which("import")
        handler = System.Threading.ThreadExceptionEventHandler(
            lambda s, e: self.thread_exceptions.append(e.Exception))
        self.wf.Application.ThreadException += handler

    def open(self, build):
        """Start a UI thread that builds a form with build() and runs it; waits until shown."""
        return self.run(lambda w: self.wf.Application.Run(w.adopt(build())))

    def run(self, main):
        """Start a UI thread running main(window) (see Window); waits until its form is shown."""
        w = Window(self, main)
        self.windows.append(w)
        return w.start()

    def xdotool(self, *args):
        if not self.xdotool_path:
            pytest.skip("xdotool is not installed: no real input events")
        subprocess.run([self.xdotool_path, *map(str, args)], check=True, timeout=TIMEOUT,
                       capture_output=True)

    def screenshot(self, handle):
        """(width, height, rgb bytes, ppm bytes) of the window as the X server shows it, or None
        without ImageMagick."""
        tool = self.import_path
        if not tool:
            return None
        data = subprocess.run([tool, "-window", str(handle), "-depth", "8", "ppm:-"], capture_output=True,
                              check=True, timeout=TIMEOUT).stdout
        fields, pos = [], 0
        while len(fields) < 4:  # P6 header: magic, width, height, maximum, each after blanks
            while data[pos:pos + 1].isspace():
                pos += 1
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        assert fields[0] == b"P6" and fields[3] == b"255"
        return int(fields[1]), int(fields[2]), data[pos + 1:], data

    @staticmethod
    def pixel(shot, x, y):
        w, _, rgb, _ = shot
        i = 3 * (y * w + x)
        return tuple(rgb[i:i + 3])

    @staticmethod
    def wait_until(cond, what, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while not cond():
            if time.monotonic() > deadline:
                raise TimeoutError("timed out waiting for " + what)
            time.sleep(0.02)

    def close_all(self):
        stuck = [w for w in self.windows if not w.close()]
        self.windows = stuck
        return stuck


_real = None


def _load_mono():
    """pythonnet on Mono, once per process."""
    from pythonnet import load
    import warnings

    if "loaded" in _states:
        return
    # Mono's default (hybrid) thread suspension waits for a thread that entered Python from .NET
    # to reach a safe point before it collects garbage; such a thread waiting for the GIL held by
    # the collecting thread never does, and the process hangs (seen with a host's UI thread and
    # the test thread). Preemptive suspension stops every thread with a signal instead.
    os.environ.setdefault("MONO_THREADS_SUSPEND", "preemptive")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # clr_loader's warning about Mono before 6.12
        load("mono")
    _states["loaded"] = True


@pytest.fixture(scope="session")
def _real_session():
    global _real
    _load_mono()
    _real = Real()
    yield _real


@pytest.fixture(scope="session")
def mono():
    """pythonnet on Mono (no display needed)."""
    _load_mono()


_SUMMARY = pytest.StashKey[str]()


@pytest.fixture
def summary_line(request):
    """summary_line(text): a line printed at the end of the run."""
    return lambda text: request.config.stash.__setitem__(_SUMMARY, text)


@pytest.fixture
def real(_real_session):
    _real_session.thread_exceptions.clear()
    yield _real_session
    stuck = _real_session.close_all()
    problems = ["a window did not close within %.0f s" % TIMEOUT] if stuck else []
    problems += ["exception in a UI event: %s" % e for e in _real_session.thread_exceptions]
    if problems:
        pytest.fail("real platform problems:\n  " + "\n  ".join(problems), pytrace=False)


def pytest_unconfigure(config):
    # A process that exits while a form still runs dies in pythonnet's shutdown: if a window
    # could not be closed, leave without that shutdown, keeping pytest's verdict.
    if _real is not None and _real.close_all():
        sys.stderr.write("real tier: a window would not close; exiting without runtime shutdown\n")
        sys.stderr.flush()
        os._exit(1)
