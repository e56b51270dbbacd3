"""StoreView.stats() and StoreView.snapshot(): the statistics against the
directory, snapshots as stores of their own, the refusals as exceptions, a
snapshotting process killed at random moments, and snapshots of older views
taken while another process commits and compacts."""

from __future__ import annotations

import datetime
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import writer_workload  # noqa: E402


def rep():
    return Representation(encoder="enc", encoder_revision="r1", dimension=writer_workload.DIMENSION,
                          normalized=False, query_template="", document_template="")


def workload_store(path, commits, encoding="float32"):
    writer = VectorStoreWriter.create(path, "docs", rep(), encoding=encoding)
    for k in range(1, commits + 1):
        writer_workload.iterate(writer, k)
    return writer


def assert_same(snapshot_path, view):
    """The store at `snapshot_path` opens as exactly `view`'s commit."""
    copy = VectorStore(snapshot_path).view()
    assert (copy.commit, copy.store_id, copy.as_of) == (view.commit, view.store_id, view.as_of)
    assert copy.segments == tuple(s[:3] + (c[3],) for s, c in zip(view.segments, copy.segments))
    assert copy.document_ids == view.document_ids
    if view.document_ids:
        for got, want in zip(copy.fetch(view.document_ids), view.fetch(view.document_ids)):
            np.testing.assert_array_equal(got, want)


def kind_of(name):
    if name == "manifest.json":
        return "manifest"
    if name.endswith(".ids.json"):
        return "ids"
    if ".tombstones-" in name:
        return "tombstones"
    return name.split(".")[1]


@pytest.mark.parametrize("encoding", ["float32", "int8"])
def test_stats_describe_the_commit_and_its_files(tmp_path, encoding):
    path = tmp_path / "s"
    writer = workload_store(path, 6, encoding)  # compacted at 4, then two appends with deletions
    view = VectorStore(path).view()
    stats = view.stats()
    ids = view.document_ids
    assert stats["documents"] == len(ids)
    assert stats["tokens"] == sum(view.document_lengths(ids).values())
    rows = sum(s[1] for s in view.segments)
    assert stats["superseded_documents"] == rows - len(ids) > 0
    assert stats["stored_tokens"] == sum(s[2] for s in view.segments)
    assert (stats["segments"], stats["encoding"], stats["dimension"], stats["commit"]) == (
        len(view.segments), encoding, writer_workload.DIMENSION, view.commit)
    assert stats["committed_at"] == view.as_of and stats["committed_at"].tzinfo == datetime.timezone.utc
    on_disk, files = {}, {}
    for entry in path.iterdir():
        on_disk[kind_of(entry.name)] = on_disk.get(kind_of(entry.name), 0) + entry.stat().st_size
        files[kind_of(entry.name)] = files.get(kind_of(entry.name), 0) + 1
    arrays = ["vectors"] if encoding == "float32" else ["codes", "scales"]
    assert list(stats["bytes"]) == arrays + ["offsets", "ids", "tombstones", "sources", "manifest"]
    assert stats["bytes"] == {kind: on_disk.get(kind, 0) for kind in stats["bytes"]}
    assert stats["files"] == {kind: files.get(kind, 0) for kind in stats["files"]}
    before = {p.name for p in path.iterdir()}
    writer.compact()
    writer.commit()
    assert stats["compaction_removes"] == len(before - {p.name for p in path.iterdir()}) > 0


@pytest.mark.parametrize("where", ["links", "copies", "dev_shm", "empty_directory"])
def test_snapshot_is_a_store_of_its_own(tmp_path, where):
    path = tmp_path / "s"
    writer = workload_store(path, 6)
    view = VectorStore(path).view()
    # The writer compacts the view's files away: the snapshot is still exact.
    writer_workload.iterate(writer, 7)
    writer_workload.iterate(writer, 8)
    old = VectorStore(path).view()
    if where == "dev_shm":
        if not os.access("/dev/shm", os.W_OK):
            pytest.skip("no writable /dev/shm")
        root = Path("/dev/shm") / f"quillmark-test-{os.getpid()}-{random.getrandbits(32):x}"
        root.mkdir()
    else:
        root = tmp_path
    destination = root / "snap"
    try:
        if where == "empty_directory":
            destination.mkdir()
        view.snapshot(destination, link=where != "copies")
        assert_same(destination, view)
        assert sorted(p.name for p in root.iterdir()) == (["s", "snap"] if root == tmp_path else ["snap"])
        old.snapshot(root / "later")  # the current commit, its files still there: links
        assert_same(root / "later", old)
        vector_files = [p for p in (root / "later").iterdir() if p.name.endswith("vectors.npy")]
        assert all(p.stat().st_nlink == (1 if where == "dev_shm" else 2) for p in vector_files)
        # A writer works on it, and the source does not change.
        copy_writer = VectorStoreWriter(destination)
        writer_workload.iterate(copy_writer, view.commit + 1)
        writer_workload.check_view(VectorStore(destination).view())
        writer_workload.check_view(VectorStore(path).view())
        assert VectorStore(path).view().commit == 8
    finally:
        if root != tmp_path:
            import shutil
            shutil.rmtree(root)


def test_refusals_raise_clear_exceptions(tmp_path):
    path = tmp_path / "s"
    workload_store(path, 3)
    view = VectorStore(path).view()
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_text("x")
    (tmp_path / "file").write_text("x")
    cases = [
        (path / "inner", ValueError, f"snapshot destination {path}/inner is inside the store directory {path}"),
        (path, ValueError, f"snapshot destination {path} is inside the store directory {path}"),
        (tmp_path / "full", FileExistsError, f"snapshot destination {tmp_path}/full exists and is not an empty directory"),
        (tmp_path / "file", FileExistsError, f"snapshot destination {tmp_path}/file exists and is not an empty directory"),
        (tmp_path / "no" / "snap", FileNotFoundError,
         f"cannot snapshot commit 3 into {tmp_path}/no/snap: No such file or directory (os error 2)"),
    ]
    for destination, kind, text in cases:
        with pytest.raises(kind) as raised:
            view.snapshot(destination)
        assert str(raised.value) == text
    with pytest.raises(TypeError):
        view.snapshot(tmp_path / "x", True)  # link is keyword-only
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file", "full", "s"]


