import os
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, Optional

import webview

from panekit.fetchkeep import configure_pywebview_edge_downloads as configure_pywebview_edge_downloads
from panekit.helmwire import control_base_url as control_base_url
from panekit.helmwire import control_port as control_port
from panekit.helmwire import start_control_server as start_control_server
from panekit.trailbar import norm_browser_url as norm_browser_url

_DEFAULT_HOME: str

def _prepare_embedded_navigation() -> None: ...
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
