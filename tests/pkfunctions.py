"""The package's function objects as its modules hold them (a test helper)."""
from panekit import trailbar

FUNCTION = type(trailbar.norm_browser_url)  # the one type of every function of the package


def functions_of(module):
    """Every function of the package defined in `module`, class members included."""
    for value in vars(module).values():
        if isinstance(value, type) and value.__module__ == module.__name__:
            for member in vars(value).values():
                member = getattr(member, "fget", None) or getattr(member, "__func__", member)
                if type(member) is FUNCTION:
                    yield member
        elif type(value) is FUNCTION and value.__module__ == module.__name__:
            yield value
