"""panekit: a small Windows browser shell steered over a loopback HTTP control plane."""

__version__ = "0.1.0"
__all__ = ["helmwire", "trailbar", "fetchkeep", "framewell", "glassport", "promptdeck"]
