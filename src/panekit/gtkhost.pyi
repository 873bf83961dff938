from pathlib import Path
from typing import Any, Optional

from panekit.fetchkeep import handle_download_starting as handle_download_starting
from panekit.fetchkeep import resolve_download_settings as resolve_download_settings
from panekit.helmwire import control_base_url as control_base_url
from panekit.helmwire import control_port as control_port
from panekit.helmwire import start_control_server as start_control_server
from panekit.trailbar import norm_browser_url as norm_browser_url

_DEFAULT_HOME: str

class _Event:
    handlers: list[Any]
    def __init__(self) -> None: ...
    def __iadd__(self, handler: Any) -> Any: ...
    def __isub__(self, handler: Any) -> Any: ...

def _ask_save_path(parent: Any, folder: str, name: str) -> Optional[str]: ...
def run_toolbar_main(
    *,
    start_url: str,
    home_url: Optional[str] = None,
    form_title: str = "panekit",
    user_data_folder: Optional[Path] = None,
    with_control_server: bool = True,
    control_host: Optional[str] = None,
    control_port_override: Optional[int] = None,
    browser_download_directory: Optional[str] = None,
    browser_download_prompt: Optional[bool] = None,
) -> int: ...
