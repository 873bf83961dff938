import os
import sys
from pathlib import Path
from typing import Dict, Optional

BACKENDS: Dict[str, str]

def host_backend(*, backend: Optional[str] = None) -> str: ...
def open_window(
    *,
    start_url: str = "",
    backend: Optional[str] = None,
    home_url: Optional[str] = None,
    form_title: str = "panekit",
    user_data_folder: Optional[Path] = None,
    with_control_server: bool = True,
    control_host: Optional[str] = None,
    control_port_override: Optional[int] = None,
    browser_download_directory: Optional[str] = None,
    browser_download_prompt: Optional[bool] = None,
) -> int: ...