def test_read_only_file_system_leaves_nothing(tmp_path):
    path = tmp_path / "s"
    workload_store(path, 2)
    view = VectorStore(path).view()
    mount = tmp_path / "ro"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a read-only file system here")
    try:
        with pytest.raises(OSError) as raised:
            view.snapshot(mount / "snap")
        assert raised.value.errno == 30 and type(raised.value) is OSError
        assert str(raised.value) == f"cannot snapshot commit 2 into {mount}/snap: Read-only file system (os error 30)"
        assert list(mount.iterdir()) == []
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def test_killed_snapshot_leaves_nothing_or_the_whole_commit(tmp_path):
    """A process taking a snapshot is SIGKILLed at random moments; the
    destination is then absent or a complete store equal to the view."""
    kills = int(os.environ.get("QUILLMARK_SNAPSHOT_KILLS", "12"))
    path = tmp_path / "s"
    writer = workload_store(path, 40)  # about ten segments, some deletions
    del writer
    view = VectorStore(path).view()
    rnd = random.Random(kills)

    def start(destination, link):
        child = subprocess.Popen([sys.executable, str(HERE / "snapshot_child.py"), str(path), str(destination),
                                  "link" if link else "copy"], stdout=subprocess.PIPE, text=True, env=os.environ)
        assert child.stdout.readline().split() == ["ready", str(view.commit)]
        return child

    out = tmp_path / "out"
    out.mkdir()
    # How long a snapshot takes here, from "ready" to "done": kills fall in it.
    durations = {}
    for link in (False, True):
        child = start(out / f"timed-{link}", link)
        t0 = time.monotonic()
        assert child.stdout.readline() == "done\n"
        durations[link] = time.monotonic() - t0
        assert child.wait() == 0
        child.stdout.close()
        assert_same(out / f"timed-{link}", view)
    outcomes = {"absent": 0, "complete": 0, "left a sibling": 0}
    started = time.monotonic()
    for i in range(kills):
        link = bool(i % 2)
        destination = out / f"snap{i}"
        child = start(destination, link)
        time.sleep(rnd.uniform(0, 2 * durations[link]))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        if destination.exists():
            assert_same(destination, view)
            outcomes["complete"] += 1
        else:
            outcomes["absent"] += 1
        outcomes["left a sibling"] += any(p.name.startswith(f".snap{i}.snapshot-") for p in out.iterdir())
    print(f"{kills} kills (a snapshot takes {durations[False] * 1e3:.0f} ms copying, {durations[True] * 1e3:.0f} ms "
          f"linking): {outcomes}, {time.monotonic() - started:.1f}s")
    writer_workload.check_view(VectorStore(path).view())
    assert outcomes["absent"] + outcomes["complete"] == kills


def test_snapshots_of_older_views_while_the_writer_commits_and_compacts(tmp_path):
    path = tmp_path / "s"
    VectorStoreWriter.create(path, "docs", rep())
    writer = subprocess.Popen([sys.executable, str(HERE / "writer_workload.py"), str(path), "60"],
                              stdout=subprocess.PIPE, text=True, env=os.environ)
    store = VectorStore(path)
    views, taken, copied = [], 0, 0

    def snapshot(view):
        nonlocal taken, copied
        destination = tmp_path / "snaps" / f"{taken}-commit-{view.commit}"
        destination.parent.mkdir(exist_ok=True)
        view.snapshot(destination)
        snap = VectorStore(destination).view()
        assert snap.commit == view.commit
        writer_workload.check_view(snap)
        # A file the writer had removed from the store was copied, not linked.
        copied += any(p.stat().st_nlink == 1 for p in destination.iterdir() if p.name != "manifest.json")
        taken += 1

    try:
        while writer.poll() is None:
            views.append(store.view())
            if len(views) > 3:  # some commits old: compaction may have removed its files
                snapshot(views.pop(0))
        for view in views:
            snapshot(view)
    finally:
        assert writer.wait(timeout=120) == 0
    print(f"{taken} snapshots of older views during 60 commits, {copied} with files the writer had removed")
    assert taken >= 10 and copied >= 1


@pytest.mark.parametrize("link", [True, False])
def test_restoring_by_rename_under_a_live_reader(tmp_path, link):
    path = tmp_path / "s"
    writer = workload_store(path, 4)
    backup = VectorStore(path).view()
    backup.snapshot(tmp_path / "backup", link=link)
    for k in (5, 6, 7, 8):  # later commits replace, delete and compact past the backup
        writer_workload.iterate(writer, k)
    writer.close()
    reader = VectorStore(path)
    newest = reader.view()
    assert newest.commit == 8
    # Restore: the damaged or unwanted store aside, the backup into its place.
    os.rename(path, tmp_path / "aside")
    os.rename(tmp_path / "backup", path)
    restored = reader.view()
    # The reader follows the path to the restored commit, with the backup's
    # vectors, though the store ID is the same and the commit number went back.
    assert restored.commit == 4
    writer_workload.check_view(restored)
    assert_same(path, backup)
    writer_workload.check_view(newest)  # a view taken before keeps serving its own commit
    again = VectorStoreWriter(path)  # and the restored store goes on from there
    writer_workload.iterate(again, 5)
    writer_workload.check_view(reader.view())
