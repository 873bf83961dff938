"""System.Windows.Forms: controls that record every property write, dock layout, handles,
Invoke/BeginInvoke, the message loop (Application.Run), clipboard and the Save-As dialog."""

import threading
import time

from .core import (
    ArgumentException,
    Char,
    NetType,
    ArgumentNullException,
    Delegate,
    InvalidOperationException,
    ObjectDisposedException,
    Prop,
    Recorded,
    current,
    ints,
    static_call,
    unwrap,
)
from . import drawing
from .drawing import Color, Font, Size, Value
from .enums import AnchorStyles, BorderStyle, DialogResult, DockStyle, FlatStyle, FormBorderStyle, FormWindowState, Keys


class Padding(Value):
    __slots__ = ("Left", "Top", "Right", "Bottom")
    Left: int
    Top: int
    Right: int
    Bottom: int
    All: int
    _format = "{Left=%d,Top=%d,Right=%d,Bottom=%d}"

    def __init__(self, *args):
        if len(args) == 1:
            args *= 4
        if len(args) != 4 or not ints(*args):
            raise TypeError("No constructor matches given arguments for Padding")
        super().__init__(*args)

    @property
    def All(self):
        return self.Left if self.Left == self.Top == self.Right == self.Bottom else -1


# ---- event arguments (made by the platform, not logged; their fixed values are read-only) -------


class EventArgs(Recorded):
    _log_new = False

    def __init__(self, **fixed):
        super().__init__()
        self.__dict__.update(fixed)


class KeyPressEventArgs(EventArgs):
    Handled = Prop(False, bool)
    KeyChar: Char

    def __init__(self, key_char):
        if not (isinstance(key_char, str) and len(key_char) == 1):
            raise TypeError("KeyChar is one character")
        super().__init__(KeyChar=key_char)


class _KeyData:
    """What the key events' arguments share (in .NET, two unrelated classes)."""

    KeyData: Keys
    KeyCode: Keys
    KeyCode = property(lambda self: Keys(self.KeyData & 0xFFFF))

    def __init__(self, key_data):
        EventArgs.__init__(self, KeyData=Keys(key_data))


class PreviewKeyDownEventArgs(_KeyData, EventArgs):
    IsInputKey = Prop(False, bool)


class KeyEventArgs(_KeyData, EventArgs):
    Handled = Prop(False, bool)
    SuppressKeyPress = Prop(False, bool)


class FormClosingEventArgs(EventArgs):
    Cancel = Prop(False, bool)


class FormClosedEventArgs(EventArgs):
    pass


# ---- controls ------------------------------------------------------------------------------------


def _bound(index):
    """Left, Top, Width or Height: an Int32 property kept in the control's bounds."""

    def set_(ctl, value):
        bounds = list(ctl._bounds)
        bounds[index] = value
        ctl._set_bounds(*bounds)

    return Prop(typ=int, get=lambda ctl: ctl._bounds[index], set=set_)


def _layout(ctl, old=None, new=None):
    ctl._perform_layout()


def _layout_parent(ctl, old=None, new=None):
    if ctl._parent is not None:
        ctl._parent._perform_layout()


class ControlCollection:
    _net_name = "System.Windows.Forms.Control+ControlCollection"
    Count: int

    def __init__(self, owner):
        self._owner, self._items = owner, []

    def Add(self, value: "Control") -> None:
        owner, control = self._owner, value
        owner._call("Controls.Add", control)
        control = unwrap(control)
        if not isinstance(control, Control):
            raise TypeError("Controls.Add takes a Control")
        if isinstance(control, Form):
            raise ArgumentException("Top-level control cannot be added to a control.")
        if control._parent is not None:
            control._parent.Controls._items.remove(control)
        control._parent = owner
        self._items.append(control)
        if owner._handle:
            control._create_handle()
        owner._perform_layout()

    def __iter__(self):
        return iter(list(self._items))

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]

    Count = property(__len__)


