"""The simulated platform's own logic: the message loop, marshalling, the browser core."""

import sys
import threading

import pytest

from simplatform import (
    Action,
    DllNotFoundException,
    CoreWebView2,
    CoreWebView2DownloadState,
    DockStyle,
    InvalidOperationException,
    ObjectDisposedException,
    Uri,
    WebErrorStatus,
)


def _run_form(winsim, build=None):
    """Build a form on a new UI thread and run it; returns (runner, form)."""

    def host():
        import System.Windows.Forms as WinForms

        form = WinForms.Form()
        if build:
            build(form)
        WinForms.Application.Run(form)
        return "closed"

    runner = winsim.start_ui_thread(host, apartment="STA")
    return runner, winsim.wait_form()


def test_run_loop_invoke_begin_invoke_and_close(winsim):
    runner, form = _run_form(winsim)
    assert form.InvokeRequired
    seen = []
    result = form.Invoke(Action(lambda: seen.append(threading.current_thread().name) or 7))
    assert result == 7 and seen == ["sim-ui"]
    done = threading.Event()
    form.BeginInvoke(Action(done.set))
    assert done.wait(5)
    with pytest.raises(ZeroDivisionError):
        form.Invoke(Action(lambda: 1 / 0))  # the delegate's exception reaches the caller
    with pytest.raises(TypeError):
        form.Invoke(lambda: None)  # a bare callable is not a delegate
    form.sim_close()
    assert runner.join() == "closed"
    with pytest.raises(ObjectDisposedException):
        form.Invoke(Action(lambda: None))


def test_invoke_from_ui_thread_runs_inline_and_begin_invoke_queues(winsim):
    order = []

    def build(form):
        def on_load(s, e):
            form.BeginInvoke(Action(lambda: order.append("queued")))
            form.Invoke(Action(lambda: order.append("inline")))
            order.append(form.InvokeRequired)

        form.Load += on_load
        form.Shown += lambda s, e: form.Close()

    runner, _ = _run_form(winsim, build)
    assert runner.join() == "closed"
    assert order == ["inline", False, "queued"]


def test_no_handle_before_show(winsim):
    form = winsim.WinForms.Form()
    seen = []
    t = threading.Thread(target=lambda: seen.append(form.InvokeRequired))
    t.start()
    t.join(5)
    assert seen == [False]  # no handle yet: nothing to marshal to
    with pytest.raises(InvalidOperationException):
        form.BeginInvoke(Action(lambda: None))


def test_unhandled_exception_in_posted_work_is_recorded(winsim):
    runner, form = _run_form(winsim)
    form.BeginInvoke(Action(lambda: 1 / 0))
    form.Invoke(Action(lambda: None))  # the loop keeps running after it
    assert [type(e) for e in winsim.unhandled] == [ZeroDivisionError]
    winsim.unhandled.clear()
    form.sim_close()
    runner.join()


def test_events_add_remove_by_equality(winsim):
    b = winsim.WinForms.Button()
    calls = []

    class H:
        def __init__(self, tag):
            self.tag = tag

        def __eq__(self, other):
            return isinstance(other, H) and other.tag == self.tag

        def __hash__(self):
            return hash(self.tag)

        def __call__(self, s, e):
            calls.append(self.tag)

    b.Click += H("a")
    b.Click += H("b")
    b.Click -= H("a")
    b.sim_click()
    assert calls == ["b"]
    with pytest.raises(ValueError, match="^unknown event handler$"):
        b.Click -= H("a")
    with pytest.raises(AttributeError):
        b.Click = H("c")


