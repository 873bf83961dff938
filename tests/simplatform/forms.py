"""System.Windows.Forms: controls that record every property write, dock layout, handles,
Invoke/BeginInvoke, the message loop (Application.Run), clipboard and the Save-As dialog."""

from .core import (
    ArgumentException,
    ArgumentNullException,
    Delegate,
    EventDecl,
    InvalidOperationException,
    ObjectDisposedException,
    Prop,
    Recorded,
    current,
)
from .drawing import Color, Font, Size
from .enums import (
    AnchorStyles,
    BorderStyle,
    DialogResult,
    DockStyle,
    FlatStyle,
    FontStyle,
    GraphicsUnit,
    Keys,
)


class Padding:
    __slots__ = ("Left", "Top", "Right", "Bottom")

    def __init__(self, *args):
        if len(args) == 1:
            args = args * 4
        if len(args) != 4 or not all(isinstance(v, int) and not isinstance(v, bool) for v in args):
            raise TypeError("No constructor matches given arguments for Padding")
        self.Left, self.Top, self.Right, self.Bottom = args

    @property
    def All(self):
        same = self.Left == self.Top == self.Right == self.Bottom
        return self.Left if same else -1

    def __eq__(self, other):
        return isinstance(other, Padding) and self._t() == other._t()

    def __hash__(self):
        return hash(self._t())

    def _t(self):
        return (self.Left, self.Top, self.Right, self.Bottom)

    def __repr__(self):
        return "{Left=%d,Top=%d,Right=%d,Bottom=%d}" % self._t()


# ---- event arguments -------------------------------------------------------------------------


class EventArgs(Recorded):
    _log_new = False


class KeyPressEventArgs(EventArgs):
    Handled = Prop(False, bool)

    def __init__(self, key_char):
        if not (isinstance(key_char, str) and len(key_char) == 1):
            raise TypeError("KeyChar is one character")
        super().__init__(key_char)
        object.__setattr__(self, "_key_char", key_char)

    @property
    def KeyChar(self):
        return self._key_char


class PreviewKeyDownEventArgs(EventArgs):
    IsInputKey = Prop(False, bool)

    def __init__(self, key_data):
        super().__init__(key_data)
        object.__setattr__(self, "_key_data", Keys(key_data))

    @property
    def KeyData(self):
        return self._key_data

    @property
    def KeyCode(self):
        return Keys(self._key_data & 0xFFFF)


class KeyEventArgs(PreviewKeyDownEventArgs):
    Handled = Prop(False, bool)
    SuppressKeyPress = Prop(False, bool)


class FormClosingEventArgs(EventArgs):
    Cancel = Prop(False, bool)


# ---- controls ------------------------------------------------------------------------------------


def _bound(index):
    def get(self):
        self._before_read(("Left", "Top", "Width", "Height")[index])
        return self._bounds[index]

    def set_(self, value):
        name = ("Left", "Top", "Width", "Height")[index]
        self._before_write(name)
        self._plat.op(self, "set", name, value)
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError("%s: cannot convert %s to Int32" % (name, type(value).__name__))
        b = list(self._bounds)
        b[index] = value
        self._set_bounds(*b)

    return property(get, set_)


def _relayout_parent(ctl, old, new):
    if ctl._parent is not None:
        ctl._parent._perform_layout()


class ControlCollection:
    def __init__(self, owner):
        self._owner = owner
        self._items = []

    def Add(self, control):
        owner = self._owner
        owner._before_write("Controls.Add")
        owner._plat.op(owner, "call", "Controls.Add", (control,))
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

    @property
    def Count(self):
        return len(self._items)


