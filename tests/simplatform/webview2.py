"""Microsoft.Web.WebView2.WinForms / .Core: the WebView2 control, which creates its CoreWebView2
by itself once its form has been shown, and a CoreWebView2 with history, navigation events,
new-window requests, downloads and a profile. CoreWebView2 members refuse calls from any thread
but their UI thread, as the real one does."""

from .core import (
    ArgumentException,
    EventDecl,
    InvalidOperationException,
    Prop,
    Recorded,
    current,
)
from .enums import CoreWebView2WebErrorStatus
from .forms import Control, EventArgs, Form

WebErrorStatus = CoreWebView2WebErrorStatus


class CoreWebView2CreationProperties(Recorded):
    UserDataFolder = Prop(None, str, nullable=True)
    BrowserExecutableFolder = Prop(None, str, nullable=True)
    Language = Prop(None, str, nullable=True)
    AdditionalBrowserArguments = Prop(None, str, nullable=True)
    ProfileName = Prop(None, str, nullable=True)


class CoreWebView2InitializationCompletedEventArgs(EventArgs):
    def __init__(self, exception=None):
        super().__init__()
        object.__setattr__(self, "_exc", exception)

    @property
    def IsSuccess(self):
        return self._exc is None

    @property
    def InitializationException(self):
        return self._exc


class CoreWebView2SourceChangedEventArgs(EventArgs):
    def __init__(self, is_new_document):
        super().__init__()
        object.__setattr__(self, "IsNewDocument", is_new_document)


class CoreWebView2NavigationCompletedEventArgs(EventArgs):
    def __init__(self, status, navigation_id):
        super().__init__()
        object.__setattr__(self, "IsSuccess", status is None)
        object.__setattr__(self, "WebErrorStatus", status or WebErrorStatus.Unknown)
        object.__setattr__(self, "NavigationId", navigation_id)
        object.__setattr__(self, "HttpStatusCode", 200 if status is None else 0)


class CoreWebView2NewWindowRequestedEventArgs(EventArgs):
    Handled = Prop(False, bool)
    NewWindow = Prop(None, object, nullable=True)

    def __init__(self, uri, user_initiated=True):
        super().__init__()
        object.__setattr__(self, "_uri", uri)
        object.__setattr__(self, "IsUserInitiated", user_initiated)

    @property
    def Uri(self):
        self._before_read("Uri")
        return self._uri


class CoreWebView2DownloadOperation:
    def __init__(self, uri, args):
        self.Uri = uri
        self._args = args
        self.TotalBytesToReceive = 0

    @property
    def ResultFilePath(self):
        return self._args._path


class CoreWebView2DownloadStartingEventArgs(EventArgs):
    """Arguments of DownloadStarting. `refuse_handled`: an exception (or True) raised when code
    assigns Handled (set_Handled still works); `refuse_result_file_path`: likewise for writes of
    ResultFilePath. Writes are logged (Platform.writes(args))."""

    Cancel = Prop(False, bool)

    def __init__(self, result_file_path="", uri="https://downloads.example/file",
                 refuse_handled=None, refuse_result_file_path=None):
        super().__init__()
        if refuse_handled is True:
            refuse_handled = AttributeError("property 'Handled' can't be set")
        if refuse_result_file_path is True:
            refuse_result_file_path = ArgumentException("The path is not valid.")
        d = self.__dict__
        d["_path"] = result_file_path
        d["_handled"] = False
        d["_refuse_handled"] = refuse_handled
        d["_refuse_path"] = refuse_result_file_path
        d["_op"] = CoreWebView2DownloadOperation(uri, self)

    @property
    def DownloadOperation(self):
        return self._op

    @property
    def ResultFilePath(self):
        self._before_read("ResultFilePath")
        return self._path

    @ResultFilePath.setter
    def ResultFilePath(self, value):
        self._record("ResultFilePath", value)
        if self._refuse_path is not None:
            raise self._refuse_path
        if not isinstance(value, str):
            raise TypeError("ResultFilePath: cannot convert %s to String" % type(value).__name__)
        self.__dict__["_path"] = value

    @property
    def Handled(self):
        return self._handled

    @Handled.setter
    def Handled(self, value):
        self._record("Handled", value)
        if self._refuse_handled is not None:
            raise self._refuse_handled
        self.__dict__["_handled"] = _bool(value)

    def set_Handled(self, value):
        self._call("set_Handled", value)
        self.__dict__["_handled"] = _bool(value)

    def get_Handled(self):
        return self._handled


