"""Microsoft.Web.WebView2.WinForms / .Core: the WebView2 control, which creates its CoreWebView2
when asked (EnsureCoreWebView2Async or Source), and a CoreWebView2 with history, navigation events,
new-window requests, downloads and a profile. CoreWebView2 members refuse calls from any thread
but their UI thread, as the real one does."""

from .core import (COMException, ArgumentException, ByteArray, Delegate, Exception_, Int64, InvalidOperationException,
                   NetType, NotImplementedException, Prop, Recorded, SdkMember, UInt32, UInt64, Uri)
from .enums import (CoreWebView2CapturePreviewImageFormat, CoreWebView2DownloadInterruptReason,
                    CoreWebView2DownloadState, CoreWebView2WebErrorStatus)
from .forms import Control, EventArgs, Form
from . import enums
from .core import current

WebErrorStatus = CoreWebView2WebErrorStatus


class CoreWebView2CreationProperties(Recorded):
    UserDataFolder = Prop(None, str, nullable=True)
    BrowserExecutableFolder = Prop(None, str, nullable=True)
    Language = Prop(None, str, nullable=True)
    AdditionalBrowserArguments = Prop(None, str, nullable=True)
    ProfileName = Prop(None, str, nullable=True)


# ---- event arguments ----------------------------------------------------------------------------


class WebView2RuntimeNotFoundException(Exception_):
    """What initialisation fails with on a machine without the WebView2 Runtime."""


class CoreWebView2InitializationCompletedEventArgs(EventArgs):
    IsSuccess: bool
    InitializationException: Exception_

    def __init__(self, exception=None):
        super().__init__(IsSuccess=exception is None, InitializationException=exception)


class CoreWebView2SourceChangedEventArgs(EventArgs):
    IsNewDocument: bool

    def __init__(self, is_new_document):
        super().__init__(IsNewDocument=is_new_document)


class CoreWebView2NavigationStartingEventArgs(EventArgs):
    Cancel = Prop(False, bool)
    Uri: str
    NavigationId: UInt64
    IsRedirected: bool
    IsUserInitiated: bool

    def __init__(self, uri, navigation_id):
        super().__init__(Uri=uri, NavigationId=navigation_id, IsRedirected=False, IsUserInitiated=False)


class CoreWebView2ContentLoadingEventArgs(EventArgs):
    IsErrorPage: bool
    NavigationId: UInt64

    def __init__(self, is_error_page, navigation_id):
        super().__init__(IsErrorPage=is_error_page, NavigationId=navigation_id)


class CoreWebView2DOMContentLoadedEventArgs(EventArgs):
    NavigationId: UInt64


class CoreWebView2NavigationCompletedEventArgs(EventArgs):
    IsSuccess: bool
    WebErrorStatus: CoreWebView2WebErrorStatus
    NavigationId: UInt64
    HttpStatusCode: int

    def __init__(self, status, navigation_id):
        super().__init__(IsSuccess=status is None, WebErrorStatus=status or WebErrorStatus.Unknown,
                         NavigationId=navigation_id, HttpStatusCode=200 if status is None else 0)


class CoreWebView2NewWindowRequestedEventArgs(EventArgs):
    Handled = Prop(False, bool)
    NewWindow = Prop(None, object, nullable=True)  # typed CoreWebView2 below its class
    Uri: str
    IsUserInitiated: bool

    def __init__(self, uri, user_initiated=True):
        super().__init__(Uri=uri, IsUserInitiated=user_initiated)


class CoreWebView2DownloadOperation(Recorded):
    """One download, made with its DownloadStarting arguments on the UI thread that raises them.
    `State` starts InProgress; `sim_state(state)` moves it (on that UI thread) and raises
    StateChanged with (operation, None), as WebView2 does. The simulation writes no files: a test
    that wants the finished file creates it itself."""

    _log_new = False
    _events = dict(StateChanged=object)
    State = Prop(typ=CoreWebView2DownloadState, get=lambda o: o._state)
    InterruptReason = Prop(typ=CoreWebView2DownloadInterruptReason, get=lambda o: o._reason)
    CanResume = Prop(typ=bool, get=lambda o: o._can_resume)
    ResultFilePath = Prop(typ=str, get=lambda o: o._args._p_ResultFilePath)
    Uri: str
    TotalBytesToReceive: NetType("System.Nullable`1", UInt64)

    def __init__(self, uri, args):
        super().__init__()
        self.__dict__.update(Uri=uri, TotalBytesToReceive=0)
        self._args, self._state, self._ui = args, CoreWebView2DownloadState.InProgress, self._plat.ui()
        self._can_resume = False
        self._reason = CoreWebView2DownloadInterruptReason.None_

    def Cancel(self) -> None:
        """CoreWebView2DownloadOperation.Cancel ("Cancels the download"): the operation moves to
        Interrupted with InterruptReason UserCanceled, raising StateChanged; it cannot resume."""
        self._call("Cancel")
        if self._state == CoreWebView2DownloadState.InProgress:
            self._reason = CoreWebView2DownloadInterruptReason.UserCanceled
            self._state, self._can_resume = CoreWebView2DownloadState.Interrupted, False
            self.StateChanged.sim_fire(self, None)

    def _guard(self, op, name):
        if not self._ui.is_current():
            self._plat.faults.append("CoreWebView2DownloadOperation.%s used off its UI thread" % name)
            raise InvalidOperationException("CoreWebView2 members can only be accessed from the UI thread.")

    def sim_state(self, state, can_resume=True, reason=None):
        """The download moves to `state` (a CoreWebView2DownloadState); returns after every
        StateChanged handler ran (their exceptions reach the caller). `CanResume` is true only
        while the download is interrupted with `can_resume` (false: cancelled for good);
        `reason` names its InterruptReason (a CoreWebView2DownloadInterruptReason member name)."""

        def run():
            self._state = CoreWebView2DownloadState(state)
            if reason is not None:
                self._reason = getattr(CoreWebView2DownloadInterruptReason, reason)
            self._can_resume = bool(can_resume) and self._state == CoreWebView2DownloadState.Interrupted
            self.StateChanged.sim_fire(self, None)

        return self._ui.call(run)


class CoreWebView2DownloadStartingEventArgs(EventArgs):
    """Arguments of DownloadStarting. `refuse_handled`: an exception (or True) raised when code
    assigns Handled (set_Handled still works); `refuse_result_file_path`: likewise for writes of
    ResultFilePath. Writes are logged (Platform.writes(args))."""

    Cancel = Prop(False, bool)
    Handled = Prop(False, bool)
    ResultFilePath = Prop("", str)

    def __init__(self, result_file_path="", uri="https://downloads.example/file",
                 refuse_handled=None, refuse_result_file_path=None):
        super().__init__(DownloadOperation=CoreWebView2DownloadOperation(uri, self))
        self._p_ResultFilePath = result_file_path
        self._deferrals, self._handlers_done = 0, False
        self._refused = {
            "Handled": AttributeError("property 'Handled' can't be set")
            if refuse_handled is True else refuse_handled,
            "ResultFilePath": ArgumentException("The path is not valid.")
            if refuse_result_file_path is True else refuse_result_file_path,
        }

    def _use(self, op, name, value=None):
        super()._use(op, name, value)
        if op == "set" and self._refused.get(name) is not None:
            raise self._refused[name]

    def GetDeferral(self) -> "CoreWebView2Deferral":
        """CoreWebView2DownloadStartingEventArgs.GetDeferral: the browser reads the answer
        (ResultFilePath, Cancel, Handled) only once the deferral is completed, which may be after
        the handler has returned (sim_answered tells whether it has been read)."""
        self._call("GetDeferral")
        self._deferrals += 1
        return CoreWebView2Deferral(self)

    @property
    def sim_answered(self):
        """True once every handler returned and every deferral taken was completed."""
        return self._handlers_done and self._deferrals == 0

    def set_Handled(self, value: bool) -> None:
        self._call("set_Handled", value)
        type(self).Handled.put(self, value)

    def get_Handled(self) -> bool:
        return self.Handled


