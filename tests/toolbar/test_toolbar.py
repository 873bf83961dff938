import pytest

from panekit import trailbar
from simplatform import (
    AnchorStyles,
    BorderStyle,
    Color,
    DockStyle,
    FlatStyle,
    Font,
    FontStyle,
    GraphicsUnit,
    InvalidOperationException,
    Keys,
    Padding,
)

class Bar:
    """One toolbar built on a fresh form, with the callbacks it was given recording calls."""

    def __init__(self, winsim, start_url="https://start.example/", holder=None, form=None):
        self.calls = []
        self.form = form or winsim.WinForms.Form()
        self.holder = {} if holder is None else holder
        self.top, self.addr = trailbar.attach_edge_chrome_toolbar(
            winsim.WinForms, winsim.Drawing, self.form, self.holder,
            on_navigate=lambda u: self.calls.append(("navigate", u)),
            on_back=lambda: self.calls.append("back"),
            on_forward=lambda: self.calls.append("forward"),
            on_reload=lambda: self.calls.append("reload"),
            start_url=start_url)
        self.back, self.fwd, self.reload, _, self.copy = list(self.top.Controls)


def test_construction_order_values_and_result(winsim):
    form = winsim.WinForms.Form()
    winsim.log.clear()
    bar = Bar(winsim, form=form)
    log = list(winsim.log)
    mdl = Font("Segoe MDL2 Assets", 11.0, FontStyle.Regular, GraphicsUnit.Point)
    grey = Color.FromArgb(243, 243, 243)

    def button(b, glyph, left, tip, tooltip):
        pos = [("set", "Left", left)] if left is not None else []
        return [(b, "new", "Button", ()), (b, "set", "Text", glyph), (b, "set", "Font", mdl),
                (b, "set", "Width", 36), (b, "set", "Height", 30)] + [(b,) + p for p in pos] + [
            (b, "set", "Top", 8), (b, "set", "FlatStyle", FlatStyle.Flat),
            (b, "set", "FlatAppearance.BorderSize", 0), (b, "set", "BackColor", grey),
            (tooltip, "new", "ToolTip", ()), (tooltip, "call", "SetToolTip", (b, tip))]

    tips = [o for o, op, *_ in log if op == "new" and type(o).__name__ == "ToolTip"]
    fonts = [o for o, op, *_ in log if op == "new" and type(o).__name__ == "Font"]
    top, addr, copy = bar.top, bar.addr, bar.copy
    layout = [h for h in bar.form.Resize.sim_handlers]
    expected = (
        [(top, "new", "Panel", ()), (top, "set", "Height", 52), (top, "set", "Dock", DockStyle.Top),
         (top, "set", "Padding", Padding(12, 8, 12, 8)), (top, "set", "BackColor", grey),
         (fonts[0], "new", "Font", ("Segoe MDL2 Assets", 11.0, FontStyle.Regular, GraphicsUnit.Point))]
        + button(bar.back, "\ue72b", 12, "后退", tips[0])
        + button(bar.fwd, "\ue72a", 50, "前进", tips[1])
        + button(bar.reload, "\ue149", 88, "刷新", tips[2])
        + [(addr, "new", "TextBox", ()), (addr, "set", "Left", 134), (addr, "set", "Top", 9),
           (addr, "set", "Height", 28),
           (fonts[1], "new", "Font", ("Segoe UI", 9.0, FontStyle.Regular, GraphicsUnit.Point)),
           (addr, "set", "Font", Font("Segoe UI", 9.0, FontStyle.Regular, GraphicsUnit.Point)),
           (addr, "set", "BorderStyle", BorderStyle.FixedSingle),
           (addr, "set", "Text", "https://start.example/"),
           (addr, "set", "Anchor", AnchorStyles.Left | AnchorStyles.Top | AnchorStyles.Right)]
        + button(copy, "\ue16c", None, "复制当前链接", tips[3])
        + [(copy, "set", "Anchor", AnchorStyles.Top | AnchorStyles.Right),
           (bar.form, "+=", "Resize", layout[0]), (top, "+=", "Resize", layout[0])]
        + [(b, "+=", "Click", b.Click.sim_handlers[0]) for b in (bar.back, bar.fwd, bar.reload)]
        + [(addr, "+=", "KeyPress", addr.KeyPress.sim_handlers[0]),
           (addr, "+=", "PreviewKeyDown", addr.PreviewKeyDown.sim_handlers[0]),
           (copy, "+=", "Click", copy.Click.sim_handlers[0])]
        + [(top, "call", "Controls.Add", (c,)) for c in (bar.back, bar.fwd, bar.reload, addr, copy)]
        # first layout, on the panel's default client width of 200
        + [(addr, "set", "Width", 160), (copy, "set", "Left", 152)]
    )
    assert log == expected
    assert bar.holder["addr"] is addr
    assert bar.form.Controls.Count == 0  # the caller adds the panel
    # one icon font object shared by every button
    assert all(b.Font == fonts[0] for b in (bar.back, bar.fwd, bar.reload, copy))  # one font object (pythonnet wraps it anew per read)


