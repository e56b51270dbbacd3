import datetime as dt
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quillmark
from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation

import writer_workload
from store_builder import StoreBuilder, int8_decode, int8_encode, random_documents

HERE = pathlib.Path(__file__).parent


def rep(dimension=4, normalized=False):
    return Representation(encoder="enc", encoder_revision="r1", dimension=dimension, normalized=normalized,
                          query_template="", document_template="")


def packed(documents):
    ids = list(documents)
    mats = [documents[i] for i in ids]
    return ids, np.concatenate(mats).astype(np.float32), [len(m) for m in mats]


def test_class_surface():
    assert VectorStoreWriter.__module__ == "quillmark._native"
    with pytest.raises(TypeError):
        class Sub(VectorStoreWriter):  # noqa: F841
            pass


def test_create_and_its_refusals(tmp_path):
    path = tmp_path / "store"
    writer = VectorStoreWriter.create(path, "docs", rep())
    assert writer.corpus == "docs"
    with pytest.raises(FileExistsError) as info:
        VectorStoreWriter.create(str(path), "docs", rep())
    assert str(info.value) == f"vector store already exists: {path}"
    with pytest.raises(ValueError) as info:
        VectorStoreWriter.create(tmp_path / "x", "docs", rep(), encoding="int4")
    assert str(info.value) == 'unknown encoding "int4"; expected "float32" or "int8"'
    with pytest.raises(ValueError, match="^a vector store's corpus must not be empty$"):
        VectorStoreWriter.create(tmp_path / "y", "", rep())
    with pytest.raises(TypeError):
        VectorStoreWriter.create(tmp_path / "z", b"docs", rep())
    with pytest.raises(TypeError):
        VectorStoreWriter.create(tmp_path / "z", "docs", rep(), encoding=8)
    with pytest.raises(TypeError):
        VectorStoreWriter.create(42, "docs", rep())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["store"]
    with pytest.raises(FileNotFoundError):
        VectorStoreWriter(tmp_path / "missing")


