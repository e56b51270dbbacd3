"""A corpus split over shards, each an ordinary store behind its own Ray actor.

Documents are routed by a stable hash of their id (``layout.shard_of``), so a
document, and every later version of it, always lives in the same shard: an
append that replaces a document and a deletion both reach the shard holding
it. ``append``, ``delete``, ``compact`` and ``commit`` fan out to the shards'
single writers.

Commits are atomic per shard, not across shards: each shard publishes its own
commit, so a reader may see shard 0's new commit beside shard 1's old one, and
a commit that fails on one shard may have taken effect on the others. What
holds: every shard's commit is all or nothing, a search's ``as_of`` is the
earliest commit time of the shards it read (every write committed on every
shard before that time is reflected), and ``commit()`` reports each shard's
commit time.
"""

from __future__ import annotations

import datetime
import os
import pathlib
from typing import Any, Iterable, Optional, Sequence

import numpy as np
import ray
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from .. import _native
from ..ids import utf8_sorted
from ..representation import Representation
from .fanout import Shard, ShardError, collect
from .layout import Layout, LayoutError, shard_of
from .shard import ShardServer

__all__ = ["ShardedStore"]

# Actor handles of stores inherited across a fork and closed or dropped in
# this process, kept for its whole life: a handle dropped in a forked child
# counts for Ray as dropped by the process that opened the store, and the
# actor would end under that process.
_INHERITED_ACTORS: list[Any] = []


