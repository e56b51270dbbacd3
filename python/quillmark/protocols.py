"""The protocols of the Python stages a search calls.

The native core duck-types its stages: it reads only the attributes and calls
only the methods listed here, and needs no base class. These classes exist for
type checkers and for readers of users' own stages; a class may subclass them
to document its intent, or simply match them structurally.
"""

from __future__ import annotations

import datetime
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Optional, Protocol, Sequence, runtime_checkable

if TYPE_CHECKING:
    import numpy.typing as npt

    from ._native import Candidate, Gathered, Query, ResourceBudget, Scored, Subset

__all__ = ["Gatherer", "CandidateGenerator", "Reranker", "MultiVectorSource", "VectorView"]


@runtime_checkable
class Gatherer(Protocol):
    """A gatherer: finds the candidates of a query.

    ``requires`` and ``score_semantics`` are read once, when a
    ``SearchPipeline`` is built; ``gather`` is looked up on every search.
    ``gather`` returns at most ``limit`` candidates with gather ranks 0, 1,
    2, ..., no document twice and, when ``subset`` is given, only documents it
    allows; the pipeline rejects anything else.
    """

    @property
    def requires(self) -> Mapping[str, Any]: ...
    @property
    def score_semantics(self) -> str: ...

    def gather(self, query: Query, limit: int, *, subset: Optional[Subset]) -> Gathered: ...


#: The earlier name of ``Gatherer``, kept for code written against it.
CandidateGenerator = Gatherer


@runtime_checkable
class Reranker(Protocol):
    """A reranker: one score (or ``None``) per candidate, on its own scale."""

    @property
    def requires(self) -> Mapping[str, Any]: ...
    @property
    def score_semantics(self) -> str: ...

    def rerank(self, query: Query, candidates: tuple[Candidate, ...], *, budget: ResourceBudget) -> Scored: ...


@runtime_checkable
class VectorView(Protocol):
    """One consistent view of a source, used for one rerank.

    ``as_of`` is read right after ``MultiVectorSource.view`` returned.
    ``document_lengths`` returns a mapping (anything with ``get``) from id to
    token count, leaving out the documents the view does not hold. ``fetch``
    returns a tuple of the float32 ``[tokens, dimension]`` rows of the
    requested documents, in order, and their lengths.
    """

    @property
    def as_of(self) -> datetime.datetime: ...

    def document_lengths(self, ids: list[str]) -> Mapping[str, int]: ...

    def fetch(self, ids: list[str], *, threads: Optional[int]) -> tuple[npt.ArrayLike, Sequence[int]]: ...


@runtime_checkable
class MultiVectorSource(Protocol):
    """The document vectors of one corpus.

    ``corpus``, ``representation`` and ``score_semantics`` are read once,
    when a ``MaxSimReranker`` is built; every rerank calls ``view`` once.
    """

    @property
    def corpus(self) -> str: ...
    @property
    def representation(self) -> Any: ...
    @property
    def score_semantics(self) -> str: ...

    def view(self) -> VectorView: ...
