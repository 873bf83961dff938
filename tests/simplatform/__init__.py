"""A simulated Windows platform for tests: pythonnet's ``clr``, ``System`` (``Action``),
``System.Windows.Forms``, ``System.Drawing``, ``Microsoft.Web.WebView2.Core`` and
``Microsoft.Web.WebView2.WinForms``, installed into ``sys.modules`` for one test at a time.

Fixtures (available in every test directory):

* ``winsim`` -- a ``Platform`` with all assemblies loaded; code under test imports the .NET names
  as on Windows (``import System.Windows.Forms as WinForms``, ``from System import Action``).
* ``winsim_unloaded`` -- only ``clr`` and ``System`` import until ``clr.AddReference`` loads
  "System.Windows.Forms", "System.Drawing" or a path ending in
  "Microsoft.Web.WebView2.Core.dll" / "Microsoft.Web.WebView2.WinForms.dll" (others raise
  ``FileNotFoundException``). ``winsim.references`` lists the calls in order.

``winsim.pretend_windows()`` makes ``sys.platform`` read "win32" for the rest of the test.
At teardown the fixture closes open forms, joins UI threads started with
``winsim.start_ui_thread`` and fails the test if anything was recorded in ``winsim.faults``
(cross-thread use of a control or core, an unscripted dialog, an Invoke no loop ran) or in
``winsim.unhandled`` (an exception that escaped a posted message or event handler; clear it
after asserting when a test provokes one on purpose).

Running a host::

    runner = winsim.start_ui_thread(framewell.run_toolbar_main, start_url="example.org")
    form = winsim.wait_form()            # shown by Application.Run on that thread
    core = winsim.wait_core()            # the first WebView2's CoreWebView2, once created
    winsim.wait_until(lambda: core.sim_on_ui(lambda: core.Source) == "https://example.org/")
    form.sim_close()                     # as a user closing the window
    assert runner.join() == 0

``Application.Run(form)`` shows the form (Load, then Shown through the loop) and runs a real
message loop on the calling thread until the form is closed. ``Control.Invoke(Action(f))``
posts and waits (at most ``winsim.timeout`` seconds), ``BeginInvoke`` posts and returns,
``InvokeRequired`` compares threads once a handle exists (before the form is shown it is
False and Invoke raises, as on Windows). Use ``x.sim_on_ui(fn)`` to read or drive UI objects
from the test thread.

Controls and the browser:

* Every write of a property by code under test is logged: ``winsim.writes(ctl)`` gives
  ``[(name, value), ...]`` in order, ``winsim.log`` holds ``(obj, op, name, value)`` for all
  objects (op: "new", "set", "call", "+=", "-="). ``Button.FlatAppearance.BorderSize`` is logged
  on the button as "FlatAppearance.BorderSize". Writes are converted as pythonnet converts (a
  wrong type raises ``TypeError``); members .NET makes read-only raise ``AttributeError``.
* Sizes: a control's ``ClientSize`` is its size (a Form's is its Size minus a 16 x 39 frame);
  docking in a parent follows WinForms (reverse order of ``Controls``, Fill takes the rest;
  ``BringToFront`` moves a control to index 0, ``SendToBack`` to the end);
  a size change lays out children, then raises ``Resize``. Anchors are stored, not applied.
  A single-line text box keeps its own height (20), whatever Height is written. Text
  properties written None read back "".
* Users: ``button.sim_click()``, ``textbox.sim_press(Keys.Return, "\\r")``,
  ``textbox.sim_set_text("abc")``; events can be raised directly with
  ``ctl.Event.sim_fire(sender, args)``.
* ``winsim.fail("Panel.BackColor=")`` makes an operation raise (see ``Platform.fail`` for the
  key forms: "ToolTip()", "ToolTip.SetToolTip()", "TextBox.PreviewKeyDown+=",
  "WebView2.CoreWebView2", "clr.AddReference()", "Clipboard.SetText()").
* The clipboard text is ``winsim.clipboard``.
* Save-As: ``winsim.answer_save_dialog(DialogResult.OK, "E:\\\\x.bin")`` scripts the next
  ``SaveFileDialog.ShowDialog``; ``winsim.dialogs`` records (dialog, owner, settings) per show.
* WebView2: the control creates its core when asked, by ``EnsureCoreWebView2Async`` or by
  setting its ``Source`` (a ``System.Uri``, as pythonnet converts no str to it), as on Windows (``winsim.init_mode``: "explicit"; "shown" also creates
  it once the form is shown; "manual" only with ``wv.sim_initialize(error=None)``);
  ``winsim.init_error = DllNotFoundException("WebView2Loader.dll", "  at ...")`` makes creating
  the browser environment fail, as without the WebView2 loader: each request for the core then
  fails at once, inside the call that asked (before it returns, with or without a window handle),
  raising CoreWebView2InitializationCompleted again every time. The core keeps history; navigations complete through the loop, or one at
  a time with ``core.sim_complete_next()`` when ``winsim.auto_complete = False``;
  ``winsim.nav_errors[address] = WebErrorStatus.HostNameNotResolved`` fails that address.
  ``core.sim_new_window(uri)`` raises NewWindowRequested (unhandled requests land in
  ``winsim.popups``); ``core.sim_download(path, refuse_handled=True)`` raises DownloadStarting
  and returns the arguments (``ResultFilePath``, ``Cancel``, ``Handled``, ``set_Handled``,
  ``DownloadOperation``: ``State`` and ``StateChanged``, moved with
  ``args.DownloadOperation.sim_state(CoreWebView2DownloadState.Completed)``);
  ``core.Profile.DefaultDownloadFolderPath`` is settable (``winsim.has_profile = False``
  removes ``Profile``). Core members used off the UI thread raise and record a fault.
  For a core without a window (download tests), ``CoreWebView2()`` makes one owned by the
  calling thread; its navigations complete on ``winsim.pump()``.
* Windows' own rules (see README.md beside this file for the sources): each thread has a COM
  apartment (``winsim.apartment(thread)``; ``start_ui_thread(..., apartment="MTA")``), and
  clipboard, Save-As and WebView2 creation need STA; a navigation started while another is under
  way cancels it (OperationCanceled); same-document moves (``core.sim_push_state(uri)``, a
  fragment) raise only SourceChanged and HistoryChanged; pages have titles (``winsim.titles``);
  ``winsim.download_uris[address] = path`` makes navigating there a download (arguments in
  ``winsim.downloads``); download arguments offer ``GetDeferral`` (``args.sim_answered``); every
  read of a .NET object gives a new wrapper (``==`` by identity), and ``-=`` without a match
  raises ValueError.
* pywebview's Edge backend: fixture ``edge_backend`` of ``simplatform.pywebview_sim``.
"""

from .core import (Action, ArgumentException, DllNotFoundException, Exception_,
                   InvalidOperationException, ObjectDisposedException, Platform, SimFault, Uri)
from .drawing import Color, Font, Size
from .enums import (AnchorStyles, BorderStyle, CoreWebView2DownloadState, CoreWebView2WebErrorStatus,
                    DialogResult, DockStyle,
                    FlatStyle, FontStyle, GraphicsUnit, Keys)
from .forms import (Application, Button, Clipboard, Form, KeyPressEventArgs, Padding, Panel,
                    PreviewKeyDownEventArgs, SaveFileDialog, TextBox, ToolTip)
from .webview2 import (CoreWebView2, CoreWebView2CreationProperties, CoreWebView2DownloadOperation,
                       CoreWebView2DownloadStartingEventArgs,
                       CoreWebView2NewWindowRequestedEventArgs, WebErrorStatus, WebView2)
