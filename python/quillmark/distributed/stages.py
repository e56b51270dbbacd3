"""The search stages over a sharded store: a gatherer and a reranker.

Both implement the pipeline's stage protocols, so ``SearchPipeline(
ShardedGatherer(store, builder), ShardedReranker(store))`` searches a sharded
store exactly as a pipeline searches one store:

- ``ShardedGatherer`` asks every shard, in parallel, for its top ``limit``
  candidates and keeps the best ``limit`` of them, ordered by gather score and,
  among equal scores, by the builder's tie key: the order the unsharded
  gatherer uses, so the merged list (and with it every gather rank) is the one
  a single gatherer over all documents returns.
- ``ShardedReranker`` sends each shard the ids of the candidates it holds and
  the query's token matrix; the shard scores them with the native
  ``MaxSimReranker`` over its own store, so document vectors never cross the
  network, and the scores come back in candidate order.

Each stage's ``as_of`` is the earliest of the shards' views. A shard that
fails or does not answer within ``timeout`` seconds fails the search with a
``ShardError`` naming it.
"""

from __future__ import annotations

import datetime
import uuid
from typing import Any, Optional, Sequence

import numpy as np

from .._native import Candidate, Gathered, IncompatibleIndexError, ResourceBudget, Scored, Subset, _debug_text
from ..representation import Representation
from .builders import MeanPooledVectors
from .store import ShardedStore

__all__ = ["ShardedGatherer", "ShardedReranker"]


def _query_payload(query, requires) -> tuple:
    """The query's text and the features the shards read, as plain values."""
    return query.text, {name: (rep, query.feature(name, rep)) for name, rep in requires.items()}


def _subset_payloads(store: ShardedStore, subset: Optional[Subset]) -> list[Optional[tuple]]:
    """Each shard's part of ``subset``: its corpus's restriction with only the
    ids routed to that shard (ids of other shards cannot concern it)."""
    if subset is None:
        return [None] * store.shards
    restriction = subset.restriction(store.corpus)
    if restriction is None:
        return [(None, [])] * store.shards
    kind, ids = restriction
    parts: list[list[str]] = [[] for _ in range(store.shards)]
    for d in ids:
        parts[store.shard_of(d)].append(d)
    return [(kind, part) for part in parts]


class ShardedGatherer:
    """The first stage over every shard of ``store``.

    ``builder`` makes each shard's gatherer in its actor (see ``builders``):
    one builder for every shard, or a sequence of one per shard.
    """

    def __init__(self, store: ShardedStore, builder: Any, *, timeout: Optional[float] = ...):
        builders = list(builder) if isinstance(builder, (list, tuple)) else [builder] * store.shards
        if len(builders) != store.shards:
            raise ValueError(f"{len(builders)} gatherer builders were given for {store.shards} shards")
        first = builders[0]
        for b in builders[1:]:
            if dict(b.requires) != dict(first.requires) or b.score_semantics != first.score_semantics:
                raise ValueError("every shard's gatherer must require the same features and score alike")
        self.store = store
        self.requires = dict(first.requires)
        self.score_semantics = first.score_semantics
        self.timeout = store.timeout if timeout is ... else timeout
        self._key = uuid.uuid4().hex
        store._install(self._key, builders)

    @classmethod
    def mean_pooled(cls, store: ShardedStore, document_ids: Sequence[str], vectors: np.ndarray, *,
                    representation: Representation, timeout: Optional[float] = ...) -> "ShardedGatherer":
        """Exact cosine over given pooled vectors, each sent to the shard of its
        document: the sharded form of ``MeanPooledGatherer(corpus, document_ids,
        vectors, representation=representation)``, gathering the same
        candidates in the same order."""
        ids = list(document_ids)
        vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        if vectors.ndim != 2 or vectors.shape[0] != len(ids):
            raise ValueError(f"vectors must be [documents, dimension] with one row per id, got {vectors.shape}")
        owner = np.array([store.shard_of(d) for d in ids], dtype=np.int64)
        builders = []
        for s in range(store.shards):
            rows = np.flatnonzero(owner == s)
            builders.append(MeanPooledVectors([ids[r] for r in rows], vectors[rows], rows, representation))
        return cls(store, builders, timeout=timeout)

    def close(self) -> None:
        """Removes this gatherer's shard gatherers from the shard actors (they
        hold their index in memory until then, or until the actors end)."""
        self.store._uninstall(self._key)

    def gather(self, query, limit: int, *, subset: Optional[Subset] = None) -> Gathered:
        payload = _query_payload(query, self.requires)
        subsets = _subset_payloads(self.store, subset)
        answers = self.store.fan_out("gather", "gather",
                                     [(self._key, payload, int(limit), subsets[s]) for s in range(self.store.shards)],
                                     timeout=self.timeout)
        found = [c for candidates, _ in answers for c in candidates]
        # Every shard sent its best `limit` in this same order, so the best
        # `limit` of all are among them.
        found.sort(key=lambda c: (-c[1], c[3]))
        as_of = min(when for _, when in answers)
        corpus = self.store.corpus
        return Gathered([Candidate(corpus, d, score, rank, provenance)
                         for rank, (d, score, provenance, _) in enumerate(found[: int(limit)])], as_of)


class ShardedReranker:
    """MaxSim over the token vectors of ``store``'s shards, each scored where it
    is stored; ``feature`` names the query's token matrix."""

    def __init__(self, store: ShardedStore, *, feature: str = "multi_vector", timeout: Optional[float] = ...):
        self.store = store
        self.feature = feature
        self.requires = {feature: store.representation}
        self.score_semantics = store.score_semantics
        self.timeout = store.timeout if timeout is ... else timeout

    def rerank(self, query, candidates: Sequence[Candidate], *, budget: ResourceBudget) -> Scored:
        store = self.store
        groups: list[list[str]] = [[] for _ in range(store.shards)]
        slots: list[tuple[int, int]] = []
        for c in candidates:
            if c.corpus != store.corpus:
                raise IncompatibleIndexError(f"the reranker has no source for corpus {_debug_text(c.corpus)}")
            s = store.shard_of(c.document_id)
            slots.append((s, len(groups[s])))
            groups[s].append(c.document_id)
        # Without candidates the query is not read, as by the native reranker;
        # every shard is still asked, for its view's time.
        matrix = np.asarray(query.feature(self.feature, store.representation)) if slots else None
        limits = {"max_batch_tokens": budget.max_batch_tokens,
                  "max_documents_per_batch": budget.max_documents_per_batch, "threads": budget.threads}
        answers = store.fan_out("rerank", "rerank",
                                [(self.feature, matrix if groups[s] else None, groups[s], limits)
                                 for s in range(store.shards)], timeout=self.timeout)
        scores = [answers[s][0][k] for s, k in slots]
        return Scored(scores, min(when for _, when in answers))
