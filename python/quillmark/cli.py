"""The ``quillmark`` command: index files into a collection, search it,
describe it, check it, serve it.

A user's mistake (a missing collection or path, a bad ``--where``, a
collection another writer holds) ends the command with one line,
``quillmark: error: ...``, on stderr and exit code 2, as argparse's usage
errors do; ``verify`` exits 1 on a damaged collection.

Documents come from text (``.txt``), Markdown (``.md``) and reStructuredText
(``.rst``) files, one per file or one per section (``--per section``):

- Markdown sections begin at ATX headings (a line of one to six ``#``
  followed by a space or the line's end) outside fenced code blocks
  (lines opening with ``` or ``~~~``). Setext headings do not split.
- reStructuredText sections begin at a title: an unindented, non-blank line
  followed by an underline of one repeated punctuation character at least
  as long as the title, or enclosed by that same line above and below.
  Literal blocks are not recognised, so an underlined line inside one splits.
- Plain text files are one section.

A document's id is its file's path relative to the directory given on the
command line (its name, for a file given directly), with ``/`` separators;
with ``--per section`` it is followed by ``#N``: ``#0`` is the text before
the first heading (only when that text is not blank), ``#1``, ``#2``, ...
start at the headings in order. Texts that are blank after stripping are
skipped and counted. Each document's metadata is ``{"file": id without
the section, "suffix": ".md" | ".rst" | ".txt" | ...}``, plus ``"section": N``
per section, for ``search --where``.
"""

from __future__ import annotations

import argparse
import datetime
import fnmatch
import importlib
import json
import os
import pathlib
import re
import sqlite3
import sys
import time
from typing import Optional, Sequence

__all__ = ["main"]

SUFFIXES = (".md", ".rst", ".txt")
DEFAULT_GLOBS = tuple("*" + suffix for suffix in SUFFIXES)
BATCH = 256  # documents per add
FETCH_CHUNK = 256  # documents per fetch while verifying
PROBLEM_CAP = 20  # problem lines verify prints
# Greatest difference from 1 allowed in a stored vector's length. int8 rows
# are read back rescaled to unit length (measured: within 3e-7 at dimension
# 384, as float32 rows are), so the looser bound leaves a wide margin.
UNIT_TOLERANCE = {"float32": 1e-3, "int8": 5e-3}


class UserError(Exception):
    """A mistake in what the user asked for: reported as one line, exit 2."""


# -- documents from files ----------------------------------------------------------------

_MD_HEADING = re.compile(r"#{1,6}(?:[ \t]|$)")
_MD_FENCE = re.compile(r"(`{3,}|~{3,})")
_RST_ADORNMENT = re.compile(r"""([!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~])\1*""")


def split_markdown(text: str) -> list[tuple[int, str]]:
    """``(number, text)`` of each section of a Markdown text: 0 for the text
    before the first heading, then 1, 2, ... for each heading's section."""
    lines = text.splitlines(keepends=True)
    starts, fence = [], None
    for i, line in enumerate(lines):
        stripped = line.lstrip(" ")
        if len(line) - len(stripped) > 3:  # indented code
            continue
        opened = _MD_FENCE.match(stripped)
        if fence is not None:
            if opened and opened.group(1)[0] == fence[0] and len(opened.group(1)) >= len(fence) \
                    and not stripped[len(opened.group(1)):].strip():
                fence = None
            continue
        if opened:
            fence = opened.group(1)
        elif _MD_HEADING.match(stripped.rstrip("\r\n")):
            starts.append(i)
    return _sections(lines, starts)


def split_rst(text: str) -> list[tuple[int, str]]:
    """``(number, text)`` of each section of a reStructuredText text,
    numbered as ``split_markdown`` numbers them; a section starts at its
    title's overline when it has one."""
    lines = text.splitlines(keepends=True)
    bare = [line.rstrip() for line in lines]
    starts, i = [], 1
    while i < len(bare):
        title, under = bare[i - 1], bare[i]
        if (title.strip() and not title[0].isspace() and not _RST_ADORNMENT.fullmatch(title)
                and _RST_ADORNMENT.fullmatch(under) and len(under) >= len(title)):
            start = i - 1
            if start >= 1 and bare[start - 1] == under:
                start -= 1
            if not starts or start > starts[-1]:
                starts.append(start)
            i += 2
        else:
            i += 1
    return _sections(lines, starts)


