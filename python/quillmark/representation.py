"""The description of an encoder's vector space."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["Representation"]


@dataclass(frozen=True, slots=True)
class Representation:
    """The vector space an encoder produces.

    Two representations must be equal before vectors from one may be scored
    against vectors from the other.
    """

    encoder: str
    encoder_revision: str
    dimension: int
    normalized: bool
    query_template: str = ""
    document_template: str = ""
