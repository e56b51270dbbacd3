"""Approximate nearest neighbours by inner product over unit vectors.

``AnnIndex`` is a faiss HNSW graph (``IndexHNSWFlat``, inner product) over a
float32 [n, d] array of unit rows whose labels are the row numbers 0..n-1.

Files. ``save`` writes faiss's serialization followed by a trailer: a CRC-32
of every 64 MiB of it, the index's dimension and count, and a magic tag, the
trailer itself checksummed. The file is written under a temporary name in
the same directory, flushed (fsync), renamed into place and the directory
flushed, so a crash leaves either the old file or the new one. ``load`` checks
the trailer and every checksum before faiss reads a byte (faiss then reads the
very file that was checked, through /proc/self/fd), so a truncated, corrupted
or foreign file is a ValueError; by default faiss maps the stored vectors into
memory rather than reading them (IO_FLAG_MMAP_IFC).

Searching. ``search(vector, k)`` returns (labels int64, scores float32), best
first, equal scores by label. The search breadth (faiss's efSearch) is
``ef_for(k, count)`` unless given: ``300 + 2 k``, scaled by
``(count / 100,000) ** 0.3`` above 100,000 vectors: a rule fitted (by
bench/ann_ef.py) to the breadth a recall@k of 0.98 needs. Results are
deterministic for a given index and query: the graph walk has no randomness.

Threads. Searches may run concurrently from any number of threads: the
breadth is passed with each call (a ``SearchParametersHNSW`` of its own), never
set on the shared index, faiss's search only reads the graph, and it releases
the GIL while it runs. ``build`` uses ``threads`` OpenMP threads and restores
faiss's previous thread count.
"""

from __future__ import annotations

import concurrent.futures
import math
import mmap
import os
import secrets
import struct
import zlib
from typing import Optional

import numpy as np

__all__ = ["AnnIndex"]

# ef_for: EF_BASE + EF_PER_K * k up to EF_BASE_COUNT vectors, times
# (count / EF_BASE_COUNT) ** EF_GROWTH above. Measured with m=16,
# ef_construction=200 on clustered pooled vectors (bench/ann_ef.py), the
# breadth that reaches recall@k >= 0.98 grows with the index: at 100,000
# vectors 400 for k <= 100 and 1,600 for k = 1,000; at 1,000,000 vectors 800
# for k <= 100 (even k = 1 needs 400), 4,000 for k = 1,000, 6,400 for k = 2,000
# and 16,000 for k = 4,000 (12,800 reached 0.979). An additive base rather
# than max(400, 2 k): k near 300 needs more than twice k (max(400, 2 k) gave
# 0.978 at k = 300 on queries the rule was not fitted on).
EF_BASE = 300
EF_PER_K = 2.0
EF_BASE_COUNT = 100_000
EF_GROWTH = 0.3
DEFAULT_M = 16
DEFAULT_EF_CONSTRUCTION = 200

_MAGIC = b"QMANN\x00v1"
# payload bytes, checksum chunk bytes, vector count, dimension, chunk count,
# CRC-32 of the checksum table and the fields before it, magic.
_FOOTER = struct.Struct("<QQQIII8s")
_CHUNK = 64 << 20
_UNIT_TOLERANCE = 1e-3


def _faiss():
    import faiss  # imported on first use: `import quillmark` does not need it

    return faiss


def _crc_chunks(buffer, length: int, chunk: int, threads: int) -> list[int]:
    """CRC-32 of each `chunk` bytes of buffer[:length]; zlib releases the GIL
    on large buffers, so `threads` chunks are summed at a time."""
    view = memoryview(buffer)
    spans = [(s, min(s + chunk, length)) for s in range(0, length, chunk)]
    try:
        if threads <= 1 or len(spans) <= 1:
            return [zlib.crc32(view[a:b]) for a, b in spans]
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            return list(pool.map(lambda span: zlib.crc32(view[span[0] : span[1]]), spans))
    finally:
        view.release()