class Control(Recorded):
    """A WinForms control. Bounds change through Left/Top/Width/Height/Size and through docking
    in the parent (done in reverse order of Controls, as WinForms does); a size change lays out
    the children and then raises Resize. Anchors are stored but not applied."""

    _default_size = (0, 0)

    Text = Prop("", str, nullable=True)
    Dock = Prop(DockStyle.None_, DockStyle, on_set=_relayout_parent)
    Anchor = Prop(AnchorStyles.Top | AnchorStyles.Left, AnchorStyles)
    Padding = Prop(typ=Padding, factory=lambda: Padding(0), on_set=lambda c, o, n: c._perform_layout())
    BackColor = Prop(Color.Control, Color)
    Font = Prop(typ=Font, factory=lambda: Font.sim_default())
    Enabled = Prop(True, bool)
    Name = Prop("", str)
    Left = _bound(0)
    Top = _bound(1)
    Width = _bound(2)
    Height = _bound(3)

    Click = EventDecl()
    Resize = EventDecl()
    SizeChanged = EventDecl()
    KeyDown = EventDecl()
    KeyPress = EventDecl()
    PreviewKeyDown = EventDecl()
    TextChanged = EventDecl()
    Disposed = EventDecl()

    def __init__(self):
        plat = current()
        with plat._lock:
            plat.controls_created += 1
        super().__init__()
        d = self.__dict__
        d["_ui"] = plat.ui()
        d["_bounds"] = (0, 0) + tuple(self._default_size)
        d["_parent"] = None
        d["_controls"] = ControlCollection(self)
        d["_suspended"] = 0
        d["_layout_pending"] = False
        d["_handle"] = False
        d["_disposed"] = False
        d["_visible"] = False

    # -- threading rules --

    def _handle_owner(self):
        c = self
        while c is not None:
            if c._handle:
                return c
            c = c._parent
        return None

    def _before_write(self, name):
        # Touching a live control from another thread is the classic cross-thread fault.
        if self._handle and not self._ui.is_current():
            msg = "Cross-thread operation not valid: %r.%s accessed from a thread other than " \
                  "the thread it was created on." % (self, name)
            self._plat.faults.append(msg)
            raise InvalidOperationException(msg)

    @property
    def InvokeRequired(self):
        owner = self._handle_owner()
        return owner is not None and not owner._ui.is_current()

    def _marshal_target(self, delegate):
        if not isinstance(delegate, Delegate):
            raise TypeError("No method matches given arguments for Invoke: a delegate is needed")
        if self._disposed:
            raise ObjectDisposedException("Cannot access a disposed object.")
        if self._handle_owner() is None:
            raise InvalidOperationException(
                "Invoke or BeginInvoke cannot be called on a control until the window handle "
                "has been created.")

    def Invoke(self, delegate, *args):
        self._plat.op(self, "call", "Invoke", (delegate,) + args)
        self._marshal_target(delegate)
        if not self.InvokeRequired:
            return delegate(*args)
        return self._ui.call(lambda: delegate(*args))

    def BeginInvoke(self, delegate, *args):
        self._plat.op(self, "call", "BeginInvoke", (delegate,) + args)
        self._marshal_target(delegate)
        return _AsyncResult(self._ui.post(lambda: delegate(*args)), self._plat)

    def EndInvoke(self, result):
        return result.sim_wait()

    # -- properties --

    @property
    def Controls(self):
        return self._controls

    @property
    def Parent(self):
        return self._parent

    @property
    def IsDisposed(self):
        return self._disposed

    @property
    def IsHandleCreated(self):
        return self._handle

    @property
    def Visible(self):
        return self._visible

    def _border(self):
        return (0, 0)

    @property
    def Size(self):
        return Size(self._bounds[2], self._bounds[3])

    @Size.setter
    def Size(self, value):
        self._before_write("Size")
        self._plat.op(self, "set", "Size", value)
        if not isinstance(value, Size):
            raise TypeError("Size: cannot convert %s to Size" % type(value).__name__)
        self._set_bounds(self._bounds[0], self._bounds[1], value.Width, value.Height)

    @property
    def ClientSize(self):
        bw, bh = self._border()
        return Size(max(0, self._bounds[2] - bw), max(0, self._bounds[3] - bh))

    @ClientSize.setter
    def ClientSize(self, value):
        self._before_write("ClientSize")
        self._plat.op(self, "set", "ClientSize", value)
        if not isinstance(value, Size):
            raise TypeError("ClientSize: cannot convert %s to Size" % type(value).__name__)
        bw, bh = self._border()
        self._set_bounds(self._bounds[0], self._bounds[1], value.Width + bw, value.Height + bh)

    # -- layout --

    def _set_bounds(self, left, top, width, height, from_layout=False):
        old = self._bounds
        self.__dict__["_bounds"] = (left, top, max(0, width), max(0, height))
        if old[2:] != self._bounds[2:]:
            self._perform_layout()
            self.Resize.sim_fire(self, EventArgs())
            self.SizeChanged.sim_fire(self, EventArgs())
            if not from_layout and self._parent is not None and self.Dock != DockStyle.None_:
                self._parent._perform_layout()

    def _perform_layout(self):
        if self._suspended:
            self.__dict__["_layout_pending"] = True
            return
        self.__dict__["_layout_pending"] = False
        cw, ch = self.ClientSize.Width, self.ClientSize.Height
        p = self.Padding
        x, y = p.Left, p.Top
        w, h = max(0, cw - p.Left - p.Right), max(0, ch - p.Top - p.Bottom)
        for c in reversed(self._controls._items):
            d = c.Dock
            cwid, chei = c._bounds[2], c._bounds[3]
            if d == DockStyle.Top:
                c._set_bounds(x, y, w, chei, True)
                y, h = y + chei, max(0, h - chei)
            elif d == DockStyle.Bottom:
                c._set_bounds(x, y + h - chei, w, chei, True)
                h = max(0, h - chei)
            elif d == DockStyle.Left:
                c._set_bounds(x, y, cwid, h, True)
                x, w = x + cwid, max(0, w - cwid)
            elif d == DockStyle.Right:
                c._set_bounds(x + w - cwid, y, cwid, h, True)
                w = max(0, w - cwid)
            elif d == DockStyle.Fill:
                c._set_bounds(x, y, w, h, True)

    def SuspendLayout(self):
        self._call("SuspendLayout")
        self.__dict__["_suspended"] += 1

    def ResumeLayout(self, perform_layout=True):
        self._call("ResumeLayout", perform_layout)
        if not isinstance(perform_layout, bool):
            raise TypeError("ResumeLayout takes a bool")
        if self._suspended:
            self.__dict__["_suspended"] -= 1
        if not self._suspended and perform_layout and self._layout_pending:
            self._perform_layout()

    def PerformLayout(self):
        self._call("PerformLayout")
        self._perform_layout()

    # -- handles and disposal --

    def _create_handle(self):
        if self._handle or self._disposed:
            return
        self.__dict__["_handle"] = True
        self.__dict__["_visible"] = True
        for c in self._controls._items:
            c._create_handle()
        self._on_handle_created()

    def _on_handle_created(self):
        pass

    def _dispose(self):
        if self._disposed:
            return
        for c in self._controls._items:
            c._dispose()
        self.__dict__["_disposed"] = True
        self.__dict__["_handle"] = False
        self.__dict__["_visible"] = False
        self.Disposed.sim_fire(self, EventArgs())

    def Dispose(self):
        self._call("Dispose")
        self._dispose()

    def sim_on_ui(self, fn):
        """Run fn on this control's thread (now, or through its message loop) and return."""
        return self._ui.call(fn)


