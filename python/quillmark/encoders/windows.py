"""A text longer than the model's window, as overlapping windows and back.

A tokenized text is its leading special tokens (``[CLS]``, or a model's own
markers), its body, and its trailing special tokens (``[SEP]``). A window is
the same leading and trailing special tokens around a slice of the body, so
every window is an input the model was trained on. Windows start ``stride``
body tokens apart; the last one ends where the body ends, so that it is full.

MaxSim scores a bag of token vectors, so a document needs no cut: the
windows' outputs join into one matrix with every body token once. Where
windows overlap, a token's vector is taken from the window that gives it the
most context on its nearer cut side (a side where the text itself ends is
not cut), so each overlap splits near its middle and no kept token sits
right at a cut. The leading special tokens come from the first window and
the trailing ones from the last, so a text that fits in one window encodes
exactly as it always did.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

import numpy as np

__all__ = ["Windows", "plan"]


@dataclass(frozen=True)
class Windows:
    """The model inputs of one text and how to join their outputs."""

    inputs: list[list[int]]  # token ids of each window, special tokens included
    starts: tuple[int, ...]  # each window's first body token
    prefix: int  # leading special tokens
    suffix: int  # trailing special tokens
    body: int  # body tokens of the whole text
    truncated: bool  # the body was cut to one window

    def join(self, states: Sequence[np.ndarray]) -> np.ndarray:
        """The text's token states ``[kept tokens, dimension]`` from each
        window's states, in window order."""
        if len(states) != len(self.inputs):
            raise ValueError(f"{len(states)} window outputs for {len(self.inputs)} windows")
        if len(states) == 1:
            return states[0]
        width = len(self.inputs[0]) - self.prefix - self.suffix  # body tokens per window
        token = np.arange(self.body)
        starts = np.asarray(self.starts)[:, None]
        inside = (token >= starts) & (token < starts + width)
        infinite = np.iinfo(np.int64).max
        left = np.where(starts > 0, token - starts, infinite)
        right = np.where(starts + width < self.body, starts + width - 1 - token, infinite)
        context = np.where(inside, np.minimum(left, right), -1)
        owner = context.argmax(axis=0)  # the first window among equals
        body = np.empty((self.body, states[0].shape[1]), dtype=states[0].dtype)
        for w, window_states in enumerate(states):
            mine = token[owner == w]
            body[mine] = window_states[self.prefix + mine - self.starts[w]]
        last = states[-1]
        return np.concatenate([states[0][: self.prefix], body, last[last.shape[0] - self.suffix :]])


def plan(ids: Sequence[int], special_mask: Sequence[int], window: int, stride: int, truncate: bool) -> Windows:
    """The windows of one tokenized text (``special_mask`` marks the special
    tokens the tokenizer added) for a model window of ``window`` tokens, special
    tokens included, and ``stride`` body tokens between window starts; with
    ``truncate``, only the first window."""
    n = len(ids)
    prefix = 0
    while prefix < n and special_mask[prefix]:
        prefix += 1
    suffix = 0
    while suffix < n - prefix and special_mask[n - 1 - suffix]:
        suffix += 1
    body = n - prefix - suffix
    width = window - prefix - suffix
    ids = list(ids)
    if n <= window:
        return Windows([ids], (0,), prefix, suffix, body, False)
    if width < 1:
        raise ValueError(f"a window of {window} tokens leaves no room for text beside "
                         f"{prefix + suffix} special tokens")
    head, tail = ids[:prefix], ids[n - suffix :]
    if truncate:
        return Windows([head + ids[prefix : prefix + width] + tail], (0,), prefix, suffix, width, True)
    starts = [0]
    while starts[-1] + width < body:
        starts.append(min(starts[-1] + stride, body - width))
    inputs = [head + ids[prefix + s : prefix + s + width] + tail for s in starts]
    return Windows(inputs, tuple(starts), prefix, suffix, body, False)
