"""A lexical first stage: BM25 over the documents' texts, with bm25s.

``BM25Gatherer`` indexes the texts of one corpus once (English stop words
removed, no stemming, words lower-cased) and answers ``gather`` with the
exact top ``limit`` by BM25, which needs no query feature: it reads the
query's text. It is the lexical half of a hybrid first stage
(``FusionGatherer([BM25Gatherer(...), StoreGatherer(...)])``).

bm25s is imported on first use, so ``import quillmark`` works without it.
"""

from __future__ import annotations

import datetime
import json
import os
import secrets
import shutil
from pathlib import Path
from typing import Optional, Sequence, Union

import numpy as np

from . import _native
from .encoders.missing_model import require
from .encoders.texts import check_texts
from .ids import utf8_key

__all__ = ["BM25Gatherer"]

SCORE_SEMANTICS = "float32-bm25s-lucene-bm25"
PROVENANCE = "bm25"
BM25S_REQUIREMENT = "bm25s==0.3.16"

FORMAT = "quillmark-bm25-1"
METADATA = "gatherer.json"
INDEX = "bm25s"  # the bm25s index, in bm25s's own save format

#: What reading a damaged or foreign directory fails with (NumPy raises
#: ValueError or EOFError for a bad .npy file, OSError for a missing one).
_UNREADABLE = (OSError, ValueError, KeyError, TypeError, EOFError)


def _bm25s():
    return require("bm25s", BM25S_REQUIREMENT)


def _tokens(bm25s, texts: list[str], *, words: bool = False):
    """The texts as bm25s tokens (their ids and the vocabulary, or with
    ``words`` the words themselves): lower-cased, English stop words removed,
    no stemming. Documents and queries must go through this one function."""
    return bm25s.tokenize(texts, stopwords="en", show_progress=False, return_ids=not words)


def _check_as_of(as_of) -> datetime.datetime:
    if not isinstance(as_of, datetime.datetime):
        raise TypeError(f"as_of must be a datetime, not {type(as_of).__name__}")
    if as_of.tzinfo is None or as_of.utcoffset() is None:
        raise ValueError("as_of must be timezone-aware")
    return as_of