def _bool(value):
    if not isinstance(value, bool):
        raise TypeError("cannot convert %s to Boolean" % type(value).__name__)
    return value


class CoreWebView2Profile(Recorded):
    _log_new = False
    DefaultDownloadFolderPath = Prop("C:\\Users\\user\\Downloads", str)
    ProfileName = Prop("", str)

    def __init__(self, core):
        super().__init__()
        object.__setattr__(self, "_core", core)

    def _before_read(self, name):
        self._core._check(name)
        super()._before_read(name)

    def _before_write(self, name):
        self._core._check(name)


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


class CoreWebView2(Recorded):
    """The browser core. Navigate / GoBack / GoForward / Reload complete asynchronously through
    the UI thread's message loop (or by sim_complete_next when Platform.auto_complete is False):
    history moves, Source changes, SourceChanged (only when Source changed) and then
    NavigationCompleted are raised. An address in Platform.nav_errors fails with that status."""

    _log_new = False

    SourceChanged = EventDecl()
    NavigationStarting = EventDecl()
    NavigationCompleted = EventDecl()
    NewWindowRequested = EventDecl()
    DownloadStarting = EventDecl()
    HistoryChanged = EventDecl()
    DocumentTitleChanged = EventDecl()

    def __init__(self, webview=None):
        super().__init__()
        plat = self._plat
        d = self.__dict__
        d["_ui"] = plat.ui() if webview is None else webview._ui
        d["_webview"] = webview
        d["_history"] = []
        d["_index"] = -1
        d["_source"] = "about:blank"
        d["_closed"] = False
        d["_nav_id"] = 0
        d["sim_pending"] = []
        d["_profile"] = CoreWebView2Profile(self)
        d["_settings"] = CoreWebView2Settings()
        with plat._lock:
            plat.cores.append(self)

    # -- the UI-thread rule --

    def _check(self, name):
        if not self._ui.is_current():
            msg = "CoreWebView2.%s used off its UI thread" % name
            self._plat.faults.append(msg)
            raise InvalidOperationException(
                "CoreWebView2 members can only be accessed from the UI thread.")
        if self._closed:
            raise InvalidOperationException("CoreWebView2 has been closed.")

    def _before_read(self, name):
        self._check(name)
        super()._before_read(name)

    def _before_write(self, name):
        self._check(name)

    def _before_subscribe(self, name):
        self._check(name)

    # -- members --

    @property
    def Source(self):
        self._before_read("Source")
        return self._source

    @property
    def CanGoBack(self):
        self._before_read("CanGoBack")
        return self._index > 0

    @property
    def CanGoForward(self):
        self._before_read("CanGoForward")
        return self._index < len(self._history) - 1

    @property
    def Profile(self):
        self._before_read("Profile")
        if not self._plat.has_profile:
            raise AttributeError("'CoreWebView2' object has no attribute 'Profile'")
        return self._profile

    @property
    def Settings(self):
        self._before_read("Settings")
        return self._settings

    @property
    def DocumentTitle(self):
        self._before_read("DocumentTitle")
        return self._source

    def Navigate(self, uri):
        self._call("Navigate", uri)
        if not isinstance(uri, str):
            raise TypeError("No method matches given arguments for Navigate")
        if not _has_scheme(uri):
            raise ArgumentException("Value does not fall within the expected range.")
        self._start("navigate", uri)

    def GoBack(self):
        self._call("GoBack")
        if self._index > 0:
            self._start("back")

    def GoForward(self):
        self._call("GoForward")
        if self._index < len(self._history) - 1:
            self._start("forward")

    def Reload(self):
        self._call("Reload")
        self._start("reload")

    def Stop(self):
        self._call("Stop")

    # -- navigation machinery --

    def _start(self, kind, uri=None):
        def finish():
            if self._closed:
                return
            d = self.__dict__
            if kind == "navigate":
                del self._history[self._index + 1:]
                self._history.append(uri)
                d["_index"] = len(self._history) - 1
                target = uri
            elif kind == "back":
                if self._index <= 0:
                    return
                d["_index"] -= 1
                target = self._history[self._index]
            elif kind == "forward":
                if self._index >= len(self._history) - 1:
                    return
                d["_index"] += 1
                target = self._history[self._index]
            else:
                target = self._source
            status = self._plat.nav_errors.get(target)
            changed = target != self._source
            d["_source"] = target
            d["_nav_id"] += 1
            if changed:
                self.SourceChanged.sim_fire(self, CoreWebView2SourceChangedEventArgs(kind == "navigate"))
            if kind != "reload":
                self.HistoryChanged.sim_fire(self, EventArgs())
            self.NavigationCompleted.sim_fire(
                self, CoreWebView2NavigationCompletedEventArgs(status, self._nav_id))

        if self._plat.auto_complete:
            self._ui.post(finish)
        else:
            self.sim_pending.append(finish)

    # -- test helpers (run on the UI thread; handler exceptions reach the caller) --

    @property
    def sim_history(self):
        """(list of addresses, current index)."""
        return list(self._history), self._index

    def sim_complete_next(self):
        """Complete the oldest navigation held back while Platform.auto_complete is False."""
        return self._ui.call(self.sim_pending.pop(0))

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
        after every handler ran."""

        def run():
            args = CoreWebView2DownloadStartingEventArgs(result_file_path, **kw)
            self.DownloadStarting.sim_fire(self, args)
            return args

        return self._ui.call(run)

    def sim_raise(self, event_name, args):
        """Raise any event of the core with the given arguments on its UI thread."""
        return self._ui.call(lambda: getattr(self, event_name).sim_fire(self, args))


class WebView2(Control):
    """The WebView2 control. With Platform.init_mode "shown" (default) it creates its core once
    its form has been shown; with "explicit" only after EnsureCoreWebView2Async; with "manual"
    when the test calls sim_initialize(). Initialisation fails with Platform.init_error when it
    is set. CoreWebView2InitializationCompleted is raised once, on the UI thread."""

    CreationProperties = Prop(None, CoreWebView2CreationProperties, nullable=True)
    CoreWebView2InitializationCompleted = EventDecl()
    NavigationCompleted = EventDecl()
    SourceChanged = EventDecl()

    def __init__(self):
        super().__init__()
        d = self.__dict__
        d["_core"] = None
        d["_init_scheduled"] = False
        d["_init_done"] = False
        d["_init_requested"] = False
        with self._plat._lock:
            self._plat.webviews.append(self)

    def _record(self, name, value):
        if name == "CreationProperties" and (self._init_done or self._init_scheduled):
            raise InvalidOperationException(
                "CreationProperties cannot be modified after the initialization of CoreWebView2 "
                "has started.")
        super()._record(name, value)

    @property
    def CoreWebView2(self):
        self._before_read("CoreWebView2")
        if self._disposed:
            raise InvalidOperationException("The WebView control is no longer valid.")
        return self._core

    def _top_form(self):
        c = self
        while c is not None and not isinstance(c, Form):
            c = c._parent
        return c

    def _on_handle_created(self):
        top = self._top_form()
        mode = self._plat.init_mode
        if self._init_requested or (mode == "shown" and top is not None and top.__dict__.get("_shown")):
            self._schedule_init()

    def _schedule_init(self):
        if self._init_scheduled or self._init_done:
            return
        self.__dict__["_init_scheduled"] = True
        self._ui.post(self._initialize)

    def EnsureCoreWebView2Async(self, environment=None):
        self._call("EnsureCoreWebView2Async", environment)
        self.__dict__["_init_requested"] = True
        if self._handle:
            self._schedule_init()
        return _Task(self)

    def _initialize(self, error=None):
        if self._init_done or self._disposed:
            return
        self.__dict__["_init_done"] = True
        error = error or self._plat.init_error
        if error is None:
            self.__dict__["_core"] = CoreWebView2(self)
        self.CoreWebView2InitializationCompleted.sim_fire(
            self, CoreWebView2InitializationCompletedEventArgs(error))

    def sim_initialize(self, error=None):
        """Create the core now (or fail with `error`), on the control's UI thread."""
        self.__dict__["_init_scheduled"] = True
        return self.sim_on_ui(lambda: self._initialize(error))

    def _dispose(self):
        super()._dispose()
        if self._core is not None:
            self._core.__dict__["_closed"] = True


class _Task:
    def __init__(self, webview):
        self._wv = webview

    @property
    def IsCompleted(self):
        return self._wv._init_done


def _form_shown(form):
    """Called by Form._show: schedule the automatic initialisation of its WebView2 controls."""
    form.__dict__["_shown"] = True
    stack = list(form.Controls)
    while stack:
        c = stack.pop()
        stack.extend(c.Controls)
        if isinstance(c, WebView2) and c._plat.init_mode == "shown":
            c._schedule_init()
