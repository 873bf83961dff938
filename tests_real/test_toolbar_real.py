"""The toolbar on real Windows Forms: bounds read back from the controls, layout after real
resizes, real key presses and mouse clicks, the real clipboard."""

import os
import shutil
import subprocess

from panekit import trailbar


class Bar:
    """A form of the given client size holding one toolbar; the callbacks record their calls."""

    def __init__(self, real, start_url, width=800, height=400, fail_back=False):
        self.real, self.calls, self.keys = real, [], []
        self.holder = {}
        wf, drawing = real.wf, real.drawing

        def on_back():
            self.calls.append("back")
            if fail_back:
                raise ValueError("back failed")

        def build():
            form = wf.Form()
            form.Text = "panekit toolbar"
            form.ClientSize = drawing.Size(width, height)
            self.top, self.addr = trailbar.attach_edge_chrome_toolbar(
                wf, drawing, form, self.holder,
                on_navigate=lambda u: self.calls.append(("navigate", u)),
                on_back=on_back,
                on_forward=lambda: self.calls.append("forward"),
                on_reload=lambda: self.calls.append("reload"),
                start_url=start_url)
            form.Controls.Add(self.top)
            # Subscribed after the bar's own handlers, so these see what the bar made of each key.
            self.addr.PreviewKeyDown += lambda s, e: self.keys.append(
                ("preview", int(e.KeyCode), bool(e.IsInputKey)))
            self.addr.KeyPress += lambda s, e: self.keys.append(
                ("press", e.KeyChar, bool(e.Handled)))
            return form

        self.win = real.open(build)
        self.back, self.fwd, self.reload, _, self.copy = self.win.call(lambda: list(self.top.Controls))

    def bounds(self):
        return self.win.call(lambda: [(c.Left, c.Top, c.Width, c.Height) for c in self.top.Controls])

    def resize(self, width, height=400):
        self.win.call(lambda: setattr(self.win.form, "ClientSize", self.real.drawing.Size(width, height)))
        return self.win.call(lambda: (self.top.ClientSize.Width, self.bounds()))

    def click(self, button):
        """A real mouse click in the middle of the button (the panel sits at the form's origin)."""
        x, y = self.win.call(lambda: (button.Left + button.Width // 2, button.Top + button.Height // 2))
        self.real.xdotool("mousemove", "--window", self.win.handle, x, y, "click", "1")


def _screenshot(handle):
    """(width, height, rgb bytes) of the window as the X server shows it, or None without ImageMagick."""
    tool = shutil.which("import")
    if not tool:
        return None
    data = subprocess.run([tool, "-window", str(handle), "-depth", "8", "ppm:-"], capture_output=True,
                          check=True, timeout=10).stdout
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


def _pixel(shot, x, y):
    w, _, rgb, _ = shot
    i = 3 * (y * w + x)
    return tuple(rgb[i:i + 3])


def test_construction_and_layout_on_real_resizes(real):
    bar = Bar(real, "  https://example.org/panekit  ")
    top, addr = bar.top, bar.addr
    assert bar.holder["addr"] is addr
    facts = bar.win.call(lambda: dict(
        panel=(top.Left, top.Top, top.Width, top.Height, top.ClientSize.Width),
        dock=str(top.Dock),
        padding=(top.Padding.Left, top.Padding.Top, top.Padding.Right, top.Padding.Bottom),
        back_colour=(top.BackColor.R, top.BackColor.G, top.BackColor.B),
        texts=[c.Text for c in top.Controls],
        kinds=[c.GetType().Name for c in top.Controls],
        icon_fonts=[(c.Font.Size, str(c.Font.Style), str(c.Font.Unit)) for c in top.Controls
                    if c.GetType().Name == "Button"],
        shared_font=all(real.System.Object.ReferenceEquals(c.Font, bar.back.Font)
                        for c in (bar.fwd, bar.reload, bar.copy)),
        button_look=[(str(b.FlatStyle), b.FlatAppearance.BorderSize, b.BackColor.ToArgb())
                     for b in (bar.back, bar.fwd, bar.reload, bar.copy)],
        box=(addr.Font.Size, str(addr.BorderStyle), str(addr.Anchor)),
        copy_anchor=str(bar.copy.Anchor),
    ))
    assert facts["panel"] == (0, 0, 800, 52, 800)
    assert facts["dock"] == "Top" and facts["padding"] == (12, 8, 12, 8)
    assert facts["back_colour"] == (243, 243, 243)
    assert facts["texts"] == ["\ue72b", "\ue72a", "\ue149", "  https://example.org/panekit  ", "\ue16c"]
    assert facts["kinds"] == ["Button", "Button", "Button", "TextBox", "Button"]
    assert facts["icon_fonts"] == [(11.0, "Regular", "Point")] * 4 and facts["shared_font"]
    grey = real.drawing.Color.FromArgb(243, 243, 243).ToArgb()
    assert facts["button_look"] == [("Flat", 0, grey)] * 4
    assert facts["box"] == (9.0, "FixedSingle", "Top, Left, Right")
    assert facts["copy_anchor"] == "Top, Right"

    # A single-line box keeps the height its font gives it: the 28 written is not what it shows.
    box_h = bar.bounds()[3][3]
    assert 0 < box_h < 28
    buttons = [(12, 8, 36, 30), (50, 8, 36, 30), (88, 8, 36, 30)]
    # The window's own resizes run the layout (the form's and the docked panel's Resize), the
    # anchors move the box and the copy button too; the result is the bar's arithmetic each time,
    # including below the 350 pixels where the box stops shrinking, and back out of that.
    for width, box_w, copy_left in [(800, 610, 752), (1000, 810, 952), (350, 160, 302),
                                    (349, 160, 301), (300, 160, 252), (640, 450, 592),
                                    (800, 610, 752)]:
        inner, bounds = bar.resize(width)
        assert inner == width
        assert bounds == buttons + [(134, 9, box_w, box_h), (copy_left, 8, 36, 30)], width
        assert bar.win.call(lambda: (top.Top, top.Height, top.Width)) == (0, 52, width)

    # What the screen shows: the grey strip, the white box in it, with the bar's sizes.
    panel_window = bar.win.call(lambda: int(top.Handle.ToInt64()))
    bar.win.call(bar.win.form.Refresh)
    shot = _screenshot(panel_window)
    if shot is not None:
        # Painting reaches the X server a moment after Refresh returns.
        real.wait_until(lambda: _pixel(_screenshot(panel_window), 5, 5) == (243, 243, 243),
                        "the bar to be painted")
        shot = _screenshot(panel_window)
        assert shot[:2] == (800, 52)
        assert _pixel(shot, 5, 5) == _pixel(shot, 795, 46) == _pixel(shot, 130, 20) == (243, 243, 243)
        assert _pixel(shot, 134 + 300, 9 + box_h // 2) == (255, 255, 255)
        folder = os.environ.get("PANEKIT_REAL_SCREENSHOTS")
        if folder:  # the window's client area, for the documentation
            form = bar.win.form
            r = bar.win.call(lambda: form.RectangleToScreen(form.ClientRectangle))
            subprocess.run(["import", "-window", "root", "-crop",
                            "%dx%d+%d+%d" % (r.Width, r.Height, r.X, r.Y), "+repage",
                            os.path.join(folder, "toolbar-mono.png")], check=True, timeout=10)
    assert bar.calls == []


def test_real_keys_in_the_address_box(real):
    bar = Bar(real, "  https://a.example/x  ")
    addr = bar.addr
    assert bar.win.call(addr.Focus)
    real.xdotool("windowfocus", "--sync", bar.win.handle)
    real.xdotool("key", "--delay", "20", "End", "b", "Return")
    real.wait_until(lambda: bar.calls, "Enter to navigate")
    # The text as it stands, blanks and all; the typed letter went in, the Enter did not.
    assert bar.calls == [("navigate", "  https://a.example/x  b")]
    assert bar.win.call(lambda: addr.Text) == "  https://a.example/x  b"
    enter = int(real.wf.Keys.Return)
    assert int(real.wf.Keys.Enter) == enter
    assert [k for k in bar.keys if k[0] == "press"] == [("press", "b", False), ("press", "\r", True)]
    assert ("preview", enter, True) in bar.keys
    assert [k for k in bar.keys if k[0] == "preview" and k[1] != enter and k[2]] == []

    # Enter in an emptied box and in a blank one still navigates, with the text as it is.
    for text in ("", "   "):
        bar.calls.clear()
        bar.win.call(lambda: setattr(addr, "Text", text))
        real.xdotool("key", "Return")
        real.wait_until(lambda: bar.calls, "Enter to navigate")
        assert bar.calls == [("navigate", text)]


def test_real_clicks_reach_the_callbacks_and_copy_uses_the_clipboard(real):
    bar = Bar(real, "  https://b.example/p?q=1  ", fail_back=True)
    clipboard = real.wf.Clipboard
    bar.win.call(lambda: clipboard.SetText("before"))
    real.xdotool("windowfocus", "--sync", bar.win.handle)
    for button in (bar.fwd, bar.reload, bar.back):
        bar.click(button)
    real.wait_until(lambda: len(bar.calls) == 3, "three button callbacks")
    assert bar.calls == ["forward", "reload", "back"]
    # The back callback raised: the bar does not catch it, so it reaches the platform's dispatch,
    # and the window carries on.
    real.wait_until(lambda: real.thread_exceptions, "the click's exception to reach the platform")
    assert "back failed" in str(real.thread_exceptions[0].Message)
    real.thread_exceptions.clear()

    bar.click(bar.copy)
    real.wait_until(lambda: bar.win.call(clipboard.GetText) != "before", "the copied text")
    assert bar.win.call(clipboard.GetText) == "https://b.example/p?q=1"
    for blank in ("", " \t "):
        bar.win.call(lambda: setattr(bar.addr, "Text", blank))
        bar.click(bar.copy)
        bar.click(bar.reload)  # once this arrives, the copy click before it has been handled
        real.wait_until(lambda: bar.calls.count("reload") == 2 + (blank != ""), "the reload")
        assert bar.win.call(clipboard.GetText) == "https://b.example/p?q=1"
    assert [c for c in bar.calls if isinstance(c, tuple)] == []