def _sections(lines: list[str], starts: list[int]) -> list[tuple[int, str]]:
    sections = []
    preamble = "".join(lines[: starts[0] if starts else len(lines)])
    if preamble.strip() or not starts:
        sections.append((0, preamble))
    for number, (start, end) in enumerate(zip(starts, [*starts[1:], len(lines)]), start=1):
        sections.append((number, "".join(lines[start:end])))
    return sections


def _files(paths: Sequence[str], globs: Sequence[str]) -> list[tuple[str, pathlib.Path]]:
    """``(id, file)`` of every file to read, directories walked in sorted order."""
    found: dict[str, pathlib.Path] = {}
    for given in paths:
        root = pathlib.Path(given)
        if root.is_file():
            pairs = [(root.name, root)]
        elif root.is_dir():
            pairs = []
            for directory, subdirectories, names in os.walk(root):
                subdirectories.sort()
                for name in sorted(names):
                    if any(fnmatch.fnmatch(name, pattern) for pattern in globs):
                        file = pathlib.Path(directory, name)
                        if file.is_file():
                            pairs.append((file.relative_to(root).as_posix(), file))
        else:
            raise UserError(f"{given}: no such file or directory")
        for document_id, file in pairs:
            if document_id in found and found[document_id] != file:
                raise UserError(f"{found[document_id]} and {file} would both be the document {document_id!r}")
            found[document_id] = file
    return list(found.items())


def read_documents(paths: Sequence[str], globs: Sequence[str], per: str):
    """The ids, texts and metadata of the documents in ``paths``, and how
    many blank texts were skipped."""
    ids, texts, metadata, skipped = [], [], [], 0
    for document_id, file in _files(paths, globs):
        try:
            text = file.read_text(encoding="utf-8", errors="replace")
        except OSError as error:
            raise UserError(f"{file}: {error.strerror or error}") from None
        if per == "file":
            pieces = [(None, text)]
        elif file.suffix.lower() == ".md":
            pieces = split_markdown(text)
        elif file.suffix.lower() == ".rst":
            pieces = split_rst(text)
        else:
            pieces = [(0, text)]
        for number, piece in pieces:
            if not piece.strip():
                skipped += 1
                continue
            ids.append(document_id if number is None else f"{document_id}#{number}")
            texts.append(piece)
            metadata.append({"file": document_id, "suffix": file.suffix.lower(),
                             **({} if number is None else {"section": number})})
    return ids, texts, metadata, skipped


# -- collections --------------------------------------------------------------------------

def _record(path: pathlib.Path) -> dict:
    """The collection's ``collection.json``, or a UserError when ``path`` is not a collection."""
    from .collection import read_record

    if not path.exists():
        raise UserError(f"{path}: no such collection")
    try:
        return read_record(path)
    except (FileNotFoundError, ValueError) as error:
        raise UserError(str(error)) from None


def _factory_encoder(spec: Optional[str]):
    """The encoder ``module:function`` makes, or None when no factory is named."""
    if spec is None:
        return None
    from .encoders import TextEncoder

    module_name, _, function_name = spec.partition(":")
    if not module_name or not function_name:
        raise UserError(f"--encoder-factory {spec!r} is not module:function")
    try:
        function = getattr(importlib.import_module(module_name), function_name)
    except (ImportError, AttributeError) as error:
        raise UserError(f"--encoder-factory {spec!r}: {error}") from None
    encoder = function()
    if not isinstance(encoder, TextEncoder):
        raise UserError(f"--encoder-factory {spec!r} returned {type(encoder).__name__}, not a TextEncoder")
    return encoder


def _open(path: pathlib.Path, encoder):
    from . import Collection
    from .encoders import MissingModelError

    _record(path)
    try:
        return Collection.open(path, encoder)
    except (ValueError, TypeError, FileNotFoundError, MissingModelError) as error:
        raise UserError(str(error)) from None


def _is_new(path: pathlib.Path) -> bool:
    return not path.exists() or (path.is_dir() and not any(path.iterdir()))


