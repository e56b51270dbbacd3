"""Retrieval quality: the metrics, and the references a pipeline is compared with.

Everything here is plain NumPy, written the way a user would check a search
library by hand.
"""

from __future__ import annotations

import math
from typing import Iterable, Sequence

import numpy as np

CUTOFF = 10


def metrics(ranked: Sequence[str], relevant: Iterable[str], k: int = CUTOFF) -> dict[str, float]:
    """nDCG@k, recall@k and MRR@k of one ranking with binary relevance."""
    relevant = set(relevant)
    if not relevant:
        raise ValueError("a query needs at least one relevant document")
    top = list(ranked)[:k]
    gains = [1.0 if doc in relevant else 0.0 for doc in top]
    dcg = sum(g / math.log2(i + 2) for i, g in enumerate(gains))
    ideal = sum(1.0 / math.log2(i + 2) for i in range(min(len(relevant), k)))
    first = next((i for i, g in enumerate(gains) if g), None)
    return {
        "ndcg": dcg / ideal,
        "recall": sum(gains) / len(relevant),
        "mrr": 0.0 if first is None else 1.0 / (first + 1),
    }


def mean_metrics(rankings: Sequence[Sequence[str]], relevant: Sequence[Iterable[str]], k: int = CUTOFF) -> dict[str, float]:
    per_query = [metrics(r, rel, k) for r, rel in zip(rankings, relevant, strict=True)]
    return {name: float(np.mean([m[name] for m in per_query])) for name in ("ndcg", "recall", "mrr")}


def maxsim_all(query: np.ndarray, documents: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """Exact MaxSim of every packed document: one product, then the maximum
    over each document's rows and the sum over the query's tokens."""
    lengths = np.asarray(lengths, dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    similarity = documents @ query.T  # [document tokens, query tokens]
    return np.maximum.reduceat(similarity, starts, axis=0).sum(axis=1, dtype=np.float64).astype(np.float32)


def top_ids(scores: np.ndarray, ids: Sequence[str], k: int = CUTOFF) -> list[str]:
    """The ids of the k best scores, best first, ties in the given order."""
    order = np.lexsort((np.arange(len(scores)), -np.asarray(scores, dtype=np.float64)))[:k]
    return [ids[i] for i in order]


def ranking_matches(ranked: Sequence[str], candidates: Sequence[str], reference: dict[str, float],
                    limit: int, tolerance: float = 1e-4) -> tuple[bool, str]:
    """Whether ``ranked`` is the ranking of ``candidates`` by ``reference``
    scores (higher first, then candidate order), cut at ``limit``. Rank by rank
    the two must hold the same document, or two documents whose reference
    scores differ by at most ``tolerance`` (a tie that float rounding may order
    either way). Returns the verdict and, when false, the first difference."""
    order = sorted(range(len(candidates)), key=lambda i: (-reference[candidates[i]], i))
    expected = [candidates[i] for i in order[:limit]]
    if len(expected) != len(ranked):
        return False, f"{len(ranked)} documents ranked, {len(expected)} expected"
    for rank, (got, want) in enumerate(zip(ranked, expected), start=1):
        if got != want and abs(reference[got] - reference[want]) > tolerance:
            return False, f"rank {rank}: {got} ({reference[got]:.6f}), expected {want} ({reference[want]:.6f})"
    return True, ""
