"""panekit: a small Windows browser shell steered over a loopback HTTP control plane.

Modules: helmwire (control plane: settings, server, client), trailbar (address normaliser and
toolbar), fetchkeep (download handling), promptdeck (console REPL), framewell (the WinForms host),
glassport (the window opened through pywebview), gtkhost (the window on GTK and WebKit, Linux).
"""

from typing import TYPE_CHECKING

__version__ = "0.1.0"
__all__ = ["helmwire", "trailbar", "fetchkeep", "promptdeck", "framewell", "glassport", "gtkhost"]

if TYPE_CHECKING:
    from . import fetchkeep, framewell, glassport, gtkhost, helmwire, promptdeck, trailbar


def __getattr__(name: str) -> object:
    # The modules are loaded on first use, so importing one does not load the others.
    if name in __all__:
        import importlib

        return importlib.import_module("." + name, __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