class ShardedStore:
    """The driver's handle on a sharded store: its layout and its shard actors.

    Make one with ``create`` or ``open``; ``close`` (or leaving a ``with``
    block, by an exception too) releases the shards' writers, discarding work
    not committed, and ends the actors; nothing commits by itself. A closed
    store refuses every call to its shards with ``ValueError``. ``timeout``
    (seconds, ``None`` to wait as long as it takes) bounds every call to the
    shards unless a stage gives its own; ``start_timeout`` bounds the start of
    the actors (here and in ``restart``), which must find a node, start a
    worker process and open the shard.

    The handle belongs to the process that opened it: Ray's connection does
    not survive a fork, so in a forked child every call to the shards raises
    ``RuntimeError`` (a write says that the writer was inherited across a
    fork), and ``close`` there only closes the child's copy, leaving the
    opening process's actors alone.
    """

    def __init__(self, root: pathlib.Path, layout: Layout, *, nodes: Optional[Sequence[str]],
                 timeout: Optional[float], start_timeout: Optional[float], create: Optional[tuple] = None):
        if nodes is not None and len(nodes) != layout.shards:
            raise ValueError(f"{len(nodes)} nodes were given for {layout.shards} shards")
        self.root = root
        self.layout = layout
        self._pid = os.getpid()  # the process whose Ray connection holds the actors
        self._closed = False
        self.timeout = timeout
        self.start_timeout = start_timeout
        self._nodes = list(nodes) if nodes is not None else None
        self._builders: dict[str, list[Any]] = {}  # installed gatherers, reinstalled on restart
        self._actors = [self._start(i, create) for i in range(layout.shards)]
        try:
            described = collect([(self.shard(i), a.describe.remote()) for i, a in enumerate(self._actors)],
                                "start", start_timeout)
        except BaseException:
            self._abandon()
            raise
        first = described[0]
        for i, d in enumerate(described):
            for field in ("corpus", "encoding", "representation", "score_semantics"):
                if d[field] != first[field]:
                    self._abandon()
                    raise LayoutError(f"shard {i} of {layout.shards} ({d['path']}) has {field} {d[field]!r}, "
                                      f"but shard 0 has {first[field]!r}")
        self.corpus: str = first["corpus"]
        self.encoding: str = first["encoding"]
        self.representation: Representation = first["representation"]
        self.score_semantics: str = first["score_semantics"]
        self.nodes: list[str] = [d["node"] for d in described]

    def _abandon(self) -> None:
        """Ends the actors of a store that failed to open: some may never start,
        so their writers are not waited for."""
        self._closed = True
        actors, self._actors = self._actors, []
        self._end(actors, release=False)

    # -- making and ending ------------------------------------------------------------

    @classmethod
    def create(cls, root: str | os.PathLike[str], corpus: str, representation: Representation, *, shards: int,
               encoding: str = "float32", nodes: Optional[Sequence[str]] = None,
               timeout: Optional[float] = None, start_timeout: Optional[float] = 120.0) -> "ShardedStore":
        """A new empty sharded store at ``root``: every shard actor writes the
        layout file on its machine and creates its shard's store. ``nodes``
        places shard i on the Ray node ``nodes[i]`` (by node id); without it Ray
        places the actors."""
        layout = Layout(corpus, shards)
        return cls(pathlib.Path(root), layout, nodes=nodes, timeout=timeout, start_timeout=start_timeout,
                   create=(corpus, representation, encoding))

    @classmethod
    def open(cls, root: str | os.PathLike[str], *, shards: Optional[int] = None,
             nodes: Optional[Sequence[str]] = None, timeout: Optional[float] = None,
             start_timeout: Optional[float] = 120.0) -> "ShardedStore":
        """The sharded store at ``root``. Its layout file is read here when
        ``root`` is visible to this process (and must then agree with
        ``shards``); each shard actor also checks the layout on its own machine."""
        root = pathlib.Path(root)
        try:
            layout = Layout.read(root)
        except LayoutError:
            if shards is None or (root / "shards.json").exists():
                raise
            # The files live on other machines only: the actors check them there.
            layout = Layout("", shards)
        layout.check(root, shards)
        return cls(root, layout, nodes=nodes, timeout=timeout, start_timeout=start_timeout)

    def _usable(self, *, writing: bool) -> None:
        """Raises unless this process may call the shards now."""
        if self._closed:
            raise ValueError(f"sharded store {self.root} is closed")
        if os.getpid() != self._pid:
            if writing:
                raise RuntimeError(f"sharded store {self.root} was opened for writing in process {self._pid}; "
                                   f"a writer inherited across a fork cannot be used (this is process "
                                   f"{os.getpid()})")
            raise RuntimeError(f"sharded store {self.root} was opened in process {self._pid}; a handle inherited "
                               f"across a fork cannot reach its shards (this is process {os.getpid()})")

    def _start(self, index: int, create: Optional[tuple] = None):
        options: dict[str, Any] = {"num_cpus": 0}
        if self._nodes is not None:
            options["scheduling_strategy"] = NodeAffinitySchedulingStrategy(node_id=self._nodes[index], soft=False)
        return ShardServer.options(**options).remote(str(self.root), index, self.layout.shards, create)

    def restart(self, shard: int) -> None:
        """Ends shard ``shard``'s actor if it still runs and starts a new one on
        the shard's files, on the same node: it serves the shard's last commit
        (work staged and not committed is lost) and gets every installed
        gatherer again."""
        self._usable(writing=True)
        try:
            ray.kill(self._actors[shard], no_restart=True)
        except Exception:  # already gone
            pass
        options: dict[str, Any] = {"num_cpus": 0, "scheduling_strategy": NodeAffinitySchedulingStrategy(
            node_id=self.nodes[shard], soft=False)}
        actor = ShardServer.options(**options).remote(str(self.root), shard, self.layout.shards, None)
        calls = [(self.shard(shard), actor.describe.remote())]
        calls += [(self.shard(shard), actor.install.remote(key, b[shard])) for key, b in self._builders.items()]
        collect(calls, "restart", self.start_timeout)
        self._actors[shard] = actor

    def close(self) -> None:
        """Releases every shard's writer (staged, uncommitted work is discarded,
        as when the store is dropped) and ends the shard actors. Writes already
        sent finish first (waited for up to ``timeout``). Closing a closed store
        does nothing."""
        if self._closed:
            return
        self._closed = True
        actors, self._actors = self._actors, []
        self._builders.clear()
        if os.getpid() != self._pid:
            _INHERITED_ACTORS.extend(actors)  # they serve the opening process
            return
        self._end(actors, release=True)

    def __del__(self) -> None:
        # Dropped in the opening process, the handles go and Ray ends the
        # actors; dropped in a forked child, they must stay.
        if getattr(self, "_pid", os.getpid()) != os.getpid():
            _INHERITED_ACTORS.extend(getattr(self, "_actors", []))

    def _end(self, actors: Sequence[Any], *, release: bool) -> None:
        if release:
            # Each writer's lock is free when its release returns, so a store
            # opened next on the same files can write at once; a killed
            # actor's lock is freed only when its process has exited.
            calls = []
            for actor in actors:
                try:
                    calls.append(actor.release.remote())
                except Exception:  # already gone
                    pass
            if calls:
                try:
                    ray.wait(calls, num_returns=len(calls), timeout=self.timeout)
                except Exception:  # Ray itself is gone: so are the actors
                    pass
        for actor in actors:
            try:
                ray.kill(actor, no_restart=True)
            except Exception:  # already gone
                pass

    def __enter__(self) -> "ShardedStore":
        self._usable(writing=False)
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- shards ------------------------------------------------------------------------

    @property
    def shards(self) -> int:
        return self.layout.shards

    def shard_of(self, document_id: str) -> int:
        return shard_of(document_id, self.layout.shards)

    def shard(self, index: int) -> Shard:
        return Shard(index, self.layout.shards, str(Layout.directory(self.root, index)))

    def actor(self, index: int):
        """The Ray actor serving shard ``index``."""
        self._usable(writing=False)
        return self._actors[index]

    def fan_out(self, operation: str, method: str, arguments: Sequence[tuple], *,
                timeout: Optional[float] = ..., shards: Optional[Sequence[int]] = None) -> list:
        """Calls ``method`` of the shards (every shard, or those listed) with
        their arguments, and returns their answers in shard order."""
        self._usable(writing=False)
        indices = range(self.shards) if shards is None else shards
        calls = [(self.shard(i), getattr(self._actors[i], method).remote(*args)) for i, args in zip(indices, arguments)]
        return collect(calls, operation, self.timeout if timeout is ... else timeout)

    def ping(self, *, timeout: Optional[float] = ...) -> None:
        """A round trip to every shard and nothing else: the cost of a fan-out."""
        self.fan_out("ping", "ping", [()] * self.shards, timeout=timeout)

    def _install(self, key: str, builders: list) -> None:
        self.fan_out("installing a gatherer", "install", [(key, b) for b in builders])
        self._builders[key] = builders

    def _uninstall(self, key: str) -> None:
        # A closed store's gatherers ended with its actors.
        if not self._closed and self._builders.pop(key, None) is not None:
            self.fan_out("removing a gatherer", "uninstall", [(key,)] * self.shards)

    # -- writing -----------------------------------------------------------------------

    def append(self, document_ids: Iterable[str], embeddings: np.ndarray, document_lengths, *,
               threads: Optional[int] = None) -> None:
        """Stages documents, each in its shard (``VectorStoreWriter.append``'s
        arguments). Appending a document that is present replaces it, in the
        shard that holds it. A batch the writer would refuse is refused here
        before any shard sees it; if a shard then fails, the other shards' parts
        stay staged, and appending the same batch again is safe (it replaces)."""
        self._usable(writing=True)
        ids = _native._check_append(self.representation, document_ids, embeddings, document_lengths, threads=threads)
        if not ids:  # the check passed, so the batch is empty
            return
        lengths = np.asarray(document_lengths, dtype=np.int64).reshape(-1)
        owner = np.array([self.shard_of(d) for d in ids], dtype=np.int64)
        row_owner = np.repeat(owner, lengths)
        targets = [int(s) for s in np.unique(owner)]
        arguments = []
        for s in targets:
            mine = owner == s
            arguments.append(([d for d, m in zip(ids, mine) if m], np.ascontiguousarray(embeddings[row_owner == s]),
                              lengths[mine], threads))
        self.fan_out("append", "append", arguments, shards=targets)

    def delete(self, document_ids: Iterable[str]) -> int:
        """Stages the deletion of the documents present among ``document_ids``
        and returns how many there were."""
        self._usable(writing=True)
        ids = _native._document_ids(document_ids)
        groups: dict[int, list[str]] = {}
        for d in ids:
            groups.setdefault(self.shard_of(d), []).append(d)
        targets = sorted(groups)
        return sum(self.fan_out("delete", "delete", [(groups[s],) for s in targets], shards=targets))

    def compact(self) -> None:
        """Stages, in every shard, its present documents as one segment."""
        self._usable(writing=True)
        self.fan_out("compact", "compact", [()] * self.shards)

    def commit(self) -> tuple[datetime.datetime, ...]:
        """Publishes everything staged, shard by shard, and returns each shard's
        commit time, in shard order. Each shard's commit is atomic; the set of
        them is not (see the module's documentation)."""
        self._usable(writing=True)
        return tuple(self.fan_out("commit", "commit", [()] * self.shards))

    # -- reading -----------------------------------------------------------------------

    def document_ids(self) -> list[str]:
        """The ids of every present document of the shards' latest commits,
        sorted by their UTF-8 bytes."""
        parts = self.fan_out("listing documents", "document_ids", [()] * self.shards)
        return utf8_sorted(d for part in parts for d in part)

    def __repr__(self) -> str:
        closed = ", closed" if self._closed else ""
        return f"ShardedStore(root={str(self.root)!r}, corpus={self.corpus!r}, shards={self.shards}{closed})"
