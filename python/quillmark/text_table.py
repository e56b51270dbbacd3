"""A collection's texts and metadata in SQLite, versioned by the store's commits.

The vector store decides which documents a commit holds; this table only
says what each of them reads. Every row is one version of one document: its
id, the store commit that published it (``generation``), and its text and
metadata, or a deletion mark. What a reader of store commit G sees of a
document is its row with the greatest generation not above G, if that row
is not a deletion.

A commit of the collection writes its rows with generation N + 1 (N being
the store's commit) in one SQLite transaction, then commits the store,
which makes them visible, then removes the versions no reader can need any
more. Rows above the store's commit are what a commit that never reached
the store left behind: readers never see them (they read at the store's
commit) and the next commit deletes them before writing its own. So after a
crash anywhere, the collection reads as its last acknowledged commit, or
the one being made if its store commit had landed.

Readers hold one SQLite read transaction across a search: its snapshot
is taken before the store view, so it holds every version a view of that
commit or any earlier one needs, except rows of a commit that landed between
the two, which a reader sees as missing and answers by searching again.
"""

from __future__ import annotations

import contextlib
import json
import pathlib
import sqlite3
from typing import Iterable, Iterator, Optional

__all__ = ["TextTable"]

SCHEMA = """
CREATE TABLE IF NOT EXISTS texts (
    id TEXT NOT NULL,
    generation INTEGER NOT NULL,
    deleted INTEGER NOT NULL,
    text TEXT,
    metadata TEXT,
    PRIMARY KEY (id, generation)
) WITHOUT ROWID
"""

# The version of each document a reader of commit ? (the first parameter) sees.
CURRENT = """
SELECT t.id, t.deleted, t.text, t.metadata FROM texts AS t
WHERE t.generation = (SELECT max(v.generation) FROM texts AS v WHERE v.id = t.id AND v.generation <= ?)
"""


class TextTable:
    """One connection to a collection's ``texts.sqlite``. Not shared between
    threads: each reader or writer object opens its own."""

    def __init__(self, path: pathlib.Path, *, create: bool = False):
        if not create and not path.exists():
            raise FileNotFoundError(f"{path}: the collection's texts are missing")
        # isolation_level=None: transactions are begun and ended explicitly.
        self._db = sqlite3.connect(str(path), isolation_level=None, check_same_thread=False)
        try:
            self._db.execute("PRAGMA journal_mode=WAL")
            # Every commit of a transaction reaches the disk before it returns:
            # the store's commit must never publish rows that a power loss undoes.
            self._db.execute("PRAGMA synchronous=FULL")
            self._db.execute("PRAGMA busy_timeout=10000")
            if create:
                self._db.execute(SCHEMA)
            else:
                found = self._db.execute(
                    "SELECT sql FROM sqlite_master WHERE type='table' AND name='texts'").fetchone()
                if found is None:
                    raise ValueError(f"{path}: not a collection's text table")
        except sqlite3.DatabaseError as error:
            self._db.close()
            raise ValueError(f"{path} is damaged: {error}") from error
        except BaseException:
            self._db.close()
            raise

    def close(self) -> None:
        self._db.close()

    # -- writing ----------------------------------------------------------------------

    def stage(self, generation: int, versions: dict[str, Optional[tuple[str, str]]]) -> None:
        """Writes ``versions`` (id -> (text, metadata JSON), or None for a
        deletion) as generation ``generation``, after removing every row of
        that generation or above (left by a commit that never reached the
        store). Durable when it returns."""
        with self._transaction():
            self._db.execute("DELETE FROM texts WHERE generation >= ?", (generation,))
            self._db.executemany(
                "INSERT INTO texts (id, generation, deleted, text, metadata) VALUES (?, ?, ?, ?, ?)",
                [(i, generation, v is None, None if v is None else v[0], None if v is None else v[1])
                 for i, v in versions.items()],
            )

    def forget_before(self, generation: int) -> None:
        """Removes the versions superseded at or below ``generation``, and the
        deletion marks there (the store holds none of those documents)."""
        with self._transaction():
            self._db.execute(
                "DELETE FROM texts WHERE generation <= :g AND EXISTS (SELECT 1 FROM texts AS n "
                "WHERE n.id = texts.id AND n.generation > texts.generation AND n.generation <= :g)",
                {"g": generation},
            )
            self._db.execute("DELETE FROM texts WHERE deleted = 1 AND generation <= ?", (generation,))

    # -- reading ----------------------------------------------------------------------

    @contextlib.contextmanager
    def snapshot(self) -> Iterator["TextTable"]:
        """A read transaction: every read inside sees one state of the table."""
        self._db.execute("BEGIN")
        try:
            self._db.execute("SELECT 1 FROM texts LIMIT 1").fetchall()  # takes the snapshot now
            yield self
        finally:
            self._db.execute("COMMIT")

    def read(self, generation: int, ids: Iterable[str]) -> dict[str, tuple[str, dict]]:
        """The text and metadata of each of ``ids`` that commit ``generation``
        holds (ids without a live version there are left out)."""
        ids = list(ids)
        found = {}
        for start in range(0, len(ids), 500):
            part = ids[start : start + 500]
            marks = ",".join("?" * len(part))
            rows = self._db.execute(CURRENT + f" AND t.id IN ({marks})", (generation, *part))
            for document_id, deleted, text, metadata in rows:
                if not deleted:
                    found[document_id] = (text, json.loads(metadata) if metadata else None)
        return found

    def versions(self, generation: int) -> list[tuple[str, int, Optional[str], Optional[str]]]:
        """Every document's version at ``generation`` as stored: (id, deleted,
        text, metadata JSON), deletion marks included."""
        return self._db.execute(CURRENT, (generation,)).fetchall()

    def beyond(self, generation: int) -> list[tuple[int, int]]:
        """(generation, rows) of each generation above ``generation``."""
        return self._db.execute("SELECT generation, count(*) FROM texts WHERE generation > ? "
                                "GROUP BY generation ORDER BY generation", (generation,)).fetchall()

    def matching(self, generation: int, condition: str, parameters: list) -> list[str]:
        """Ids of the documents live at ``generation`` whose metadata (the
        column ``metadata``) satisfies the SQL ``condition``."""
        rows = self._db.execute(
            f"SELECT id FROM ({CURRENT}) WHERE deleted = 0 AND ({condition})",
            (generation, *parameters))
        return [r[0] for r in rows]

    @contextlib.contextmanager
    def _transaction(self):
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")
