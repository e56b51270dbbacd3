"""A store keeps its identity where deployments move things around it: a
writer works on the directory it locked whatever happens to its path, a
forked child can neither use nor keep its parent's writer, readers are not
misled by restored or rewritten files, and a writer can be closed."""

import json
import os
import shutil
import threading

import numpy as np
import pytest

from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation


def rep():
    return Representation(encoder="enc", encoder_revision="r1", dimension=4, normalized=False,
                          query_template="", document_template="")


def rows(seed, n=2):
    return np.random.default_rng(seed).standard_normal((n, 4)).astype(np.float32)


def add(writer, doc_id, seed, n=2):
    writer.append([doc_id], rows(seed, n), [n])


def fetched(path, doc_id):
    return VectorStore(path).view().fetch([doc_id])[0]


@pytest.mark.parametrize("move", ["chdir", "rename"])
def test_writer_keeps_to_the_directory_it_locked(tmp_path, monkeypatch, move):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir(), b.mkdir()
    monkeypatch.chdir(a)
    mine = VectorStoreWriter.create("s", "docs", rep())
    add(mine, "x", 1)
    if move == "chdir":
        # Another store at the same relative path, locked by its own writer.
        monkeypatch.chdir(b)
        other = VectorStoreWriter.create("s", "docs", rep())
    else:
        # The store is moved aside and a new one made at its old path.
        os.rename(a / "s", a / "moved")
        other = VectorStoreWriter.create(a / "s", "docs", rep())
    add(other, "o", 2)
    other.commit()
    add(mine, "y", 3)
    mine.commit()
    mine_now = a / "s" if move == "chdir" else a / "moved"
    other_now = b / "s" if move == "chdir" else a / "s"
    assert VectorStore(mine_now).view().document_ids == ["x", "y"]
    assert VectorStore(other_now).view().document_ids == ["o"]
    np.testing.assert_array_equal(fetched(other_now, "o"), rows(2))


def test_reader_resolves_a_relative_path_once(tmp_path, monkeypatch):
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        with VectorStoreWriter.create(tmp_path / name / "s", name, rep()) as w:
            add(w, name, 1)
            w.commit()
    monkeypatch.chdir(tmp_path / "a")
    store = VectorStore("s")
    monkeypatch.chdir(tmp_path / "b")
    assert store.view().document_ids == ["a"]