class CoreWebView2Deferral(Recorded):
    """What GetDeferral returns: Complete() once, on the UI thread, hands the answer over."""

    _log_new = False

    def __init__(self, args):
        super().__init__()
        self._args, self._done = args, False

    def _guard(self, op, name):
        core = self._args.__dict__.get("_core")  # a script dialog's deferral: its core's rule
        if core is not None:
            core._guard(op, name)
        else:
            self._args.DownloadOperation._guard(op, name)

    def Complete(self) -> None:
        self._call("Complete")
        if self._done:
            raise InvalidOperationException("The deferral has already been completed.")
        self._done = True
        self._args._deferrals -= 1


# ---- script and picture: asynchronous results -------------------------------------------------------


class Task:
    """A System.Threading.Tasks.Task of the core's asynchronous calls as pythonnet shows it: its
    awaiter's OnCompleted(System.Action) runs the continuation on the UI thread that started the
    call (WebView2 completes on that thread's synchronization context), and GetResult() gives the
    result or raises the task's exception. `hold`: completes only when sim_complete() is called."""

    def __init__(self, ui, work, hold=False):
        self._ui, self._work, self._done, self._waiting = ui, work, False, []
        self._result = self._error = None
        if not hold:
            ui.post(self.sim_complete_now)

    _net_name = "System.Threading.Tasks.Task"

    def __class_getitem__(cls, result):
        """Task[T]: the declared type of a task giving a T."""
        return NetType("System.Threading.Tasks.Task`1", result)

    @property
    def IsCompleted(self) -> bool:
        return self._done

    def sim_complete_now(self):
        if self._done:
            return
        try:
            self._result = self._work()
        except Exception as e:  # noqa: BLE001 - the task's exception, raised again by GetResult
            self._error = e
        self._done = True
        for action in self._waiting:
            self._ui.post(action)

    def sim_complete(self):
        """Complete a held task now (on its UI thread)."""
        return self._ui.call(self.sim_complete_now)

    def GetAwaiter(self) -> "_Awaiter":
        return _Awaiter(self)


class _Awaiter:
    _net_name = "System.Runtime.CompilerServices.TaskAwaiter"

    def __init__(self, task):
        self._task = task

    @property
    def IsCompleted(self) -> bool:
        return self._task._done

    def OnCompleted(self, continuation: NetType("System.Action")) -> None:
        if not isinstance(continuation, Delegate):
            raise TypeError("No method matches given arguments for OnCompleted: expected System.Action")
        if self._task._done:
            self._task._ui.post(continuation)
        else:
            self._task._waiting.append(continuation)

    def GetResult(self) -> None:  # (TaskAwaiter<T>.GetResult gives the T)
        if not self._task._done:
            raise InvalidOperationException("The task has not completed yet.")
        if self._task._error is not None:
            raise self._task._error
        return self._task._result


class CoreWebView2ScriptException(Recorded):
    _log_new = False
    Name: str
    Message: str
    LineNumber: UInt32
    ColumnNumber: UInt32

    def __init__(self, name, message, line=0, column=0):
        super().__init__()
        self.__dict__.update(Name=name, Message=message, LineNumber=line, ColumnNumber=column)


class CoreWebView2ExecuteScriptResult(Recorded):
    _log_new = False
    Succeeded: bool
    ResultAsJson: str
    Exception: CoreWebView2ScriptException

    def __init__(self, result_json, exception=None):
        super().__init__()
        self.__dict__.update(Succeeded=exception is None, ResultAsJson=result_json, Exception=exception)


class SimScriptError(Exception):
    """What a script the page runs throws: its exception's name and message."""

    def __init__(self, name, message):
        super().__init__(name, message)
        self.name, self.message = name, message


class MemoryStream(Recorded):
    """System.IO.MemoryStream: Write appends bytes; ToArray gives them as a Byte[] (a list of ints
    here, as pythonnet's array is no bytes object either)."""

    _log_new = False

    def __init__(self):
        super().__init__()
        self._data = bytearray()

    def Write(self, buffer: ByteArray, offset: int, count: int) -> None:
        self._data += bytes(buffer)[offset:offset + count]

    def ToArray(self) -> ByteArray:
        return list(self._data)