def test_webview_initialises_after_shown_and_navigates(winsim):
    winsim.init_mode = "shown"
    events = []

    def build(form):
        from Microsoft.Web.WebView2.WinForms import WebView2

        wv = WebView2()
        form.Controls.Add(wv)
        form.Shown += lambda s, e: events.append("shown")

        def ready(s, a):
            events.append(("ready", a.IsSuccess))
            cv = wv.CoreWebView2
            cv.SourceChanged += lambda s, e: events.append(("source", cv.Source))
            cv.NavigationCompleted += lambda s, e: events.append(
                ("done", e.IsSuccess, str(e.WebErrorStatus)))

        wv.CoreWebView2InitializationCompleted += ready

    winsim.nav_errors["https://b.example/"] = WebErrorStatus.HostNameNotResolved
    runner, form = _run_form(winsim, build)
    core = winsim.wait_core()
    ui = form.sim_on_ui
    ui(lambda: core.Navigate("https://a.example/"))
    ui(lambda: core.Navigate("https://b.example/"))
    winsim.wait_until(lambda: ui(lambda: core.CanGoBack))
    ui(core.GoBack)
    winsim.wait_until(lambda: ui(lambda: core.CanGoForward))
    ui(core.Reload)
    ui(lambda: None)
    winsim.wait_until(lambda: len(events) == 9)
    assert events == [
        "shown", ("ready", True),
        ("source", "https://a.example/"), ("done", True, "Unknown"),
        ("source", "https://b.example/"), ("done", False, "HostNameNotResolved"),
        ("source", "https://a.example/"), ("done", True, "Unknown"),
        ("done", True, "Unknown"),  # reload: no SourceChanged
    ]
    assert ui(lambda: core.sim_history) == (["https://a.example/", "https://b.example/"], 0)
    with pytest.raises(InvalidOperationException):
        core.Navigate("https://c.example/")  # off the UI thread
    assert winsim.faults
    winsim.faults.clear()
    form.sim_close()
    runner.join()


def test_webview_initialisation_failure(winsim):
    # Without the WebView2 loader every request for the core fails inside the call that asked,
    # before the window has a handle too, and a later request fails again.
    winsim.init_error = DllNotFoundException("WebView2Loader.dll", "  at CreateAsync ()")
    got = []

    def build(form):
        from Microsoft.Web.WebView2.WinForms import WebView2

        wv = WebView2()
        form.Controls.Add(wv)
        wv.CoreWebView2InitializationCompleted += lambda s, a: got.append(
            (a.IsSuccess, str(a.InitializationException), wv.CoreWebView2))
        task = wv.EnsureCoreWebView2Async(None)
        got.append(("asked", task.IsCompleted, task.IsFaulted))
        form.Shown += lambda s, a: wv.EnsureCoreWebView2Async(None)

    runner, form = _run_form(winsim, build)
    wv = winsim.webviews[0]
    form.sim_on_ui(lambda: setattr(wv, "Source", Uri("https://a.example/")))
    failed = (False, "WebView2Loader.dll\n  at CreateAsync ()", None)
    assert got == [failed, ("asked", True, True), failed, failed]
    form.sim_close()
    runner.join()


@pytest.mark.parametrize("ask", [None, "ensure", "source"])
def test_webview_makes_its_core_only_when_asked(winsim, ask):
    made = []

    def build(form):
        from Microsoft.Web.WebView2.WinForms import WebView2

        wv = WebView2()
        form.Controls.Add(wv)
        wv.CoreWebView2InitializationCompleted += lambda s, a: made.append(a.IsSuccess)
        form.Shown += lambda s, a: (wv.EnsureCoreWebView2Async(None) if ask == "ensure"
                                    else setattr(wv, "Source", Uri("https://a.example/")) if ask else None)

    runner, form = _run_form(winsim, build)
    try:
        form.sim_on_ui(lambda: None)  # Shown has run
        if ask is None:
            form.sim_on_ui(lambda: None)
            assert made == [] and winsim.webviews[0]._core is None
        else:
            core = winsim.wait_core()
            assert made == [True]
            if ask == "source":
                winsim.wait_until(lambda: form.sim_on_ui(lambda: core.Source) == "https://a.example/")
    finally:
        form.sim_close()
        runner.join()


