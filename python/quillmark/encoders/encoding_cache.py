"""An on-disk cache of encoded texts, so that a rerun skips the encoder.

A cache directory holds chunks, one per slice of up to ``SLICE`` encoded
texts, each under a fresh random name: the packed token vectors
(``chunk-{name}.vectors.npy``, memory-mapped on load) and a metadata file
(``chunk-{name}.meta.npz``: text keys, token counts, pooled vectors,
truncation flags, window counts). Both are flushed to disk before the
metadata is renamed into place, and the directory after, so a chunk whose
writer died, or whose machine lost power, is either absent or whole. A chunk
that is unreadable all the same (damaged afterwards, or written by a system
that does not keep the order of these flushes) is skipped with a warning:
its texts are cache misses. A cached text's pooled vector is derived from
its token vectors on reading (``quillmark.pooling``); the stored one only
serves to check that a chunk's two files agree.

A key is the SHA-256 of the encoder's representation, window, template and
text, each field prefixed by its length, so caches of different models never
mix and no two different sets of fields share a key. A text longer than the
window adds how it was made to fit (the windows' size and stride, or a cut to
a shorter window than the model's), so windowed and truncated encodings of
one text never mix either, while a text that fits is keyed as it always was.
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import struct
import uuid
import warnings
from typing import Optional, Sequence

import numpy as np

from ..pooling import pooled
from .encoded import Encoded
from .progress import progress_bar
from .texts import check_texts
from .text_encoder import TextEncoder

__all__ = ["EncodingCache"]


def _write_synced(path: pathlib.Path, write) -> None:
    """Writes ``path`` by ``write(file)`` and flushes it to disk before returning."""
    with open(path, "wb") as f:
        write(f)
        f.flush()
        os.fsync(f.fileno())


def _sync_directory(directory: pathlib.Path) -> None:
    """Flushes ``directory``'s entries (names created or renamed in it) to disk."""
    fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class _Unreadable(Exception):
    def __init__(self, path: pathlib.Path, reason: object):
        super().__init__(path, reason)
        self.path = path
        self.reason = f"{type(reason).__name__}: {reason}" if isinstance(reason, BaseException) else str(reason)


def fit_of(encoder: TextEncoder, windows) -> str:
    """How ``encoder`` made one text's plan (``TextEncoder.plan``) fit its window."""
    if len(windows.inputs) > 1:
        return f"windows of {encoder.window} tokens, {encoder.stride} apart"
    if windows.truncated and encoder.window != encoder.max_tokens:
        return f"cut to {encoder.window} tokens"
    return ""


