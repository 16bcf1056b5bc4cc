"""The optional extra of the tools: NumPy and pyarrow for ``run``, matplotlib for ``draw``.

``check`` needs neither; the other tools import them through `require`, so that a missing extra
is reported as one line naming the install command instead of a traceback.
"""
from __future__ import annotations

import importlib
from types import ModuleType

INSTALL_HINT = "pip install 'kivo-tf-utils[tools]' (from a checkout: pip install '.[tools]')"


class MissingDependency(Exception):
    """A module of the tools' optional extra is not installed; the message says how to get it."""


def require(module: str) -> ModuleType:
    """Imports `module` (e.g. "numpy", "matplotlib.figure") of the optional extra. Raises
    MissingDependency, whose message is one line for the user, when it cannot be imported;
    `kivo_tf_tools.cli.main` prints it after "kivo-tf COMMAND: error: " and exits with status 2."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        missing = isinstance(error, ModuleNotFoundError) and error.name in (top, module)
        detail = "is not installed" if missing else f"cannot be imported ({error})"
        raise MissingDependency(f"{top} is needed and {detail}: {INSTALL_HINT}") from error