def _size(path: pathlib.Path) -> int:
    if path.is_file():
        return path.stat().st_size
    total = 0
    for directory, _, names in os.walk(path):
        for name in names:
            try:
                total += os.path.getsize(os.path.join(directory, name))
            except OSError:
                pass  # removed while walking
    return total


def _when(moment: datetime.datetime) -> str:
    return moment.astimezone().isoformat(sep=" ", timespec="seconds")


# -- commands -----------------------------------------------------------------------------

def cmd_index(args) -> int:
    from . import Collection, TextEncoder
    from .encoders import MissingModelError

    started = time.perf_counter()
    path = pathlib.Path(args.collection)
    ids, texts, metadata, skipped = read_documents(args.paths, args.glob or DEFAULT_GLOBS, args.per)
    encoder = _factory_encoder(args.encoder_factory)
    if _is_new(path):
        if encoder is None:
            try:
                encoder = (TextEncoder.minilm(args.encoder) if args.encoder in ("int8", "fp32")
                           else TextEncoder.from_pretrained(args.encoder))
            except (MissingModelError, ValueError, OSError) as error:
                raise UserError(str(error)) from None
        collection = Collection.create(path, encoder, encoding=args.encoding)
    else:
        collection = _open(path, encoder)
    with collection:
        for start in range(0, len(ids), BATCH):
            part = slice(start, start + BATCH)
            collection.add(ids[part], texts[part], metadata[part], progress=False)
        collection.commit()
    print(f"indexed {len(ids)} documents, skipped {skipped} blank, in {time.perf_counter() - started:.2f} s")
    return 0


def _snippet(text: str, width: int = 100) -> str:
    flat = " ".join(text.split())
    return flat if len(flat) <= width else flat[: width - 3].rstrip() + "..."


def cmd_search(args) -> int:
    from .where import compile_where

    where = None
    if args.where is not None:
        try:
            where = json.loads(args.where)
        except ValueError as error:
            raise UserError(f"--where is not JSON: {error}") from None
        try:
            compile_where(where)
        except (ValueError, TypeError) as error:
            raise UserError(f"--where: {error}") from None
    with _open(pathlib.Path(args.collection), _factory_encoder(args.encoder_factory)) as collection:
        hits = collection.search(args.query, limit=args.k, gather_limit=max(100, args.k), where=where)
    if not hits:
        print("no documents found")
    for rank, hit in enumerate(hits, start=1):
        print(f"{rank:>3}. {hit.id}  {hit.score:.3f}  {_snippet(hit.text)}")
    print(f"as of {_when(hits.as_of)}; searched in {hits.timings.total_seconds * 1000:.1f} ms")
    return 0


def cmd_info(args) -> int:
    from . import VectorStore

    path = pathlib.Path(args.collection)
    encoder = _record(path).get("encoder") or {}
    store = VectorStore(path / "vectors")
    view = store.view()
    stats = view.stats()
    wal = path / "texts.sqlite-wal"
    sizes = {"vectors/": _size(path / "vectors"),
             "vectors.index/": _size(path / "vectors.index") if (path / "vectors.index").exists() else 0,
             "texts.sqlite": _size(path / "texts.sqlite") + (_size(wal) if wal.exists() else 0)}
    print(f"collection:  {path}")
    print(f"documents:   {stats['documents']}")
    print(f"tokens:      {stats['tokens']}")
    print(f"segments:    {stats['segments']}")
    print(f"commit:      {stats['commit']} at {_when(stats['committed_at'])}")
    print(f"encoder:     {encoder.get('encoder')} ({encoder.get('revision')}), dimension {encoder.get('dimension')}")
    print(f"encoding:    {stats['encoding']}")
    print(f"superseded:  {stats['superseded_documents']} rows (deleted or replaced), "
          f"{stats['stored_tokens'] - stats['tokens']} tokens")
    print("store files: " + ", ".join(f"{kind} {size:,} B in {stats['files'][kind]}"
                                      for kind, size in stats["bytes"].items() if stats["files"][kind]))
    print(f"compaction:  would remove {stats['compaction_removes']} files")
    print("on disk:     " + ", ".join(f"{name} {size:,} B" for name, size in sizes.items())
          + f"; total {sum(sizes.values()):,} B")
    return 0