class Control(Recorded):
    """A WinForms control. Bounds change through Left/Top/Width/Height/Size/ClientSize and through
    docking in the parent (done in reverse order of Controls, as WinForms does); a size change lays
    out the children and then raises Resize. Anchors are stored but not applied. Once it has a
    handle, writes and calls from any thread but its own are refused (and recorded as faults)."""

    _default_size = (0, 0)

    Text = Prop("", str, nullable=True, none_is="")
    Dock = Prop(DockStyle.None_, DockStyle, on_set=_layout_parent)
    Anchor = Prop(AnchorStyles.Top | AnchorStyles.Left, AnchorStyles)
    Padding = Prop(typ=Padding, factory=lambda: Padding(0), on_set=_layout)
    BackColor = Prop(drawing.CONTROL, Color)
    Font = Prop(typ=Font, factory=lambda: Font.sim_default())
    Enabled = Prop(True, bool)
    Name = Prop("", str)
    Left, Top, Width, Height = map(_bound, range(4))
    # (inside the class body, Size names the property from here on: the struct is drawing.Size)
    Size = Prop(typ=drawing.Size, get=lambda c: drawing.Size(*c._bounds[2:]),
                set=lambda c, v: c._set_bounds(*c._bounds[:2], v.Width, v.Height))
    ClientSize = Prop(typ=drawing.Size, get=lambda c: c._client_size(),
                      set=lambda c, v: c._set_bounds(*c._bounds[:2], v.Width + c._border()[0],
                                                     v.Height + c._border()[1]))

    Controls: ControlCollection
    Parent: "Control"
    IsDisposed: bool
    IsHandleCreated: bool
    Visible: bool
    InvokeRequired: bool
    Controls = property(lambda self: self._controls)
    Parent = property(lambda self: self._parent)
    IsDisposed = property(lambda self: self._disposed)
    IsHandleCreated = Visible = property(lambda self: self._handle)

    _events = dict(Click=EventArgs, Resize=EventArgs, SizeChanged=EventArgs, KeyDown=KeyEventArgs,
                   KeyPress=KeyPressEventArgs, PreviewKeyDown=PreviewKeyDownEventArgs, TextChanged=EventArgs,
                   Disposed=EventArgs)

    def __init__(self):
        plat = current()
        with plat._lock:
            plat.controls_created += 1
        super().__init__()
        self._ui = plat.ui()
        self._bounds = (0, 0) + self._default_size
        self._parent = None
        self._controls = ControlCollection(self)
        self._suspended = 0
        self._layout_pending = self._handle = self._disposed = False

    # -- threads --

    def _guard(self, op, name):
        # Changing a live control from another thread is the classic cross-thread fault.
        if op in ("set", "call") and self._handle and not self._ui.is_current():
            msg = "Cross-thread operation not valid: %r.%s accessed from a thread other than " \
                  "the thread it was created on." % (self, name)
            self._plat.faults.append(msg)
            raise InvalidOperationException(msg)

    def _handle_owner(self):
        c = self
        while c is not None and not c._handle:
            c = c._parent
        return c

    @property
    def InvokeRequired(self):
        owner = self._handle_owner()
        return owner is not None and not owner._ui.is_current()

    def _marshal(self, name, delegate, args):
        self._plat.op(self, "call", name, (delegate,) + args)
        if not isinstance(delegate, Delegate):
            raise TypeError("No method matches given arguments for %s: a delegate is needed" % name)
        if self._disposed:
            raise ObjectDisposedException("Cannot access a disposed object.")
        if self._handle_owner() is None:
            raise InvalidOperationException(
                "Invoke or BeginInvoke cannot be called on a control until the window handle "
                "has been created.")
        return lambda: delegate(*args)

    def Invoke(self, method: Delegate, *args) -> object:
        delegate = method
        work = self._marshal("Invoke", delegate, args)
        return self._ui.call(work) if self.InvokeRequired else work()

    def BeginInvoke(self, method: Delegate, *args) -> "_AsyncResult":
        delegate = method
        return _AsyncResult(self._ui.post(self._marshal("BeginInvoke", delegate, args)), self._plat)

    def EndInvoke(self, asyncResult: "_AsyncResult") -> object:
        return asyncResult.sim_wait()

    def sim_on_ui(self, fn):
        """Run fn on this control's thread (now, or through its message loop) and return."""
        return self._ui.call(fn)

    # -- layout --

    def _border(self):
        return (0, 0)

    def _client_size(self):
        bw, bh = self._border()
        return Size(max(0, self._bounds[2] - bw), max(0, self._bounds[3] - bh))

    def _set_bounds(self, left, top, width, height, from_layout=False):
        old, self._bounds = self._bounds, (left, top, max(0, width), max(0, height))
        if old[2:] != self._bounds[2:]:
            self._perform_layout()
            self.Resize.sim_fire(self, EventArgs())
            self.SizeChanged.sim_fire(self, EventArgs())
            if not from_layout and self._parent is not None and self.Dock != DockStyle.None_:
                self._parent._perform_layout()

    def _perform_layout(self):
        self._layout_pending = bool(self._suspended)
        if self._suspended:
            return
        client, p = self._client_size(), self.Padding
        x, y = p.Left, p.Top
        w, h = max(0, client.Width - p.Left - p.Right), max(0, client.Height - p.Top - p.Bottom)
        for c in reversed(self._controls._items):
            cw, ch = c._bounds[2:]
            if c.Dock == DockStyle.Top:
                c._set_bounds(x, y, w, ch, True)
                y, h = y + ch, max(0, h - ch)
            elif c.Dock == DockStyle.Bottom:
                c._set_bounds(x, y + h - ch, w, ch, True)
                h = max(0, h - ch)
            elif c.Dock == DockStyle.Left:
                c._set_bounds(x, y, cw, h, True)
                x, w = x + cw, max(0, w - cw)
            elif c.Dock == DockStyle.Right:
                c._set_bounds(x + w - cw, y, cw, h, True)
                w = max(0, w - cw)
            elif c.Dock == DockStyle.Fill:
                c._set_bounds(x, y, w, h, True)

    def BringToFront(self) -> None:
        self._move_in_parent("BringToFront", 0)

    def SendToBack(self) -> None:
        self._move_in_parent("SendToBack", None)

    def _move_in_parent(self, name, index):
        self._call(name)
        if self._parent is not None:
            items = self._parent.Controls._items
            items.remove(self)
            items.insert(len(items) if index is None else index, self)
            self._parent._perform_layout()

    def SuspendLayout(self) -> None:
        self._call("SuspendLayout")
        self._suspended += 1

    def ResumeLayout(self, performLayout: bool = True) -> None:
        perform_layout = performLayout
        self._call("ResumeLayout", perform_layout)
        if not isinstance(perform_layout, bool):
            raise TypeError("ResumeLayout takes a bool")
        self._suspended = max(0, self._suspended - 1)
        if not self._suspended and perform_layout and self._layout_pending:
            self._perform_layout()

    def PerformLayout(self) -> None:
        self._call("PerformLayout")
        self._perform_layout()

    # -- handles and disposal --

    def _create_handle(self):
        if self._handle or self._disposed:
            return
        self._handle = True
        for c in self._controls._items:
            c._create_handle()
        self._on_handle_created()

    def _on_handle_created(self):
        """Called once the handle exists, and again when the form holding the control is shown."""

    def _dispose(self):
        if self._disposed:
            return
        for c in self._controls._items:
            c._dispose()
        self._disposed, self._handle = True, False
        self.Disposed.sim_fire(self, EventArgs())

    def Dispose(self) -> None:
        self._call("Dispose")
        self._dispose()


