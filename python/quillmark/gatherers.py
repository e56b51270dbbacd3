"""A first-stage gatherer: exact cosine over one unit vector per document.

``MeanPooledGatherer`` holds one unit vector per document (the mean of its
encoder's token states, made unit length) and answers ``gather`` with the
exact top ``limit`` by dot product, computed with NumPy. It implements the
pipeline's gatherer protocol, so ``SearchPipeline(MeanPooledGatherer(...),
MaxSimReranker([store]))`` is a complete search.
"""

from __future__ import annotations

import datetime
from typing import Optional, Sequence

import numpy as np

from . import _native
from .encoders import SINGLE_VECTOR, TextEncoder
from .pooling import mean_pooled
from .representation import Representation

__all__ = ["MeanPooledGatherer"]

SCORE_SEMANTICS = "float32-exact-mean-pooled-cosine"


class MeanPooledGatherer:
    """Exact top-k by cosine between the query's pooled vector and each document's.

    The query vector is the query's ``single_vector`` feature when it carries
    one from ``representation`` (queries made by ``TextEncoder.query``), else
    ``encoder`` encodes the query's text, so plain-text searches work too; the
    gatherer therefore requires no feature. ``as_of`` is the time the index
    was built: every document given to the constructor is reflected.
    """

    requires: dict = {}
    score_semantics = SCORE_SEMANTICS

    def __init__(
        self,
        corpus: str,
        document_ids: Sequence[str],
        vectors: np.ndarray,
        *,
        representation: Representation,
        encoder: Optional[TextEncoder] = None,
    ):
        vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        if vectors.ndim != 2 or vectors.shape[0] != len(document_ids):
            raise ValueError(f"vectors must be [documents, dimension] with one row per id, got {vectors.shape}")
        if vectors.shape[1] != representation.dimension:
            raise ValueError(f"vectors have dimension {vectors.shape[1]}, the representation {representation.dimension}")
        if len(set(document_ids)) != len(document_ids):
            raise ValueError("document ids must be unique")
        self.requires = {}
        self.corpus = corpus
        self.document_ids = list(document_ids)
        self.vectors = vectors
        self.representation = representation
        self.encoder = encoder
        self.as_of = datetime.datetime.now(datetime.timezone.utc)

    @classmethod
    def from_encoded(cls, corpus: str, document_ids: Sequence[str], encoded, encoder: TextEncoder) -> "MeanPooledGatherer":
        """The gatherer over ``encoder``'s encodings (``Encoded``) of the documents."""
        vectors = np.stack([e.pooled for e in encoded]) if len(encoded) else np.zeros((0, encoder.representation.dimension))
        return cls(corpus, document_ids, vectors, representation=encoder.pooled_representation, encoder=encoder)

    @classmethod
    def from_view(cls, corpus: str, view: _native.StoreView, representation: Representation,
                  *, chunk: int = 1024) -> "MeanPooledGatherer":
        """The gatherer over every document of a store ``view``, each pooled from
        its stored token vectors as the encoder pools a text (``quillmark.pooling``),
        so over a float32 store it ranks exactly as ``from_encoded`` over the
        encodings that were stored. ``representation``
        names the pooled space (queries carry their pooled vector under it).
        Documents are held in ``view.document_ids`` order (UTF-8 byte order),
        which therefore decides among equal scores; ``as_of`` is the view's."""
        ids = view.document_ids
        pooled = np.zeros((len(ids), representation.dimension), dtype=np.float32)
        for start in range(0, len(ids), chunk):
            vectors, lengths = view.fetch(ids[start : start + chunk])
            # Each document's sum runs over its own rows only, so its pooled
            # vector never depends on the chunk it was fetched with.
            pooled[start : start + len(lengths)] = mean_pooled(vectors, lengths)
        gatherer = cls(corpus, ids, pooled, representation=representation)
        gatherer.as_of = view.as_of
        return gatherer

    def query_vector(self, query: _native.Query) -> np.ndarray:
        if SINGLE_VECTOR in query.features:
            value = query.feature(SINGLE_VECTOR, self.representation)
            return np.asarray(value, dtype=np.float32).reshape(-1)
        if self.encoder is None:
            raise _native.IncompatibleQueryError(
                f"query has no '{SINGLE_VECTOR}' feature and the gatherer has no encoder for its text"
            )
        return self.encoder.encode([query.text], workers=1, query=True)[0].pooled

    def scores(self, query: _native.Query) -> np.ndarray:
        """Cosine of every document, in constructor order.

        Each document's score is one dot product of its own row, so it does
        not depend on which other documents the gatherer holds: a matrix-vector
        product would let the BLAS round a row differently by where it falls in
        its blocking, and gatherers over parts of a corpus (shards) would then
        disagree in the last bit with one gatherer over all of it.
        """
        return np.vecdot(self.vectors, self.query_vector(query))

    def gather(self, query: _native.Query, limit: int, *, subset: Optional[_native.Subset] = None) -> _native.Gathered:
        scores = self.scores(query)
        allowed = np.arange(len(self.document_ids))
        if subset is not None:
            allowed = np.array(
                [i for i in allowed if subset.allows(self.corpus, self.document_ids[i])], dtype=np.int64
            )
        limit = min(int(limit), allowed.size)
        if limit <= 0:
            return _native.Gathered([], self.as_of)
        chosen = allowed
        if limit < allowed.size:
            # The k-th best score; every better one is in, and of the documents
            # scoring exactly that, the first ones in constructor order.
            kth = np.partition(-scores[allowed], limit - 1)[limit - 1]
            better = allowed[-scores[allowed] < kth]
            tied = allowed[-scores[allowed] == kth][: limit - better.size]
            chosen = np.concatenate([better, tied])
        # Best first; equal scores in constructor order, so results are deterministic.
        chosen = chosen[np.lexsort((chosen, -scores[chosen]))]
        return _native.Gathered(
            [
                _native.Candidate(self.corpus, self.document_ids[i], float(scores[i]), rank, "mean-pooled cosine")
                for rank, i in enumerate(chosen)
            ],
            self.as_of,
        )