def test_docking_follows_reverse_index_until_brought_to_front(winsim):
    WinForms = winsim.WinForms
    form = WinForms.Form()
    form.Size = winsim.Drawing.Size(1280, 860)
    top, body = WinForms.Panel(), WinForms.Panel()
    top.Height, top.Dock, body.Dock = 40, DockStyle.Top, DockStyle.Fill
    form.Controls.Add(top)
    form.Controls.Add(body)
    assert (body.Top, body.Height) == (0, 821)  # the body is laid out first and lies under the bar
    body.BringToFront()
    assert list(form.Controls) == [body, top]
    assert (top.Top, body.Top, body.Height) == (0, 40, 781)
    body.SendToBack()
    assert (body.Top, body.Height) == (0, 821)


def test_add_reference_loads_namespaces(winsim_unloaded):
    import clr

    with pytest.raises(ModuleNotFoundError):
        import System.Windows.Forms  # noqa: F401
    clr.AddReference("System.Windows.Forms")
    clr.AddReference("C:\\py\\webview\\lib\\Microsoft.Web.WebView2.WinForms.dll")
    import System.Windows.Forms as WinForms
    from Microsoft.Web.WebView2.WinForms import WebView2  # noqa: F401

    assert WinForms.Form
    with pytest.raises(Exception, match="Unable to find assembly"):
        clr.AddReference("Nope")
    assert winsim_unloaded.references[-1] == "Nope"


def test_modules_are_removed_after_the_test():
    assert "System.Windows.Forms" not in sys.modules and "clr" not in sys.modules


def test_core_without_window_and_downloads(winsim):
    core = CoreWebView2()
    core.Navigate("https://a.example/")
    assert core.Source == "about:blank"
    winsim.pump()
    assert core.Source == "https://a.example/"
    args = core.sim_download("C:\\d\\f.pdf", refuse_handled=True)
    with pytest.raises(AttributeError):
        args.Handled = True
    args.set_Handled(True)
    assert args.Handled is True
    assert winsim.writes(args) == [("Handled", True)]
    op, seen = args.DownloadOperation, []
    assert op.State is CoreWebView2DownloadState.InProgress and op.ResultFilePath == "C:\\d\\f.pdf"
    op.StateChanged += lambda sender, e: seen.append((sender, e, sender.State))
    op.sim_state(CoreWebView2DownloadState.Completed)
    assert seen == [(op, None, CoreWebView2DownloadState.Completed)]
    with pytest.raises(AttributeError):
        op.State = CoreWebView2DownloadState.InProgress


@pytest.mark.parametrize("name, value, stored", [
    ("Width", 5, 5), ("Width", True, TypeError), ("Width", 2.5, TypeError),
    ("Text", None, ""),  # .NET keeps "" for a null text
    ("Text", 3, TypeError), ("Enabled", 1, TypeError), ("Dock", DockStyle.Fill, DockStyle.Fill),
    ("Dock", 5, TypeError),  # pythonnet does not turn an int into an enum member
])
def test_property_writes_are_logged_then_converted(winsim, name, value, stored):
    b = winsim.WinForms.Button()
    if stored is TypeError:
        with pytest.raises(TypeError):
            setattr(b, name, value)
    else:
        setattr(b, name, value)
        assert getattr(b, name) == stored
    assert winsim.writes(b) == [(name, value)]


def test_single_line_text_box_keeps_its_height(winsim):
    wf = winsim.WinForms
    box = wf.TextBox()
    box.Height = 28
    panel = wf.Panel()
    panel.Controls.Add(box)
    box.Dock = wf.DockStyle.Fill
    assert (box.Width, box.Height) == (200, 20)
    assert winsim.writes(box)[0] == ("Height", 28)
    box.Dock = wf.DockStyle.None_
    box.Multiline = True
    box.Height = 28
    assert box.Height == 28