class _AsyncResult:
    _net_name = "System.IAsyncResult"
    IsCompleted: bool

    def __init__(self, message, plat):
        self._m, self._plat = message, plat

    @property
    def IsCompleted(self):
        return self._m.done.is_set()

    def sim_wait(self, timeout=None):
        if not self._m.done.wait(self._plat.timeout if timeout is None else timeout):
            raise TimeoutError("BeginInvoke work did not run")
        return self._m.result


class Panel(Control):
    _default_size = (200, 100)
    BorderStyle = Prop(BorderStyle.None_, BorderStyle, on_set=_layout)

    def _border(self):
        return {BorderStyle.None_: (0, 0), BorderStyle.FixedSingle: (2, 2)}.get(self.BorderStyle, (4, 4))


class FlatButtonAppearance(Recorded):
    """Button.FlatAppearance; its members are used (logged, checked) on the button as
    "FlatAppearance.<name>"."""

    BorderSize = Prop(1, int)
    BorderColor = Prop(Color.Black, Color)
    MouseOverBackColor = Prop(drawing.CONTROL, Color)

    def __init__(self, owner):
        self._plat, self._owner, self.sim_name = owner._plat, owner, owner.sim_name + ".FlatAppearance"

    def _use(self, op, name, value=None):
        self._owner._use(op, "FlatAppearance." + name, value)