def verify(path: pathlib.Path) -> tuple[list[str], list[str]]:
    """What ``quillmark verify`` finds: ``(notes, problems)``."""
    from . import VectorStore
    from .text_table import TextTable

    _record(path)
    notes, problems = [], []
    try:
        store = VectorStore(path / "vectors")
        view = store.view()
    except (ValueError, OSError) as error:
        return notes, [f"vectors/ is unreadable: {error}"]
    if not (path / "texts.sqlite").is_file():
        return notes, ["texts.sqlite is missing"]
    ids = view.document_ids
    notes.append(f"commit {view.commit} at {_when(view.as_of)}: {len(ids)} documents")

    # Texts, read in one snapshot taken at the view's commit.
    try:
        table = TextTable(path / "texts.sqlite")
    except ValueError as error:
        return notes, [f"texts.sqlite is unreadable: {error}"]
    try:
        while True:
            with table.snapshot():
                rows, above = table.versions(view.commit), table.beyond(view.commit)
            latest = store.view()
            if latest.commit == view.commit:
                break
            view, ids = latest, latest.document_ids  # a commit landed: read both again
    except sqlite3.DatabaseError as error:
        return notes, [f"texts.sqlite is unreadable: {error}"]
    finally:
        table.close()

    live = {}
    for document_id, deleted, text, metadata in rows:
        if deleted:
            continue
        live[document_id] = text
        if not isinstance(text, str) or not text.strip():
            problems.append(f"{document_id!r}: its text at commit {view.commit} is empty")
        if metadata is not None:
            try:
                decoded = json.loads(metadata)
            except ValueError:
                decoded = None
            if not isinstance(decoded, dict):
                problems.append(f"{document_id!r}: its metadata is not a JSON object")
    stored = set(ids)
    for document_id in ids:
        if document_id not in live:
            problems.append(f"{document_id!r}: vectors but no text at commit {view.commit}")
    for document_id in sorted(set(live) - stored):
        problems.append(f"{document_id!r}: a text at commit {view.commit} but no vectors")
    for generation, count in above:
        if generation == view.commit + 1:
            notes.append(f"{count} text rows of an unfinished commit {generation} (the next commit discards them)")
        else:
            problems.append(f"{count} text rows of commit {generation}, beyond the store's commit {view.commit}")

    # Vectors, fetched in chunks.
    import numpy as np

    representation = store.representation
    tolerance = UNIT_TOLERANCE.get(store.encoding, 5e-3) if representation.normalized else None
    tokens = 0
    for start in range(0, len(ids), FETCH_CHUNK):
        chunk = ids[start : start + FETCH_CHUNK]
        try:
            vectors, lengths = view.fetch(chunk)
            recorded = view.document_lengths(chunk)
        except (ValueError, OSError) as error:
            problems.append(f"the vectors of {chunk[0]!r} .. {chunk[-1]!r} are unreadable: {error}")
            continue
        tokens += int(lengths.sum())
        if vectors.ndim != 2 or vectors.shape[1] != store.dimension or vectors.shape[0] != int(lengths.sum()):
            problems.append(f"the vectors of {chunk[0]!r} .. {chunk[-1]!r} have shape {vectors.shape}, "
                            f"not [{int(lengths.sum())}, {store.dimension}]")
            continue
        owner = np.repeat(np.arange(len(chunk)), lengths)
        bad_finite = np.zeros(len(chunk), bool)
        bad_finite[owner[~np.isfinite(vectors).all(axis=1)]] = True
        bad_length = np.zeros(len(chunk), bool)
        worst = np.zeros(len(chunk))
        if tolerance is not None:
            with np.errstate(invalid="ignore", over="ignore"):
                deviation = np.abs(np.linalg.norm(vectors.astype(np.float64), axis=1) - 1.0)
            off = deviation > tolerance
            bad_length[owner[off]] = True
            np.maximum.at(worst, owner[off], deviation[off])
        for i, document_id in enumerate(chunk):
            if lengths[i] <= 0:
                problems.append(f"{document_id!r}: no token vectors")
            if recorded.get(document_id) != int(lengths[i]):
                problems.append(f"{document_id!r}: {int(lengths[i])} vectors, but its length is "
                                f"recorded as {recorded.get(document_id)}")
            if bad_finite[i]:
                problems.append(f"{document_id!r}: vectors that are not finite")
            elif bad_length[i]:
                problems.append(f"{document_id!r}: a vector whose length is {1 + worst[i]:.4g} or "
                                f"{1 - worst[i]:.4g}, not 1 within {tolerance:g}")
    notes.append(f"{tokens} token vectors read ({store.encoding}, dimension {store.dimension}"
                 + (f", unit length within {tolerance:g})" if tolerance is not None else ")"))
    notes.append(f"{len(live)} texts live at commit {view.commit}")
    return notes, problems