def test_a_store_renamed_into_place_is_seen_at_the_next_view(tmp_path):
    path, new = tmp_path / "s", tmp_path / "new"
    for where, doc in ((path, "old"), (new, "new")):
        with VectorStoreWriter.create(where, "docs", rep()) as w:
            add(w, doc, 1)
            w.commit()
    store = VectorStore(path)
    before = store.view()
    os.rename(path, tmp_path / "retired")
    os.rename(new, path)
    assert store.view().document_ids == ["new"]
    assert before.document_ids == ["old"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_can_neither_use_nor_keep_the_writer(tmp_path):
    path = tmp_path / "s"
    writer = VectorStoreWriter.create(path, "docs", rep())
    add(writer, "x", 1)
    to_parent, from_child = os.pipe()
    to_child, from_parent = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: every operation refused; then it lingers, as a pool worker would
        code = 0
        try:
            for operation in (lambda: add(writer, "c", 2), writer.commit, writer.compact,
                              lambda: writer.delete(["x"])):
                try:
                    operation()
                    code = 1
                except RuntimeError as e:
                    if "inherited across a fork" not in str(e) or str(path) not in str(e):
                        code = 2
            os.write(from_child, bytes([code]))
            os.read(to_child, 1)  # until the parent is done
        finally:
            os._exit(code)
    try:
        assert os.read(to_parent, 1) == b"\0"
        writer.commit()
        assert VectorStore(path).view().document_ids == ["x"]
        writer.close()
        # The child still lives with its copy of the descriptor, and the
        # store is free.
        VectorStoreWriter(path).close()
    finally:
        os.write(from_parent, b"x")
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_close_and_with(tmp_path):
    path = tmp_path / "s"
    writer = VectorStoreWriter.create(path, "docs", rep())
    add(writer, "x", 1)
    writer.close()
    writer.close()  # idempotent
    for operation in (lambda: add(writer, "y", 2), writer.commit, writer.compact, lambda: writer.delete(["x"]),
                      writer.__enter__):
        with pytest.raises(ValueError, match="closed"):
            operation()
    assert writer.corpus == "docs"
    # The lock went with close(), though the object lives on; the staged
    # document was discarded.
    with pytest.raises(RuntimeError, match="boom"):
        with VectorStoreWriter(path) as w:
            add(w, "z", 3)
            raise RuntimeError("boom")  # a with block never commits
    with pytest.raises(ValueError, match="closed"):
        w.commit()
    with VectorStoreWriter(path) as w:
        add(w, "kept", 4)
        w.commit()
    assert VectorStore(path).view().document_ids == ["kept"]


def test_concurrent_creates_of_one_path(tmp_path):
    for attempt in range(40):
        path = tmp_path / f"s{attempt}"
        outcomes = []
        start = threading.Barrier(2)

        def create():
            start.wait()
            try:
                outcomes.append(VectorStoreWriter.create(path, "docs", rep()))
            except OSError as e:
                outcomes.append(e)

        threads = [threading.Thread(target=create) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        writers = [o for o in outcomes if isinstance(o, VectorStoreWriter)]
        failures = [o for o in outcomes if not isinstance(o, VectorStoreWriter)]
        assert len(writers) == 1 and len(failures) == 1, outcomes
        assert type(failures[0]) is FileExistsError
        assert str(failures[0]) == f"vector store already exists: {path}"
        add(writers[0], "x", 1)
        writers[0].commit()
        assert VectorStore(path).view().document_ids == ["x"]
        writers[0].close()


def test_trailing_separator_names_the_store(tmp_path):
    with VectorStoreWriter.create(f"{tmp_path / 's'}/", "docs", rep()) as w:
        add(w, "x", 1)
        w.commit()
    assert VectorStore(tmp_path / "s").view().document_ids == ["x"]
    with pytest.raises(FileExistsError):
        VectorStoreWriter.create(f"{tmp_path / 's'}//", "docs", rep())


def test_commit_times_only_increase_when_the_clock_stepped_back(tmp_path):
    path = tmp_path / "s"
    with VectorStoreWriter.create(path, "docs", rep()) as w:
        w.commit()
    manifest = json.loads((path / "manifest.json").read_text())
    future = manifest["committed_at"] + 86400.0  # as if the clock had been a day ahead
    manifest["committed_at"] = future
    (path / "manifest.json").write_text(json.dumps(manifest))
    with VectorStoreWriter(path) as w:
        first = w.commit()
        second = w.commit()
    # Strictly later to the nanosecond in the store; a datetime shows
    # microseconds.
    assert first.timestamp() >= future - 1e-6 and second >= first
    assert VectorStore(path).view().as_of == second


def test_a_restored_store_is_not_served_from_the_old_segments(tmp_path):
    path, backup = tmp_path / "s", tmp_path / "backup"
    with VectorStoreWriter.create(path, "docs", rep()) as w:
        add(w, "a", 1)
        w.commit()
    shutil.copytree(path, backup)
    store = VectorStore(path)
    with VectorStoreWriter(path) as w:
        add(w, "b", 2)  # segment 1
        w.commit()
    np.testing.assert_array_equal(store.view().fetch(["b"])[0], rows(2))
    shutil.rmtree(path)
    shutil.copytree(backup, path)
    with VectorStoreWriter(path) as w:
        add(w, "b", 3)  # segment 1 again, other content, same store_id
        w.commit()
        w.commit()  # a commit number the reader has not seen
    np.testing.assert_array_equal(store.view().fetch(["b"])[0], rows(3))


def test_offsets_rewritten_in_place_do_not_move_a_live_view(tmp_path):
    path = tmp_path / "s"
    with VectorStoreWriter.create(path, "docs", rep()) as w:
        w.append(["a", "b"], np.concatenate([rows(1, 3), rows(2, 5)]), [3, 5])
        w.commit()
    view = VectorStore(path).view()
    offsets = path / "segment-0.offsets.npy"
    data = bytearray(offsets.read_bytes())
    data[-24:] = np.array([0, 1 << 40, 1 << 41], dtype=np.uint64).tobytes()
    with open(offsets, "r+b") as f:  # in place, as `cp` over an existing file writes
        f.write(data)
    np.testing.assert_array_equal(view.fetch(["b", "a"])[0], np.concatenate([rows(2, 5), rows(1, 3)]))
