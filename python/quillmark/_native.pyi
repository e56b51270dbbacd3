import datetime
import os
import pathlib
from typing import Any, Callable, Iterable, Literal, Mapping, Optional, Protocol, Sequence, TypedDict, Union

import numpy as np
import numpy.typing as npt

from .protocols import CandidateGenerator, MultiVectorSource, Reranker
from .representation import Representation

__all__ = [
    "IncompatibleIndexError",
    "IncompatibleQueryError",
    "CommitNotDurableError",
    "Feature",
    "Query",
    "Candidate",
    "Gathered",
    "Scored",
    "ResourceBudget",
    "MaxSimReranker",
    "RankedDocument",
    "SearchTimings",
    "SearchResult",
    "SearchPipeline",
    "Subset",
    "VectorStore",
    "StoreView",
    "VectorStoreWriter",
    "maxsim_scores_packed",
    "_check_representation",
    "_assert_representations_compatible",
    "_check_append",
    "_debug_text",
    "_document_ids",
    "_set_representation_type",
]

class IncompatibleIndexError(ValueError):
    """Stages or sources that cannot be composed: another representation, another score scale, or a corpus the reranker has no source for."""

class IncompatibleQueryError(ValueError):
    """A query lacks a feature a stage needs, or supplies it from another encoder."""

class CommitNotDurableError(ValueError):
    """A commit was published, and readers see it, but the store directory could not be flushed afterwards, so the commit may not survive a power loss. The writer already holds the commit: do not stage its changes again. Calling commit() again, or reopening the writer, flushes the directory and makes it durable."""

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

class Candidate:
    """One gathered document of ``corpus``."""

    def __new__(
        cls, corpus: str, document_id: str, gather_score: float, gather_rank: int, provenance: str
    ) -> "Candidate": ...
    @property
    def corpus(self) -> str: ...
    @property
    def document_id(self) -> str: ...
    @property
    def gather_score(self) -> float: ...
    @property
    def gather_rank(self) -> int: ...
    @property
    def provenance(self) -> str: ...

class Gathered:
    """What a gatherer found, and when the index it searched last committed:
    every write committed to that index before ``as_of`` is reflected in it."""

    def __new__(cls, candidates: Iterable[Candidate], as_of: datetime.datetime) -> "Gathered": ...
    @property
    def candidates(self) -> tuple[Candidate, ...]: ...
    @property
    def as_of(self) -> datetime.datetime: ...

class Scored:
    """One score per candidate, or ``None`` for a document the reranker's index
    does not hold, and when that index last committed."""

    def __new__(cls, scores: Iterable[Optional[float]], as_of: datetime.datetime) -> "Scored": ...
    @property
    def scores(self) -> list[Optional[float]]: ...
    @property
    def as_of(self) -> datetime.datetime: ...

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

class MaxSimReranker:
    """MaxSim between the query's token matrix and each candidate's document,
    read from the source of the candidate's corpus.

    Each source, one per corpus, is a ``VectorStore`` or any object
    implementing the ``MultiVectorSource`` protocol. Every rerank takes one
    view of each source; a document a view does not hold is unscored."""

    def __new__(
        cls, sources: Iterable[Union["VectorStore", MultiVectorSource]], *, feature: str = "multi_vector"
    ) -> "MaxSimReranker": ...
    @property
    def feature(self) -> str: ...
    @property
    def sources(self) -> tuple[Union["VectorStore", MultiVectorSource], ...]: ...
    @property
    def requires(self) -> dict[str, Representation]: ...
    @property
    def score_semantics(self) -> str: ...
    def rerank(self, query: Query, candidates: Iterable[Candidate], *, budget: ResourceBudget) -> Scored: ...