def test_second_writer_is_refused_until_the_first_is_gone(tmp_path):
    path = tmp_path / "store"
    writer = VectorStoreWriter.create(path, "docs", rep())
    writer.append(["a"], np.ones((1, 4), np.float32), [1])
    with pytest.raises(BlockingIOError) as info:
        VectorStoreWriter(str(path))
    assert str(info.value) == f"vector store is already open for writing: {path}"
    # Another process is refused too; a reader is not.
    code = (f"import sys; from quillmark import VectorStoreWriter\n"
            f"try:\n    VectorStoreWriter({str(path)!r})\nexcept BlockingIOError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ, check=True)
    assert out.stdout.strip() == f"vector store is already open for writing: {path}"
    VectorStore(path).view()
    writer.commit()
    del writer
    again = VectorStoreWriter(path)
    assert VectorStore(path).view().document_ids == ["a"]
    del again


def test_append_conversions_and_bad_input(tmp_path):
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", rep(3, normalized=True))
    unit = np.eye(3, dtype=np.float32)
    with pytest.raises(TypeError):
        writer.append(["a"], unit.astype(np.float64), [3])
    with pytest.raises(TypeError):
        writer.append("abc", unit, [1, 1, 1])
    with pytest.raises(TypeError):
        writer.append(["a"], unit, [3], threads="2")
    with pytest.raises(OverflowError):
        writer.append(["a"], unit, [3], threads=-1)
    assert writer.append([], np.zeros((0, 7), np.float32), []) is None
    cases = [
        (["a"], np.ones((1, 2), np.float32), [1], "embedding dimension 2 differs from the representation dimension 3"),
        (["a", "b", "c"], np.tile(unit, (2, 1))[:5], [2, 0, 3], "document lengths must be a non-empty positive vector"),
        (["a", "b"], np.tile(unit, (2, 1))[:5], [2, 2], "document lengths do not match packed embedding rows"),
        (["a"], np.array([[1.002, 0, 0]], np.float32), [1],
         "representation declares unit vectors, but rows are not normalized"),
        (["a", "b", "c"], unit[:2], [1, 1], "3 document IDs were given for 2 documents"),
        (["a", "b", "a"], unit, [1, 1, 1], 'document ID "a" appears more than once'),
    ]
    for ids, embeddings, lengths, message in cases:
        with pytest.raises(ValueError) as info:
            writer.append(ids, embeddings, lengths)
        assert str(info.value) == message
    with pytest.raises(ValueError, match="^document length at position 0 must be positive$"):
        writer.append(["a"], unit, [-3])
    # Still usable; a Fortran-ordered array is stored in row order.
    fortran = np.asfortranarray(np.array([[0.6, 0.8, 0], [0, 0.6, 0.8]], np.float32))
    writer.append(["f", "g"], fortran, np.array([1, 1]), threads=1)
    writer.append(["h"], np.array([[1.0005, 0, 0]], np.float32), [1])
    writer.commit()
    vectors, _ = VectorStore(tmp_path / "s").view().fetch(["f", "g"])
    np.testing.assert_array_equal(vectors, np.ascontiguousarray(fortran))


def test_delete_counts_present_documents(tmp_path):
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", rep())
    writer.append(["a"], np.ones((2, 4), np.float32), [2])
    assert writer.delete(["a", "b"]) == 1
    assert writer.delete(["a", "b"]) == 0
    with pytest.raises(TypeError):
        writer.delete("a")


def test_commit_time_is_what_readers_report(tmp_path):
    before = dt.datetime.now(dt.timezone.utc) - dt.timedelta(seconds=1)
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", rep())
    when = writer.commit()
    assert when.tzinfo is not None and when.utcoffset() == dt.timedelta(0)
    assert when >= before
    view = VectorStore(tmp_path / "s").view()
    assert view.as_of == when and view.commit == 1


@pytest.mark.parametrize("encoding", ["float32", "int8"])
@pytest.mark.parametrize("normalized", [False, True])
def test_writer_and_test_builder_read_identically(tmp_path, rng, encoding, normalized):
    first = random_documents(rng, 6, 4)
    second = random_documents(rng, 3, 4, prefix="d")  # replaces d0..d2
    if normalized:
        for docs in (first, second):
            for k, m in docs.items():
                docs[k] = (m / np.linalg.norm(m, axis=1, keepdims=True)).astype(np.float32)
    builder = StoreBuilder(tmp_path / "built", encoding=encoding, normalized=normalized)
    s0 = builder.append(first)
    builder.append(second)
    builder.delete(s0, [4])
    builder.publish()

    writer = VectorStoreWriter.create(tmp_path / "written", "docs", rep(4, normalized), encoding=encoding)
    writer.append(*packed(first), threads=2)
    writer.append(*packed(second))
    assert writer.delete(["d4", "zz"]) == 1
    writer.commit()

    # The writer's files are the independent builder's: the same .npy bytes
    # (header included) and the same IDs in each ids file.
    arrays = ["vectors"] if encoding == "float32" else ["codes", "scales"]
    names = [f"segment-{s}.{a}.npy" for s in (0, 1) for a in arrays + ["offsets"]] + ["segment-0.tombstones-1.npy"]
    for name in names:
        assert (tmp_path / "written" / name).read_bytes() == (tmp_path / "built" / name).read_bytes(), name
    for s in (0, 1):
        name = f"segment-{s}.ids.json"
        ids_files = [json.loads((tmp_path / store / name).read_text()) for store in ("written", "built")]
        assert ids_files[0] == ids_files[1], name

    built, written = VectorStore(tmp_path / "built").view(), VectorStore(tmp_path / "written").view()
    assert written.document_ids == built.document_ids == ["d0", "d1", "d2", "d3", "d5"]
    ids = written.document_ids
    got, got_lengths = written.fetch(ids)
    want, want_lengths = built.fetch(ids)
    np.testing.assert_array_equal(got_lengths, want_lengths)
    np.testing.assert_array_equal(got, want)
    # And against NumPy's own reading of the documents.
    latest = {**first, **second}
    reference = np.concatenate([latest[i] for i in ids])
    if encoding == "int8":
        reference = int8_decode(*int8_encode(reference), normalized)
        np.testing.assert_allclose(got, reference, rtol=1e-6, atol=1e-7)
    else:
        np.testing.assert_array_equal(got, reference)

    # The builder's store opens in the writer and goes on.
    continued = VectorStoreWriter(tmp_path / "built")
    assert continued.corpus == "docs"
    continued.compact()
    continued.commit()
    view = VectorStore(tmp_path / "built").view()
    assert view.document_ids == ids
    np.testing.assert_array_equal(view.fetch(ids)[0], want)
    assert sorted(p.name for p in (tmp_path / "built").iterdir() if p.name.startswith("segment-")) == sorted(
        f"segment-2.{n}" for n in (["vectors.npy"] if encoding == "float32" else ["codes.npy", "scales.npy"])
        + ["offsets.npy", "ids.json", "sources.npy"])


def test_threads_share_one_writer(tmp_path):
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", rep())
    errors = []

    def work(t):
        try:
            for i in range(10):
                writer.append([f"t{t}-{i}"], np.full((2, 4), t + i, np.float32), [2])
                if i % 3 == 0:
                    writer.commit()
                assert writer.corpus == "docs"
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    writer.commit()
    view = VectorStore(tmp_path / "s").view()
    assert len(view.document_ids) == 40
    vectors, _ = view.fetch(["t3-7"])
    np.testing.assert_array_equal(vectors, np.full((2, 4), 10, np.float32))


def run_workload(path, iterations):
    return subprocess.Popen([sys.executable, str(HERE / "writer_workload.py"), str(path), str(iterations)],
                            stdout=subprocess.PIPE, text=True, env=os.environ)


def test_reader_in_another_process_always_sees_one_whole_commit(tmp_path):
    path = tmp_path / "s"
    VectorStoreWriter.create(path, "docs", rep())
    reader_code = (
        "import sys, time\n"
        f"sys.path.insert(0, {str(HERE)!r})\n"
        "from quillmark import VectorStore\n"
        "import writer_workload\n"
        f"store = VectorStore({str(path)!r})\n"
        "seen = set()\n"
        "deadline = time.monotonic() + 60\n"
        "while time.monotonic() < deadline:\n"
        "    view = store.view()\n"
        "    writer_workload.check_view(view)\n"
        "    seen.add(view.commit)\n"
        "    if view.commit >= 40: break\n"
        "print(len(seen))\n")
    reader = subprocess.Popen([sys.executable, "-c", reader_code], stdout=subprocess.PIPE, text=True, env=os.environ)
    writer = run_workload(path, 40)
    assert writer.wait(timeout=120) == 0
    out, _ = reader.communicate(timeout=120)
    assert reader.returncode == 0
    assert int(out) >= 2


def leftovers(path):
    """Entries a writer made that the manifest in force does not reference."""
    import json
    manifest = json.loads((path / "manifest.json").read_text())
    arrays = ["vectors"] if manifest["encoding"] == "float32" else ["codes", "scales"]
    wanted = {"manifest.json"}
    for s in manifest["segments"]:
        wanted |= {f"segment-{s['id']}.{a}.npy" for a in arrays + ["offsets", "sources"]}
        wanted.add(f"segment-{s['id']}.ids.json")
        if s["tombstones"] is not None:
            wanted.add(f"segment-{s['id']}.tombstones-{s['tombstones']}.npy")
    return sorted(p.name for p in path.iterdir() if p.name not in wanted)


def kill_cycles(path, kills, seed):
    """Runs the workload and SIGKILLs it at random moments, `kills` times;
    checks after each kill that every acknowledged commit is there."""
    rnd = random.Random(seed)
    acknowledged = 0
    commits_seen = 0
    interrupted = 0  # kills that left staged or temporary files behind
    for _ in range(kills):
        child = run_workload(path, 1_000_000)
        acks = []
        ready = threading.Event()

        def read(stream=child.stdout, acks=acks, ready=ready):
            for line in stream:
                # A line cut by the kill has no newline and is not counted.
                words = line.split()
                if line.endswith("\n") and len(words) == 2 and words[0] == "ack":
                    acks.append(int(words[1]))
                ready.set()

        reader = threading.Thread(target=read)
        reader.start()
        assert ready.wait(60)
        time.sleep(rnd.uniform(0, 0.15))
        child.send_signal(signal.SIGKILL)
        child.wait()
        reader.join()
        if acks:
            acknowledged = acks[-1]
        view = VectorStore(path).view()
        # Every acknowledged commit is there, or the one after it, which may
        # have become durable before its acknowledgement was printed.
        assert acknowledged <= view.commit <= acknowledged + 1, (acknowledged, view.commit)
        writer_workload.check_view(view)
        # What was seen is the next child's starting point.
        acknowledged = commits_seen = view.commit
        interrupted += bool(leftovers(path))
        VectorStoreWriter(path)  # a new writer cleans up, then is discarded at once
        assert leftovers(path) == []
    return commits_seen, interrupted


def test_killed_writer_loses_no_acknowledged_commit(tmp_path):
    kills = int(os.environ.get("QUILLMARK_CRASH_KILLS", "50"))
    path = tmp_path / "s"
    VectorStoreWriter.create(path, "docs", rep())
    started = time.monotonic()
    commits, interrupted = kill_cycles(path, kills, seed=kills)
    print(f"{kills} kills, {commits} commits, {interrupted} kills left files to clean up, "
          f"{time.monotonic() - started:.1f}s")
    assert commits > 0
