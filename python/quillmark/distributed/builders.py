"""What each shard's first stage is built from.

A builder is a picklable object sent once to every shard actor (or one per
shard). It declares what the shards' gatherers read from the query
(``requires``: feature name to representation; only those features travel to
the shards) and their ``score_semantics``; called as ``builder(corpus, view)``
in the actor it returns the shard's gatherer over that store view, and is
called again after each new commit of the shard. A builder with
``for_store(corpus, store)`` is called that way instead, once: its gatherer
follows the shard's commits itself. ``tie_key(document_id)``, when
defined, orders documents whose gather scores are equal, the way the
equivalent unsharded gatherer does; without it the order is the ids' UTF-8
bytes.
"""

from __future__ import annotations

from typing import Sequence

import numpy as np

from ..encoders import SINGLE_VECTOR
from ..gatherers import SCORE_SEMANTICS, MeanPooledGatherer
from ..ids import utf8_key
from ..representation import Representation

__all__ = ["MeanPooledFromStore", "MeanPooledVectors", "StorePooled"]


class MeanPooledFromStore:
    """Each shard's gatherer is ``MeanPooledGatherer.from_view`` over the
    shard's latest commit: exact cosine against the mean of each document's
    stored token vectors. Equal scores fall in UTF-8 byte order of the ids,
    as in ``MeanPooledGatherer.from_view`` over one store holding every
    document, so the two gather the same candidates."""

    score_semantics = SCORE_SEMANTICS

    def __init__(self, representation: Representation):
        self.representation = representation
        self.requires = {SINGLE_VECTOR: representation}

    def __call__(self, corpus: str, view) -> MeanPooledGatherer:
        return MeanPooledGatherer.from_view(corpus, view, self.representation)

    tie_key = staticmethod(utf8_key)


class MeanPooledVectors:
    """One shard's gatherer over given pooled vectors (the ones an encoder
    made, say), held in the order of the whole corpus: equal scores fall in
    that order, as in one ``MeanPooledGatherer`` over every document."""

    score_semantics = SCORE_SEMANTICS

    def __init__(self, document_ids: Sequence[str], vectors: np.ndarray, positions: Sequence[int],
                 representation: Representation):
        self.document_ids = list(document_ids)
        self.vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        self.positions = dict(zip(self.document_ids, map(int, positions)))
        self.representation = representation
        self.requires = {SINGLE_VECTOR: representation}
        self._gatherer = None

    def __call__(self, corpus: str, view) -> MeanPooledGatherer:
        # The vectors do not follow the store's commits: built once.
        if self._gatherer is None:
            self._gatherer = MeanPooledGatherer(corpus, self.document_ids, self.vectors,
                                                representation=self.representation)
        return self._gatherer

    def tie_key(self, document_id: str) -> int:
        return self.positions[document_id]


class StorePooled:
    """Each shard keeps a ``StoreGatherer`` over its own store, its index
    persisted beside the shard's store directory: a commit costs each shard
    only its own new segments, and a restarted actor loads the index instead
    of pooling again. Scores and the order of equal scores (UTF-8 bytes of
    the ids) are those of one ``StoreGatherer`` over every document."""

    tie_key = staticmethod(MeanPooledFromStore.tie_key)

    def __init__(self, representation: Representation, *, method: str = "exact", feature: str = "multi_vector"):
        from ..store_gatherer import METHODS, SCORE_SEMANTICS

        if method not in METHODS:
            raise ValueError(f"method must be 'exact' or 'approximate', not {method!r}")
        self.method = method
        self.feature = feature
        self.requires = {feature: representation}
        self.score_semantics = SCORE_SEMANTICS[method]

    def for_store(self, corpus: str, store):
        from ..store_gatherer import StoreGatherer

        return StoreGatherer(store, method=self.method, feature=self.feature)

    def __call__(self, corpus: str, view):
        raise TypeError("StorePooled makes a shard's gatherer from its store (for_store), not from one view")