class Button(Control):
    _default_size = (75, 23)
    FlatStyle = Prop(FlatStyle.Standard, FlatStyle)
    FlatAppearance: FlatButtonAppearance
    FlatAppearance = property(lambda self: self._flat)

    def __init__(self):
        super().__init__()
        self._flat = FlatButtonAppearance(self)

    def PerformClick(self) -> None:
        self._call("PerformClick")
        self.Click.sim_fire(self, EventArgs())

    def sim_click(self):
        """A user click, raised on the button's thread; handler exceptions reach the caller."""
        return self.sim_on_ui(lambda: self.Click.sim_fire(self, EventArgs()))


def _text_changed(ctl, old, new):
    if (old or "") != (new or ""):
        ctl.TextChanged.sim_fire(ctl, EventArgs())


class TextBox(Control):
    """A text box. A single-line box with AutoSize (the default) keeps the height its font gives
    it: a Height written (or a docked height) is logged but not taken."""

    _default_size = (100, 20)
    Text = Prop("", str, nullable=True, none_is="", on_set=_text_changed)
    BorderStyle = Prop(BorderStyle.Fixed3D, BorderStyle)
    ReadOnly = Prop(False, bool)
    Multiline = Prop(False, bool)
    AutoSize = Prop(True, bool)
    BackColor = Prop(Color.White, Color)

    def _set_bounds(self, left, top, width, height, from_layout=False):
        if self.AutoSize and not self.Multiline:
            height = self._default_size[1]
        super()._set_bounds(left, top, width, height, from_layout)

    def sim_set_text(self, text):
        """The user edits the box to hold `text` (not logged as a write by code under test)."""
        self.sim_on_ui(lambda: TextBox.Text.put(self, text))

    def sim_press(self, key, char=None):
        """The user presses `key` (a Keys member), typing `char` when given: PreviewKeyDown,
        KeyDown, then KeyPress; an unhandled printable character is appended to the text.
        Returns (preview_args, keypress_args or None). Handler exceptions reach the caller."""

        def run():
            preview, down, press = PreviewKeyDownEventArgs(key), KeyEventArgs(key), None
            self.PreviewKeyDown.sim_fire(self, preview)
            self.KeyDown.sim_fire(self, down)
            if char is not None and not down.SuppressKeyPress:
                press = KeyPressEventArgs(char)
                self.KeyPress.sim_fire(self, press)
                if not press.Handled and char >= " ":
                    TextBox.Text.put(self, (self.Text or "") + char)
            return preview, press

        return self.sim_on_ui(run)


class ToolTip(Recorded):
    def __init__(self, *container):
        super().__init__(*container)
        self._tips = {}

    def SetToolTip(self, control: Control, caption: str) -> None:
        self._call("SetToolTip", control, caption)
        if not isinstance(control, Control) or not (caption is None or isinstance(caption, str)):
            raise TypeError("No method matches given arguments for SetToolTip")
        self._tips[control] = caption

    def GetToolTip(self, control: Control) -> str:
        return self._tips.get(control) or ""


