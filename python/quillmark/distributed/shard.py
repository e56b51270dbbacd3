"""One shard: an ordinary vector store served by a Ray actor on its machine.

The actor is the shard's single writer (opened on the first write, or by the
creation of the store) and serves its searches: first-stage gathers by the
gatherers installed on it, and MaxSim reranks by the native reranker over the
shard's own store, so document vectors never leave the machine that holds
them. Writes run one at a time; searches run concurrently with each other and
with writes, each on a view of the latest commit.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import threading
from typing import Any, Optional

import ray

from .._native import (
    Candidate,
    Feature,
    MaxSimReranker,
    Query,
    ResourceBudget,
    Subset,
    VectorStore,
    VectorStoreWriter,
)
from ..ids import utf8_key
from .layout import Layout

__all__ = ["ShardServer", "SEARCH_CONCURRENCY"]

#: Searches one shard actor serves at the same time (the native work releases
#: the interpreter lock).
SEARCH_CONCURRENCY = 8


@dataclasses.dataclass
class _Installed:
    builder: Any
    gatherer: Any = None
    commit: Optional[int] = None


@ray.remote(concurrency_groups={"write": 1, "search": SEARCH_CONCURRENCY})
class ShardServer:
    """The actor of shard ``shard`` of the sharded store at ``root``.

    With ``create`` (corpus, representation, encoding) it writes the layout file
    (or checks the one a sibling shard wrote) and creates the shard's empty
    store; otherwise it opens the store already there, after checking that the
    layout on this machine agrees with ``shards``.
    """

    def __init__(self, root: str, shard: int, shards: int, create: Optional[tuple] = None):
        self.path = str(Layout.directory(root, shard))
        # A constructor's exception reaches the caller only as text; kept here,
        # ``describe`` (the first call every actor gets) raises it whole.
        self._broken: Optional[BaseException] = None
        self._lock = threading.Lock()  # guards _gatherers and _rerankers
        self._gatherers: dict[str, _Installed] = {}
        self._rerankers: dict[str, MaxSimReranker] = {}
        try:
            self._open(root, shard, shards, create)
        except Exception as error:
            self._broken = error

    def _open(self, root: str, shard: int, shards: int, create: Optional[tuple]) -> None:
        if create is not None:
            corpus, representation, encoding = create
            layout = Layout(corpus, shards)
            layout.publish(root)
            self._writer: Optional[VectorStoreWriter] = VectorStoreWriter.create(
                self.path, corpus, representation, encoding=encoding
            )
        else:
            layout = Layout.read(root)
            layout.check(root, shards)
            self._writer = None
        self.store = VectorStore(self.path)
        layout.check(root, shards, self.store.corpus)
        self.corpus = self.store.corpus

    # -- housekeeping -----------------------------------------------------------

    def describe(self) -> dict:
        if self._broken is not None:
            raise self._broken
        return {
            "corpus": self.store.corpus,
            "encoding": self.store.encoding,
            "representation": self.store.representation,
            "score_semantics": self.store.score_semantics,
            "path": self.path,
            "node": ray.get_runtime_context().get_node_id(),
            "pid": os.getpid(),
        }

    def ping(self) -> None:
        """Nothing: a round trip, to measure what a fan-out costs by itself."""
        return None

    # -- writes: the shard's single writer ----------------------------------------

    def _writer_(self) -> VectorStoreWriter:
        if self._writer is None:
            self._writer = VectorStoreWriter(self.path)
        return self._writer

    @ray.method(concurrency_group="write")
    def append(self, document_ids: list, embeddings, document_lengths, threads: Optional[int]) -> None:
        self._writer_().append(document_ids, embeddings, document_lengths, threads=threads)

    @ray.method(concurrency_group="write")
    def delete(self, document_ids: list) -> int:
        return self._writer_().delete(document_ids)

    @ray.method(concurrency_group="write")
    def compact(self) -> None:
        self._writer_().compact()

    @ray.method(concurrency_group="write")
    def commit(self) -> datetime.datetime:
        return self._writer_().commit()

    @ray.method(concurrency_group="write")
    def release(self) -> None:
        """Drops the shard's writer, and with it the staged work and the store's
        writer lock. Queued behind the writes already sent, like any write."""
        self._writer = None

    # -- reads ----------------------------------------------------------------------

    @ray.method(concurrency_group="search")
    def document_ids(self) -> list:
        return self.store.view().document_ids

    @ray.method(concurrency_group="search")
    def install(self, key: str, builder: Any) -> None:
        with self._lock:
            self._gatherers[key] = _Installed(builder)

    @ray.method(concurrency_group="search")
    def uninstall(self, key: str) -> None:
        with self._lock:
            self._gatherers.pop(key, None)

    @ray.method(concurrency_group="search")
    def gather(self, key: str, query: tuple, limit: int, subset: Optional[tuple]):
        """The shard's candidates as (id, score, provenance, tie key) tuples, best
        first, and the gatherer's ``as_of``. ``query`` is (text, {name:
        (representation, value)}); ``subset`` is None (unrestricted) or (kind,
        ids) for this shard's corpus, kind None when the subset does not name it."""
        view = self.store.view()
        with self._lock:
            installed = self._gatherers.get(key)
            if installed is None:
                raise LookupError(f"no gatherer {key} is installed on this shard (it was closed)")
            if hasattr(installed.builder, "for_store"):
                # A gatherer that follows the store's commits itself.
                if installed.gatherer is None:
                    installed.gatherer = installed.builder.for_store(self.corpus, self.store)
            elif installed.gatherer is None or installed.commit != view.commit:
                # A gatherer reflects one commit; the next search after a commit rebuilds it.
                installed.gatherer = installed.builder(self.corpus, view)
                installed.commit = view.commit
            gatherer, builder = installed.gatherer, installed.builder
        text, features = query
        rebuilt = Query(text, **{name: Feature(rep, value) for name, (rep, value) in features.items()})
        restriction = None
        if subset is not None:
            kind, ids = subset
            restriction = Subset()
            if kind == "only":
                restriction = restriction.including(self.corpus, ids)
            elif kind == "except":
                restriction = restriction.excluding(self.corpus, ids)
        gathered = gatherer.gather(rebuilt, limit, subset=restriction)
        order = getattr(builder, "tie_key", utf8_key)  # by default equal scores fall in id order
        found = [(c.document_id, c.gather_score, c.provenance, order(c.document_id)) for c in gathered.candidates]
        return found, gathered.as_of

    @ray.method(concurrency_group="search")
    def rerank(self, feature: str, matrix, document_ids: list, budget: dict):
        """MaxSim scores of ``document_ids`` (None for a document the shard does
        not hold) over one view of the shard's store, and that view's time."""
        with self._lock:
            reranker = self._rerankers.get(feature)
            if reranker is None:
                reranker = self._rerankers[feature] = MaxSimReranker([self.store], feature=feature)
        if document_ids:
            query = Query("", **{feature: Feature(self.store.representation, matrix)})
        else:
            query = Query("")
        candidates = [Candidate(self.corpus, d, 0.0, rank, "") for rank, d in enumerate(document_ids)]
        scored = reranker.rerank(query, candidates, budget=ResourceBudget(**budget))
        return scored.scores, scored.as_of