def sim_png(width, height, rgb):
    """A PNG of width x height pixels of one colour."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    row = b"\0" + bytes(rgb) * width
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


# ---- what WebDriver uses: cookies, script dialogs, the runtime's version, timers ---------------------


class DateTime(Recorded):
    """A System.DateTime as pythonnet shows it: here only a point in time, in UTC seconds."""

    _log_new = False
    _net_name = "System.DateTime"

    def __init__(self, seconds):
        super().__init__()
        self._seconds = seconds


class DateTimeOffset(Recorded):
    """System.DateTimeOffset: FromUnixTimeSeconds(n).UtcDateTime and DateTimeOffset(dateTime)
    .ToUnixTimeSeconds() (learn.microsoft.com: DateTimeOffset.FromUnixTimeSeconds,
    DateTimeOffset.UtcDateTime, DateTimeOffset(DateTime), DateTimeOffset.ToUnixTimeSeconds)."""

    _log_new = False
    UtcDateTime = Prop(typ=DateTime, get=lambda d: DateTime(d._seconds))

    def __init__(self, date_time):
        super().__init__()
        self._seconds = date_time._seconds

    @staticmethod
    def FromUnixTimeSeconds(seconds: Int64) -> "DateTimeOffset":
        return DateTimeOffset(DateTime(int(seconds)))

    def ToUnixTimeSeconds(self) -> Int64:
        return int(self._seconds)


class CoreWebView2Cookie(Recorded):
    """learn.microsoft.com: CoreWebView2Cookie. Name, Domain and Path are read-only (set by
    CoreWebView2CookieManager.CreateCookie); a cookie is a session cookie until Expires is set
    (IsSession: "Whether this is a session cookie. The default is false" for a cookie read back
    with an expiry; a created cookie without one is a session cookie)."""

    _log_new = False
    Name = Prop(typ=str, get=lambda c: c._name)
    Domain = Prop(typ=str, get=lambda c: c._domain)
    Path = Prop(typ=str, get=lambda c: c._path)
    Value = Prop("", str)
    IsSecure = Prop(False, bool)
    IsHttpOnly = Prop(False, bool)
    SameSite = Prop(enums.CoreWebView2CookieSameSiteKind.Lax, enums.CoreWebView2CookieSameSiteKind)
    Expires = Prop(typ=DateTime, get=lambda c: c._expires, set=lambda c, v: setattr(c, "_expires", v))
    IsSession = Prop(typ=bool, get=lambda c: c._expires is None)

    def __init__(self, name, value, domain, path):
        super().__init__()
        self._name, self._domain, self._path, self._expires = name, domain, path, None
        self.Value = value


def _cookie_matches(cookie, uri):
    from urllib.parse import urlsplit

    parts = urlsplit(uri)
    host, path = parts.hostname or "", parts.path or "/"
    domain = cookie._domain.lstrip(".")
    secure_ok = parts.scheme == "https" or not cookie.__dict__.get("_p_IsSecure", False)
    return (host == domain or host.endswith("." + domain)) and path.startswith(cookie._path) and secure_ok


class CoreWebView2CookieManager(Recorded):
    """learn.microsoft.com: CoreWebView2CookieManager: CreateCookie(name, value, Domain, Path)
    ("ArgumentException if the name is empty"), AddOrUpdateCookie (replaces the cookie with the same
    name, domain and path), GetCookiesAsync(uri) (a Task of the cookies that uri would be sent; an
    empty uri: all of them), DeleteCookies(name, uri), DeleteAllCookies. UI thread only."""

    _log_new = False

    def __init__(self, core):
        super().__init__()
        self._core, self.sim_cookies = core, []

    def _guard(self, op, name):
        self._core._guard(op, name)

    def CreateCookie(self, name: str, value: str, domain: str, path: str) -> CoreWebView2Cookie:
        self._call("CreateCookie", name, value, domain, path)
        if not name:
            raise ArgumentException("Value does not fall within the expected range.")
        return CoreWebView2Cookie(name, value, domain, path)

    def AddOrUpdateCookie(self, cookie: CoreWebView2Cookie) -> None:
        self._call("AddOrUpdateCookie", cookie)
        self.sim_cookies = [c for c in self.sim_cookies
                            if (c._name, c._domain, c._path) != (cookie._name, cookie._domain, cookie._path)]
        self.sim_cookies.append(cookie)

    def GetCookiesAsync(self, uri: str) -> Task[NetType("System.Collections.Generic.List`1", CoreWebView2Cookie)]:
        self._call("GetCookiesAsync", uri)
        return self._core._task(lambda: [c for c in self.sim_cookies if not uri or _cookie_matches(c, uri)])

    def DeleteCookies(self, name: str, uri: str) -> None:
        self._call("DeleteCookies", name, uri)
        self.sim_cookies = [c for c in self.sim_cookies if not (c._name == name and _cookie_matches(c, uri))]

    def DeleteAllCookies(self) -> None:
        self._call("DeleteAllCookies")
        self.sim_cookies = []


class CoreWebView2ScriptDialogOpeningEventArgs(EventArgs):
    """learn.microsoft.com: CoreWebView2ScriptDialogOpeningEventArgs. Kind, Message, DefaultText,
    Uri; ResultText (the prompt's answer when accepted); Accept() ("respond with OK to confirm,
    prompt, and beforeunload dialogs; do not call this method to indicate cancel"); GetDeferral()
    (the page waits until the deferral is completed)."""

    ResultText = Prop("", str)

    def __init__(self, core, kind, message, default_text):
        super().__init__(Kind=kind, Message=message, DefaultText=default_text, Uri=core._source)
        self._core, self._deferrals, self.sim_accepted = core, 0, False

    def _guard(self, op, name):
        self._core._guard(op, name)

    def Accept(self) -> None:
        self._call("Accept")
        self.sim_accepted = True

    def GetDeferral(self) -> CoreWebView2Deferral:
        self._call("GetDeferral")
        self._deferrals += 1
        return CoreWebView2Deferral(self)

    def sim_answered(self):
        """Whether the page has its answer: every handler returned and every deferral completed."""
        return self._deferrals == 0

    def sim_result(self):
        """What the page's alert / confirm / prompt returns: None (alert), a bool (confirm), the
        ResultText or None (prompt)."""
        kind, text = self.__dict__["Kind"], self.__dict__.get("_p_ResultText", "")  # (no thread rule: a test reads)
        if kind == enums.CoreWebView2ScriptDialogKind.Prompt:
            return text if self.sim_accepted else None
        return self.sim_accepted if kind != enums.CoreWebView2ScriptDialogKind.Alert else None


class CoreWebView2FrameCreatedEventArgs(EventArgs):
    Frame: "CoreWebView2Frame"

    def __init__(self, frame):
        super().__init__(Frame=frame)


class CoreWebView2Frame(Recorded):
    """An iframe (learn.microsoft.com: CoreWebView2Frame): Name is the frame's window.name, at
    first the name attribute of the iframe element declaring it (NameChanged when the page changes
    it); Destroyed is raised when the iframe is removed or the document holding it is destroyed,
    and IsDestroyed() answers 1 from then on (0 before); ExecuteScriptAsync runs a script in the
    frame's document as CoreWebView2.ExecuteScriptAsync does (its answer JSON text, "null" for a
    script that throws). Using a destroyed frame fails. FrameCreated is raised with each new direct
    descendant iframe (CoreWebView2Frame.FrameCreated, ICoreWebView2Frame7: runtimes from
    1.0.3240.44 on); on an older runtime subscribing to it throws NotImplementedException, the
    SDK's cast to the interface having failed (Platform.has_nested_frames false). The frame's page
    answers scripts through sim_script_handler(script) -> JSON text ("null" without one)."""

    _log_new = False
    _raises_webview2_events = True
    Name = Prop(typ=str, get=lambda f: f._name)
    _events = dict(Destroyed=object, NameChanged=object, FrameCreated=CoreWebView2FrameCreatedEventArgs)

    def __init__(self, core, name, parent=None):
        super().__init__()
        self._core, self._name, self._destroyed, self._parent = core, name, False, parent
        self._frames = []  # its live child frames (sim_frame)
        self.sim_script_handler = None
        # A DevTools target of its own (Target.getTargets: type "iframe"), as iframes of another
        # origin are; false for one the test makes of its parent's origin.
        self.sim_own_target = True

    def _guard(self, op, name):
        self._core._guard(op, name)
        if self._destroyed and name != "IsDestroyed":
            raise InvalidOperationException("The frame has been destroyed.")
        if name == "FrameCreated" and op == "+=" and not self._plat.has_nested_frames:
            raise NotImplementedException(
                "Unable to cast to Microsoft.Web.WebView2.Core.Raw.ICoreWebView2Frame7.\nThis may happen if you are "
                "using an interface not supported by the version of the WebView2 Runtime you are using.")

    def IsDestroyed(self) -> int:
        self._call("IsDestroyed")
        return 1 if self._destroyed else 0

    def ExecuteScriptAsync(self, javaScript: str) -> Task[str]:
        self._call("ExecuteScriptAsync", javaScript)

        def work():
            try:
                return self.sim_script_handler(javaScript) if self.sim_script_handler else "null"
            except SimScriptError:
                return "null"

        return self._core._task(work)

    def sim_rename(self, name):
        """The frame's page sets its window.name (on the UI thread)."""
        def run():
            self._name = name
            self.NameChanged.sim_fire(self, None)
        return self._core._ui.call(run)

    def sim_frame(self, name):
        """The frame's page adds an iframe named `name` (on the UI thread): this frame's
        FrameCreated is raised with it."""
        def run():
            frame = CoreWebView2Frame(self._core, name, self)
            self._frames.append(frame)
            self.FrameCreated.sim_fire(self, CoreWebView2FrameCreatedEventArgs(frame))
            return frame
        return self._core._ui.call(run)

    def sim_destroy(self):
        """The iframe is removed from its document (on the UI thread)."""
        return self._core._ui.call(self._destroy)

    def _destroy(self):
        if self._destroyed:
            return
        for child in list(self._frames):  # its document goes, and the frames it holds with it
            child._destroy()
        self._destroyed = True
        (self._parent._frames if self._parent is not None else self._core._frames).remove(self)
        self.Destroyed.sim_fire(self, None)


