import datetime as dt
import errno
import json
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

import quillmark
from quillmark import StoreView, VectorStore
from quillmark.representation import Representation

from store_builder import StoreBuilder, int8_decode, random_documents, segmented_store


def packed(docs, ids):
    """The reference gather: the documents' rows concatenated in request order."""
    mats = [docs[i] for i in ids]
    dim = next(iter(docs.values())).shape[1]
    vectors = np.concatenate(mats) if mats else np.zeros((0, dim), np.float32)
    return vectors, np.array([len(m) for m in mats], np.int64)


@pytest.fixture
def float_store(tmp_path, rng):
    builder = StoreBuilder(tmp_path / "store", dimension=8)
    docs = random_documents(rng, 12, 8)
    builder.append(docs)
    builder.publish()
    return builder, docs


def test_class_surface():
    for cls in (VectorStore, StoreView):
        assert cls.__module__ == "quillmark._native"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        StoreView()


@pytest.mark.parametrize("encoding, semantics", [
    ("float32", "float32-exact-full-maxsim"),
    ("int8", "int8-reconstructed-approximate-full-maxsim"),
])
@pytest.mark.parametrize("as_pathlike", [False, True])
def test_store_attributes(tmp_path, rng, encoding, semantics, as_pathlike):
    builder = StoreBuilder(tmp_path / "s", corpus="papers", encoding=encoding, dimension=6, normalized=True)
    builder.append(random_documents(rng, 3, 6))
    builder.publish()
    store = VectorStore(builder.path if as_pathlike else str(builder.path))
    assert isinstance(store.path, pathlib.Path) and store.path == builder.path
    assert (store.corpus, store.encoding, store.dimension, store.score_semantics) == ("papers", encoding, 6, semantics)
    rep = store.representation
    assert rep == Representation(encoder="enc", encoder_revision="r1", dimension=6, normalized=True,
                                 query_template="", document_template="")
    assert store.representation is not rep
    with pytest.raises(AttributeError):
        store.corpus = "x"


def test_fetch_float32_matches_numpy_gather(float_store):
    builder, docs = float_store
    view = VectorStore(builder.path).view()
    request = ["d3", "d0", "d11", "d3"]
    vectors, lengths = view.fetch(request)
    want_vectors, want_lengths = packed(docs, request)
    assert vectors.dtype == np.float32 and vectors.flags.c_contiguous and vectors.shape == (want_lengths.sum(), 8)
    assert lengths.dtype == np.int64 and lengths.ndim == 1
    np.testing.assert_array_equal(vectors, want_vectors)
    np.testing.assert_array_equal(lengths, want_lengths)
    # New arrays each time: writing to one changes nothing else.
    vectors[:] = 0
    again, _ = view.fetch(iter(request), threads=0)  # float32 ignores threads
    np.testing.assert_array_equal(again, want_vectors)

    empty_vectors, empty_lengths = view.fetch([])
    assert empty_vectors.shape == (0, 8) and empty_lengths.shape == (0,)


def _rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer keeps freed memory")
def test_fetched_arrays_own_their_memory_and_release_it(tmp_path, rng):
    builder = StoreBuilder(tmp_path / "s", dimension=64)
    docs = random_documents(rng, 50, 64, min_tokens=100, max_tokens=120)
    builder.append(docs)
    builder.publish()
    view = VectorStore(builder.path).view()
    request = list(docs) * 4  # about 6 MB per fetch
    vectors, lengths = view.fetch(request)
    assert vectors.flags.writeable and vectors.flags.c_contiguous and lengths.flags.writeable
    refs = sys.getrefcount(view)
    before = _rss_kib()
    for _ in range(100):
        vectors, lengths = view.fetch(request)
    assert sys.getrefcount(view) == refs
    assert _rss_kib() - before < 64 * 1024  # 100 fetches would hold 600 MB if leaked
    np.testing.assert_array_equal(vectors, packed(docs, request)[0])