@pytest.mark.parametrize("width, box, copy_left", [
    (800, 610, 752), (350, 160, 302), (349, 160, 301), (300, 160, 252),
])
def test_layout_follows_panel_width(winsim, width, box, copy_left):
    bar = Bar(winsim)
    bar.top.Width = width  # Resize of the panel runs the layout
    assert (bar.addr.Left, bar.addr.Width, bar.copy.Left) == (134, box, copy_left)
    assert [b.Left for b in (bar.back, bar.fwd, bar.reload)] == [12, 50, 88]


def test_layout_when_docked_in_a_resized_form(winsim):
    bar = Bar(winsim)
    bar.form.Controls.Add(bar.top)
    bar.form.ClientSize = winsim.Drawing.Size(1000, 600)
    assert bar.top.ClientSize.Width == 1000
    assert (bar.addr.Width, bar.copy.Left) == (810, 952)


def test_layout_reads_values_back_at_run_time(winsim):
    bar = Bar(winsim)
    winsim.log.clear()
    bar.copy.Width = 50  # a wider copy button, read back by the next layout
    bar.top.Width = 800
    assert (bar.addr.Width, bar.copy.Left) == (800 - 134 - (12 + 50 + 8), 800 - 50 - 12)


@pytest.mark.parametrize("key, after", [
    ("Panel.BackColor=", 0),
    ("Font()", 1),  # the address box font (the first font is the icon font)
    ("Button.FlatAppearance.BorderSize=", 0),
    ("Button.BackColor=", 2),
    ("ToolTip()", 0),
    ("ToolTip.SetToolTip()", 3),
    ("TextBox.PreviewKeyDown+=", 0),
])
def test_cosmetic_failures_are_ignored(winsim, key, after):
    winsim.fail(key, after=after)
    bar = Bar(winsim)
    assert bar.top.Controls.Count == 5
    assert bar.holder["addr"] is bar.addr
    assert bar.addr.Text == "https://start.example/"
    bar.top.Width = 800
    assert (bar.addr.Width, bar.copy.Left) == (610, 752)


def test_border_failure_skips_the_colour_of_that_button_only(winsim):
    winsim.fail("Button.FlatAppearance.BorderSize=", times=1)
    bar = Bar(winsim)
    assert ("BackColor", Color.FromArgb(243, 243, 243)) not in winsim.writes(bar.back)
    assert ("BackColor", Color.FromArgb(243, 243, 243)) in winsim.writes(bar.fwd)


@pytest.mark.parametrize("key, after", [
    ("Panel()", 0), ("Panel.Height=", 0), ("Panel.Dock=", 0), ("Panel.Padding=", 0),
    ("Font()", 0),  # the icon font
    ("Button()", 0), ("Button()", 3), ("Button.FlatStyle=", 0), ("TextBox()", 0),
    ("TextBox.BorderStyle=", 0), ("TextBox.Text=", 0), ("TextBox.Anchor=", 0), ("Button.Anchor=", 0),
    ("Form.Resize+=", 0), ("Panel.Resize+=", 0), ("Button.Click+=", 0), ("Button.Click+=", 3),
    ("TextBox.KeyPress+=", 0), ("Panel.Controls.Add()", 4),
    ("TextBox.Width=", 0), ("Button.Left=", 3),  # the first layout
])
def test_structural_failures_propagate(winsim, key, after):
    boom = InvalidOperationException("boom " + key)
    winsim.fail(key, boom, after=after)
    holder = {}
    with pytest.raises(InvalidOperationException) as info:
        Bar(winsim, holder=holder)
    assert info.value is boom
    assert ("addr" in holder) == key.endswith(("Width=", "Left="))


def test_icon_font_is_made_once_through_the_module_global(winsim, monkeypatch):
    icon = Font("Icons", 11.0)
    made = []
    monkeypatch.setattr(trailbar, "_mdl2_font", lambda size: made.append(size) or icon)
    bar = Bar(winsim)
    assert made == [11.0]
    assert all(b.Font == icon for b in (bar.back, bar.fwd, bar.reload, bar.copy))


