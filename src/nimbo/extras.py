"""Install hints for nimbo's optional extras that cannot fetch the wrong
package.

A package on the public index is named nimbo too, so a hint never asks pip
for nimbo by name: it names the project directory nimbo was installed from,
when pip recorded one that still holds the project, and otherwise the very
requirement the extra stands for.
"""

from __future__ import annotations

import json
import os
import shlex
from urllib.parse import unquote, urlparse


def project_directory() -> str | None:
    """The project directory this nimbo was installed from (pip's
    direct_url.json), or None when unknown or no longer there."""
    from importlib import metadata

    try:
        text = metadata.distribution("nimbo").read_text("direct_url.json")
        url = json.loads(text)["url"] if text else None
    except (metadata.PackageNotFoundError, ValueError, KeyError, TypeError, OSError):
        return None
    if not isinstance(url, str) or not url.startswith("file:"):
        return None
    path = unquote(urlparse(url).path)
    return path if os.path.isfile(os.path.join(path, "pyproject.toml")) else None


def install_hint(extra: str, requirement: str) -> str:
    """The command that installs `extra`: from the project directory, or
    `requirement` (what the extra holds) by its own name."""
    project = project_directory()
    if project is not None:
        return f"pip install {shlex.quote(f'{project}[{extra}]')}"
    return f"pip install {shlex.quote(requirement)} (the {extra} extra of nimbo)"
