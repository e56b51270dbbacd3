from typing import Any, Callable, Optional, Protocol

import numpy as np
import numpy.typing as npt

from .representation import Representation

__all__: list[str]

class IncompatibleIndexError(ValueError):
    """Stages or sources that cannot be composed: another representation, another score scale, or a corpus the reranker has no source for."""

class IncompatibleQueryError(ValueError):
    """A query lacks a feature a stage needs, or supplies it from another encoder."""

class _RepresentationLike(Protocol):
    @property
    def encoder(self) -> str: ...
    @property
    def encoder_revision(self) -> str: ...
    @property
    def dimension(self) -> int: ...
    @property
    def normalized(self) -> bool: ...
    @property
    def query_template(self) -> str: ...
    @property
    def document_template(self) -> str: ...

class Feature:
    """One query representation, materialized at most once.

    Pass ``value`` when it is already computed, or ``provider`` to defer the
    encoding until a stage asks for it.
    """

    def __new__(
        cls,
        representation: _RepresentationLike,
        value: Any = None,
        *,
        provider: Optional[Callable[[], Any]] = None,
    ) -> "Feature": ...
    @property
    def representation(self) -> Representation: ...
    @property
    def value(self) -> Any: ...

class Query:
    """Raw text plus the named features stages may consume."""

    def __new__(cls, text: str, **features: Feature) -> "Query": ...
    @property
    def text(self) -> str: ...
    @property
    def features(self) -> dict[str, Feature]: ...
    def feature(self, name: str, representation: _RepresentationLike) -> Any:
        """The value of feature ``name``, which must come from ``representation``."""

class ResourceBudget:
    def __new__(
        cls,
        *,
        max_batch_tokens: int = 131072,
        max_documents_per_batch: int = 256,
        threads: Optional[int] = None,
    ) -> "ResourceBudget": ...
    @property
    def max_batch_tokens(self) -> int: ...
    @property
    def max_documents_per_batch(self) -> int: ...
    @property
    def threads(self) -> Optional[int]: ...

def maxsim_scores_packed(
    query: npt.NDArray[np.float32],
    documents: npt.NDArray[np.float32],
    document_lengths: npt.NDArray[np.int64],
    *,
    max_batch_tokens: Optional[int] = None,
    threads: Optional[int] = None,
) -> npt.NDArray[np.float32]: ...

def _check_representation(representation: _RepresentationLike) -> None: ...
def _assert_representations_compatible(left: _RepresentationLike, right: _RepresentationLike) -> None: ...