def cmd_verify(args) -> int:
    path = pathlib.Path(args.collection)
    notes, problems = verify(path)
    print(f"collection: {path}")
    for note in notes:
        print(note)
    if not problems:
        print("sound")
        return 0
    print(f"damaged: {len(problems)} problem{'s' if len(problems) != 1 else ''}")
    for problem in problems[:PROBLEM_CAP]:
        print(f"  {problem}")
    if len(problems) > PROBLEM_CAP:
        print(f"  ... and {len(problems) - PROBLEM_CAP} more")
    return 1


def cmd_serve(args) -> int:
    path = pathlib.Path(args.collection)
    _record(path)
    encoder = _factory_encoder(args.encoder_factory)
    from .server import serve

    serve(path, host=args.host, port=args.port, encoder=encoder)
    return 0


# -- arguments ----------------------------------------------------------------------------

def _positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{value!r} is not a whole number") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"{value} is not at least 1")
    return number


def _port(value: str) -> int:
    number = _positive(value)
    if number > 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a port")
    return number


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="quillmark", description="Late-interaction (MaxSim) search of text collections.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, function, help):
        sub = commands.add_parser(name, help=help, description=help)
        sub.add_argument("collection", metavar="COLLECTION", help="the collection's directory")
        sub.set_defaults(function=function)
        return sub

    def factory(sub):
        # Names a TextEncoder other than the bundled one (tests use it).
        sub.add_argument("--encoder-factory", metavar="MODULE:FUNCTION", help=argparse.SUPPRESS)

    index = command("index", cmd_index, "Add .txt, .md and .rst files to a collection, made if missing.")
    index.add_argument("paths", nargs="+", metavar="PATH", help="files, and directories walked recursively")
    index.add_argument("--glob", action="append", metavar="PATTERN",
                       help="file names to read in directories (repeatable; default: *.md, *.rst, *.txt)")
    index.add_argument("--encoder", default="int8", metavar="{int8,fp32,DIRECTORY}",
                       help="a new collection's encoder: the bundled MiniLM on its int8 or fp32 backend "
                            "(default: int8), or a late-interaction checkpoint directory")
    index.add_argument("--encoding", choices=("float32", "int8"), default="float32",
                       help="how a new collection stores its vectors (default: float32)")
    index.add_argument("--per", choices=("file", "section"), default="file",
                       help="one document per file (default) or per section")
    factory(index)

    search = command("search", cmd_search, "Search a collection.")
    search.add_argument("query", metavar="QUERY")
    search.add_argument("-k", type=_positive, default=10, metavar="N", help="hits to show (default: 10)")
    search.add_argument("--where", metavar="JSON", help='a metadata filter, e.g. \'{"lang": "en"}\'')
    factory(search)

    command("info", cmd_info, "Describe a collection.")
    command("verify", cmd_verify, "Check a collection's texts and vectors; exit 1 when damaged.")

    serve = command("serve", cmd_serve, "Serve a collection over HTTP.")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    serve.add_argument("--port", type=_port, default=8080, help="port to listen on (default: 8080)")
    factory(serve)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = parser().parse_args(argv)
    except SystemExit as exit:  # --help, or a usage error argparse has reported
        return exit.code if isinstance(exit.code, int) else (0 if exit.code is None else 2)
    try:
        return args.function(args)
    except (UserError, BlockingIOError, FileExistsError) as error:
        message = str(error)
        if isinstance(error, BlockingIOError):
            message = f"{args.collection} is being written by another process ({error.strerror or error})"
        print(f"quillmark: error: {message}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