class _AsyncResult:
    def __init__(self, message, plat):
        self._m = message
        self._plat = plat

    @property
    def IsCompleted(self):
        return self._m.done.is_set()

    def sim_wait(self, timeout=None):
        if not self._m.done.wait(self._plat.timeout if timeout is None else timeout):
            raise TimeoutError("BeginInvoke work did not run")
        return self._m.result


class Panel(Control):
    _default_size = (200, 100)
    BorderStyle = Prop(BorderStyle.None_, BorderStyle, on_set=lambda c, o, n: c._perform_layout())

    def _border(self):
        return {BorderStyle.None_: (0, 0), BorderStyle.FixedSingle: (2, 2)}.get(self.BorderStyle, (4, 4))


class FlatButtonAppearance(Recorded):
    """Button.FlatAppearance; its writes are logged on the button as "FlatAppearance.<name>"."""

    BorderSize = Prop(1, int)
    BorderColor = Prop(Color.Black, Color)
    MouseOverBackColor = Prop(Color.Control, Color)

    def __init__(self, owner):
        object.__setattr__(self, "_plat", current())
        object.__setattr__(self, "_owner", owner)
        object.__setattr__(self, "sim_name", "%s.FlatAppearance" % owner.sim_name)

    def _before_write(self, name):
        self._owner._before_write("FlatAppearance." + name)

    def _record(self, name, value):
        self._plat.op(self._owner, "set", "FlatAppearance." + name, value)


