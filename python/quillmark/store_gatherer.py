"""A first stage over a vector store that keeps its index beside the store.

``StoreGatherer`` scores every document of a store's latest commit by the
cosine between the query's pooled vector and the document's, both pooled
from token vectors the same way: the mean of the unit token vectors, made
unit length. So any late-interaction model works without a second model.

The index follows the store segment by segment. A segment never changes once
committed, so its pooled vectors are computed once (``StoreView.pool``),
written to the index directory, and shared by every later commit that still
holds it; a new commit costs only its new segments, a deletion costs nothing
(each search keeps only rows its view holds), and a segment made by a
compaction or a merge copies the pooled vectors of the rows it copied
(``VectorStore.segment_sources``). With ``method="approximate"`` large
segments are also searched through an approximate nearest-neighbour index,
and every candidate found is scored exactly again.
"""

from __future__ import annotations

import os
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

import numpy as np

from . import _native
from .ids import utf8_key
from .pooling import pooled
from .pooled_index import PooledIndexDirectory

__all__ = ["StoreGatherer"]

METHODS = ("exact", "approximate")
SCORE_SEMANTICS = {
    "exact": "float32-exact-mean-unit-token-cosine",
    "approximate": "float32-approximate-mean-unit-token-cosine",
}
PROVENANCE = "mean-pooled cosine"

#: Segments with at least this many rows get an approximate index under
#: ``method="approximate"``; smaller ones are scanned, which costs less than
#: searching a graph for the thousand candidates a reranker wants.
APPROXIMATE_MIN_ROWS = 50_000


#: Below this many rows a segment is scored on the calling thread.
_PARALLEL_ROWS = 1 << 17
_pools: dict[tuple[int, int], ThreadPoolExecutor] = {}
_pools_lock = threading.Lock()


def _workers(threads: Optional[int]) -> int:
    return max(1, min(8, threads if threads is not None else (os.cpu_count() or 1)))


def _pool(workers: int) -> ThreadPoolExecutor:
    """A process's scoring threads (NumPy releases the interpreter lock while it
    scores); made again in a child after fork, where the parent's threads do
    not exist."""
    key = (os.getpid(), workers)
    with _pools_lock:
        pool = _pools.get(key)
        if pool is None:
            pool = _pools[key] = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="quillmark-score")
        return pool


@dataclass
class _Segment:
    """The index of one segment (ID and fingerprint): its rows' pooled vectors
    (read-only, usually mapped from the index directory) and, for large
    segments under the approximate method, an approximate index of them."""

    id: int
    fingerprint: int
    vectors: np.ndarray
    ann: object = None

    @property
    def rows(self) -> int:
        return self.vectors.shape[0]


def _default_path(store_path: Path) -> Path:
    return store_path.parent / (store_path.name + ".index")


def _inside(path: Path, directory: Path) -> bool:
    path, directory = Path(os.path.realpath(path)), Path(os.path.realpath(directory))
    return path == directory or directory in path.parents


