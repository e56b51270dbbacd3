"""What every encoder accepts: a sequence of non-empty strings."""

from __future__ import annotations

from typing import Sequence

__all__ = ["check_texts"]


def check_texts(texts: Sequence[str]) -> None:
    """Refuses what no encoder can encode: a non-string or an empty text."""
    for i, text in enumerate(texts):
        if not isinstance(text, str):
            raise TypeError(f"text at position {i} is {type(text).__name__}, not str")
        if not text.strip():
            raise ValueError(f"text at position {i} is empty")
