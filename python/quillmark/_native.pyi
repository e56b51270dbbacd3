import datetime
import os
import pathlib
from typing import Any, Callable, Iterable, Literal, Optional, Protocol, Union

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

class VectorStore:
    """Reads a quillmark vector store, following what its writer commits.

    ``view()`` rereads ``manifest.json`` and loads only what it has not seen;
    passed to ``MaxSimReranker`` the store hands every rerank its latest view."""

    def __new__(cls, path: Union[str, os.PathLike[str]]) -> "VectorStore": ...
    @property
    def path(self) -> pathlib.Path: ...
    @property
    def corpus(self) -> str: ...
    @property
    def encoding(self) -> Literal["float32", "int8"]: ...
    @property
    def dimension(self) -> int: ...
    @property
    def representation(self) -> Representation: ...
    @property
    def score_semantics(self) -> str: ...
    def view(self) -> "StoreView": ...

class StoreView:
    """One commit of a vector store. It stays readable after later commits."""

    @property
    def as_of(self) -> datetime.datetime:
        """When the writer committed this view."""
    @property
    def commit(self) -> int: ...
    @property
    def document_ids(self) -> list[str]:
        """The IDs of every document present, sorted."""
    def fetch(
        self, document_ids: Iterable[str], *, threads: Optional[int] = None
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
        """Packed float32 ``[tokens, dimension]`` vectors of ``document_ids``,
        which must be present, in order, plus their int64 lengths."""
    def document_lengths(self, document_ids: Iterable[str]) -> dict[str, int]:
        """Token counts of the documents present among ``document_ids``."""
    def __contains__(self, document_id: str) -> bool: ...

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

class VectorStoreWriter:
    """Stages appends, deletes, and compactions of one vector store, and
    publishes them together on ``commit()``.

    Appending a document that is already present replaces it; deleting one
    that is not present does nothing. A commit with nothing staged still
    advances the time readers report as fresh.
    """

    def __new__(cls, path: Union[str, os.PathLike[str]]) -> "VectorStoreWriter": ...
    @staticmethod
    def create(
        path: Union[str, os.PathLike[str]],
        corpus: str,
        representation: _RepresentationLike,
        *,
        encoding: Literal["float32", "int8"] = "float32",
    ) -> "VectorStoreWriter":
        """Writes an empty store at ``path``, which must not exist."""
    def append(
        self,
        document_ids: Iterable[str],
        embeddings: npt.NDArray[np.float32],
        document_lengths: Any,
        *,
        threads: Optional[int] = None,
    ) -> None:
        """Stages documents; ``embeddings`` is a float32 ``[tokens, dimension]``
        matrix packed by document in the order of ``document_ids``."""
    def delete(self, document_ids: Iterable[str]) -> int:
        """Stages the deletion of the documents present among ``document_ids``
        and returns how many there were."""
    def compact(self) -> None:
        """Stages the present documents as one segment."""
    def commit(self) -> datetime.datetime:
        """Publishes everything staged and returns the commit time readers
        report for it."""
    @property
    def corpus(self) -> str: ...