@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("threads", [None, 1, 2])
def test_fetch_int8_decodes_like_the_reference(tmp_path, rng, normalized, threads):
    builder = StoreBuilder(tmp_path / "s", encoding="int8", dimension=16, normalized=normalized)
    docs = random_documents(rng, 30, 16, max_tokens=9)
    builder.append(docs)
    builder.publish()
    view = VectorStore(builder.path).view()
    request = ["d29", "d1", "d7", "d1"]
    vectors, lengths = view.fetch(request, threads=threads)
    raw, want_lengths = packed(docs, request)
    from store_builder import int8_encode
    want = int8_decode(*int8_encode(raw), normalized)
    np.testing.assert_allclose(vectors, want, rtol=0, atol=1e-6)
    np.testing.assert_array_equal(lengths, want_lengths)
    if normalized:
        np.testing.assert_allclose(np.linalg.norm(vectors, axis=1), 1, atol=1e-5)
    with pytest.raises(ValueError, match="^threads must be positive$"):
        view.fetch(request, threads=0)


def test_fetch_argument_errors(float_store):
    builder, _ = float_store
    view = VectorStore(builder.path).view()
    with pytest.raises(TypeError, match="^expected an iterable of document IDs, not a single string$"):
        view.fetch("d1")
    with pytest.raises(TypeError):
        view.fetch([1])
    with pytest.raises(ValueError) as info:
        view.fetch(["d1", 'x"y'])
    assert str(info.value) == 'document "x\\"y" is not in the vector store of corpus "docs"'
    with pytest.raises(OverflowError):
        view.fetch(["d1"], threads=-1)
    with pytest.raises(TypeError):
        view.fetch(["d1"], threads=1.5)
    with pytest.raises(TypeError):
        view.fetch(["d1"], 2)  # threads is keyword-only
    with pytest.raises(TypeError):
        view.document_lengths("d1")


def test_lengths_membership_and_ids(float_store):
    builder, docs = float_store
    view = VectorStore(builder.path).view()
    assert view.document_lengths(["d2", "zz", "d2"]) == {"d2": len(docs["d2"])}
    assert view.document_lengths([]) == {}
    assert "d5" in view and "zz" not in view
    with pytest.raises(TypeError):
        5 in view
    assert view.document_ids == sorted(docs)
    assert view.commit == 1
    assert view.as_of == dt.datetime(2023, 11, 14, 22, 13, 21, 750000, tzinfo=dt.timezone.utc)
    assert view.as_of.tzinfo is not None


def test_newest_segment_wins_and_tombstones_hide(tmp_path, rng):
    builder = StoreBuilder(tmp_path / "s")
    first = builder.append({"a": np.ones((2, 4)), "b": np.ones((1, 4)), "é": np.ones((1, 4)), "z": np.ones((3, 4))})
    second = builder.append({"a": np.full((3, 4), 2.0), "b": np.full((1, 4), 2.0)})
    builder.delete(second, [1])  # b's newest row
    builder.delete(first, [3])  # z
    builder.publish()
    view = VectorStore(builder.path).view()
    vectors, lengths = view.fetch(["a"])
    np.testing.assert_array_equal(vectors, np.full((3, 4), 2.0, np.float32))
    assert "b" not in view and "z" not in view
    assert view.document_ids == ["a", "é"]
    assert view.document_lengths(["a", "b"]) == {"a": 3}


@pytest.mark.parametrize("encoding, normalized", [("float32", False), ("int8", False), ("int8", True)])
@pytest.mark.parametrize("threads", [None, 0, 1, 2, 3])
def test_large_fetch_across_segments_matches_numpy(tmp_path, rng, encoding, normalized, threads):
    builder, live = segmented_store(tmp_path / "s", rng, encoding=encoding, normalized=normalized)
    view = VectorStore(builder.path).view()
    request = [doc for _ in range(3) for doc in rng.permutation(sorted(live))]  # several MiB, in parallel tasks
    want, want_lengths = packed(live, request)
    if encoding == "int8" and threads == 0:
        with pytest.raises(ValueError, match="^threads must be positive$"):
            view.fetch(request, threads=threads)
        return
    vectors, lengths = view.fetch(request, threads=threads)
    assert vectors.dtype == np.float32 and vectors.flags.c_contiguous and vectors.flags.writeable
    assert lengths.dtype == np.int64
    np.testing.assert_array_equal(lengths, want_lengths)
    np.testing.assert_allclose(vectors, want, rtol=0, atol=1e-6)
    again, _ = view.fetch(request, threads=threads)
    assert not np.shares_memory(vectors, again)  # every fetch returns a new array
    np.testing.assert_array_equal(again, vectors)