class CoreWebView2Environment(Recorded):
    """learn.microsoft.com: CoreWebView2Environment.BrowserVersionString."""

    _log_new = False
    BrowserVersionString = Prop(typ=str, get=lambda e: "131.0.2903.70")


class TaskStatic:
    """System.Threading.Tasks.Task's static Delay(milliseconds): a Task that completes after that
    time, its awaiter's continuation posted to the UI thread that asked (learn.microsoft.com:
    Task.Delay(Int32); an awaiter captures the caller's SynchronizationContext)."""

    @staticmethod
    def Delay(milliseconds: int) -> Task:
        import threading

        if not -2**31 <= milliseconds < 2**31:  # no Int32: pythonnet finds no overload
            raise TypeError("No method matches given arguments for Task.Delay: (<class 'int'>)")

        ui = current().ui()
        task = Task(ui, lambda: None, hold=True)
        timer = threading.Timer(max(milliseconds, 0) / 1000.0, lambda: ui.post(task.sim_complete_now))
        timer.daemon = True
        timer.start()
        return task


# ---- the browser core ---------------------------------------------------------------------------


class CoreWebView2Profile(Recorded):
    _log_new = False
    DefaultDownloadFolderPath = Prop("C:\\Users\\user\\Downloads", str)
    ProfileName = Prop(typ=str, get=lambda p: "")

    def __init__(self, core):
        super().__init__()
        self._core = core

    def _guard(self, op, name):
        self._core._guard(op, name)


class CoreWebView2Settings(Recorded):
    _log_new = False
    AreDefaultContextMenusEnabled = Prop(True, bool)
    AreDevToolsEnabled = Prop(True, bool)
    AreDefaultScriptDialogsEnabled = Prop(True, bool)
    AreBrowserAcceleratorKeysEnabled = Prop(True, bool)
    IsScriptEnabled = Prop(True, bool)
    IsStatusBarEnabled = Prop(True, bool)
    IsWebMessageEnabled = Prop(True, bool)
    IsZoomControlEnabled = Prop(True, bool)
    UserAgent = Prop("Mozilla/5.0 (Windows NT 10.0; Win64; x64) SimWebView2", str)


def _has_scheme(uri):
    head, sep, _ = uri.partition(":")
    return bool(sep) and head[:1].isalpha() and all(c.isalnum() or c in "+.-" for c in head)


def _profile(core):
    if not core._plat.has_profile:
        raise AttributeError("'CoreWebView2' object has no attribute 'Profile'")
    return core._profile


def _defragment(uri):
    return uri.partition("#")[0]


def _same_document(old, new):
    """A move between two addresses of one document: only the fragment differs."""
    return old != new and _defragment(old) == _defragment(new) and old != "about:blank"


def _default_title(uri):
    """The <title> of a simulated page (Platform.titles overrides it): never the address itself,
    as WebView2's DocumentTitle is the page's own title."""
    host = uri.partition("://")[2].partition("/")[0] or uri
    return "%s page" % host


class _Navigation:
    def __init__(self, nav_id, kind, target):
        self.id, self.kind, self.target = nav_id, kind, target
        self.started = self.ended = False