def test_read_only_members_and_base_class_failure_keys(winsim):
    core = CoreWebView2()
    with pytest.raises(AttributeError):
        core.Source = "https://a.example/"
    with pytest.raises(AttributeError):
        core.sim_new_window("https://a.example/").Uri = "x"
    winsim.fail("Control.Text=", times=1)
    box = winsim.WinForms.TextBox()
    with pytest.raises(InvalidOperationException):
        box.Text = "a"
    box.Text = "b"
    assert winsim.writes(box) == [("Text", "a"), ("Text", "b")] and box.Text == "b"


# ---- what Windows does that the stand-in follows ---------------------------------------------------

_EVENTS = ("NavigationStarting NavigationCompleted SourceChanged ContentLoading HistoryChanged "
           "DocumentTitleChanged DOMContentLoaded DownloadStarting").split()


def _watch(core):
    """Records (event, detail) for the core's navigation events, in order."""
    seen = []

    def detail(name, a):
        if name == "NavigationStarting":
            return a.Uri
        if name == "NavigationCompleted":
            return (a.IsSuccess, str(a.WebErrorStatus))
        if name == "SourceChanged":
            return a.IsNewDocument
        if name == "ContentLoading":
            return a.IsErrorPage
        return None

    for name in _EVENTS:
        getattr(core, name).__iadd__(lambda s, a, name=name: seen.append((name, detail(name, a))))
    return seen


A, B, C = "https://a.example/", "https://b.example/", "https://c.example/"
LOADED_B = [("SourceChanged", True), ("ContentLoading", False), ("HistoryChanged", None),
            ("DocumentTitleChanged", None), ("DOMContentLoaded", None), ("NavigationCompleted", (True, "Unknown"))]


@pytest.mark.parametrize("act, events, history", [
    # Overlapping: the older navigation ends OperationCanceled after the newer one has started.
    (lambda c, p: (c.Navigate(C), c.Navigate(B)),
     [("NavigationStarting", C), ("NavigationStarting", B),
      ("NavigationCompleted", (False, "OperationCanceled"))] + LOADED_B, [A, B]),
    # Same document (a fragment, the page's pushState): SourceChanged (not a new document) and
    # HistoryChanged only.
    (lambda c, p: c.Navigate(A + "#part"), [("SourceChanged", False), ("HistoryChanged", None)], [A, A + "#part"]),
    (lambda c, p: c.sim_push_state(A + "next"), [("SourceChanged", False), ("HistoryChanged", None)],
     [A, A + "next"]),
    # A navigation that becomes a download ends aborted before DownloadStarting; nothing moves.
    (lambda c, p: (p.download_uris.__setitem__(B, "C:\\d\\b.bin"), c.Navigate(B)),
     [("NavigationStarting", B), ("NavigationCompleted", (False, "ConnectionAborted")),
      ("DownloadStarting", None)], [A]),
    # A failed navigation shows an error page: no DOMContentLoaded, no title of its own.
    (lambda c, p: (p.nav_errors.__setitem__(B, WebErrorStatus.HostNameNotResolved), c.Navigate(B)),
     [("NavigationStarting", B), ("SourceChanged", True), ("ContentLoading", True), ("HistoryChanged", None),
      ("NavigationCompleted", (False, "HostNameNotResolved"))], [A, B]),
], ids=["overlapping", "fragment", "push_state", "download", "failed"])
def test_navigation_events_in_windows_order(winsim, act, events, history):
    core = CoreWebView2()
    winsim.titles[A] = "Page A"
    core.Navigate(A)
    winsim.pump()
    assert (core.Source, core.DocumentTitle) == (A, "Page A")  # the page's title, not its address
    seen = _watch(core)
    act(core, winsim)
    winsim.pump()
    assert seen == events
    assert core.sim_history[0] == history