class RankedDocument:
    @property
    def corpus(self) -> str: ...
    @property
    def document_id(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def rank(self) -> int: ...

class SearchTimings:
    @property
    def gather_seconds(self) -> float: ...
    @property
    def rerank_seconds(self) -> float: ...
    @property
    def total_seconds(self) -> float: ...

class SearchResult:
    @property
    def documents(self) -> tuple[RankedDocument, ...]: ...
    @property
    def candidates(self) -> tuple[Candidate, ...]: ...
    @property
    def scores(self) -> list[Optional[float]]:
        """``scores[i]`` scores ``candidates[i]``; ``None`` when the reranker's
        index does not hold it."""
    @property
    def as_of(self) -> datetime.datetime:
        """Every write committed to every index the search read before this is
        reflected in the result."""
    @property
    def timings(self) -> SearchTimings: ...
    @property
    def diagnostics(self) -> dict[str, Any]: ...

class SearchPipeline:
    """Gather, optionally rerank, then deterministic top-k.

    Stages are Python objects implementing the ``CandidateGenerator`` and
    ``Reranker`` protocols, or native stages such as ``MaxSimReranker``. A
    document is ranked only when every stage holds it."""

    def __new__(
        cls, gatherer: CandidateGenerator, reranker: Union[MaxSimReranker, Reranker, None] = None
    ) -> "SearchPipeline": ...
    def search(
        self,
        query: Union[Query, str],
        *,
        gather_limit: int,
        limit: int,
        subset: Optional["Subset"] = None,
        budget: Optional[ResourceBudget] = None,
    ) -> SearchResult:
        """``query`` is a ``Query`` or plain text; ``subset`` is a ``Subset``
        naming, per corpus, the documents the search is restricted to."""

class Subset:
    """The documents a search is restricted to, by corpus: per corpus, either
    only some documents or every document but some."""

    def __new__(cls) -> "Subset": ...
    def including(self, corpus: str, ids: Iterable[str]) -> "Subset":
        """Only ``ids`` of ``corpus``; replaces any restriction given for it."""
    def excluding(self, corpus: str, ids: Iterable[str]) -> "Subset":
        """Every document of ``corpus`` but ``ids``; replaces any restriction
        given for it."""
    def allows(self, corpus: str, id: str) -> bool: ...
    def restriction(self, corpus: str) -> Optional[tuple[Literal["only", "except"], frozenset[str]]]:
        """``("only" | "except", ids)``, or ``None`` when the subset does not
        name ``corpus`` (which then contributes no documents)."""
    def corpora(self) -> list[str]: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

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
    def segment_sources(self, segment_id: int) -> Optional[npt.NDArray[np.uint64]]:
        """Where each row of segment ``segment_id`` of the current commit was
        copied from, as a read-only uint64 ``[documents, 3]`` array of (source
        segment, source row, source fingerprint); None for a segment written
        by ``append``. Copied rows hold the same bytes as their sources."""
        # Raises ValueError when the current commit has no such segment.

class StoreStats(TypedDict):
    """What ``StoreView.stats()`` returns: a plain dict with these keys."""

    segments: int
    documents: int
    """Documents present (what ``document_ids`` lists)."""
    superseded_documents: int
    """Rows stored but not present: deleted, or replaced by a newer segment's row."""
    tokens: int
    """Tokens of the present documents."""
    stored_tokens: int
    """Tokens of every stored row."""
    encoding: Literal["float32", "int8"]
    dimension: int
    commit: int
    committed_at: datetime.datetime
    """The commit time, as ``as_of``."""
    bytes: dict[str, int]
    """Bytes on disk per kind of file: ``"vectors"`` (float32) or ``"codes"`` and
    ``"scales"`` (int8), then ``"offsets"``, ``"ids"``, ``"tombstones"``,
    ``"sources"`` (row origins beside compacted segments) and ``"manifest"``;
    sizes as fstat reported when the view opened each file (the manifest:
    the size of its text)."""
    files: dict[str, int]
    """Number of files per kind, same keys as ``bytes``."""
    compaction_removes: int
    """Files a compaction and its commit would remove: every segment file of
    this view, unless compacting would change nothing (no segment, or one
    without deleted rows): then 0."""

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
    @property
    def store_id(self) -> str:
        """The identifier the store was given when it was created."""
    @property
    def segments(self) -> tuple[tuple[int, int, int, int], ...]:
        """The segments of this view in manifest order, as ``(segment_id,
        documents, tokens, fingerprint)``: ``documents`` counts every row, deleted
        ones included; ``fingerprint`` changes when the segment's files are
        replaced, so an index built from a segment can tell whether it is stale."""
    def pool(self, segment_id: int, *, threads: Optional[int] = None) -> npt.NDArray[np.float32]:
        """The mean token vector of every row of segment ``segment_id`` (deleted
        and hidden rows included), as ``fetch`` returns the tokens, scaled to
        unit length: a new float32 ``[documents, dimension]`` array, the same
        for every ``threads``."""
    def segment_document_ids(
        self, segment_id: int, rows: Optional[Union[Sequence[int], npt.NDArray[np.integer[Any]]]] = None
    ) -> list[str]:
        """The document IDs of rows ``rows`` of segment ``segment_id``, in order,
        or of all its rows when ``rows`` is None."""
    def locations(self, document_ids: Iterable[str]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
        """Where each document is present: int64 arrays of segment IDs and rows,
        -1 in both for a document that is not."""
    def present(
        self,
        segment_ids: Union[Sequence[int], npt.NDArray[np.integer[Any]]],
        rows: Union[Sequence[int], npt.NDArray[np.integer[Any]]],
    ) -> npt.NDArray[np.bool_]:
        """Whether row ``rows[i]`` of segment ``segment_ids[i]`` is where its
        document is present in this view (not deleted, not replaced by a newer
        segment): a bool array; False for a segment not in this view."""
    def stats(self) -> StoreStats:
        """Counts and sizes of this commit, from what the view holds (no vector is
        read, no file opened)."""
    def snapshot(self, destination: Union[str, os.PathLike[str]], *, link: bool = True) -> None:
        """Writes a complete store holding exactly this commit at ``destination``
        (absent, or an empty directory), hard-linking the view's files where
        possible (``link=False``: copies only); atomic: a failure or a crash
        leaves nothing at ``destination``.

        The files come from what this view holds, checked by inode, so the
        snapshot is exact even after the writer compacted the files away. The
        snapshot has the source's store ID, corpus and commit, and opens with
        ``VectorStore`` and ``VectorStoreWriter`` as a store of its own;
        restoring it is renaming it into place. Raises ``ValueError`` for a
        destination inside the store directory (or naming ``.``/``..``),
        ``FileExistsError`` for one that exists and is not an empty directory,
        and otherwise the ``OSError`` of the failed call (its kind kept, for
        example a read-only file system) with the text "cannot snapshot commit
        N into DEST: " and the system's message. A process killed meanwhile
        may leave a directory ".NAME.snapshot-XXXXXX" beside the destination,
        never a store at it."""

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
def _check_append(
    representation: _RepresentationLike,
    document_ids: Iterable[str],
    embeddings: npt.NDArray[np.float32],
    document_lengths: Union[Sequence[int], npt.NDArray[np.integer[Any]], npt.NDArray[np.bool_]],
    *,
    threads: Optional[int] = None,
) -> list[str]: ...
def _debug_text(text: str) -> str: ...
def _document_ids(document_ids: Iterable[str]) -> list[str]: ...
def _set_representation_type(cls: type, /) -> None: ...

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
        document_lengths: Union[Sequence[int], npt.NDArray[np.integer[Any]], npt.NDArray[np.bool_]],
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
    def merge(self) -> int:
        """Stages merges of small segments, tier by tier, so that the segment
        count stays logarithmic in the documents, and returns how many
        segments were replaced. Documents and their vectors are unchanged."""
    @property
    def merge_at_commit(self) -> bool:
        """Whether ``commit()`` runs ``merge()`` before it publishes; False when
        the writer is opened."""
    @merge_at_commit.setter
    def merge_at_commit(self, value: bool) -> None: ...
    def commit(self) -> datetime.datetime:
        """Publishes everything staged and returns the commit time readers
        report for it."""
        # Raises CommitNotDurableError (a ValueError) when the commit was
        # published but the store directory could not be flushed after it:
        # readers already see the commit and the writer holds it (nothing to
        # stage again); call commit() again or reopen the writer to make it
        # durable. Any other exception means nothing was published and the
        # staged changes are still staged. OSErrors carry `errno`.
    def close(self) -> None:
        """Releases the store's writer lock and discards everything staged and
        not committed. Closing again does nothing; any other operation on a
        closed writer raises ValueError."""
    def __enter__(self) -> "VectorStoreWriter":
        """Returns the writer."""
    def __exit__(self, exc_type: object, exc_value: object, traceback: object, /) -> bool:
        """Closes the writer; never commits."""
    @property
    def corpus(self) -> str: ...