class CoreWebView2(Recorded):
    """The browser core. Navigate / GoBack / GoForward / Reload start a navigation through the UI
    thread's message loop, as WebView2 does ("Navigation events for WebView2 apps"):

    * a new document: NavigationStarting (Uri, NavigationId), then when it completes (through
      the loop, or by sim_complete_next when Platform.auto_complete is False) history moves and
      SourceChanged (IsNewDocument true; only when Source changed), ContentLoading (IsErrorPage),
      HistoryChanged (not on Reload), DocumentTitleChanged (when the page's title differs),
      DOMContentLoaded (success only) and NavigationCompleted are raised;
    * a navigation started while another is still under way cancels the older one, in the order
      WebView2 raises: Starting(1), Starting(2), Completed(1) failed with OperationCanceled,
      Completed(2);
    * a same-document navigation (only the fragment differs, or the page's pushState,
      sim_push_state) raises SourceChanged with IsNewDocument false and HistoryChanged only:
      no Starting, no Completed ("Navigation events": history changes within a document);
    * an address in Platform.nav_errors fails with that status; one in Platform.download_uris
      becomes a download: Completed failed with ConnectionAborted, then DownloadStarting
      (its arguments land in Platform.downloads), history and Source unchanged.
    """

    _log_new = False
    _raises_webview2_events = True

    Source = Prop(typ=str, get=lambda c: c._source)
    DocumentTitle = Prop(typ=str, get=lambda c: c._title)
    CanGoBack = Prop(typ=bool, get=lambda c: c._index > 0)
    CanGoForward = Prop(typ=bool, get=lambda c: c._index < len(c._history) - 1)
    Profile = Prop(typ=CoreWebView2Profile, get=_profile)
    Settings = Prop(typ=CoreWebView2Settings, get=lambda c: c._settings)
    CookieManager = Prop(typ=CoreWebView2CookieManager, get=lambda c: c._cookies)
    Environment = Prop(typ=CoreWebView2Environment, get=lambda c: c._environment)

    _events = dict(SourceChanged=CoreWebView2SourceChangedEventArgs,
                   NavigationStarting=CoreWebView2NavigationStartingEventArgs,
                   NavigationCompleted=CoreWebView2NavigationCompletedEventArgs,
                   NewWindowRequested=CoreWebView2NewWindowRequestedEventArgs,
                   DownloadStarting=CoreWebView2DownloadStartingEventArgs, HistoryChanged=object,
                   DocumentTitleChanged=object, ContentLoading=CoreWebView2ContentLoadingEventArgs,
                   DOMContentLoaded=CoreWebView2DOMContentLoadedEventArgs,
                   ScriptDialogOpening=CoreWebView2ScriptDialogOpeningEventArgs,
                   FrameCreated=CoreWebView2FrameCreatedEventArgs)

    def __init__(self, webview=None):
        """Without a webview: a core owned by the calling thread (see Platform.pump)."""
        super().__init__()
        self._ui = self._plat.ui() if webview is None else webview._ui
        self._webview = webview
        self._history, self._index, self._source, self._title = [], -1, "about:blank", ""
        self._closed, self._nav_id, self.sim_pending = False, 0, []
        self._active = None  # the new-document navigation under way (started, not ended)
        self._profile, self._settings = CoreWebView2Profile(self), CoreWebView2Settings()
        # Script and picture: sim_scripts maps a script's text to its result as JSON text, or to a
        # SimScriptError it throws (other scripts: document.title and location.href, else
        # undefined); sim_hold keeps their tasks from completing (sim_tasks) until sim_complete().
        self.sim_scripts, self.sim_hold, self.sim_tasks = {}, False, []
        self.sim_devtools, self.sim_devtools_overlaps, self._devtools_running = [], [], 0
        self.sim_page_colour, self.sim_scroll = (255, 255, 255), (0, 0)
        self.sim_print_pages = 3  # the document's pages, printed
        self._frames = []  # the top document's live CoreWebView2Frames (sim_frame)
        # Runtime.evaluate's remote objects (id -> (group, node name, session)), and the files
        # DOM.setFileInputFiles gave each node
        self._remote_objects, self.sim_files = {}, {}
        # Target.attachToTarget's sessions (id -> the frame), and the calls made in them
        self._sessions, self._session_seq, self.sim_session_calls = {}, 0, []
        self._content_seen = False  # ContentLoading raised once: CapturePreviewAsync may run
        self._cookies, self._environment = CoreWebView2CookieManager(self), CoreWebView2Environment()
        # Scripts sim_scripts does not name go to sim_script_handler(script) -> JSON text, when set.
        self.sim_script_handler = None

    def _guard(self, op, name):
        if not self._ui.is_current():
            self._plat.faults.append("CoreWebView2.%s used off its UI thread" % name)
            raise InvalidOperationException("CoreWebView2 members can only be accessed from the UI thread.")
        if self._closed:
            raise InvalidOperationException("CoreWebView2 has been closed.")

    def Navigate(self, uri: str) -> None:
        self._call("Navigate", uri)
        if not isinstance(uri, str):
            raise TypeError("No method matches given arguments for Navigate")
        if not _has_scheme(uri):
            raise ArgumentException("Value does not fall within the expected range.")
        self._start("navigate", uri)

    def GoBack(self) -> None:
        self._call("GoBack")
        if self._index > 0:
            self._start("back")

    def GoForward(self) -> None:
        self._call("GoForward")
        if self._index < len(self._history) - 1:
            self._start("forward")

    def Reload(self) -> None:
        self._call("Reload")
        self._start("reload")

    def Stop(self) -> None:
        self._call("Stop")

    def _run_script(self, script):
        import json

        found = self.sim_scripts.get(script)
        if isinstance(found, SimScriptError):
            raise found
        if found is not None:
            return found
        if self.sim_script_handler is not None:
            return self.sim_script_handler(script)
        known = {"document.title": self._title, "location.href": self._source,
                 "window.location.href": self._source}
        return json.dumps(known[script]) if script in known else "null"

    def _task(self, work):
        task = Task(self._ui, work, hold=self.sim_hold)
        self.sim_tasks.append(task)
        return task

    def ExecuteScriptAsync(self, javaScript: str) -> Task[str]:
        """The result as JSON text; "null" for undefined and also for a script that throws.
        (learn.microsoft.com: CoreWebView2.ExecuteScriptAsync, Remarks.)"""
        self._call("ExecuteScriptAsync", javaScript)

        def work():
            try:
                return self._run_script(javaScript)
            except SimScriptError:
                return "null"

        return self._task(work)

    def _execute_with_result(self, javaScript: str) -> Task[CoreWebView2ExecuteScriptResult]:
        """A CoreWebView2ExecuteScriptResult: Succeeded with ResultAsJson, or the script's
        exception in Exception (ResultAsJson "null"). (learn.microsoft.com:
        CoreWebView2.ExecuteScriptWithResultAsync, CoreWebView2ExecuteScriptResult.)"""
        self._call("ExecuteScriptWithResultAsync", javaScript)

        def work():
            try:
                return CoreWebView2ExecuteScriptResult(self._run_script(javaScript))
            except SimScriptError as e:
                return CoreWebView2ExecuteScriptResult("null", CoreWebView2ScriptException(e.name, e.message))

        return self._task(work)

    ExecuteScriptWithResultAsync = SdkMember("has_script_with_result", _execute_with_result)

    # The DevTools protocol's Input methods and the parameters each requires
    # (chromedevtools.github.io/devtools-protocol/tot/Input: dispatchMouseEvent, dispatchKeyEvent,
    # insertText; each returns an empty object).
    _devtools_required = {"Input.dispatchMouseEvent": ("type", "x", "y"), "Input.dispatchKeyEvent": ("type",),
                          "Input.insertText": ("text",), "Page.getLayoutMetrics": (),
                          "Page.captureScreenshot": (), "Runtime.evaluate": ("expression",),
                          "DOM.setFileInputFiles": ("files",), "Runtime.releaseObjectGroup": ("objectGroup",),
                          "Page.printToPDF": (), "Target.getTargets": (), "Target.attachToTarget": ("targetId",),
                          "Target.detachFromTarget": ()}
    # What an iframe's session is asked here
    _session_methods = ("Runtime.evaluate", "DOM.setFileInputFiles", "Runtime.releaseObjectGroup")

    def _evaluate(self, params, session=""):
        """Runtime.evaluate: {"result": a RemoteObject}, or with "exceptionDetails" ({"text",
        "exception": a RemoteObject whose description is the error's text}) for an expression that
        throws; an object result has an objectId, held in objectGroup until
        Runtime.releaseObjectGroup (chromedevtools.github.io/devtools-protocol/tot/Runtime:
        evaluate, RemoteObject, ExceptionDetails, releaseObjectGroup). The page answers through
        sim_script_handler: {"node": name} for an element (a node object), else a JSON value."""
        import json

        if session:  # in the frame's document, its page answering
            frame = self._sessions[session]
            run = frame.sim_script_handler or (lambda script: "null")
        else:
            run = self._run_script
        try:
            value = json.loads(run(params["expression"]))
        except SimScriptError as e:
            return {"result": {"type": "object", "subtype": "error"},
                    "exceptionDetails": {"text": "Uncaught", "exception": {"description": "%s: %s" % (e.name, e.message)}}}
        if isinstance(value, dict) and "node" in value:
            object_id = "obj-%d" % (len(self._remote_objects) + 1)
            self._remote_objects[object_id] = (params.get("objectGroup"), value["node"], session)
            return {"result": {"type": "object", "subtype": "node", "objectId": object_id}}
        return {"result": {"type": type(value).__name__, "value": value}}

    def _live_frames(self, frames=None):
        for f in self._frames if frames is None else frames:
            yield f
            yield from self._live_frames(f._frames)

    def _target_answer(self, method, params):
        """The Target domain as an iframe of another origin needs it: getTargets lists the page and
        each such frame ({"targetInfos": [TargetInfo: targetId, type "page" / "iframe", url,
        attached]}); attachToTarget with flatten true answers {"sessionId"} (WebView2 answers no
        call of a session attached without flatten); detachFromTarget ends the session
        (chromedevtools.github.io/devtools-protocol/tot/Target: getTargets, TargetInfo,
        attachToTarget, detachFromTarget; learn.microsoft.com:
        CoreWebView2.CallDevToolsProtocolMethodForSessionAsync, Remarks)."""
        if method == "Target.getTargets":
            infos = [{"targetId": "page", "type": "page", "url": self._source, "attached": True}]
            infos += [{"targetId": f.sim_name, "type": "iframe", "url": "https://frame.example/",
                       "attached": any(v is f for v in self._sessions.values())}
                      for f in self._live_frames() if f.sim_own_target]
            return {"targetInfos": infos}
        if method == "Target.attachToTarget":
            frame = next((f for f in self._live_frames() if f.sim_own_target and f.sim_name == params["targetId"]), None)
            if frame is None:
                raise COMException('{"code":-32602,"message":"No target with given id found"}')
            if params.get("flatten") is not True:
                self._plat.faults.append("Target.attachToTarget without flatten: WebView2 never answers that session")
            self._session_seq += 1
            session = "S%d" % self._session_seq
            self._sessions[session] = frame
            return {"sessionId": session}
        session = params.get("sessionId")
        if session not in self._sessions:
            raise COMException('{"code":-32602,"message":"No session with given id"}')
        self._drop_session(session)
        return {}

    def _drop_session(self, session):
        del self._sessions[session]
        self._remote_objects = {k: v for k, v in self._remote_objects.items() if v[2] != session}

    def _devtools_answer(self, method, params, session=""):
        """What a method returns. Page.getLayoutMetrics: cssLayoutViewport (LayoutViewport: pageX,
        pageY, the layout viewport's scroll offset in CSS pixels of the document, clientWidth,
        clientHeight), here sim_scroll over the view's size. Page.captureScreenshot: {"data": the
        picture in base64}; its clip is a Viewport (x, y, width, height, scale, all required), a
        rectangle in CSS pixels of the document, the picture width x scale by height x scale
        (chromedevtools.github.io/devtools-protocol/tot/Page: getLayoutMetrics, LayoutViewport,
        captureScreenshot, Viewport). The picture is of the page's colour."""
        import base64

        size = self._webview.Size if self._webview is not None else None
        width, height = (size.Width, size.Height) if size is not None else (800, 600)
        if method.startswith("Target."):
            return self._target_answer(method, params)
        if method == "Runtime.evaluate":
            return self._evaluate(params, session)
        if method == "DOM.setFileInputFiles":
            # files, and the input as nodeId, backendNodeId or objectId (a remote object's id, of
            # this target's)
            node = self._remote_objects.get(params.get("objectId"))
            if node is None or node[2] != session:
                raise COMException('{"code":-32000,"message":"Could not find object with given id"}')
            self.sim_files[node[1]] = list(params["files"])
            return {}
        if method == "Runtime.releaseObjectGroup":
            self._remote_objects = {k: v for k, v in self._remote_objects.items()
                                    if v[0] != params["objectGroup"] or v[2] != session}
            return {}
        if method == "Page.getLayoutMetrics":
            layout = {"pageX": self.sim_scroll[0], "pageY": self.sim_scroll[1], "clientWidth": width,
                      "clientHeight": height}
            return {"cssLayoutViewport": layout, "layoutViewport": layout}
        if method == "Page.printToPDF":
            return {"data": base64.b64encode(self._print(params)).decode("ascii")}
        if method == "Page.captureScreenshot":
            clip = params.get("clip")
            if clip is not None and any(not isinstance(clip.get(k), (int, float)) for k in
                                        ("x", "y", "width", "height", "scale")):
                raise COMException('{"code":-32602,"message":"Invalid parameters"}')
            if clip is not None:
                width, height = (max(1, round(clip[k] * clip["scale"])) for k in ("width", "height"))
                if width * height > 16384 * 16384:  # beyond what the browser draws in one picture
                    raise COMException('{"code":-32000,"message":"Unable to capture screenshot"}')
            return {"data": base64.b64encode(sim_png(width, height, self.sim_page_colour)).decode("ascii")}
        return {}

    def _print(self, params):
        """Page.printToPDF: the document (sim_print_pages pages) as a PDF on paper of paperWidth by
        paperHeight inches (8.5 by 11 by default), turned for landscape; pageRanges, one-based text
        such as "1-5, 8, 11-13", an open end running to the last page, keeps those pages once each,
        quietly capped to the document's pages; a range whose start is after its end, or ranges that
        leave no page, fail (chromedevtools.github.io/devtools-protocol/tot/Page: printToPDF). The
        PDF here holds one page object per page with its MediaBox in points."""
        pages = list(range(1, self.sim_print_pages + 1))
        if params.get("pageRanges"):
            keep = set()
            for part in params["pageRanges"].split(","):
                lo, _, hi = part.strip().partition("-")
                lo = int(lo or 1)
                hi = int(hi) if hi else (lo if "-" not in part else len(pages))
                if lo > hi:
                    raise COMException('{"code":-32000,"message":"Page range syntax error"}')
                keep.update(range(lo, hi + 1))
            pages = [n for n in pages if n in keep]
            if not pages:
                raise COMException('{"code":-32000,"message":"Page range exceeds page count"}')
        w, h = (round(params.get(k, d) * 72) for k, d in (("paperWidth", 8.5), ("paperHeight", 11)))
        if params.get("landscape"):
            w, h = h, w
        return b"%PDF-1.4\n" + b"".join(b"%d 0 obj << /Type /Page /MediaBox [0 0 %d %d] >> endobj\n" % (n, w, h)
                                        for n in pages) + b"%%EOF\n"

    def CallDevToolsProtocolMethodAsync(self, methodName: str, parametersAsJson: str) -> Task[str]:
        """Runs a DevTools protocol method; the task completes with the method's return object as
        JSON text, or fails with the protocol's error. WebView2 dispatches the calls in the order
        made, but the browser may process them out of order unless each is awaited before the next:
        a call made while another is still running is recorded in sim_devtools_overlaps.
        (learn.microsoft.com: CoreWebView2.CallDevToolsProtocolMethodAsync, Returns and Remarks.)
        Every call lands in sim_devtools as (methodName, parameters)."""
        import json

        self._call("CallDevToolsProtocolMethodAsync", methodName, parametersAsJson)
        params = json.loads(parametersAsJson)
        if self._devtools_running:
            self.sim_devtools_overlaps.append(methodName)
        self.sim_devtools.append((methodName, params))
        self._devtools_running += 1

        def work():
            self._devtools_running -= 1
            required = self._devtools_required.get(methodName)
            if required is None:
                raise COMException('{"code":-32601,"message":"\'%s\' wasn\'t found"}' % methodName)
            if any(k not in params for k in required):
                raise COMException('{"code":-32602,"message":"Invalid parameters"}')
            return json.dumps(self._devtools_answer(methodName, params))

        return self._task(work)

    def CallDevToolsProtocolMethodForSessionAsync(self, sessionId: str, methodName: str,
                                                  parametersAsJson: str) -> Task[str]:
        """As CallDevToolsProtocolMethodAsync, in the target attached as `sessionId` (null or "":
        the top page's, recorded in sim_devtools). Every call of an iframe's session lands in
        sim_session_calls as (the frame, methodName, parameters); a session whose frame has gone
        fails. (learn.microsoft.com: CoreWebView2.CallDevToolsProtocolMethodForSessionAsync.)"""
        import json

        if not sessionId:
            return self.CallDevToolsProtocolMethodAsync(methodName, parametersAsJson)
        self._call("CallDevToolsProtocolMethodForSessionAsync", sessionId, methodName, parametersAsJson)
        params = json.loads(parametersAsJson)
        if self._devtools_running:
            self.sim_devtools_overlaps.append(methodName)
        self.sim_session_calls.append((self._sessions.get(sessionId), methodName, params))
        self._devtools_running += 1

        def work():
            self._devtools_running -= 1
            frame = self._sessions.get(sessionId)
            if frame is None or frame._destroyed:
                raise COMException('{"code":-32001,"message":"Session with given id not found."}')
            if methodName not in self._session_methods:
                raise COMException('{"code":-32601,"message":"\'%s\' wasn\'t found"}' % methodName)
            if any(k not in params for k in self._devtools_required[methodName]):
                raise COMException('{"code":-32602,"message":"Invalid parameters"}')
            return json.dumps(self._devtools_answer(methodName, params, sessionId))

        return self._task(work)

    def CapturePreviewAsync(self, imageFormat: CoreWebView2CapturePreviewImageFormat,
                            imageStream: NetType("System.IO.Stream")) -> Task:
        """Writes a PNG of the view's size into the stream; fails before the first content has
        loaded. (learn.microsoft.com: CoreWebView2.CapturePreviewAsync, Remarks: it fails when
        called before the first ContentLoading event.)"""
        self._call("CapturePreviewAsync", imageFormat, imageStream)
        if imageFormat != CoreWebView2CapturePreviewImageFormat.Png:
            raise ArgumentException("Only the PNG format is simulated.")

        def work():
            if not self._content_seen:
                raise COMException("The operation is not valid before content has loaded.")
            size = self._webview.Size if self._webview is not None else None
            width, height = (size.Width, size.Height) if size is not None else (800, 600)
            png = sim_png(max(width, 1), max(height, 1), self.sim_page_colour)
            imageStream.Write(png, 0, len(png))

        return self._task(work)

    def _target(self, kind, uri):
        step = {"back": -1, "forward": 1}.get(kind, 0)
        if kind == "navigate":
            return uri
        if 0 <= self._index + step < len(self._history):
            return self._history[self._index + step]
        return self._source

    def _start(self, kind, uri=None):
        if kind != "reload" and _same_document(self._source, self._target(kind, uri)):
            self._ui.post(lambda: self._same_document_move(kind, uri))
            return
        self._nav_id += 1
        nav = _Navigation(self._nav_id, kind, uri)

        def starting():
            if self._closed:
                return
            nav.target = self._target(kind, uri)
            nav.started = True
            previous, self._active = self._active, nav
            self.NavigationStarting.sim_fire(self, CoreWebView2NavigationStartingEventArgs(nav.target, nav.id))
            if previous is not None and not previous.ended:
                previous.ended = True
                self.NavigationCompleted.sim_fire(self, CoreWebView2NavigationCompletedEventArgs(
                    WebErrorStatus.OperationCanceled, previous.id))
            if self._plat.auto_complete:
                self._ui.post(finish)

        def finish():
            if self._closed or nav.ended:
                return  # cancelled by a later navigation
            if not nav.started:
                starting()  # completed by the test before the loop started it
            nav.ended = True
            if self._active is nav:
                self._active = None
            self._finish(nav)

        self._ui.post(starting)
        if not self._plat.auto_complete:
            self.sim_pending.append(finish)

    def _finish(self, nav):
        kind, target = nav.kind, nav.target
        if kind == "navigate" and target in self._plat.download_uris:
            self.NavigationCompleted.sim_fire(self, CoreWebView2NavigationCompletedEventArgs(
                WebErrorStatus.ConnectionAborted, nav.id))
            args = CoreWebView2DownloadStartingEventArgs(self._plat.download_uris[target], uri=target)
            self._raise_download(args)
            self._plat.downloads.append(args)
            return
        if kind == "navigate":
            del self._history[self._index + 1:]
            self._history.append(target)
            self._index = len(self._history) - 1
        elif kind != "reload":
            step = -1 if kind == "back" else 1
            if not 0 <= self._index + step < len(self._history):
                return  # history moved on since the request
            self._index += step
        target = self._source if kind == "reload" else self._history[self._index]
        status = self._plat.nav_errors.get(target)
        changed, self._source = target != self._source, target
        for frame in list(self._frames):  # the old document goes, and its frames with it
            frame._destroy()
        if changed:
            self.SourceChanged.sim_fire(self, CoreWebView2SourceChangedEventArgs(True))
        self._content_seen = True
        self.ContentLoading.sim_fire(self, CoreWebView2ContentLoadingEventArgs(status is not None, nav.id))
        if kind != "reload":
            self.HistoryChanged.sim_fire(self, EventArgs())
        if status is None:
            self._set_title(self._plat.titles.get(target) or _default_title(target))
            self.DOMContentLoaded.sim_fire(self, CoreWebView2DOMContentLoadedEventArgs(NavigationId=nav.id))
        self.NavigationCompleted.sim_fire(self, CoreWebView2NavigationCompletedEventArgs(status, nav.id))

    def _set_title(self, title):
        if title != self._title:
            self._title = title
            self.DocumentTitleChanged.sim_fire(self, None)

    def _same_document_move(self, kind, uri, push=False):
        if self._closed:
            return
        if kind == "navigate":
            del self._history[self._index + 1:]
            self._history.append(uri)
            self._index = len(self._history) - 1
        else:
            step = -1 if kind == "back" else 1
            if not 0 <= self._index + step < len(self._history):
                return
            self._index += step
        self._source = self._history[self._index]
        self.SourceChanged.sim_fire(self, CoreWebView2SourceChangedEventArgs(False))
        self.HistoryChanged.sim_fire(self, EventArgs())

    def _raise_download(self, args):
        try:
            self.DownloadStarting.sim_fire(self, args)
        finally:
            args._handlers_done = True

    # -- test helpers (run on the UI thread; handler exceptions reach the caller) --

    @property
    def sim_history(self):
        """(list of addresses, current index)."""
        return list(self._history), self._index

    def sim_complete_next(self):
        """Complete the oldest navigation held back while Platform.auto_complete is False (one
        that a later navigation cancelled completes nothing)."""
        return self._ui.call(self.sim_pending.pop(0))

    def sim_page_navigate(self, uri):
        """The page navigates by itself (a script or a link) to `uri`, as Navigate does but
        without a call from the host."""
        return self._ui.call(lambda: self._start("navigate", uri))

    def sim_dialog(self, kind, message, default_text=""):
        """The page opens a script dialog (on the UI thread): with AreDefaultScriptDialogsEnabled
        false, ScriptDialogOpening is raised and the returned args tell what the page got once
        answered (sim_answered, sim_result); with the default dialogs, WebView2 shows its own
        and the event is not raised (None). (learn.microsoft.com: CoreWebView2.ScriptDialogOpening:
        "This event only triggers if the CoreWebView2Settings.AreDefaultScriptDialogsEnabled
        property is set to false.")"""
        def raise_it():
            if self._settings.AreDefaultScriptDialogsEnabled:
                return None
            args = CoreWebView2ScriptDialogOpeningEventArgs(
                self, getattr(enums.CoreWebView2ScriptDialogKind, kind), message, default_text)
            self.ScriptDialogOpening.sim_fire(self, args)
            return args
        return self._ui.call(raise_it)

    def sim_frame(self, name):
        """The page adds an iframe named `name` (on the UI thread): FrameCreated is raised with it
        (learn.microsoft.com: CoreWebView2.FrameCreated, CoreWebView2FrameCreatedEventArgs.Frame)."""
        def run():
            frame = CoreWebView2Frame(self, name)
            self._frames.append(frame)
            self.FrameCreated.sim_fire(self, CoreWebView2FrameCreatedEventArgs(frame))
            return frame
        return self._ui.call(run)

    def sim_push_state(self, uri):
        """The page's script calls history.pushState with `uri` (same document)."""
        return self._ui.call(lambda: self._same_document_move("navigate", uri))

    def sim_new_window(self, uri, user_initiated=True):
        """A page asks for a new window for `uri`. Returns the event arguments; when no handler
        marked them handled, the browser opens a pop-up (recorded in Platform.popups)."""

        def run():
            args = CoreWebView2NewWindowRequestedEventArgs(uri, user_initiated)
            self.NewWindowRequested.sim_fire(self, args)
            if not args.Handled and args.NewWindow is None:
                self._plat.popups.append(uri)
            return args

        return self._ui.call(run)

    def sim_download(self, result_file_path="C:\\Users\\user\\Downloads\\file.bin", **kw):
        """The page starts a download the browser proposes to save at `result_file_path`.
        Keyword arguments go to CoreWebView2DownloadStartingEventArgs. Returns the arguments
        after every handler ran (see sim_answered for a deferred answer)."""

        def run():
            args = CoreWebView2DownloadStartingEventArgs(result_file_path, **kw)
            self._raise_download(args)
            return args

        return self._ui.call(run)