def test_each_read_of_a_net_object_is_a_new_wrapper(winsim):
    _, form = _run_form(winsim, lambda f: f.Controls.Add(winsim.modules["Microsoft.Web.WebView2.WinForms"].WebView2()))
    wv = form.Controls[0]
    wv.sim_initialize()
    one, two = form.sim_on_ui(lambda: (wv.CoreWebView2, wv.CoreWebView2))
    assert one is not two and id(one) != id(two)
    assert one == two and hash(one) == hash(two) and isinstance(one, CoreWebView2)
    assert {one: "x"}[two] == "x"  # a dict finds the core by its .NET identity


@pytest.mark.parametrize("apartment, sta_calls_work, becomes_sta", [
    ("STA", True, True), ("MTA", False, False), (None, False, True)])
def test_apartment_of_a_thread(winsim, apartment, sta_calls_work, becomes_sta):
    from simplatform.core import ApartmentState, Thread, ThreadStateException
    from simplatform import Clipboard

    def probe():
        out = []
        try:
            Clipboard.SetText("x")
            out.append(True)
        except ThreadStateException as e:
            out.append(str(e).startswith("Current thread must be set to single thread apartment (STA) mode"))
            out[-1] = not out[-1]
        out.append(Thread.CurrentThread.TrySetApartmentState(ApartmentState.STA))
        return out

    assert winsim.start_ui_thread(probe, apartment=apartment).join() == [sta_calls_work, becomes_sta]
    if not sta_calls_work:
        assert winsim.faults == ["Clipboard.SetText on a thread that is not STA"]
        winsim.faults.clear()


def test_webview2_refuses_mta_and_a_shared_profile_with_other_arguments(winsim):
    from simplatform import CoreWebView2CreationProperties, WebView2

    def make(folder, arguments):
        props = CoreWebView2CreationProperties()
        props.UserDataFolder, props.AdditionalBrowserArguments = folder, arguments
        wv = WebView2()
        wv.CreationProperties = props
        results = []
        wv.CoreWebView2InitializationCompleted += lambda s, a: results.append(
            a.IsSuccess or getattr(a.InitializationException, "HResult", None))
        wv.sim_initialize()
        return results

    assert make("C:\\ud", None) == [True]
    assert make("C:\\UD\\", "") == [True]  # the same folder and options
    assert make("C:\\ud", "--disable-gpu") == [-2147019873]  # ERROR_INVALID_STATE
    assert make("C:\\other", "--disable-gpu") == [True]
    off_sta = winsim.start_ui_thread(lambda: make("C:\\third", None), apartment="MTA").join()
    assert off_sta == [-2147417850]  # RPC_E_CHANGED_MODE


def test_download_cancel_deferral_and_reentrancy(winsim):
    from simplatform import DialogResult, Form
    from simplatform.enums import CoreWebView2DownloadInterruptReason

    core, form = CoreWebView2(), Form()
    form.Show()
    seen = []

    def handler(sender, args):
        deferral = args.GetDeferral()
        form.BeginInvoke(Action(lambda: (setattr(args, "Cancel", True), deferral.Complete())))

    core.DownloadStarting += handler
    args = core.sim_download()
    assert not args.sim_answered
    winsim.pump()
    assert args.sim_answered and args.Cancel is True
    op = args.DownloadOperation
    op.StateChanged += lambda s, e: seen.append((op.State, op.InterruptReason))
    op.Cancel()
    assert seen == [(CoreWebView2DownloadState.Interrupted, CoreWebView2DownloadInterruptReason.UserCanceled)]
    assert op.CanResume is False
    with pytest.raises(ValueError, match="^unknown event handler$"):
        core.DownloadStarting -= lambda s, a: None
    core.DownloadStarting -= handler

    # A modal dialog inside the handler is re-entrancy WebView2 does not support.
    from simplatform import SaveFileDialog
    winsim.answer_save_dialog(DialogResult.OK)
    core.DownloadStarting += lambda s, a: SaveFileDialog().ShowDialog(form)
    core.sim_download()
    assert winsim.faults == ["SaveFileDialog.ShowDialog inside a WebView2 event handler (re-entrancy)"]
    winsim.faults.clear()
