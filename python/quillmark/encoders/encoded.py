"""One encoded text, and the packed form a store's writer appends."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

import numpy as np

__all__ = ["Encoded", "pack"]


@dataclass(frozen=True)
class Encoded:
    """One encoded text."""

    tokens: np.ndarray  # [tokens, dimension] float32, unit rows: the multi-vector form
    pooled: np.ndarray  # [dimension] float32, unit length: the tokens' mean (quillmark.pooling)
    truncated: bool  # the text was longer than the window and was cut (truncate=True)
    windows: int = 1  # the model inputs the text was encoded in (more than one: windowed)


def pack(encoded: Sequence[Encoded]) -> tuple[np.ndarray, np.ndarray]:
    """The packed ``[tokens, dimension]`` matrix and the int64 lengths that
    ``VectorStoreWriter.append`` takes, in the order given."""
    lengths = np.array([e.tokens.shape[0] for e in encoded], dtype=np.int64)
    if not encoded:
        return np.zeros((0, 0), dtype=np.float32), lengths
    return np.ascontiguousarray(np.concatenate([e.tokens for e in encoded]), dtype=np.float32), lengths