CoreWebView2NewWindowRequestedEventArgs.NewWindow.typ = CoreWebView2


# ---- the control --------------------------------------------------------------------------------


def _core(webview):
    if webview._disposed:
        raise InvalidOperationException("The WebView control is no longer valid.")
    return webview._core


class WebView2(Control):
    """The WebView2 control. With Platform.init_mode "explicit" (default, as on Windows) it creates
    its core only when asked: EnsureCoreWebView2Async, or Source set (navigated once the core
    exists); with "shown" also once its form has been shown; with "manual" when the test calls
    sim_initialize(). CoreWebView2InitializationCompleted is raised on the UI thread, once for a
    core that is made. With Platform.init_error set, the browser environment cannot be created:
    as the real control does when its native loader is missing, every request fails at once,
    raising the event inside the asking call (before it returns, whether or not the control has
    a handle yet), and a later request tries again and fails again."""

    CreationProperties = Prop(None, CoreWebView2CreationProperties, nullable=True)
    CoreWebView2 = Prop(typ=CoreWebView2, get=_core)
    # The address as a System.Uri (pythonnet converts no str to it); setting it navigates.
    Source = Prop(None, Uri, on_set=lambda wv, old, new: wv._source_set(new.AbsoluteUri))
    _events = dict(CoreWebView2InitializationCompleted=CoreWebView2InitializationCompletedEventArgs,
                   NavigationCompleted=CoreWebView2NavigationCompletedEventArgs,
                   SourceChanged=CoreWebView2SourceChangedEventArgs)

    def __init__(self):
        super().__init__()
        self._core = None
        self._init_scheduled = self._init_done = self._init_requested = False
        with self._plat._lock:
            self._plat.webviews.append(self)

    def _guard(self, op, name):
        super()._guard(op, name)
        if name == "CreationProperties" and op == "set" and (self._init_done or self._init_scheduled):
            raise InvalidOperationException(
                "CreationProperties cannot be modified after the initialization of CoreWebView2 "
                "has started.")

    def _on_handle_created(self):
        top = self
        while top is not None and not isinstance(top, Form):
            top = top._parent
        if self._init_requested or (self._plat.init_mode == "shown" and top is not None and top._shown):
            self._schedule_init()

    def _schedule_init(self):
        if self._plat.init_mode == "manual":
            return  # only sim_initialize() makes the core
        if not (self._init_scheduled or self._init_done):
            self._init_scheduled = True
            self._ui.post(self._initialize)

    def _fails_at_once(self):
        """A request for the core that fails while creating the environment: the event is raised
        now, on the calling thread, and nothing is remembered (the next request tries again)."""
        if self._plat.init_mode == "manual" or self._plat.init_error is None or self._core is not None:
            return False
        self.CoreWebView2InitializationCompleted.sim_fire(
            self, CoreWebView2InitializationCompletedEventArgs(self._plat.init_error))
        return True

    def EnsureCoreWebView2Async(self, environment: NetType("Microsoft.Web.WebView2.Core.CoreWebView2Environment") = None
                                ) -> "_Task":
        self._call("EnsureCoreWebView2Async", environment)
        if self._fails_at_once():
            return _Task(self, faulted=True)
        self._init_requested = True
        if self._handle:
            self._schedule_init()
        return _Task(self)

    def _source_set(self, uri):
        """Setting Source asks for the core (as EnsureCoreWebView2Async does), then navigates."""
        if self._fails_at_once():
            return
        self._init_requested = True
        if self._core is not None:
            self._core.Navigate(uri)
        elif self._handle:
            self._schedule_init()

    def _initialize(self, error=None):
        if self._init_done or self._disposed:
            return
        self._init_done = True
        error = error or self._plat.init_error or self._environment_error()
        if error is None:
            self._core = CoreWebView2(self)
            self._plat.live_profiles.append((self, self._profile_key()))
        self.CoreWebView2InitializationCompleted.sim_fire(
            self, CoreWebView2InitializationCompletedEventArgs(error))
        source = self.__dict__.get("_p_Source")
        if self._core is not None and source is not None:
            self._core.Navigate(source.AbsoluteUri)

    def _profile_key(self):
        props = self.__dict__.get("_p_CreationProperties")
        folder = props.UserDataFolder if props is not None else None
        return (folder or "").rstrip("\\/").lower(), (props.AdditionalBrowserArguments if props else None) or ""

    def _environment_error(self):
        """Why the browser environment cannot be made here, or None.

        * WebView2 is COM and must run on an STA thread ("Threading model for WebView2 apps");
          CreateCoreWebView2EnvironmentWithOptions fails off STA with RPC_E_CHANGED_MODE.
        * Two WebView2s sharing a user-data folder must use the same environment options:
          creating one with other browser arguments while the folder is in use fails with
          HRESULT_FROM_WIN32(ERROR_INVALID_STATE) ("CreateCoreWebView2EnvironmentWithOptions":
          "...the same user data folder ... must use the same options").
        """
        if self._plat.apartment() != "STA":
            return COMException("Cannot change thread mode after it is set. (0x80010106 (RPC_E_CHANGED_MODE))",
                                -2147417850)
        folder, arguments = self._profile_key()
        for other, (other_folder, other_arguments) in self._plat.live_profiles:
            if other is not self and not other._disposed and other_folder == folder and other_arguments != arguments:
                return COMException("The group or resource is not in the correct state to perform the requested "
                                    "operation. (0x8007139F)", -2147019873)
        return None

    def sim_initialize(self, error=None):
        """Create the core now (or fail with `error`), on the control's UI thread."""
        self._init_scheduled = True
        return self.sim_on_ui(lambda: self._initialize(error))

    def _dispose(self):
        super()._dispose()
        if self._core is not None:
            self._core._closed = True


class _Task:
    _net_name = "System.Threading.Tasks.Task"
    IsFaulted: bool
    IsCompleted: bool

    def __init__(self, webview, faulted=False):
        self._wv, self.IsFaulted = webview, faulted

    @property
    def IsCompleted(self):
        return self.IsFaulted or self._wv._init_done
