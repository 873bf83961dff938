"""panekit: a small browser window (Windows; Linux through GTK) steered over a loopback HTTP
control plane.

    import sys, panekit
    sys.exit(panekit.open_window(start_url="https://example.com"))

open_window (module launcher) picks the host as `panekit open` does. Modules: helmwire (control
plane: settings, server, client), trailbar (address normaliser and toolbar), fetchkeep (download
handling), promptdeck (console REPL), framewell (the WinForms host), glassport (the window opened
through pywebview), gtkhost (the window on GTK and WebKit, Linux), launcher (the host chosen for
the system).
"""

__version__ = "0.1.0"
__all__ = ["helmwire", "trailbar", "fetchkeep", "promptdeck", "framewell", "glassport", "gtkhost",
           "launcher"]
# Functions of the package's modules offered on the package itself: name -> module.
_FUNCTIONS = {"open_window": "launcher"}

TYPE_CHECKING = False  # true to type checkers only; importing typing would cost every command
if TYPE_CHECKING:
    from . import fetchkeep, framewell, glassport, gtkhost, helmwire, launcher, promptdeck, trailbar
    from .launcher import open_window as open_window


def __getattr__(name: str) -> object:
    # The modules are loaded on first use, so importing one does not load the others.
    if name in __all__ or name in _FUNCTIONS:
        module_name = _FUNCTIONS.get(name, name)
        __import__(f"{__name__}.{module_name}")  # the import system sets it on the package
        module = globals()[module_name]
        return getattr(module, name) if name in _FUNCTIONS else module
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
