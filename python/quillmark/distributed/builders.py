"""What each shard's first stage is built from.

A builder is a picklable object sent once to every shard actor (or one per
shard). It declares what the shards' gatherers read from the query
(``requires``: feature name to representation; only those features travel to
the shards) and their ``score_semantics``; called as ``builder(corpus, view)``
in the actor it returns the shard's gatherer over that store view, and is
called again after each new commit of the shard. ``tie_key(document_id)``, when
defined, orders documents whose gather scores are equal, the way the
equivalent unsharded gatherer does; without it the order is the ids' UTF-8
bytes.
"""

from __future__ import annotations

from typing import Sequence

import numpy as np

from ..encoding import SINGLE_VECTOR
from ..gatherers import SCORE_SEMANTICS, MeanPooledGatherer
from ..representation import Representation

__all__ = ["MeanPooledFromStore", "MeanPooledVectors"]


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

    @staticmethod
    def tie_key(document_id: str) -> bytes:
        return document_id.encode("utf-8")


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
