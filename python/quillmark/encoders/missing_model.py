"""The error for a model or library that is not installed, and the import
that raises it."""

from __future__ import annotations

from ..errors import Error

__all__ = ["MissingModelError", "require"]


class MissingModelError(Error, RuntimeError):
    """A model wheel or a library the chosen backend needs is not installed."""


def require(module: str, install: str):
    """The imported ``module``, or ``MissingModelError`` naming the pip
    arguments ``install`` that install it."""
    try:
        return __import__(module)
    except ImportError:
        raise MissingModelError(
            f"the library {module} is not installed; install it with: "
            f"python -m pip install {install}"
        ) from None
