"""The base of the package's own Python exceptions.

Every exception class the Python package defines derives from ``Error`` as
well as from the built-in exception it always was (``ValueError``,
``RuntimeError``, ...), so ``except quillmark.Error`` catches the package's
own failures while existing ``except ValueError`` clauses keep working. The
native module's exceptions (``IncompatibleIndexError``,
``IncompatibleQueryError``, ``CommitNotDurableError``) keep their own
hierarchy.
"""

from __future__ import annotations

__all__ = ["Error"]


class Error(Exception):
    """A failure reported by the quillmark Python package itself."""
