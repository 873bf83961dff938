from typing import Any, Callable, Dict, Tuple

def norm_browser_url(raw: str) -> str: ...
def attach_edge_chrome_toolbar(
    wf: Any,
    drawing: Any,
    form: Any,
    holder: Dict[str, Any],
    *,
    on_navigate: Callable[[str], None],
    on_back: Callable[[], None],
    on_forward: Callable[[], None],
    on_reload: Callable[[], None],
    start_url: str,
) -> Tuple[Any, Any]: ...
def _mdl2_font(size: float = 11.0) -> Any: ...