def _footer_crc(table: bytes, payload: int, chunk: int, count: int, dim: int, chunks: int) -> int:
    return zlib.crc32(struct.pack("<QQQII", payload, chunk, count, dim, chunks) + table)


def _fsync_directory(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class AnnIndex:
    """An HNSW graph over unit vectors labelled 0..n-1; see the module's notes."""

    def __init__(self, index, *, _private: bool = False):
        if not _private:
            raise TypeError("make an AnnIndex with AnnIndex.build or AnnIndex.load")
        self._index = index

    # ---- making -------------------------------------------------------------------------------

    @classmethod
    def build(cls, vectors: np.ndarray, *, m: int = DEFAULT_M, ef_construction: int = DEFAULT_EF_CONSTRUCTION,
              threads: int = 2) -> "AnnIndex":
        """The index over the rows of float32 [n, d] ``vectors`` (unit length),
        row i labelled i. ``m`` links per node (2 * m on the base layer),
        ``ef_construction`` the breadth of the insertion search."""
        faiss = _faiss()
        vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        if vectors.ndim != 2 or vectors.shape[1] == 0:
            raise ValueError(f"vectors must be [n, d] with d > 0, got shape {vectors.shape}")
        if not np.isfinite(vectors).all():
            raise ValueError("vectors must be finite")
        norms = np.sqrt(np.einsum("ij,ij->i", vectors, vectors, dtype=np.float64))
        if vectors.shape[0] and np.abs(norms - 1.0).max() > _UNIT_TOLERANCE:
            bad = int(np.argmax(np.abs(norms - 1.0)))
            raise ValueError(f"vectors must be unit length: row {bad} has norm {norms[bad]:.6g}")
        if m < 2 or ef_construction < 1 or threads < 1:
            raise ValueError("need m >= 2, ef_construction >= 1, threads >= 1")
        index = faiss.IndexHNSWFlat(vectors.shape[1], int(m), faiss.METRIC_INNER_PRODUCT)
        index.hnsw.efConstruction = int(ef_construction)
        previous = faiss.omp_get_max_threads()
        faiss.omp_set_num_threads(int(threads))
        try:
            index.add(vectors)
        finally:
            faiss.omp_set_num_threads(previous)
        return cls(index, _private=True)

    # ---- files --------------------------------------------------------------------------------

    def save(self, path: str | os.PathLike) -> None:
        """Write the index to ``path`` crash-safely (temporary file in the same
        directory, fsync, rename into place, fsync of the directory)."""
        faiss = _faiss()
        path = os.path.abspath(os.fspath(path))
        directory, name = os.path.split(path)
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(8)}.tmp")
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        try:
            faiss.write_index(self._index, temporary)
            with open(temporary, "r+b") as f:
                payload = os.fstat(f.fileno()).st_size
                if payload == 0:
                    raise OSError(f"faiss wrote nothing to {temporary}")
                with mmap.mmap(f.fileno(), payload, access=mmap.ACCESS_READ) as mapped:
                    crcs = _crc_chunks(mapped, payload, _CHUNK, 2)
                table = struct.pack(f"<{len(crcs)}I", *crcs)
                count, dim = self.count, self.dimension
                footer = _FOOTER.pack(payload, _CHUNK, count, dim, len(crcs),
                                      _footer_crc(table, payload, _CHUNK, count, dim, len(crcs)), _MAGIC)
                f.seek(payload)
                f.write(table + footer)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, path)
        except BaseException:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
            raise
        _fsync_directory(directory)

    @classmethod
    def load(cls, path: str | os.PathLike, *, mmap_vectors: bool = True, verify_threads: int = 2) -> "AnnIndex":
        """The index saved at ``path``. Every checksum is verified first; a file
        that is not a complete, intact index is a ValueError. With
        ``mmap_vectors`` faiss maps the stored vectors instead of reading them
        into memory (the graph is read)."""
        faiss = _faiss()
        path = os.fspath(path)
        fd = os.open(path, os.O_RDONLY)
        try:
            size = os.fstat(fd).st_size
            if size < _FOOTER.size:
                raise ValueError(f"{path}: not an ANN index ({size} bytes, shorter than its trailer)")
            footer = os.pread(fd, _FOOTER.size, size - _FOOTER.size)
            payload, chunk, count, dim, chunks, footer_crc, magic = _FOOTER.unpack(footer)
            if magic != _MAGIC:
                raise ValueError(f"{path}: not an ANN index (no trailer tag; truncated or another format)")
            if chunk == 0 or payload == 0 or chunks != math.ceil(payload / chunk) \
                    or payload + 4 * chunks + _FOOTER.size != size:
                raise ValueError(f"{path}: corrupted ANN index (its trailer does not match its {size} bytes)")
            table = os.pread(fd, 4 * chunks, payload)
            if _footer_crc(table, payload, chunk, count, dim, chunks) != footer_crc:
                raise ValueError(f"{path}: corrupted ANN index (trailer checksum mismatch)")
            with mmap.mmap(fd, payload, access=mmap.ACCESS_READ) as mapped:
                found = _crc_chunks(mapped, payload, chunk, verify_threads)
            if list(struct.unpack(f"<{chunks}I", table)) != found:
                raise ValueError(f"{path}: corrupted ANN index (checksum mismatch)")
            # The checked file itself, even if `path` has been replaced meanwhile.
            source = f"/proc/self/fd/{fd}" if os.path.exists(f"/proc/self/fd/{fd}") else path
            flags = faiss.IO_FLAG_MMAP_IFC if mmap_vectors else 0
            try:
                index = faiss.read_index(source, flags)
            except RuntimeError as e:
                raise ValueError(f"{path}: faiss could not read the index: {str(e).strip().splitlines()[-1]}") from e
        finally:
            os.close(fd)
        if not isinstance(index, faiss.IndexHNSWFlat) or index.metric_type != faiss.METRIC_INNER_PRODUCT:
            raise ValueError(f"{path}: holds a {type(index).__name__}, not an inner-product HNSW index")
        if index.d != dim or index.ntotal != count:
            raise ValueError(f"{path}: corrupted ANN index (faiss read {index.ntotal} x {index.d}, "
                             f"the trailer says {count} x {dim})")
        return cls(index, _private=True)

    # ---- searching ----------------------------------------------------------------------------

    @property
    def count(self) -> int:
        return int(self._index.ntotal)

    @property
    def dimension(self) -> int:
        return int(self._index.d)

    def __len__(self) -> int:
        return self.count

    @staticmethod
    def ef_for(k: int, count: int) -> int:
        """The search breadth used for ``k`` results from an index of ``count``
        vectors when none is given (never below k)."""
        scale = max(1.0, count / EF_BASE_COUNT) ** EF_GROWTH
        return max(int(k), math.ceil(scale * (EF_BASE + EF_PER_K * k)))

    def search(self, vector: np.ndarray, k: int, *, ef: Optional[int] = None) -> tuple[np.ndarray, np.ndarray]:
        """The (about) ``k`` labels nearest ``vector`` by inner product and their
        scores: (int64 [<= k], float32 [<= k]), best first, equal scores by
        label. Fewer than ``k`` only when the index holds fewer vectors."""
        vector = np.ascontiguousarray(vector, dtype=np.float32).reshape(-1)
        if vector.shape[0] != self.dimension:
            raise ValueError(f"query has dimension {vector.shape[0]}, the index {self.dimension}")
        if not np.isfinite(vector).all():
            raise ValueError("query must be finite")
        if int(k) < 0:
            raise ValueError("k must be >= 0")
        k = min(int(k), self.count)
        if k == 0:
            return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.float32)
        breadth = self.ef_for(k, self.count) if ef is None else int(ef)
        if breadth < 1:
            raise ValueError("ef must be >= 1")
        params = _faiss().SearchParametersHNSW()
        params.efSearch = max(breadth, k)
        scores, labels = self._index.search(vector[None, :], k, params=params)
        labels, scores = labels[0], scores[0]
        found = labels >= 0
        labels, scores = labels[found].astype(np.int64), scores[found].astype(np.float32)
        order = np.lexsort((labels, -scores))
        return labels[order], scores[order]
