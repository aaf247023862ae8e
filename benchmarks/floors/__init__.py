"""The floors of the recipe cases (floors.c), compiled on first use.

`load()` gives the compiled module, or None where no C compiler works; the
floor rows are then left out of the tables.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sysconfig
import tempfile
from pathlib import Path

SOURCE = Path(__file__).with_name("floors.c")


def _compiler() -> list[str] | None:
    configured = (os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc").split()
    if configured and shutil.which(configured[0]):
        return configured
    return None


def load():
    compiler = _compiler()
    if compiler is None:
        return None
    target = Path(tempfile.mkdtemp(prefix="bitloom-floors-")) / (
        "floors" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [*compiler, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
               str(SOURCE), "-o", str(target)]
    try:
        subprocess.run(command, check=True, capture_output=True, timeout=120)
        spec = importlib.util.spec_from_file_location("floors", target)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    except (OSError, subprocess.SubprocessError, ImportError):
        return None
    finally:
        shutil.rmtree(target.parent, ignore_errors=True)
    return module
