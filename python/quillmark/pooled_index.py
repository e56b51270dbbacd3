"""The on-disk cache of a store's pooled document vectors, one file per segment.

A store's segments never change once committed, so the pooled vector of
every row of a segment (``StoreView.pool``) is computed once and kept here,
outside the store directory (whose files the writer owns). The cache is
derived data: a file that is missing, damaged, of another store or of
another segment written under the same ID is ignored and made again; the
store stays the only source of truth.

Layout of the directory::

    index.json                                   {"format", "store_id", "dimension"}
    segment-ID-FINGERPRINT-CRC.pooled.npy        float32 [rows, dimension]
    segment-ID-FINGERPRINT.ann                   an approximate index of those rows
                                                 (quillmark.ann, checksummed itself)
    .lock                                        taken (flock) while writing

``FINGERPRINT`` is the segment's fingerprint (16 hexadecimal digits) and
``CRC`` the CRC-32 of the array's data (8 digits), checked before a file is
used. Every file is written aside, flushed, and renamed into place, so a
reader sees a whole file or none. One process writes at a time (the lock);
the others use what is already there and keep what they compute in memory.
"""

from __future__ import annotations

import fcntl
import json
import os
import re
import threading
import uuid
import warnings
import zlib
from pathlib import Path
from typing import Callable, Optional

import numpy as np

__all__ = ["PooledIndexDirectory", "crc32"]

FORMAT = "quillmark-pooled-index-1"
_FILE = re.compile(r"^segment-(\d+)-([0-9a-f]{16})(?:-([0-9a-f]{8}))?\.(pooled\.npy|ann)$")


_CRC_CHUNK = 1 << 24


def crc32(data, pool=None) -> int:
    """The checksum of a buffer (an array's bytes): the CRC-32 of the CRC-32s of
    its 16 MiB chunks, so that the chunks can be summed on several threads
    (``pool``, an executor; zlib releases the interpreter lock). Nothing is
    copied."""
    view = memoryview(data).cast("B")
    chunks = [view[start : start + _CRC_CHUNK] for start in range(0, len(view), _CRC_CHUNK)]
    sums = list(pool.map(zlib.crc32, chunks)) if pool is not None and len(chunks) > 1 else list(map(zlib.crc32, chunks))
    return zlib.crc32(b"".join(c.to_bytes(4, "little") for c in sums))