class Form(Control):
    """A top-level window. Its outer Size includes a 16 x 39 pixel frame (ClientSize is the
    rest). Show / Application.Run create the handles, raise Load, then (through the loop)
    Shown; Close raises FormClosing (cancellable) and FormClosed, then disposes the form."""

    _default_size = (300, 300)
    _shown = False
    WindowState = Prop(FormWindowState.Normal, FormWindowState)
    FormBorderStyle = Prop(FormBorderStyle.Sizable, FormBorderStyle)

    _events = dict(Load=EventArgs, Shown=EventArgs, FormClosing=FormClosingEventArgs,
                   FormClosed=FormClosedEventArgs)

    # SystemInformation.MaxWindowTrackSize of a 1920 x 1080 desktop: a larger Size is cut to it.
    MAX_SIZE = (1932, 1092)

    def _set_bounds(self, left, top, width, height, from_layout=False):
        super()._set_bounds(left, top, min(width, self.MAX_SIZE[0]), min(height, self.MAX_SIZE[1]), from_layout)

    def __init__(self):
        super().__init__()
        with self._plat._lock:
            self._plat.forms.append(self)

    def _border(self):
        return (16, 39)

    def _show(self):
        if self._handle:
            return
        self._create_handle()
        self.Load.sim_fire(self, EventArgs())
        self._ui.post(lambda: self.Shown.sim_fire(self, EventArgs()))
        self._shown = True
        stack = list(self._controls)
        while stack:
            c = stack.pop()
            stack.extend(c.Controls)
            c._on_handle_created()

    def Show(self) -> None:
        self._call("Show")
        self._show()

    def Close(self) -> None:
        self._call("Close")
        self._close()

    def _close(self):
        if self._disposed:
            return
        if self._handle:
            e = FormClosingEventArgs()
            self.FormClosing.sim_fire(self, e)
            if e.Cancel:
                return
            self.FormClosed.sim_fire(self, FormClosedEventArgs())
        self._dispose()
        self._ui.wake()

    def sim_close(self, timeout=None):
        """Close the window as a user would, from any thread; waits until it is disposed."""
        if self._disposed:
            return
        if self._ui.is_current() or not self._ui.loops:
            return self._close()
        self._ui.post(self._close)
        self._plat.wait_until(lambda: self._disposed, timeout, "the form to close")


class Clipboard:
    """The system clipboard (static); its text is Platform.clipboard."""

    @staticmethod
    def SetText(text: str) -> None:
        plat = static_call(Clipboard, "SetText", text)
        plat.require_sta("Clipboard.SetText")  # OLE: STA only
        if text is None or text == "":
            raise ArgumentNullException("Value cannot be null. (Parameter 'text')")
        if not isinstance(text, str):
            raise TypeError("No method matches given arguments for SetText")
        plat.clipboard = text

    @staticmethod
    def GetText() -> str:
        return current().clipboard or ""

    @staticmethod
    def ContainsText() -> bool:
        return bool(current().clipboard)

    @staticmethod
    def Clear() -> None:
        static_call(Clipboard, "Clear").clipboard = None


def _check_filter(dialog, old, new):
    if new and len(new.split("|")) % 2:
        dialog._p_Filter = old
        raise ArgumentException("Filter string you provided is not valid.")


class SaveFileDialog(Recorded):
    """A modal Save-As dialog. ShowDialog returns the next answer scripted with
    Platform.answer_save_dialog (a test that forgets to script one gets a recorded fault and
    DialogResult.Cancel)."""

    InitialDirectory = Prop("", str, nullable=True, none_is="")
    FileName = Prop("", str, nullable=True, none_is="")
    Filter = Prop("", str, nullable=True, none_is="", on_set=_check_filter)
    RestoreDirectory = Prop(False, bool)
    Title = Prop("", str, nullable=True, none_is="")
    DefaultExt = Prop("", str, nullable=True, none_is="")
    OverwritePrompt = Prop(True, bool)

    def ShowDialog(self, owner: NetType("System.Windows.Forms.IWin32Window") = None) -> DialogResult:
        self._call("ShowDialog", owner)
        plat = self._plat
        plat.require_sta("SaveFileDialog.ShowDialog")  # a common dialog is OLE: STA only
        if plat.in_webview2_event():
            # "Threading model for WebView2 apps", Reentrancy: modal UI inside a WebView2 event
            # handler is re-entrancy WebView2 does not support (the handler stays on the stack);
            # take the event's deferral and show the dialog after the handler has returned.
            plat.faults.append("SaveFileDialog.ShowDialog inside a WebView2 event handler (re-entrancy)")
        if owner is not None:
            if not isinstance(owner, Control):
                raise TypeError("No method matches given arguments for ShowDialog")
            if owner.InvokeRequired:
                plat.faults.append("SaveFileDialog shown off the owner's UI thread")
                raise InvalidOperationException("Cross-thread operation not valid.")
        settings = {name: getattr(self, name)
                    for name in ("InitialDirectory", "FileName", "Filter", "RestoreDirectory")}
        with plat._lock:
            plat.dialogs.append((self, owner, settings))
            answer = plat.save_dialog_answers.popleft() if plat.save_dialog_answers else None
        if answer is None:
            plat.faults.append("SaveFileDialog.ShowDialog without a scripted answer")
            return DialogResult.Cancel
        result, file_name = answer
        if file_name is not None:
            SaveFileDialog.FileName.put(self, file_name)
        return result

    def Dispose(self) -> None:
        self._call("Dispose")


