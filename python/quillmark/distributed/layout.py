"""The layout of a sharded store: how many shards, and how ids find theirs.

A sharded store is a root directory holding ``shards.json`` and one ordinary
vector store per shard, ``shard-0``, ``shard-1``, ... . A document's shard is
a fixed digest of its id's UTF-8 bytes modulo the shard count, so it is the
same in every process, on every machine and in every Python version (unlike
``hash()``, which is salted per process). The layout file names the count and
the hash; opening the store with another count fails instead of routing ids
to shards that do not hold them.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import pathlib
import uuid

from ..errors import Error

__all__ = ["LAYOUT_FILE", "FORMAT", "HASH", "Layout", "LayoutError", "shard_of"]

LAYOUT_FILE = "shards.json"
FORMAT = "quillmark-shards-1"
#: BLAKE2b with an 8-byte digest of the id's UTF-8 bytes, read as a big-endian
#: unsigned integer, modulo the shard count.
HASH = "blake2b-64-mod"


class LayoutError(Error, ValueError):
    """A sharded store's layout file is missing, unreadable, or disagrees with how it is opened."""


def shard_of(document_id: str, shards: int) -> int:
    """The shard (0 to ``shards`` - 1) that holds ``document_id``."""
    digest = hashlib.blake2b(document_id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "big") % shards


@dataclasses.dataclass(frozen=True)
class Layout:
    corpus: str
    shards: int
    hash: str = HASH

    def __post_init__(self):
        if not isinstance(self.shards, int) or isinstance(self.shards, bool) or self.shards < 1:
            raise LayoutError(f"a sharded store needs a positive number of shards, not {self.shards!r}")
        if self.hash != HASH:
            raise LayoutError(f"unknown shard hash {self.hash!r}; this version routes with {HASH!r}")

    @staticmethod
    def directory(root: str | os.PathLike[str], shard: int) -> pathlib.Path:
        return pathlib.Path(root) / f"shard-{shard}"

    def to_json(self) -> str:
        return json.dumps({"format": FORMAT, "corpus": self.corpus, "shards": self.shards, "hash": self.hash},
                          indent=2) + "\n"

    @classmethod
    def read(cls, root: str | os.PathLike[str]) -> "Layout":
        path = pathlib.Path(root) / LAYOUT_FILE
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            raise LayoutError(f"{path}: no sharded store here (the layout file is missing)") from None
        except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
            raise LayoutError(f"{path}: unreadable layout file: {error}") from error
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise LayoutError(f"{path}: not a {FORMAT} layout file")
        try:
            return cls(corpus=data["corpus"], shards=data["shards"], hash=data["hash"])
        except KeyError as error:
            raise LayoutError(f"{path}: the layout file lacks {error.args[0]!r}") from None

    def check(self, root: str | os.PathLike[str], shards: int | None, corpus: str | None = None) -> None:
        """Fails unless the store is opened with this layout's shard count (and corpus)."""
        if shards is not None and shards != self.shards:
            raise LayoutError(
                f"sharded store {root} has {self.shards} shards, not {shards}: reopening it with another "
                "count would route documents to shards that do not hold them"
            )
        if corpus is not None and corpus != self.corpus:
            raise LayoutError(f"sharded store {root} holds corpus {self.corpus!r}, not {corpus!r}")

    def publish(self, root: str | os.PathLike[str]) -> None:
        """Writes the layout file of a new store, or checks the one already there.

        Every shard of a new store calls this on its own machine, possibly at the
        same time as others on the same machine: the file is written whole under
        a temporary name and linked into place, so it appears complete or not at
        all, and the one that loses the race compares instead.
        """
        root = pathlib.Path(root)
        root.mkdir(parents=True, exist_ok=True)
        final = root / LAYOUT_FILE
        temporary = root / f".{LAYOUT_FILE}.{uuid.uuid4().hex}"
        with open(temporary, "x", encoding="utf-8") as out:
            out.write(self.to_json())
            out.flush()
            os.fsync(out.fileno())
        try:
            os.link(temporary, final)
        except FileExistsError:
            existing = Layout.read(root)
            if existing != self:
                raise LayoutError(f"{final}: another sharded store is here ({existing.shards} shards of "
                                  f"corpus {existing.corpus!r})") from None
        finally:
            temporary.unlink()
        directory = os.open(root, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
