"""A collection: texts in, ranked texts out, on the parts a search is made of.

A collection is one directory:

- ``collection.json``: the format and the encoder's record (its
  representation, and how a bundled or checkpoint encoder is rebuilt);
- ``vectors/``: the vector store of the documents' token vectors;
- ``vectors.index/``: the ``StoreGatherer``'s index, beside the store;
- ``texts.sqlite``: the texts and metadata, one version per document and
  store commit (``quillmark.text_table``).

The store is the source of truth for which documents a commit holds; its
writer's lock makes one writer of the whole collection at a time, taken on
the first change (``add``, ``delete``, ``compact``, ``commit``), so that any
number of readers can open the collection beside it. ``search`` runs the same
pipeline a user would compose (``StoreGatherer``, ``MaxSimReranker``), at one
store commit, and reads the hits' texts as that commit holds them.
"""

from __future__ import annotations

import dataclasses
import datetime
import errno
import json
import os
import pathlib
import shutil
import tempfile
import threading
from collections.abc import Sequence
from typing import Any, Mapping, Optional

from . import _native
from .encoders import Encoded, TextEncoder, pack
from .encoders.texts import check_texts
from .store_gatherer import StoreGatherer
from .text_table import TextTable

__all__ = ["Collection", "Hit", "Hits"]

FORMAT = "quillmark-collection-1"
CORPUS = "collection"
BUNDLED = {"int8-onnx": "int8", "float32-numpy": "fp32"}  # minilm revisions -> backends


@dataclasses.dataclass(frozen=True)
class Hit:
    id: str
    score: float
    text: str
    metadata: Optional[dict]


class Hits(Sequence):
    """The hits of one search, best first, with the search's ``as_of`` (the
    store commit the texts and vectors come from) and ``timings``."""

    def __init__(self, hits: list[Hit], as_of: datetime.datetime, timings):
        self._hits, self.as_of, self.timings = hits, as_of, timings

    def __getitem__(self, index):
        return self._hits[index]

    def __len__(self) -> int:
        return len(self._hits)

    def __repr__(self) -> str:
        return f"Hits({self._hits!r}, as_of={self.as_of!r})"


def _sync_directory(directory: pathlib.Path) -> None:
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_json(path: pathlib.Path, value: dict) -> None:
    temporary = path.with_name(path.name + ".tmp")
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(value, f, indent=2)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)
    _sync_directory(path.parent)


def _encoder_record(encoder: TextEncoder) -> dict:
    r = encoder.representation
    record = {"encoder": r.encoder, "revision": r.encoder_revision, "dimension": r.dimension,
              "window": encoder.window, "stride": encoder.stride, "truncate": encoder.truncate}
    if getattr(encoder, "checkpoint", None):
        record["checkpoint"] = dict(encoder.checkpoint)  # where from_pretrained loaded it, and its backend
    return record


