"""Opening a store's writer whether or not the store exists yet.

``VectorStoreWriter.create`` refuses a path that exists, so a program that
creates its store on first run and appends on later runs checks first; this
is that check, with the settings of an existing store compared to the ones
asked for, so that a store is never appended to with vectors of another
model, corpus or encoding.
"""

from __future__ import annotations

import os
from typing import Union

from . import _native

__all__ = ["open_or_create_store"]


def open_or_create_store(path: Union[str, os.PathLike[str]], corpus: str, representation, *,
                         encoding: str = "float32") -> _native.VectorStoreWriter:
    """The writer of the store at ``path``, made first (empty) when nothing
    is there. An existing store must hold ``corpus`` in ``encoding``, and its
    representation must be compatible with ``representation`` (the check a
    query's features pass: ``IncompatibleQueryError`` naming the difference
    otherwise); a different corpus or encoding is a ``ValueError``."""
    if not os.path.lexists(path):
        try:
            return _native.VectorStoreWriter.create(path, corpus, representation, encoding=encoding)
        except FileExistsError:
            pass  # made meanwhile by another process: open it as any existing store
    store = _native.VectorStore(path)
    if store.corpus != corpus:
        raise ValueError(f"the vector store at {os.fspath(path)} holds the corpus {store.corpus!r}, not {corpus!r}")
    if store.encoding != encoding:
        raise ValueError(f"the vector store at {os.fspath(path)} is encoded as {store.encoding}, not {encoding}")
    _native._assert_representations_compatible(representation, store.representation)
    return _native.VectorStoreWriter(path)