def test_repr(tmp_path, rng):
    builder = StoreBuilder(tmp_path / "s")
    builder.append(random_documents(rng, 2, 4))
    for _ in range(3):
        builder.publish()
    assert repr(VectorStore(builder.path).view()) == 'StoreView(corpus="docs", commit=3, encoding="float32")'


def test_view_follows_commits_and_old_views_stay(float_store, rng):
    builder, docs = float_store
    store = VectorStore(builder.path)
    before = store.view()
    builder.append({"new": np.ones((2, 8), np.float32)})
    assert "new" not in store.view()  # written but not committed
    builder.publish()
    after = store.view()
    assert "new" in after and "new" not in before
    assert (before.commit, after.commit) == (1, 2)
    assert before.document_ids == sorted(docs)


def test_unchanged_store_gives_the_same_view_without_opening_files(float_store):
    builder, docs = float_store
    store = VectorStore(builder.path)
    first = store.view()
    for segment in list(builder.segments):
        builder.erase_files(segment)
    second = store.view()  # nothing to open: the manifest is unchanged
    assert second is not first and second.commit == first.commit
    np.testing.assert_array_equal(second.fetch(["d4"])[0], docs["d4"])


def test_loaded_segments_are_shared_by_later_views(float_store, rng):
    builder, docs = float_store
    store = VectorStore(builder.path)
    store.view()
    loaded = builder.segments[0]
    builder.erase_files(loaded)  # the store must never read these again
    more = random_documents(rng, 3, 8, prefix="m")
    builder.append(more)
    builder.delete(loaded, [0])
    builder.publish()
    view = store.view()
    assert view.commit == 2 and "d0" not in view
    vectors, _ = view.fetch(["d1", "m2"])
    np.testing.assert_array_equal(vectors, np.concatenate([docs["d1"], more["m2"]]))
    # A new reader has to open the files and finds them gone.
    with pytest.raises(FileNotFoundError):
        VectorStore(builder.path)


def test_view_survives_compaction(float_store):
    builder, docs = float_store
    store = VectorStore(builder.path)
    old = store.view()
    old_segment = builder.segments[0]
    builder.append({k: docs[k] for k in ["d1", "d2"]})
    builder.drop(old_segment)
    builder.publish()
    builder.erase_files(old_segment)
    assert store.view().document_ids == ["d1", "d2"]
    vectors, lengths = old.fetch(["d9", "d0"])
    np.testing.assert_array_equal(vectors, packed(docs, ["d9", "d0"])[0])


def test_replaced_store_fails_and_keeps_the_old_view(float_store, rng):
    builder, docs = float_store
    store = VectorStore(builder.path)
    old = store.view()
    other = StoreBuilder(builder.path, corpus="other", dimension=8)
    other.next_segment_id = 50
    other.append(random_documents(rng, 2, 8, prefix="o"))
    other.publish()
    with pytest.raises(ValueError) as info:
        store.view()
    assert str(info.value) == (f"vector store {builder.path} was replaced by one of another corpus, "
                               "encoding, or representation")
    np.testing.assert_array_equal(old.fetch(["d0"])[0], docs["d0"])


def test_open_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        VectorStore(tmp_path / "missing")
    assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
    bad = tmp_path / "bad"
    bad.mkdir()
    (bad / "manifest.json").write_text(json.dumps({"format": "quillmark-vectors-1"}))
    with pytest.raises(ValueError, match="^invalid manifest.json in "):
        VectorStore(bad)
    with pytest.raises(TypeError):
        VectorStore(5)
    with pytest.raises(ValueError):
        VectorStore("a\0b")


