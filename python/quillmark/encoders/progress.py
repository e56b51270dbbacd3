"""The progress bar of a long encoding: tqdm's when it is installed, none
otherwise."""

from __future__ import annotations

from typing import Optional

__all__ = ["progress_bar"]


def progress_bar(label: Optional[str], total: int):
    """A new bar labelled ``label`` counting ``total`` texts, or ``None`` when
    there is no label or tqdm is not installed."""
    if label is None:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=label, unit="text", leave=True)
