from pathlib import Path
from typing import Optional

_DEFAULT_HOME: str

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