class BM25Gatherer:
    """Exact top-k by BM25 (bm25s's default: Lucene's variant, k1 = 1.5,
    b = 0.75) between the query's text and each document's.

    Only documents sharing at least one indexed word with the query (score
    above 0) are candidates, so a search may return fewer than ``limit``
    candidates, and none for a query with no word the corpus holds: a document
    scoring 0 is no evidence of relevance, and a fusion that counts ranks
    would otherwise reward it. Equal scores fall in UTF-8 byte order of the
    ids. ``as_of`` is the time the index was built (or the ``as_of`` given):
    every document given to the constructor is reflected. Read-only once
    built, so safe to share between threads.
    """

    score_semantics = SCORE_SEMANTICS

    def __init__(
        self,
        corpus: str,
        document_ids: Sequence[str],
        texts: Sequence[str],
        *,
        as_of: Optional[datetime.datetime] = None,
    ):
        if not isinstance(corpus, str) or not corpus:
            raise ValueError("corpus must be a non-empty string")
        document_ids = list(document_ids)
        texts = list(texts)
        for i, document_id in enumerate(document_ids):
            if not isinstance(document_id, str):
                raise TypeError(f"document id at position {i} is {type(document_id).__name__}, not str")
        if len(set(document_ids)) != len(document_ids):
            raise ValueError("document ids must be unique")
        if len(texts) != len(document_ids):
            raise ValueError(f"{len(document_ids)} document ids but {len(texts)} texts")
        check_texts(texts)
        as_of = datetime.datetime.now(datetime.timezone.utc) if as_of is None else _check_as_of(as_of)

        bm25s = _bm25s()
        tokenized = _tokens(bm25s, texts)
        retriever = None
        # bm25s cannot index a corpus without a single word (it has no
        # vocabulary to size its matrix by); such a corpus matches nothing.
        if any(tokenized.ids):
            retriever = bm25s.BM25()
            retriever.index(tokenized, show_progress=False)
        self._setup(corpus, document_ids, as_of, retriever)

    def _setup(self, corpus: str, document_ids: list[str], as_of: datetime.datetime, retriever) -> None:
        self.requires: dict = {}
        self.corpus = corpus
        self.document_ids = document_ids
        self.as_of = as_of
        self._retriever = retriever
        self._position = {document_id: i for i, document_id in enumerate(document_ids)}
        # Each document's place in UTF-8 byte order of the ids: the tie-break.
        order = sorted(range(len(document_ids)), key=lambda i: utf8_key(document_ids[i]))
        self._utf8_rank = np.empty(len(document_ids), dtype=np.int64)
        self._utf8_rank[order] = np.arange(len(document_ids))

    # -- scoring ------------------------------------------------------------------------

    def scores(self, text: str) -> np.ndarray:
        """The float32 BM25 score of every document for ``text``, in constructor order.

        A query word the corpus does not hold contributes nothing; a word
        given twice counts twice, as bm25s counts it."""
        if self._retriever is None:
            return np.zeros(len(self.document_ids), dtype=np.float32)
        token_ids = self._retriever.get_tokens_ids(_tokens(_bm25s(), [text], words=True)[0])
        if not token_ids:
            return np.zeros(len(self.document_ids), dtype=np.float32)
        return np.asarray(self._retriever.get_scores_from_ids(token_ids), dtype=np.float32)

    def gather(self, query: _native.Query, limit: int, *, subset: Optional[_native.Subset] = None) -> _native.Gathered:
        limit = int(limit)
        restriction = ("except", frozenset()) if subset is None else subset.restriction(self.corpus)
        if limit <= 0 or restriction is None:
            # A subset that does not name this corpus allows none of it.
            return _native.Gathered([], self.as_of)
        scores = self.scores(query.text)
        named = np.fromiter((self._position[d] for d in restriction[1] if d in self._position), dtype=np.int64)
        if restriction[0] == "only":
            allowed = np.sort(named)
        else:
            mask = np.ones(len(self.document_ids), dtype=bool)
            mask[named] = False
            allowed = np.flatnonzero(mask)
        allowed = allowed[scores[allowed] > 0]
        if limit < allowed.size:
            # Every document scoring at least the limit-th best score: ties at
            # the cut are decided by id below, so all of them are kept.
            kth = np.partition(scores[allowed], allowed.size - limit)[allowed.size - limit]
            allowed = allowed[scores[allowed] >= kth]
        chosen = allowed[np.lexsort((self._utf8_rank[allowed], -scores[allowed]))][:limit]
        return _native.Gathered(
            [
                _native.Candidate(self.corpus, self.document_ids[i], float(scores[i]), rank, PROVENANCE)
                for rank, i in enumerate(chosen)
            ],
            self.as_of,
        )

    # -- persistence --------------------------------------------------------------------

    def save(self, path: Union[str, os.PathLike[str]]) -> None:
        """Writes the gatherer to the directory ``path``, which must not exist
        or be empty: the bm25s index (in bm25s's format) and, in JSON, the
        corpus, the ids and ``as_of``. Everything is written and flushed to
        disk in a sibling directory first and then renamed into place, so
        ``path`` never holds a partial index."""
        path = Path(os.path.abspath(path))
        if path.exists() and not (path.is_dir() and not any(path.iterdir())):
            raise FileExistsError(f"{path} already exists and is not an empty directory")
        staging = path.parent / f"{path.name}.tmp-{secrets.token_hex(8)}"
        staging.mkdir()
        try:
            if self._retriever is not None:
                self._retriever.save(staging / INDEX, show_progress=False)
            metadata = {
                "format": FORMAT,
                "corpus": self.corpus,
                "document_ids": self.document_ids,
                "as_of": self.as_of.isoformat(),
                "indexed": self._retriever is not None,
            }
            (staging / METADATA).write_text(json.dumps(metadata, ensure_ascii=False), encoding="utf-8")
            for directory, _, files in os.walk(staging):
                for name in files:
                    _fsync(Path(directory) / name)
                _fsync(Path(directory))
            try:
                # Replaces only a missing path or an empty directory.
                os.rename(staging, path)
            except OSError as error:
                raise FileExistsError(f"{path} already exists and is not an empty directory") from error
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
        _fsync(path.parent)

    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]]) -> "BM25Gatherer":
        """The gatherer ``save`` wrote to ``path``: the same scores, order,
        corpus, ids and ``as_of``."""
        path = Path(os.path.abspath(path))
        if not path.is_dir():
            raise FileNotFoundError(f"no saved BM25 gatherer at {path}")
        try:
            metadata = json.loads((path / METADATA).read_text(encoding="utf-8"))
            if not isinstance(metadata, dict) or metadata.get("format") != FORMAT:
                raise ValueError(f"not a {FORMAT} directory")
            corpus, document_ids = metadata["corpus"], metadata["document_ids"]
            if not isinstance(corpus, str) or not isinstance(document_ids, list) or not all(
                isinstance(d, str) for d in document_ids
            ) or len(set(document_ids)) != len(document_ids):
                raise ValueError("malformed corpus or document ids")
            as_of = _check_as_of(datetime.datetime.fromisoformat(metadata["as_of"]))
            retriever = None
            if metadata["indexed"]:
                bm25s = _bm25s()
                retriever = bm25s.BM25.load(path / INDEX, show_progress=False)
                _check_index(retriever, len(document_ids))
        except _UNREADABLE as error:
            raise ValueError(f"{path} does not hold a readable BM25 gatherer: {error}") from error
        gatherer = cls.__new__(cls)
        gatherer._setup(corpus, document_ids, as_of, retriever)
        return gatherer


def _check_index(retriever, documents: int) -> None:
    """Refuses an index whose arrays do not fit together (one damaged or
    swapped for another's): scoring it would read past them or credit the
    wrong documents."""
    scores = retriever.scores
    data, indices, indptr = (np.asarray(scores[name]) for name in ("data", "indices", "indptr"))
    if scores["num_docs"] != documents:
        raise ValueError(f"the index holds {scores['num_docs']} documents, the ids {documents}")
    words = len(indptr) - 1
    if (
        words < 0
        or len(data) != len(indices)
        or int(indptr[-1]) != len(data)
        or np.any(np.diff(indptr) < 0)
        or (len(indices) and (indices.min() < 0 or indices.max() >= documents))
        or any(not 0 <= i < words for word, i in retriever.vocab_dict.items() if word)
    ):
        raise ValueError("the index's arrays and vocabulary do not fit together")


def _fsync(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