class EncodingCache:
    SLICE = 1024  # texts encoded between two writes of the cache
    def __init__(self, directory: str | os.PathLike[str]):
        self.directory = pathlib.Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        # key -> (vectors of its chunk, first row, rows, pooled, truncated, windows)
        self._index: dict[bytes, tuple[np.ndarray, int, int, np.ndarray, bool, int]] = {}
        for meta_path in sorted(self.directory.glob("chunk-*.meta.npz")):
            try:
                self._index.update(self._read_chunk(meta_path))
            except _Unreadable as unreadable:
                warnings.warn(f"skipping the unreadable encoding cache file {unreadable.path} ({unreadable.reason}); "
                              f"the texts of its chunk will be encoded again", stacklevel=2)

    def _read_chunk(self, meta_path: pathlib.Path) -> dict[bytes, tuple[np.ndarray, int, int, np.ndarray, bool, int]]:
        vectors_path = self.directory / f"{meta_path.name[: -len('.meta.npz')]}.vectors.npy"
        # Any reader's error (an empty, truncated or corrupt file) makes the
        # chunk unreadable; the cache goes on without it.
        try:
            with np.load(meta_path) as meta:
                keys, lengths, stored_pooled, truncated = meta["keys"], meta["lengths"], meta["pooled"], meta["truncated"]
                # Chunks written before windowing hold single-window texts only.
                windows = meta["windows"] if "windows" in meta else np.ones(len(keys), dtype=np.int64)
        except Exception as error:
            raise _Unreadable(meta_path, error) from error
        try:
            vectors = np.load(vectors_path, mmap_mode="r")
        except Exception as error:
            raise _Unreadable(vectors_path, error) from error
        # Files that parse but disagree (damaged inside, or one of them from
        # another write) are as unreadable as files that do not parse.
        count = len(keys)
        if not (keys.dtype == np.dtype("S32") and lengths.shape == truncated.shape == windows.shape == (count,)
                and vectors.ndim == 2 and stored_pooled.shape == (count, vectors.shape[1])
                and (lengths > 0).all() and int(lengths.sum()) == vectors.shape[0]):
            raise _Unreadable(vectors_path, f"{count} texts of {int(lengths.sum())} token rows are listed in "
                                            f"{meta_path.name}, but the vectors have shape {vectors.shape}")
        starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
        return {bytes(key): (vectors, int(start), int(length), p, bool(t), int(w))
                for key, start, length, p, t, w in zip(keys, starts, lengths, stored_pooled, truncated, windows)}

    def __len__(self) -> int:
        return len(self._index)

    @staticmethod
    def key(encoder: TextEncoder, text: str, template: str, fit: str = "", *, query: bool = False) -> bytes:
        """``fit`` says how a text longer than the window was made to fit
        (``fit_of``); empty for a text that fits, or one cut to the model's window.
        A query's key says it is a query: an encoder may mark, cut or expand
        queries otherwise than documents."""
        # Each field is prefixed by its length in bytes, so a field's content
        # can never pass for a boundary. (Directories written with the earlier
        # scheme, fields joined by NUL bytes, simply miss and are re-encoded.)
        r = encoder.representation
        digest = hashlib.sha256(b"quillmark-encoding-cache-2")
        fields = [r.encoder, r.encoder_revision, str(r.dimension), str(encoder.max_tokens), template, text]
        for field in fields + ([fit] if fit else []) + (["query"] if query else []):
            data = field.encode()
            digest.update(struct.pack("<Q", len(data)))
            digest.update(data)
        return digest.digest()

    def get(self, key: bytes) -> Optional[Encoded]:
        entry = self._index.get(key)
        if entry is None:
            return None
        vectors, start, length, _, truncated, windows = entry
        tokens = np.array(vectors[start : start + length])
        # The pooled vector is derived from the tokens, so that it follows the
        # one pooling rule whatever rule wrote the chunk.
        return Encoded(tokens, pooled(tokens), truncated, windows)

    def put(self, keys: Sequence[bytes], encoded: Sequence[Encoded]) -> None:
        if not keys:
            return
        # A fresh name: other caches (threads, processes) may write here too.
        stem = f"chunk-{uuid.uuid4().hex}"
        vectors = np.concatenate([e.tokens for e in encoded]).astype(np.float32)
        _write_synced(self.directory / f"{stem}.vectors.npy", lambda f: np.save(f, vectors))
        temporary = self.directory / f"{stem}.meta.tmp.npz"
        _write_synced(temporary, lambda f: np.savez(
            f,
            keys=np.array(keys, dtype="S32"),
            lengths=np.array([e.tokens.shape[0] for e in encoded], dtype=np.int64),
            pooled=np.stack([e.pooled for e in encoded]).astype(np.float32),
            truncated=np.array([e.truncated for e in encoded], dtype=bool),
            windows=np.array([e.windows for e in encoded], dtype=np.int64),
        ))
        # Both files' names are durable before the metadata's final name
        # appears, and that name is durable before put returns.
        _sync_directory(self.directory)
        os.replace(temporary, self.directory / f"{stem}.meta.npz")
        _sync_directory(self.directory)
        starts = np.concatenate([[0], np.cumsum([e.tokens.shape[0] for e in encoded])[:-1]])
        for key, start, e in zip(keys, starts, encoded):
            self._index[key] = (vectors, int(start), e.tokens.shape[0], e.pooled, e.truncated, e.windows)

    def encode(self, encoder: TextEncoder, texts: Sequence[str], **options) -> tuple[list[Encoded], int]:
        """``encoder.encode(texts, **options)`` through the cache; returns the
        encodings in order and how many texts had to be encoded."""
        query = bool(options.get("query", False))
        template = options.get("template")
        if template is None:
            template = encoder.representation.query_template if query else encoder.representation.document_template
        check_texts(texts)  # empty texts are refused whether cached or not
        plans = encoder.plan(texts, template, query=query)
        keys = [self.key(encoder, t, template, fit_of(encoder, p), query=query) for t, p in zip(texts, plans)]
        found = [self.get(k) for k in keys]
        missing = [i for i, e in enumerate(found) if e is None]
        # Slices of the misses go to the cache as they finish, so an
        # interrupted run keeps what it encoded.
        label = options.pop("progress", None)
        bar = progress_bar(label, len(missing)) if isinstance(label, str) and missing else label
        for start in range(0, len(missing), self.SLICE):
            part = missing[start : start + self.SLICE]
            fresh = encoder.encode([texts[i] for i in part], progress=bar, **options)
            self.put([keys[i] for i in part], fresh)
            for i, e in zip(part, fresh):
                found[i] = e
        if bar is not None and bar is not label:
            bar.close()
        return found, len(missing)