class Timer(Recorded):
    """System.Windows.Forms.Timer: raises Tick every Interval milliseconds (default 100; less than 1
    throws) on the thread that started it, through that thread's message loop, one tick pending at
    a time ("Timer Class" (System.Windows.Forms): the tick is a WM_TIMER message, which Windows
    coalesces)."""

    _events = dict(Tick=EventArgs)
    Enabled = Prop(False, bool)

    def _interval_set(self, old, new):
        if new < 1:
            raise ArgumentException("Interval '%d' is not a valid value for Interval." % new)

    Interval = Prop(100, int, on_set=_interval_set)

    def Start(self) -> None:
        self._call("Start")
        Timer.Enabled.put(self, True)
        q = self._plat.ui()
        threading.Thread(target=self._beat, args=(q,), name="sim-timer", daemon=True).start()

    def Stop(self) -> None:
        self._call("Stop")
        Timer.Enabled.put(self, False)

    def Dispose(self) -> None:
        self._call("Dispose")
        Timer.Enabled.put(self, False)

    def _beat(self, q):
        pending = None
        while self.__dict__.get("_p_Enabled"):
            time.sleep(self.__dict__.get("_p_Interval", 100) / 1000.0)
            if self.__dict__.get("_p_Enabled") and (pending is None or pending.done.is_set()):
                pending = q.post(lambda: self.__dict__.get("_p_Enabled") and self.Tick.sim_fire(self, EventArgs()))


class Application:
    """Static members of System.Windows.Forms.Application."""

    @staticmethod
    def EnableVisualStyles() -> None:
        static_call(Application, "EnableVisualStyles")

    @staticmethod
    def SetCompatibleTextRenderingDefault(defaultValue: bool) -> None:
        value = defaultValue
        plat = static_call(Application, "SetCompatibleTextRenderingDefault", value)
        if not isinstance(value, bool):
            raise TypeError("No method matches given arguments for SetCompatibleTextRenderingDefault")
        if plat.controls_created:
            raise InvalidOperationException(
                "SetCompatibleTextRenderingDefault must be called before the first IWin32Window "
                "object is created in the application.")

    @staticmethod
    def Run(mainForm: "Form" = None) -> None:
        form = mainForm
        """Shows `form` and runs the message loop on the calling thread until it is closed
        (or, without a form, until Application.Exit)."""
        plat = static_call(Application, "Run", form)
        form = unwrap(form)
        q = plat.ui()
        if q.loops:
            raise InvalidOperationException(
                "Starting a second message loop on a single thread is not a valid operation.")
        if form is not None:
            if not isinstance(form, Form):
                raise TypeError("No method matches given arguments for Run")
            if form._ui is not q:
                plat.fault("Application.Run(form) called on a thread that did not create the form")
            form._show()
        q.exit_requested = False
        q.run(lambda: q.exit_requested or (form is not None and form._disposed))

    @staticmethod
    def Exit() -> None:
        plat = static_call(Application, "Exit")
        for f in list(plat.forms):
            if not f._disposed and f._ui.is_current():
                f._close()
        q = plat.ui()
        q.exit_requested = True
        q.wake()

    @staticmethod
    def DoEvents() -> None:
        current().pump()