def _commit_documents(builder, value, count=10):
    docs = {f"d{i}": np.full((1 + i % 3, builder.dimension), value, np.float32) for i in range(count)}
    builder.append(docs)


def test_concurrent_views_and_fetches_see_whole_commits(tmp_path):
    """Readers in many threads never see a mix of commits while the manifest is replaced under them."""
    builder = StoreBuilder(tmp_path / "s", dimension=4)
    _commit_documents(builder, 1.0)
    builder.publish()
    store = VectorStore(builder.path)
    ids = [f"d{i}" for i in range(10)]
    stop = threading.Event()
    errors = []
    seen = set()

    def reader():
        try:
            while not stop.is_set():
                view = store.view()
                vectors, lengths = view.fetch(ids, threads=1)
                values = np.unique(vectors)
                assert values.tolist() == [float(view.commit)], (values, view.commit)
                assert view.document_ids == sorted(ids)
                seen.add(view.commit)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=reader) for _ in range(6)]
    for t in threads:
        t.start()
    try:
        for commit in range(2, 40):
            previous = builder.segments[-1]
            _commit_documents(builder, float(commit))
            builder.drop(previous)
            builder.publish()
            builder.erase_files(previous)
            if errors:
                break
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert not errors, errors[0]
    assert len(seen) > 1
    assert store.view().commit == builder.commit


def test_reader_in_another_process_sees_whole_commits(tmp_path):
    builder = StoreBuilder(tmp_path / "s", dimension=4)
    _commit_documents(builder, 1.0)
    builder.publish()
    script = f"""
import sys, numpy as np
from quillmark import VectorStore
store = VectorStore({str(builder.path)!r})
ids = [f"d{{i}}" for i in range(10)]
commits = set()
print("ready", flush=True)
while True:
    view = store.view()
    values = np.unique(view.fetch(ids)[0])
    if values.tolist() != [float(view.commit)]:
        print("mixed", view.commit, values, flush=True); sys.exit(1)
    commits.add(view.commit)
    if view.commit >= 25: break
print("ok", len(commits), flush=True)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "ready"
        for commit in range(2, 26):
            previous = builder.segments[-1]
            _commit_documents(builder, float(commit))
            builder.drop(previous)
            builder.publish()
            builder.erase_files(previous)
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, out
    assert out.startswith("ok")


@pytest.mark.parametrize(
    "committed_at, expected",
    [
        (253402300799.5, dt.datetime(9999, 12, 31, 23, 59, 59, 500000, tzinfo=dt.timezone.utc)),
        (253402300800.0, "time value of 253402300800 seconds after the Unix epoch is beyond the range of datetime"),
        (1e17, "time value of 100000000000000000 seconds after the Unix epoch is beyond the range of datetime"),
    ],
)
def test_as_of_beyond_datetime_is_a_clear_value_error(tmp_path, committed_at, expected):
    builder = StoreBuilder(tmp_path / "s")
    builder.committed_at = committed_at - 1.5  # publish adds 1.5
    builder.publish()
    view = VectorStore(builder.path).view()
    if isinstance(expected, dt.datetime):
        assert view.as_of == expected
    else:
        with pytest.raises(ValueError) as info:
            view.as_of
        assert type(info.value) is ValueError and str(info.value) == expected


@pytest.mark.parametrize("dimension", [2**61, 2**62, 2**63, 2**64 - 1])
def test_fetch_nothing_from_an_absurd_dimension_fails_with_the_stores_error(tmp_path, dimension):
    builder = StoreBuilder(tmp_path / "s", dimension=dimension)
    builder.publish()
    view = VectorStore(builder.path).view()
    with pytest.raises(ValueError) as info:
        view.fetch([])
    assert str(info.value) == f"dimension {dimension} is too large for an array"