class Button(Control):
    _default_size = (75, 23)
    FlatStyle = Prop(FlatStyle.Standard, FlatStyle)

    def __init__(self):
        super().__init__()
        self.__dict__["_flat"] = FlatButtonAppearance(self)

    @property
    def FlatAppearance(self):
        return self._flat

    def PerformClick(self):
        self._call("PerformClick")
        self.Click.sim_fire(self, EventArgs())

    def sim_click(self):
        """A user click, raised on the button's thread; handler exceptions reach the caller."""
        return self.sim_on_ui(lambda: self.Click.sim_fire(self, EventArgs()))


def _text_changed(ctl, old, new):
    if (old or "") != (new or ""):
        ctl.TextChanged.sim_fire(ctl, EventArgs())


class TextBox(Control):
    _default_size = (100, 23)
    Text = Prop("", str, nullable=True, on_set=_text_changed)
    BorderStyle = Prop(BorderStyle.Fixed3D, BorderStyle)
    ReadOnly = Prop(False, bool)
    Multiline = Prop(False, bool)
    BackColor = Prop(Color.White, Color)

    def sim_set_text(self, text):
        """The user edits the box to hold `text` (not logged as a write by code under test)."""

        def run():
            old = self.Text
            self.__dict__["_p_Text"] = text
            _text_changed(self, old, text)

        self.sim_on_ui(run)

    def sim_press(self, key, char=None):
        """The user presses `key` (a Keys member), typing `char` when given: PreviewKeyDown,
        KeyDown, then KeyPress; an unhandled printable character is appended to the text.
        Returns (preview_args, keypress_args or None). Handler exceptions reach the caller."""

        def run():
            pv = PreviewKeyDownEventArgs(key)
            self.PreviewKeyDown.sim_fire(self, pv)
            kd = KeyEventArgs(key)
            self.KeyDown.sim_fire(self, kd)
            kp = None
            if char is not None and not kd.SuppressKeyPress:
                kp = KeyPressEventArgs(char)
                self.KeyPress.sim_fire(self, kp)
                if not kp.Handled and char >= " ":
                    old = self.Text or ""
                    self.__dict__["_p_Text"] = old + char
                    _text_changed(self, old, old + char)
            return pv, kp

        return self.sim_on_ui(run)


class ToolTip(Recorded):
    def __init__(self, *container):
        super().__init__(*container)
        object.__setattr__(self, "_tips", {})

    def SetToolTip(self, control, caption):
        self._call("SetToolTip", control, caption)
        if not isinstance(control, Control) or not (caption is None or isinstance(caption, str)):
            raise TypeError("No method matches given arguments for SetToolTip")
        self._tips[control] = caption

    def GetToolTip(self, control):
        return self._tips.get(control) or ""


class Form(Control):
    """A top-level window. Its outer Size includes a 16 x 39 pixel frame (ClientSize is the
    rest). Show / Application.Run create the handles, raise Load, then (through the loop)
    Shown; Close raises FormClosing (cancellable) and FormClosed, then disposes the form."""

    _default_size = (300, 300)
    FRAME = (16, 39)

    Load = EventDecl()
    Shown = EventDecl()
    FormClosing = EventDecl()
    FormClosed = EventDecl()

    def __init__(self):
        super().__init__()
        with self._plat._lock:
            self._plat.forms.append(self)

    def _border(self):
        return self.FRAME

    def _show(self):
        if self._handle:
            return
        self._create_handle()
        self.Load.sim_fire(self, EventArgs())
        self._ui.post(lambda: self.Shown.sim_fire(self, EventArgs()))
        from .webview2 import _form_shown

        _form_shown(self)

    def Show(self):
        self._call("Show")
        self._show()

    def Close(self):
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
            self.FormClosed.sim_fire(self, EventArgs())
        self._dispose()
        self._ui.wake()

    def sim_close(self, timeout=None):
        """Close the window as a user would, from any thread; waits until it is disposed."""
        if self._disposed:
            return
        if self._ui.is_current() or not self._ui.loops:
            self._close()
            return
        self._ui.post(self._close)
        self._plat.wait_until(lambda: self._disposed, timeout, "the form to close")