def read_record(path: pathlib.Path) -> dict:
    """The collection's ``collection.json`` record: FileNotFoundError when
    ``path`` holds none (not a collection), ValueError when it is unreadable or
    another format's."""
    try:
        record = json.loads((path / "collection.json").read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise FileNotFoundError(f"{path} is not a collection (no collection.json)") from None
    except (OSError, ValueError) as error:
        raise ValueError(f"{path}/collection.json is unreadable: {error}") from error
    if not isinstance(record, dict) or record.get("format") != FORMAT:
        raise ValueError(f"{path}/collection.json is not a {FORMAT} record")
    return record


class _PinnedSource:
    """The store as a reranker's source, answering every ``view()`` with one
    view, so that a search reads a single commit."""

    def __init__(self, store: _native.VectorStore, view: _native.StoreView):
        self.corpus, self.representation, self.score_semantics = store.corpus, store.representation, store.score_semantics
        self._view = view

    def view(self) -> _native.StoreView:
        return self._view


class _PinnedGatherer:
    """A ``StoreGatherer`` gathering from one view."""

    def __init__(self, gatherer: StoreGatherer, view: _native.StoreView):
        self.requires, self.score_semantics = gatherer.requires, gatherer.score_semantics
        self._gatherer, self._view = gatherer, view

    def gather(self, query, limit, *, subset=None):
        return self._gatherer.gather_at(self._view, query, limit, subset=subset)


class Collection:
    """Texts and their metadata, searched by MaxSim. Make one with
    ``Collection.create``, open one with ``Collection.open``."""

    def __init__(self, path: pathlib.Path, encoder: TextEncoder, store: _native.VectorStore,
                 writer: Optional[_native.VectorStoreWriter] = None):
        self.path, self.encoder, self._store, self._writer = path, encoder, store, writer
        # One SQLite connection per thread that reads (a connection holds one
        # transaction at a time), and the writer's own.
        self._local = threading.local()
        self._connections: list[TextTable] = []
        self._connections_lock = threading.Lock()
        self._writer_texts = TextTable(path / "texts.sqlite")
        self._gatherer = StoreGatherer(store)
        self._staged: dict[str, Optional[tuple[str, str]]] = {}
        self._closed = False

    # -- making and opening -------------------------------------------------------------

    @classmethod
    def create(cls, path, encoder: TextEncoder, *, encoding: str = "float32") -> "Collection":
        """A new, empty collection in ``path`` (which must not exist, or be an
        empty directory), holding ``encoder``'s vectors in ``encoding``
        ("float32" or "int8"). The new object is the collection's writer."""
        path = pathlib.Path(path)
        if path.exists() and (not path.is_dir() or any(path.iterdir())):
            raise FileExistsError(f"{path} already exists and is not an empty directory")
        if not isinstance(encoder, TextEncoder):
            raise TypeError(f"encoder must be a TextEncoder, not {type(encoder).__name__}")
        path.parent.mkdir(parents=True, exist_ok=True)
        # Made whole in a sibling directory, then renamed into place: a
        # creation that fails or is killed leaves nothing at `path` (at most
        # the sibling), never a directory that is neither a collection nor
        # empty. The writer keeps working on its store across the rename: it
        # holds the store's directory, not its path.
        building = pathlib.Path(tempfile.mkdtemp(prefix=f".{path.name}.creating-", dir=path.parent))
        try:
            writer = _native.VectorStoreWriter.create(building / "vectors", CORPUS, encoder.representation,
                                                      encoding=encoding)
            try:
                TextTable(building / "texts.sqlite", create=True).close()
                _write_json(building / "collection.json", {"format": FORMAT, "encoder": _encoder_record(encoder)})
                try:
                    os.rename(building, path)  # replaces an empty directory; refuses a non-empty one
                except OSError as error:
                    if error.errno in (errno.EEXIST, errno.ENOTEMPTY):
                        raise FileExistsError(f"{path} already exists and is not an empty directory") from None
                    raise
            except BaseException:
                writer.close()
                raise
        except BaseException:
            shutil.rmtree(building, ignore_errors=True)
            raise
        _sync_directory(path.parent)
        return cls(path, encoder, _native.VectorStore(path / "vectors"), writer)

    @classmethod
    def open(cls, path, encoder: Optional[TextEncoder] = None) -> "Collection":
        """The collection in ``path``. Without ``encoder``, the encoder it was
        made with is rebuilt from its record when it can be: the bundled one,
        or a checkpoint loaded by ``TextEncoder.from_pretrained`` from a
        directory that still holds the same weights. Any other encoder needs
        it passed, and one whose vectors it cannot have made is refused (the
        incompatibility error, ``IncompatibleQueryError``)."""
        path = pathlib.Path(path)
        record = read_record(path)
        store = _native.VectorStore(path / "vectors")
        if encoder is None:
            encoder = cls._rebuilt(path, record.get("encoder") or {})
        elif not isinstance(encoder, TextEncoder):
            raise TypeError(f"encoder must be a TextEncoder or None, not {type(encoder).__name__}")
        _native._assert_representations_compatible(encoder.representation, store.representation)
        return cls(path, encoder, store)

    @classmethod
    def open_or_create(cls, path, encoder: TextEncoder, *, encoding: str = "float32") -> "Collection":
        """The collection in ``path`` opened with ``encoder`` (``open``), or made
        with it (``create``) when ``path`` does not exist or is an empty
        directory; so a program that adds to its collection runs the same code
        the first time and every time after. An existing collection must hold
        ``encoding``, and ``encoder`` must be able to have made its vectors."""
        path = pathlib.Path(path)
        if not path.exists() or (path.is_dir() and not any(path.iterdir())):
            try:
                return cls.create(path, encoder, encoding=encoding)
            except FileExistsError:
                pass  # made meanwhile by another process: open it
        collection = cls.open(path, encoder)
        if collection._store.encoding != encoding:
            collection.close()
            raise ValueError(f"{path} holds {collection._store.encoding} vectors, not {encoding}")
        return collection

    @staticmethod
    def _rebuilt(path: pathlib.Path, record: Mapping[str, Any]) -> TextEncoder:
        from .encoders.minilm import MINILM_NAME

        options = {"window": record.get("window"), "stride": record.get("stride"),
                   "truncate": bool(record.get("truncate"))}
        checkpoint = record.get("checkpoint")
        if isinstance(checkpoint, Mapping):
            encoder = TextEncoder.from_pretrained(checkpoint.get("path"), backend=checkpoint.get("backend"), **options)
            if encoder.representation.encoder_revision != record.get("revision"):
                raise ValueError(f"{path} was made with the checkpoint in {checkpoint.get('path')} at revision "
                                 f"{record.get('revision')}, but that directory now holds revision "
                                 f"{encoder.representation.encoder_revision}: pass the encoder that made it, "
                                 f"Collection.open(path, encoder)")
            return encoder
        backend = BUNDLED.get(record.get("revision")) if record.get("encoder") == MINILM_NAME else None
        if backend is None:
            raise ValueError(f"{path} was made with the encoder {record.get('encoder')!r} "
                             f"({record.get('revision')!r}), which is neither bundled nor a checkpoint directory: "
                             f"pass it, Collection.open(path, encoder)")
        return TextEncoder.minilm(backend, **options)

    # -- changing ---------------------------------------------------------------------

    def add(self, ids: Sequence[str], texts: Sequence[str], metadata: Optional[Sequence[Optional[dict]]] = None,
            *, progress: Optional[bool] = None, encoded: Optional[Sequence[Encoded]] = None) -> None:
        """Encodes ``texts`` and stages them under ``ids`` with their metadata
        (JSON-serialisable dicts, or None); an id already present is replaced.
        ``encoded``, when given, is the texts' encodings by this collection's
        encoder (from a cache, say), used instead of encoding them again.
        Progress shows for 100 texts or more unless ``progress`` says otherwise.
        Nothing is visible before ``commit``; nothing is staged if any argument
        is refused."""
        self._check_open()
        ids, texts = list(ids), list(texts)
        for i, document_id in enumerate(ids):
            if not isinstance(document_id, str):
                raise TypeError(f"ids[{i}] is {type(document_id).__name__}, not str")
        if len(set(ids)) != len(ids):
            raise ValueError("ids holds an id more than once")
        if len(texts) != len(ids):
            raise ValueError(f"ids holds {len(ids)} ids but texts {len(texts)} texts")
        check_texts(texts)
        if metadata is None:
            metadata = [None] * len(ids)
        metadata = list(metadata)
        if len(metadata) != len(ids):
            raise ValueError(f"metadata holds {len(metadata)} entries for {len(ids)} ids")
        encoded_metadata = []
        for i, entry in enumerate(metadata):
            if entry is not None and not isinstance(entry, dict):
                raise TypeError(f"metadata[{i}] is {type(entry).__name__}, not a dict or None")
            try:
                encoded_metadata.append(None if entry is None else json.dumps(entry, allow_nan=False,
                                                                               ensure_ascii=False))
            except (TypeError, ValueError) as error:
                raise ValueError(f"metadata[{i}] is not JSON-serialisable: {error}") from None
        if encoded is not None:
            encoded = list(encoded)
            if len(encoded) != len(ids) or not all(isinstance(e, Encoded) for e in encoded):
                raise ValueError(f"encoded must hold one Encoded per id ({len(ids)})")
        if not ids:
            return
        if encoded is None:
            show = len(ids) >= 100 if progress is None else progress
            encoded = self.encoder.encode(texts, progress="encode" if show else None)
        self._writable().append(ids, *pack(encoded))
        for document_id, text, meta in zip(ids, texts, encoded_metadata):
            self._staged[document_id] = (text, meta)

    def delete(self, ids: Sequence[str]) -> int:
        """Stages the deletion of ``ids`` (absent ones are ignored); returns how
        many of them the store held."""
        self._check_open()
        ids = list(ids)
        removed = self._writable().delete(ids)
        for document_id in ids:
            self._staged[document_id] = None
        return removed

    def compact(self) -> None:
        """Stages a compaction of the vector store (published by ``commit``)."""
        self._check_open()
        self._writable().compact()

    def commit(self) -> datetime.datetime:
        """Publishes everything staged, vectors and texts together, and returns
        the commit's time. Readers see all of it or none of it."""
        self._check_open()
        writer = self._writable()
        generation = self._store.view().commit + 1
        self._writer_texts.stage(generation, self._staged)
        as_of = writer.commit()
        self._staged = {}
        self._writer_texts.forget_before(generation)
        return as_of

    def _texts(self) -> TextTable:
        texts = getattr(self._local, "texts", None)
        if texts is None:
            texts = self._local.texts = TextTable(self.path / "texts.sqlite")
            with self._connections_lock:
                self._connections.append(texts)
        return texts

    def _writable(self) -> _native.VectorStoreWriter:
        if self._writer is None:
            self._writer = _native.VectorStoreWriter(self.path / "vectors")
        return self._writer

    # -- searching ----------------------------------------------------------------------

    def search(self, text: str, *, limit: int = 10, gather_limit: int = 100,
               where: Optional[Mapping[str, Any]] = None) -> Hits:
        """The ``limit`` best documents for ``text`` by MaxSim among the
        ``gather_limit`` the first stage finds, with their texts and metadata,
        as the latest commit holds them. ``where`` filters on metadata (see
        ``quillmark.where``) before the first stage, so a filter loses no hit."""
        self._check_open()
        query = self.encoder.query(text)
        condition = None
        if where is not None:
            from .where import compile_where

            condition = compile_where(where)
        while True:
            view = self._store.view()
            with self._texts().snapshot() as texts:
                # A commit landing between the view and the snapshot may have
                # let the writer forget versions this view needs: start again.
                if self._store.view().commit != view.commit:
                    continue
                subset = None
                if condition is not None:
                    subset = _native.Subset().including(CORPUS, texts.matching(view.commit, *condition))
                pipeline = _native.SearchPipeline(_PinnedGatherer(self._gatherer, view),
                                                  _native.MaxSimReranker([_PinnedSource(self._store, view)]))
                result = pipeline.search(query, gather_limit=max(int(gather_limit), int(limit)), limit=int(limit),
                                         subset=subset)
                found = texts.read(view.commit, [d.document_id for d in result.documents])
            missing = [d.document_id for d in result.documents if d.document_id not in found]
            if missing:
                raise ValueError(f"{self.path} is damaged: commit {view.commit} holds the vectors of "
                                 f"{missing[0]!r} but not its text (quillmark verify says more)")
            hits = [Hit(d.document_id, d.score, *found[d.document_id]) for d in result.documents]
            return Hits(hits, result.as_of, result.timings)

    def get(self, ids: Optional[Sequence[str]] = None) -> dict[str, tuple[str, Optional[dict]]]:
        """The text and metadata of each of ``ids`` (every document when None)
        that the latest commit holds; absent ids are left out."""
        self._check_open()
        while True:
            view = self._store.view()
            with self._texts().snapshot() as texts:
                if self._store.view().commit != view.commit:
                    continue  # as in search
                wanted = view.document_ids if ids is None else [i for i in ids if i in view]
                found = texts.read(view.commit, wanted)
            missing = [i for i in wanted if i not in found]
            if missing:
                raise ValueError(f"{self.path} is damaged: commit {view.commit} holds the vectors of "
                                 f"{missing[0]!r} but not its text (quillmark verify says more)")
            return found

    def __len__(self) -> int:
        """Documents in the latest commit."""
        return len(self._store.view().document_ids)

    # -- closing ------------------------------------------------------------------------

    def close(self) -> None:
        """Releases the collection; what was staged and not committed is dropped."""
        if self._closed:
            return
        self._closed = True
        if self._writer is not None:
            self._writer.close()
        self._writer_texts.close()
        with self._connections_lock:
            for texts in self._connections:
                texts.close()

    def __enter__(self) -> "Collection":
        return self

    def __exit__(self, *exc) -> bool:
        self.close()
        return False

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("collection is closed")
