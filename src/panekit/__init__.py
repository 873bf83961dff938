"""panekit: a small Windows browser shell steered over a loopback HTTP control plane.

Modules: helmwire (control plane: settings, server, client), trailbar (address normaliser and
toolbar), fetchkeep (download handling), promptdeck (console REPL), framewell (the WinForms host),
glassport (the window opened through pywebview).
"""

__version__ = "0.1.0"
__all__ = ["helmwire", "trailbar", "fetchkeep", "promptdeck", "framewell", "glassport"]
