"""A first stage made of several: reciprocal-rank fusion of their candidates.

``FusionGatherer`` asks each of its gatherers for the same number of
candidates and ranks every document any of them found by the sum of
``weight / (k + rank)`` over the gatherers that found it. Only ranks count,
so gatherers whose scores live on unrelated scales (BM25 and a cosine, say)
combine without calibration.
"""

from __future__ import annotations

import math
import numbers
from typing import Iterable, Optional, Sequence

from . import _native

__all__ = ["FusionGatherer"]

SCORE_SEMANTICS = "reciprocal-rank-fusion"
PROVENANCE = "reciprocal-rank fusion"


class FusionGatherer:
    """Reciprocal-rank fusion of ``gatherers``.

    ``gather`` asks every gatherer for ``limit`` candidates under the same
    subset and returns the best ``limit`` of all they found, scored

        fused = sum over gatherers i that found the document of weights[i] / (k + rank_i)

    with ``rank_i`` the document's 1-based rank in gatherer i, summed in
    float64 in the order of ``gatherers``. Equal fused scores fall in order of
    the best rank the document has in any gatherer, then of the position of
    the first gatherer giving it that rank. Documents are told apart by
    corpus and id, so gatherers over different corpora fuse too. A
    candidate's ``gather_score`` is its fused score rounded to float32 (what
    a candidate holds); rounding never reverses an order, and equal rounded
    scores stay in fused order since the pipeline breaks their ties by
    gather rank.

    ``requires`` is the union of the gatherers' requirements; ``as_of`` of a
    result is the earliest of theirs. A gatherer that raises fails the
    gather with its exception, and one that breaks the gatherer contract
    (more than ``limit`` candidates, ranks not 0, 1, 2, ..., a document
    twice, a document outside the subset) fails it with ValueError.
    """

    score_semantics = SCORE_SEMANTICS

    def __init__(self, gatherers: Iterable, *, k: float = 60, weights: Optional[Sequence[float]] = None):
        try:
            parts = tuple(gatherers)
        except TypeError:
            raise TypeError(f"gatherers must be an iterable of gatherers, not {type(gatherers).__name__}") from None
        if not parts:
            raise ValueError("gatherers must hold at least one gatherer")
        for i, part in enumerate(parts):
            if not callable(getattr(part, "gather", None)) or not hasattr(part, "requires"):
                raise TypeError(
                    f"gatherers[{i}] ({type(part).__name__}) is not a gatherer: it needs requires and a gather method"
                )
        if isinstance(k, bool) or not isinstance(k, numbers.Real):
            raise TypeError(f"k must be a number, not {type(k).__name__}")
        if not math.isfinite(k) or k <= 0:
            raise ValueError(f"k must be a finite number above 0, not {k!r}")
        if weights is None:
            weights = (1.0,) * len(parts)
        else:
            weights = tuple(weights)
            if len(weights) != len(parts):
                raise ValueError(f"weights holds {len(weights)} weights for {len(parts)} gatherers")
            for i, weight in enumerate(weights):
                if isinstance(weight, bool) or not isinstance(weight, numbers.Real):
                    raise TypeError(f"weights[{i}] must be a number, not {type(weight).__name__}")
                if not math.isfinite(weight) or weight < 0:
                    raise ValueError(f"weights[{i}] must be a finite number at least 0, not {weight!r}")
            weights = tuple(float(w) for w in weights)

        requires: dict = {}
        for i, part in enumerate(parts):
            for name, representation in dict(part.requires).items():
                if name in requires and requires[name] != representation:
                    raise ValueError(
                        f"gatherers require feature '{name}' in two representations: "
                        f"{requires[name]!r} and, by gatherers[{i}], {representation!r}"
                    )
                requires.setdefault(name, representation)
        self.gatherers = parts
        self.k = float(k)
        self.weights = weights
        self.requires = requires

    @property
    def as_of(self):
        """The earliest ``as_of`` of the gatherers that have one (None when
        none has): every result reflects at least what was written before it."""
        times = [t for t in (getattr(part, "as_of", None) for part in self.gatherers) if t is not None]
        return min(times) if times else None

    def gather(self, query: _native.Query, limit: int, *, subset: Optional[_native.Subset] = None) -> _native.Gathered:
        limit = max(int(limit), 0)
        results = [part.gather(query, limit, subset=subset) for part in self.gatherers]
        # (corpus, id) -> [fused score, best 1-based rank, first gatherer with it].
        # Parts are visited in list order, so each document's terms are summed
        # in that order whatever the other documents are.
        fused: dict[tuple[str, str], list] = {}
        for position, (gathered, weight) in enumerate(zip(results, self.weights)):
            candidates = gathered.candidates
            self._check(position, candidates, limit, subset)
            for candidate in candidates:
                key = (candidate.corpus, candidate.document_id)
                rank = candidate.gather_rank + 1
                term = weight / (self.k + rank)
                entry = fused.get(key)
                if entry is None:
                    fused[key] = [term, rank, position]
                else:
                    entry[0] += term
                    if rank < entry[1]:
                        entry[1], entry[2] = rank, position
        # A gatherer holds each rank once, so (best rank, gatherer) tells any
        # two documents apart: the order is total without looking at ids.
        ranked = sorted(fused.items(), key=lambda item: (-item[1][0], item[1][1], item[1][2]))[:limit]
        as_of = min(gathered.as_of for gathered in results)
        return _native.Gathered(
            [
                _native.Candidate(corpus, document_id, score, rank, PROVENANCE)
                for rank, ((corpus, document_id), (score, _, _)) in enumerate(ranked)
            ],
            as_of,
        )

    def _check(self, position: int, candidates, limit: int, subset: Optional[_native.Subset]) -> None:
        """Refuses a part's candidates that break the gatherer contract: its
        ranks feed the fused scores, so a fault there would be hidden, not
        caught, by the pipeline's own check of the fused list."""
        part = f"gatherers[{position}] ({type(self.gatherers[position]).__name__})"
        if len(candidates) > limit:
            raise ValueError(f"{part} returned {len(candidates)} candidates, more than the {limit} requested")
        seen = set()
        for i, candidate in enumerate(candidates):
            if candidate.gather_rank != i:
                raise ValueError(f"{part} returned gather ranks that are not 0, 1, 2, ...")
            key = (candidate.corpus, candidate.document_id)
            if key in seen:
                raise ValueError(f"{part} returned document {key!r} more than once")
            seen.add(key)
            if subset is not None and not subset.allows(*key):
                raise ValueError(f"{part} returned document {key!r}, which is outside the subset")