def _sync_directory(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class PooledIndexDirectory:
    """The files of one index directory. Thread-safe.

    Writing is best effort: a directory that cannot be made or written (a
    read-only deployment), or whose lock another process holds, leaves the
    caller with what it computed in memory; the first such failure warns once.
    """

    def __init__(self, path: Path, store_id: str, dimension: int, pool=None):
        self.path = path
        self.pool = pool  # threads for checksums, or None
        self.store_id = store_id
        self.dimension = dimension
        self._warned = False
        self._mutex = threading.Lock()  # serialises this object's writers

    # -- reading -----------------------------------------------------------------

    def belongs_to_store(self) -> bool:
        """Whether index.json names this store (and dimension)."""
        try:
            with open(self.path / "index.json", "rb") as f:
                record = json.loads(f.read())
        except (OSError, ValueError):
            return False
        return (
            isinstance(record, dict)
            and record.get("format") == FORMAT
            and record.get("store_id") == self.store_id
            and record.get("dimension") == self.dimension
        )

    def listing(self) -> dict[tuple[int, int, str], list[tuple[int, str]]]:
        """(segment ID, fingerprint, kind) → [(CRC, file name), ...] of the files
        present ("pooled.npy" or "ann"), when the directory belongs to this store."""
        if not self.belongs_to_store():
            return {}
        found = {}
        try:
            names = os.listdir(self.path)
        except OSError:
            return {}
        for name in names:
            match = _FILE.match(name)
            if match:
                key = (int(match[1]), int(match[2], 16), match[4])
                crc = int(match[3], 16) if match[3] else None
                found.setdefault(key, []).append((crc, name))
        return found

    def load_pooled(self, name: str, crc: int, rows: Optional[int]) -> Optional[np.ndarray]:
        """The mapped array of file ``name`` when it has ``rows`` rows (any
        number when None) of this dimension and its data has CRC ``crc``; else
        None (never an exception for a damaged file)."""
        try:
            array = np.load(self.path / name, mmap_mode="r", allow_pickle=False)
        except (OSError, ValueError, EOFError):
            return None
        if (
            not isinstance(array, np.ndarray)
            or array.dtype != np.float32
            or array.ndim != 2
            or array.shape[1] != self.dimension
            or (rows is not None and array.shape[0] != rows)
            or not array.flags.c_contiguous
        ):
            return None
        if crc is None or crc32(array, self.pool) != crc:
            return None
        return array

    def load_ann(self, name: str, rows: int):
        """The approximate index in file ``name`` when it is intact and holds
        ``rows`` vectors of this dimension; else None."""
        from .ann import AnnIndex

        try:
            index = AnnIndex.load(self.path / name)
        except (OSError, ValueError):
            return None
        return index if index.count == rows and index.dimension == self.dimension else None

    # -- writing -----------------------------------------------------------------

    def write(self, update: Callable[["_Writing"], None]) -> bool:
        """Runs ``update`` with a writer while holding the directory's lock.
        Returns False, without running it, when the lock is held by another
        process (or this object is writing in another thread); warns once and
        returns False when the directory cannot be written."""
        if not self._mutex.acquire(blocking=False):
            return False
        try:
            try:
                self.path.mkdir(parents=True, exist_ok=True)
                lock = os.open(self.path / ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
            except OSError as error:
                self._warn(error)
                return False
            try:
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    return False
                try:
                    writing = _Writing(self)
                    if not self.belongs_to_store():
                        writing.claim()
                    update(writing)
                except OSError as error:
                    self._warn(error)
                    return False
                return True
            finally:
                os.close(lock)  # releases the flock
        finally:
            self._mutex.release()

    def _warn(self, error: OSError) -> None:
        if not self._warned:
            self._warned = True
            warnings.warn(
                f"the index at {self.path} cannot be written ({error}); "
                "the gatherer keeps what it computes in memory",
                RuntimeWarning,
                stacklevel=4,
            )


class _Writing:
    """What may be done to the directory while its lock is held."""

    def __init__(self, directory: PooledIndexDirectory):
        self.directory = directory

    def _put(self, final: str, write: Callable[[object], None]) -> None:
        path = self.directory.path
        temporary = path / f".tmp-{uuid.uuid4().hex}"
        try:
            with open(temporary, "xb") as f:
                write(f)
                f.flush()
                os.fsync(f.fileno())
            os.rename(temporary, path / final)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
        _sync_directory(path)

    def claim(self) -> None:
        """Makes the directory this store's: removes the files of any other
        store's index, then writes index.json."""
        for name in os.listdir(self.directory.path):
            if _FILE.match(name) or name.startswith(".tmp-"):
                os.unlink(self.directory.path / name)
        record = {"format": FORMAT, "store_id": self.directory.store_id, "dimension": self.directory.dimension}
        self._put("index.json", lambda f: f.write(json.dumps(record).encode() + b"\n"))

    def put_pooled(self, segment: int, fingerprint: int, vectors: np.ndarray) -> str:
        name = f"segment-{segment}-{fingerprint:016x}-{crc32(vectors, self.directory.pool):08x}.pooled.npy"
        self._put(name, lambda f: np.save(f, vectors, allow_pickle=False))
        return name

    def put_ann(self, segment: int, fingerprint: int, index) -> str:
        name = f"segment-{segment}-{fingerprint:016x}.ann"
        index.save(self.directory.path / name)  # aside, flushed, renamed, directory flushed
        return name

    def remove(self, name: str) -> None:
        """Removes one file (a damaged one, found by its CRC)."""
        try:
            os.unlink(self.directory.path / name)
        except FileNotFoundError:
            pass

    def remove_except(self, keep: set[tuple[int, int]]) -> None:
        """Removes the files of segments (ID, fingerprint) not in ``keep``, and
        temporary files left by a writer that stopped. A process still
        searching an older commit that needs a removed file computes it again."""
        for name in os.listdir(self.directory.path):
            match = _FILE.match(name)
            if (match and (int(match[1]), int(match[2], 16)) not in keep) or name.startswith(".tmp-"):
                try:
                    os.unlink(self.directory.path / name)
                except FileNotFoundError:
                    pass