class StoreGatherer:
    """Exact (or approximate) top-k by cosine of pooled vectors over a store.

    ``store`` is a ``VectorStore``; ``path`` the directory of the index
    (default: beside the store directory, named after it with ``.index``
    added; never inside the store directory). ``feature`` names the query's
    token matrix, which must come from the store's representation. Every
    ``gather`` takes the store's latest view, brings the index up to it, and
    returns candidates of that view only, with ``as_of`` the view's; equal
    scores fall in UTF-8 byte order of the ids. Thread-safe.
    """

    def __init__(
        self,
        store: _native.VectorStore,
        path: Union[str, os.PathLike[str], None] = None,
        *,
        method: str = "exact",
        feature: str = "multi_vector",
        threads: Optional[int] = None,
    ):
        if not isinstance(store, _native.VectorStore):
            raise TypeError(f"store must be a VectorStore, not {type(store).__name__}")
        if method not in METHODS:
            raise ValueError(f"method must be 'exact' or 'approximate', not {method!r}")
        if not isinstance(feature, str) or not feature:
            raise ValueError("feature must be a non-empty string")
        store_path = Path(os.path.abspath(store.path))
        path = _default_path(store_path) if path is None else Path(os.path.abspath(path))
        if _inside(path, store_path):
            raise ValueError(f"the index must not be inside the store directory {store_path}: {path}")
        self.store = store
        self.path = path
        self.method = method
        self.feature = feature
        self.threads = threads
        self.corpus = store.corpus
        self.representation = store.representation
        self.requires = {feature: store.representation}
        self.score_semantics = SCORE_SEMANTICS[method]
        self._lock = threading.Lock()  # guards _loaded, _directory, _newest, counters
        self._update = threading.Lock()  # one catch-up at a time
        self._loaded: dict[tuple[int, int], _Segment] = {}
        self._directory: Optional[PooledIndexDirectory] = None
        self._newest = -1  # the newest commit the index was brought up to
        #: Work done since construction, counted in documents and segments
        #: (what a catch-up cost, without timing it).
        self.counters = {
            "pooled_documents": 0,
            "copied_documents": 0,
            "loaded_segments": 0,
            "approximate_indexed_documents": 0,
        }

    # -- the gatherer protocol ---------------------------------------------------------

    def gather(self, query: _native.Query, limit: int, *, subset: Optional[_native.Subset] = None) -> _native.Gathered:
        return self.gather_at(self.store.view(), query, limit, subset=subset)

    def gather_at(self, view: _native.StoreView, query: _native.Query, limit: int, *,
                  subset: Optional[_native.Subset] = None) -> _native.Gathered:
        """``gather`` from ``view`` (a view of this gatherer's store) rather
        than the latest: a search that reads one commit throughout."""
        q = self.query_vector(query)
        segments = self.segments_of(view)
        limit = int(limit)
        if limit <= 0:
            return _native.Gathered([], view.as_of)
        restriction = ("except", frozenset()) if subset is None else subset.restriction(self.corpus)
        if restriction is None:
            found = []  # a subset that does not name this corpus allows none of it
        elif restriction[0] == "only":
            found = self._score_ids(view, segments, q, restriction[1])
        else:
            found = self._top(view, segments, q, limit, restriction[1])
        found.sort(key=lambda item: (-item[0], utf8_key(item[1])))
        return _native.Gathered(
            [
                _native.Candidate(self.corpus, document_id, score, rank, PROVENANCE)
                for rank, (score, document_id) in enumerate(found[:limit])
            ],
            view.as_of,
        )

    def query_vector(self, query: _native.Query) -> np.ndarray:
        """The query's token matrix pooled like the documents' rows (``quillmark.pooling``)."""
        matrix = np.asarray(query.feature(self.feature, self.representation), dtype=np.float32)
        if matrix.ndim != 2 or matrix.shape[0] == 0 or matrix.shape[1] != self.representation.dimension:
            raise _native.IncompatibleQueryError(
                f"query feature '{self.feature}' must be a [tokens, {self.representation.dimension}] matrix "
                f"with at least one token, got shape {matrix.shape}"
            )
        return pooled(matrix)

    # -- scoring ------------------------------------------------------------------------

    def _scores(self, vectors: np.ndarray, q: np.ndarray) -> np.ndarray:
        # One dot product per row: a row's score never depends on its place in
        # a matrix (a matrix-vector product would let the BLAS round a row by
        # its position in the blocking), so an index split across segments or
        # shards scores a document exactly as one index over everything does,
        # and the parts of a large segment can be scored on several threads.
        rows = vectors.shape[0]
        workers = _workers(self.threads)
        if rows < _PARALLEL_ROWS or workers == 1:
            return np.vecdot(vectors, q)
        out = np.empty(rows, dtype=np.float32)
        bounds = np.linspace(0, rows, workers + 1).astype(np.int64)
        pool = _pool(workers)
        for future in [pool.submit(np.vecdot, vectors[a:b], q, out=out[a:b]) for a, b in zip(bounds, bounds[1:])]:
            future.result()
        return out

    def _score_ids(self, view, segments: list[_Segment], q: np.ndarray, ids) -> list[tuple[float, str]]:
        ids = list(ids)
        if not ids:
            return []
        where, rows = view.locations(ids)
        by_id = {segment.id: segment for segment in segments}
        found = []
        for segment_id in np.unique(where[where >= 0]):
            mask = where == segment_id
            chosen = rows[mask]
            scores = self._scores(by_id[int(segment_id)].vectors[chosen], q)
            found.extend(zip(map(float, scores), [ids[i] for i in np.flatnonzero(mask)]))
        return found

    def _top(self, view, segments: list[_Segment], q: np.ndarray, limit: int, excluded) -> list[tuple[float, str]]:
        """The ``limit`` best present, allowed documents, and every document tied
        with the last of them.

        Scores are computed for a pool of rows: every row of a scanned segment,
        the ``wanted`` nearest rows of a segment searched through its
        approximate index. The ``wanted`` best rows of the pool (with every tie)
        are checked against the view and the subset; when deleted, replaced or
        excluded rows took too many of those places, ``wanted`` grows and the
        pool with it."""
        scanned = [i for i, s in enumerate(segments) if s.ann is None]
        searched = [i for i, s in enumerate(segments) if s.ann is not None]
        base = [(np.full(s.rows, i, dtype=np.int64), np.arange(s.rows), self._scores(s.vectors, q))
                for i, s in ((i, segments[i]) for i in scanned)]
        wanted = limit
        while True:
            parts = list(base)
            complete = True
            for i in list(searched):
                segment = segments[i]
                if 2 * wanted >= segment.rows:
                    # As costly as a scan by now: scan it.
                    searched.remove(i)
                    base.append((np.full(segment.rows, i, dtype=np.int64), np.arange(segment.rows),
                                 self._scores(segment.vectors, q)))
                    parts.append(base[-1])
                    continue
                rows = np.asarray(segment.ann.search(q, wanted)[0], dtype=np.int64)
                rows = np.unique(rows[(rows >= 0) & (rows < segment.rows)])
                complete = False
                parts.append((np.full(len(rows), i, dtype=np.int64), rows, self._scores(segment.vectors[rows], q)))
            if not parts:
                return []
            owner = np.concatenate([p[0] for p in parts])
            rows = np.concatenate([p[1] for p in parts])
            scores = np.concatenate([p[2] for p in parts])
            if wanted < len(scores):
                kth = np.partition(scores, len(scores) - wanted)[len(scores) - wanted]
                pick = np.flatnonzero(scores >= kth)
            else:
                pick = np.arange(len(scores))
            keep = self._present(view, segments, owner[pick], rows[pick])
            pick = pick[keep]
            ids = None
            if excluded:
                ids = self._ids(view, segments, owner[pick], rows[pick])
                allowed = np.fromiter((d not in excluded for d in ids), dtype=bool, count=len(ids))
                pick, ids = pick[allowed], [d for d, ok in zip(ids, allowed) if ok]
            if len(pick) >= limit or (wanted >= len(scores) and complete):
                break
            wanted = 2 * wanted + (len(keep) - len(pick))
        # Every pick scoring at least the limit-th best, with its id (ties are
        # ordered by id, so all of them are needed).
        if len(pick) > limit:
            cut = np.partition(scores[pick], len(pick) - limit)[len(pick) - limit]
            last = scores[pick] >= cut
            if ids is not None:
                ids = [d for d, ok in zip(ids, last) if ok]
            pick = pick[last]
        if ids is None:
            ids = self._ids(view, segments, owner[pick], rows[pick])
        return list(zip(map(float, scores[pick]), ids))

    @staticmethod
    def _present(view, segments, owner: np.ndarray, rows: np.ndarray) -> np.ndarray:
        segment_ids = np.array([s.id for s in segments], dtype=np.int64)
        return np.asarray(view.present(segment_ids[owner], rows), dtype=bool)

    @staticmethod
    def _ids(view, segments, owner: np.ndarray, rows: np.ndarray) -> list[str]:
        ids: list = [None] * len(rows)
        for i in np.unique(owner):
            where = np.flatnonzero(owner == i)
            for slot, document_id in zip(where, view.segment_document_ids(segments[int(i)].id, rows[where])):
                ids[slot] = document_id
        return ids

    # -- following the store -----------------------------------------------------------

    def update(self) -> _native.StoreView:
        """Brings the index up to the store's latest commit now, and returns
        that view. ``gather`` does the same when it needs to; calling this
        before serving (or after a large commit or a compaction) keeps the
        work out of a search: building the approximate index of a
        1,000,000-document segment takes minutes."""
        view = self.store.view()
        self.segments_of(view)
        return view

    def segments_of(self, view) -> list[_Segment]:
        """The index of every segment of ``view``, in its order, brought up to
        it first when it lacks any."""
        wanted = [(segment_id, fingerprint) for segment_id, _, _, fingerprint in view.segments]
        with self._lock:
            found = [self._loaded.get(key) for key in wanted]
        if all(segment is not None for segment in found):
            return found
        with self._update:
            return self._catch_up(view)

    def _index_directory(self, view) -> PooledIndexDirectory:
        with self._lock:
            if self._directory is None or self._directory.store_id != view.store_id:
                workers = _workers(self.threads)
                self._directory = PooledIndexDirectory(self.path, view.store_id, self.representation.dimension,
                                                       _pool(workers) if workers > 1 else None)
                # Another store now answers at the store's path: nothing
                # indexed for the old one may serve it, and its commit numbers
                # start again.
                self._loaded = {}
                self._newest = -1
            return self._directory

    def _catch_up(self, view) -> list[_Segment]:
        directory = self._index_directory(view)
        listing = directory.listing()
        damaged: list[str] = []
        made: list[_Segment] = []  # computed here, not yet written
        made_ann: list[_Segment] = []
        result = []
        for segment_id, rows, _tokens, fingerprint in view.segments:
            key = (segment_id, fingerprint)
            with self._lock:
                segment = self._loaded.get(key)
            if segment is None:
                segment = self._load(directory, listing, key, rows, damaged)
                if segment is None:
                    vectors = self._compute(view, directory, listing, segment_id, rows)
                    segment = _Segment(segment_id, fingerprint, vectors)
                    made.append(segment)
                with self._lock:
                    self._loaded[key] = segment
            if self.method == "approximate" and segment.ann is None and segment.rows >= APPROXIMATE_MIN_ROWS:
                if not self._load_ann(directory, listing, segment, damaged):
                    self._build_ann(segment)
                    made_ann.append(segment)
            result.append(segment)

        keep = {(segment.id, segment.fingerprint) for segment in result}
        newest = view.commit >= self._newest
        if newest:
            self._newest = view.commit
            with self._lock:
                # Segments the store no longer holds; a search on an older view
                # that still needs one computes it again.
                self._loaded = {key: s for key, s in self._loaded.items() if key in keep}

        if made or made_ann or damaged or newest:
            written: dict[tuple[int, int], str] = {}

            def update(writing) -> None:
                for name in damaged:
                    writing.remove(name)
                for segment in made:
                    written[(segment.id, segment.fingerprint)] = writing.put_pooled(
                        segment.id, segment.fingerprint, np.ascontiguousarray(segment.vectors))
                for segment in made_ann:
                    writing.put_ann(segment.id, segment.fingerprint, segment.ann)
                if newest:
                    writing.remove_except(keep)

            if directory.write(update):
                # What was written replaces the copy in memory with the mapped file.
                for segment in made:
                    mapped = np.load(directory.path / written[(segment.id, segment.fingerprint)],
                                     mmap_mode="r", allow_pickle=False)
                    segment.vectors = mapped
        return result

    def _load(self, directory, listing, key, rows, damaged) -> Optional[_Segment]:
        for crc, name in listing.get((*key, "pooled.npy"), []):
            vectors = directory.load_pooled(name, crc, rows)
            if vectors is not None:
                with self._lock:
                    self.counters["loaded_segments"] += 1
                return _Segment(key[0], key[1], vectors)
            damaged.append(name)
        return None

    def _compute(self, view, directory, listing, segment_id: int, rows: int) -> np.ndarray:
        """The pooled vectors of a segment's rows: copied from the segments a
        compaction or merge copied them from when their index is at hand (in
        memory or in the index directory), else pooled from the stored token
        vectors."""
        copied = self._copy_sources(directory, listing, segment_id, rows)
        if copied is not None:
            with self._lock:
                self.counters["copied_documents"] += rows
            return copied
        vectors = view.pool(segment_id, threads=self.threads)
        with self._lock:
            self.counters["pooled_documents"] += rows
        return vectors

    def _copy_sources(self, directory, listing, segment_id: int, rows: int) -> Optional[np.ndarray]:
        segment_sources = getattr(self.store, "segment_sources", None)
        if segment_sources is None or rows == 0:
            return None
        try:
            sources = segment_sources(segment_id)
        except (ValueError, OSError):
            return None  # a newer commit removed the segment, or its record is unreadable
        if sources is None or sources.shape != (rows, 3):
            return None
        out = np.empty((rows, self.representation.dimension), dtype=np.float32)
        done = np.zeros(rows, dtype=bool)
        with self._lock:
            loaded = dict(self._loaded)
        for source_id, source_fingerprint in {(int(a), int(b)) for a, b in zip(sources[:, 0], sources[:, 2])}:
            source = loaded.get((source_id, source_fingerprint))
            if source is None:
                source = self._load(directory, listing, (source_id, source_fingerprint), None, [])
            if source is None:
                return None
            mask = (sources[:, 0] == source_id) & (sources[:, 2] == source_fingerprint)
            source_rows = sources[mask, 1].astype(np.int64)
            if source_rows.size and int(source_rows.max()) >= source.rows:
                return None
            out[mask] = source.vectors[source_rows]
            done |= mask
        return out if done.all() else None

    # -- the approximate index ------------------------------------------------------------

    def _load_ann(self, directory, listing, segment: _Segment, damaged) -> bool:
        for _crc, name in listing.get((segment.id, segment.fingerprint, "ann"), []):
            index = directory.load_ann(name, segment.rows)
            if index is not None:
                segment.ann = index
                return True
            damaged.append(name)
        return False

    def _build_ann(self, segment: _Segment) -> None:
        from .ann import AnnIndex

        segment.ann = AnnIndex.build(np.asarray(segment.vectors), threads=_workers(self.threads))
        with self._lock:
            self.counters["approximate_indexed_documents"] += segment.rows
