"""The single-vector form of a text: one definition for every producer.

A text's pooled vector is the mean of its unit token vectors (the rows a
store holds for it), summed in float64 in row order and divided by the
token count, then divided by its Euclidean norm (at least 1e-12) and
rounded to float32. The encoder pools a fresh encoding this way, a gatherer
rebuilt from a store (``MeanPooledGatherer.from_view``, ``StoreView.pool``)
pools the stored rows this way, and a query's token matrix is pooled this
way too, so a first stage reopened from a store ranks exactly as the one
built from the encoder did (over a float32 store; an int8 store's decoded
rows differ from the encoder's by the quantisation).
"""

from __future__ import annotations

import numpy as np

__all__ = ["mean_pooled", "pooled"]


def mean_pooled(vectors: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """The pooled vector of each document of packed ``vectors``
    (``[tokens, dimension]``), whose token counts are ``lengths`` (each at
    least 1): float32 ``[documents, dimension]``."""
    lengths = np.asarray(lengths, dtype=np.int64)
    if len(lengths) == 0:
        return np.zeros((0, vectors.shape[1]), dtype=np.float32)
    if (lengths < 1).any() or int(lengths.sum()) != vectors.shape[0]:
        raise ValueError(f"lengths must be positive and sum to the {vectors.shape[0]} rows given")
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    means = np.add.reduceat(np.asarray(vectors, dtype=np.float64), starts, axis=0) / lengths[:, None]
    norms = np.maximum(np.linalg.norm(means, axis=1, keepdims=True), 1e-12)
    return (means / norms).astype(np.float32)


def pooled(tokens: np.ndarray) -> np.ndarray:
    """The pooled vector of one text's ``[tokens, dimension]`` rows: float32 ``[dimension]``."""
    return mean_pooled(tokens, np.array([tokens.shape[0]]))[0]