def test_mdl2_font(winsim):
    f = trailbar._mdl2_font()
    assert (f.Name, f.Size, f.Style, f.Unit) == (
        "Segoe MDL2 Assets", 11.0, FontStyle.Regular, GraphicsUnit.Point)
    g = trailbar._mdl2_font(14)
    assert g.Size == 14.0 and isinstance(g.Size, float)


@pytest.mark.parametrize("text", ["  a b  ", "", "   ", "example.org"])
def test_enter_passes_the_raw_text(winsim, text):
    bar = Bar(winsim)
    bar.addr.sim_set_text(text)
    preview, press = bar.addr.sim_press(Keys.Return, "\r")
    assert bar.calls == [("navigate", text)]
    assert preview.IsInputKey is True and press.Handled is True


def test_enter_alias_and_other_keys(winsim):
    bar = Bar(winsim, start_url="")
    assert bar.addr.Text == ""
    preview, press = bar.addr.sim_press(Keys.A, "a")
    assert bar.calls == [] and press.Handled is False and preview.IsInputKey is False
    assert bar.addr.Text == "a"
    preview, press = bar.addr.sim_press(Keys.Enter, "\r")
    assert bar.calls == [("navigate", "a")] and preview.IsInputKey is True


def test_enter_swallows_navigation_errors(winsim):
    wf = winsim.WinForms

    def bad(url):
        raise RuntimeError("navigate failed")

    _, addr = trailbar.attach_edge_chrome_toolbar(
        wf, winsim.Drawing, wf.Form(), {}, on_navigate=bad, on_back=None, on_forward=None,
        on_reload=None, start_url="x")
    _, press = addr.sim_press(Keys.Return, "\r")
    assert press.Handled is True


def test_buttons_call_their_callbacks_and_do_not_catch(winsim):
    bar = Bar(winsim)
    bar.back.sim_click()
    bar.fwd.sim_click()
    bar.reload.sim_click()
    assert bar.calls == ["back", "forward", "reload"]
    wf = winsim.WinForms

    def broken():
        raise ValueError("back failed")

    top, _ = trailbar.attach_edge_chrome_toolbar(
        wf, winsim.Drawing, wf.Form(), {}, on_navigate=print, on_back=broken, on_forward=broken,
        on_reload=broken, start_url="")
    with pytest.raises(ValueError):
        top.Controls[0].sim_click()


@pytest.mark.parametrize("text, copied", [
    ("  https://a.example/x  ", "https://a.example/x"), ("", None), (" \t ", None),
])
def test_copy_link(winsim, text, copied):
    bar = Bar(winsim)
    bar.addr.sim_set_text(text)
    bar.copy.sim_click()
    assert winsim.clipboard == copied
    assert [e for e in winsim.log if e[1] == "call" and e[2] == "SetText"] == (
        [] if copied is None else [(winsim.WinForms.Clipboard, "call", "SetText", (copied,))])


def test_copy_link_ignores_clipboard_failure(winsim):
    winsim.fail("Clipboard.SetText()")
    bar = Bar(winsim)
    bar.copy.sim_click()
    assert winsim.clipboard is None


def test_an_argument_error_builds_nothing(winsim):
    wf, dr = winsim.WinForms, winsim.Drawing
    form = wf.Form()
    winsim.log.clear()
    with pytest.raises(TypeError) as info:
        trailbar.attach_edge_chrome_toolbar(wf, dr, form, None, on_navigate=print, on_back=print,
                                            on_forward=print, on_reload=print, start_url="")
    assert str(info.value) == "Argument 'holder' has incorrect type (expected dict, got NoneType)"
    assert winsim.log == []


def test_two_bars_are_independent(winsim):
    holder = {}
    one = Bar(winsim, start_url="one", holder=holder)
    two = Bar(winsim, start_url="two", holder=holder)
    assert holder["addr"] is two.addr
    one.top.Width = 800
    assert (one.addr.Width, two.addr.Width) == (610, 160)
    one.addr.sim_press(Keys.Return, "\r")
    two.back.sim_click()
    assert (one.calls, two.calls) == ([("navigate", "one")], ["back"])


def test_doc_and_one_layout_handler_for_form_and_bar(winsim):
    f = trailbar.attach_edge_chrome_toolbar
    assert "(top_panel, address_textbox)" in f.__doc__ and "SourceChanged" in f.__doc__
    bar = Bar(winsim)
    assert bar.form.Resize.sim_handlers[0] is bar.top.Resize.sim_handlers[0]