class Clipboard:
    """The system clipboard (static); its text is Platform.clipboard."""

    @staticmethod
    def SetText(text):
        plat = current()
        plat.op(Clipboard, "call", "SetText", (text,))
        if text is None or text == "":
            raise ArgumentNullException("Value cannot be null. (Parameter 'text')")
        if not isinstance(text, str):
            raise TypeError("No method matches given arguments for SetText")
        plat.clipboard = text

    @staticmethod
    def GetText():
        return current().clipboard or ""

    @staticmethod
    def ContainsText():
        return bool(current().clipboard)

    @staticmethod
    def Clear():
        plat = current()
        plat.op(Clipboard, "call", "Clear", ())
        plat.clipboard = None


def _check_filter(dialog, old, new):
    if new and len(new.split("|")) % 2:
        dialog.__dict__["_p_Filter"] = old
        raise ArgumentException("Filter string you provided is not valid.")


class SaveFileDialog(Recorded):
    """A modal Save-As dialog. ShowDialog returns the next answer scripted with
    Platform.answer_save_dialog (a test that forgets to script one gets a recorded fault and
    DialogResult.Cancel)."""

    InitialDirectory = Prop("", str, nullable=True)
    FileName = Prop("", str, nullable=True)
    Filter = Prop("", str, nullable=True, on_set=_check_filter)
    RestoreDirectory = Prop(False, bool)
    Title = Prop("", str, nullable=True)
    DefaultExt = Prop("", str, nullable=True)
    OverwritePrompt = Prop(True, bool)

    def ShowDialog(self, owner=None):
        self._call("ShowDialog", owner)
        plat = self._plat
        if owner is not None:
            if not isinstance(owner, Control):
                raise TypeError("No method matches given arguments for ShowDialog")
            if owner.InvokeRequired:
                plat.faults.append("SaveFileDialog shown off the owner's UI thread")
                raise InvalidOperationException("Cross-thread operation not valid.")
        settings = {
            "InitialDirectory": self.InitialDirectory,
            "FileName": self.FileName,
            "Filter": self.Filter,
            "RestoreDirectory": self.RestoreDirectory,
        }
        with plat._lock:
            plat.dialogs.append((self, owner, settings))
            answer = plat.save_dialog_answers.popleft() if plat.save_dialog_answers else None
        if answer is None:
            plat.faults.append("SaveFileDialog.ShowDialog without a scripted answer")
            return DialogResult.Cancel
        result, file_name = answer
        if file_name is not None:
            self.__dict__["_p_FileName"] = file_name
        return result

    def Dispose(self):
        self._call("Dispose")


class Application:
    """Static members of System.Windows.Forms.Application."""

    @staticmethod
    def EnableVisualStyles():
        current().op(Application, "call", "EnableVisualStyles", ())

    @staticmethod
    def SetCompatibleTextRenderingDefault(value):
        plat = current()
        plat.op(Application, "call", "SetCompatibleTextRenderingDefault", (value,))
        if not isinstance(value, bool):
            raise TypeError("No method matches given arguments for SetCompatibleTextRenderingDefault")
        if plat.controls_created:
            raise InvalidOperationException(
                "SetCompatibleTextRenderingDefault must be called before the first IWin32Window "
                "object is created in the application.")

    @staticmethod
    def Run(form=None):
        """Shows `form` and runs the message loop on the calling thread until it is closed
        (or, without a form, until Application.Exit)."""
        plat = current()
        plat.op(Application, "call", "Run", (form,))
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

        def done():
            return q.exit_requested or (form is not None and form._disposed)

        q.run(done)

    @staticmethod
    def Exit():
        plat = current()
        plat.op(Application, "call", "Exit", ())
        for f in list(plat.forms):
            if not f._disposed and f._ui.is_current():
                f._close()
        q = plat.ui()
        q.exit_requested = True
        q.wake()

    @staticmethod
    def DoEvents():
        current().pump()


__all__ = [
    "AnchorStyles", "Application", "BorderStyle", "Button", "Clipboard", "Control", "DialogResult",
    "DockStyle", "EventArgs", "FlatStyle", "Form", "FormClosingEventArgs", "Keys",
    "KeyEventArgs", "KeyPressEventArgs", "Padding", "Panel", "PreviewKeyDownEventArgs",
    "SaveFileDialog", "TextBox", "ToolTip", "FontStyle", "GraphicsUnit",
]
