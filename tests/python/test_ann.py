"""quillmark.ann.AnnIndex: recall against brute force, files (round trip,
crash-safe replacement, every kind of damaged file refused), determinism and
concurrent searches."""

from __future__ import annotations

import concurrent.futures
import os
import struct

import faiss
import numpy as np
import pytest

from quillmark import ann
from quillmark.ann import AnnIndex

DIM = 32


def unit(x):
    return (x / np.linalg.norm(x, axis=-1, keepdims=True)).astype(np.float32)


@pytest.fixture(scope="module")
def data():
    # Clustered, as real embeddings are: 60 centres, 3,000 points around them.
    rng = np.random.default_rng(7)
    centres = unit(rng.standard_normal((60, DIM)))
    vectors = unit(centres[rng.integers(0, 60, 3000)] + 0.35 * rng.standard_normal((3000, DIM)))
    queries = unit(centres[rng.integers(0, 60, 40)] + 0.45 * rng.standard_normal((40, DIM)))
    return vectors, queries


@pytest.fixture(scope="module")
def index(data):
    return AnnIndex.build(data[0], m=8, ef_construction=64)


@pytest.fixture(scope="module")
def saved(index, tmp_path_factory):
    path = tmp_path_factory.mktemp("ann") / "index.ann"
    index.save(path)
    return path.read_bytes()


def exact(vectors, query, k):
    scores = vectors @ query
    return np.argsort(-scores, kind="stable")[:k]


@pytest.mark.parametrize("k", [1, 10, 100, 1000])
def test_recall_and_scores_against_brute_force(index, data, k):
    vectors, queries = data
    recalls = []
    for query in queries:
        labels, scores = index.search(query, k)
        assert labels.dtype == np.int64 and scores.dtype == np.float32
        assert len(labels) == k and len(set(labels.tolist())) == k
        # Scores are the inner products of the labelled rows, best first.
        np.testing.assert_allclose(scores, vectors[labels] @ query, rtol=0, atol=1e-5)
        assert np.all(np.diff(scores) <= 0)
        recalls.append(np.intersect1d(labels, exact(vectors, query, k)).size / k)
    assert np.mean(recalls) >= 0.98


def test_result_sizes_and_breadth(data):
    vectors = data[0][:50]
    small = AnnIndex.build(vectors, m=4, ef_construction=16)
    assert (small.count, small.dimension, len(small)) == (50, DIM, 50)
    labels, scores = small.search(vectors[3], 80)  # more than the index holds: all of it
    assert sorted(labels.tolist()) == list(range(50))
    np.testing.assert_array_equal(labels, exact(vectors, vectors[3], 50))
    assert [len(a) for a in small.search(vectors[3], 0)] == [0, 0]
    # A breadth below k is raised to k: still k results.
    assert len(small.search(vectors[3], 20, ef=1)[0]) == 20
    # The default breadth: never below k, and wider for bigger indexes.
    for k in (1, 100, 1000, 5000):
        small_ef, large_ef = AnnIndex.ef_for(k, 1000), AnnIndex.ef_for(k, 1_000_000)
        assert k <= small_ef < large_ef
    empty = AnnIndex.build(np.zeros((0, DIM), np.float32))
    assert [len(a) for a in empty.search(vectors[0], 5)] == [0, 0]


@pytest.mark.parametrize(
    "call",
    [
        lambda ix, v: AnnIndex.build(v * 2),  # not unit length
        lambda ix, v: AnnIndex.build(np.where(np.arange(DIM) == 0, np.nan, v)),
        lambda ix, v: AnnIndex.build(v[0]),  # not [n, d]
        lambda ix, v: ix.search(v[0][:-1], 5),  # wrong dimension
        lambda ix, v: ix.search(np.full(DIM, np.inf, np.float32), 5),
        lambda ix, v: ix.search(v[0], -1),
        lambda ix, v: ix.search(v[0], 5, ef=0),
        lambda ix, v: AnnIndex(None),  # only build and load make one
    ],
    ids=["non-unit", "nan", "one-dimensional", "query-dimension", "query-inf", "negative-k", "zero-ef", "constructor"],
)
def test_rejects_bad_input(index, data, call):
    with pytest.raises((ValueError, TypeError)):
        call(index, data[0][:20])


@pytest.mark.parametrize("mmap_vectors", [True, False])
def test_save_load_round_trip(index, data, tmp_path, mmap_vectors):
    path = tmp_path / "index.ann"
    index.save(path)
    loaded = AnnIndex.load(path, mmap_vectors=mmap_vectors)
    assert (loaded.count, loaded.dimension) == (index.count, index.dimension)
    for query in data[1]:
        for k in (10, 300):
            a, b = index.search(query, k), loaded.search(query, k)
            np.testing.assert_array_equal(a[0], b[0])
            np.testing.assert_array_equal(a[1], b[1])
    assert os.listdir(tmp_path) == ["index.ann"]  # no temporary file left behind
    # Saving over an existing file replaces it (the mapped old file stays readable).
    AnnIndex.build(data[0][:100]).save(path)
    assert AnnIndex.load(path).count == 100
    assert len(loaded.search(data[1][0], 10)[0]) == 10


def test_failed_save_keeps_the_previous_file(index, data, tmp_path, monkeypatch):
    path = tmp_path / "index.ann"
    AnnIndex.build(data[0][:100]).save(path)
    before = path.read_bytes()

    def fail(*args):
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(OSError, match="disk full"):
        index.save(path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["index.ann"]


def _footer_fields(blob):
    return list(ann._FOOTER.unpack(blob[-ann._FOOTER.size:]))


def _with_trailer(payload: bytes, count: int, dim: int) -> bytes:
    """A well-formed trailer (consistent checksums) over any payload."""
    chunk = ann._CHUNK
    crcs = ann._crc_chunks(payload, len(payload), chunk, 1)
    table = struct.pack(f"<{len(crcs)}I", *crcs)
    crc = ann._footer_crc(table, len(payload), chunk, count, dim, len(crcs))
    return payload + table + ann._FOOTER.pack(len(payload), chunk, count, dim, len(crcs), crc, ann._MAGIC)


def _flip(blob, at):
    b = bytearray(blob)
    b[at] ^= 0x40
    return bytes(b)


def _footer_field_offset(i):
    return len(struct.pack("<" + "QQQIII8s"[:i], *([0] * i))) if i else 0


DAMAGE = {
    "empty": lambda b: b"",
    "one-byte": lambda b: b[:1],
    "shorter-than-trailer": lambda b: b[: ann._FOOTER.size - 1],
    "half": lambda b: b[: len(b) // 2],
    "last-byte-cut": lambda b: b[:-1],
    "trailer-cut": lambda b: b[: -ann._FOOTER.size],
    "byte-appended": lambda b: b + b"\0",
    "payload-first-byte": lambda b: _flip(b, 0),
    "payload-middle": lambda b: _flip(b, _footer_fields(b)[0] // 2),
    "payload-last-byte": lambda b: _flip(b, _footer_fields(b)[0] - 1),
    "checksum-table": lambda b: _flip(b, _footer_fields(b)[0]),
    **{
        f"trailer-{name}": (lambda i: lambda b: _flip(b, len(b) - ann._FOOTER.size + _footer_field_offset(i)))(i)
        for i, name in enumerate(["payload-length", "chunk", "count", "dimension", "chunks", "crc", "magic"])
    },
    "random-bytes": lambda b: np.random.default_rng(1).integers(0, 256, len(b), dtype=np.uint8).tobytes(),
    "text": lambda b: b"not an index\n" * 100,
    "faiss-file-without-trailer": lambda b: b[: _footer_fields(b)[0]],
    # Well-formed trailers over the wrong contents: what faiss reads must match.
    "trailer-count-disagrees": lambda b: _with_trailer(b[: _footer_fields(b)[0]], _footer_fields(b)[2] + 1, DIM),
    "trailer-dimension-disagrees": lambda b: _with_trailer(b[: _footer_fields(b)[0]], _footer_fields(b)[2], DIM + 1),
    "trailer-over-garbage": lambda b: _with_trailer(b"\x07" * 4096, 10, DIM),
    "trailer-over-flat-index": lambda b: _with_trailer(
        faiss.serialize_index(faiss.IndexFlatIP(DIM)).tobytes(), 0, DIM),
}


@pytest.mark.parametrize("damage", DAMAGE.values(), ids=DAMAGE.keys())
def test_damaged_or_foreign_file_is_a_value_error(saved, tmp_path, damage):
    path = tmp_path / "index.ann"
    blob = damage(saved)
    assert blob != saved
    path.write_bytes(blob)
    for mmap_vectors in (True, False):
        with pytest.raises(ValueError):
            AnnIndex.load(path, mmap_vectors=mmap_vectors)
    # The intact file still loads, so the refusals above are about the damage.
    path.write_bytes(saved)
    assert AnnIndex.load(path).count == 3000


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        AnnIndex.load(tmp_path / "absent.ann")


def test_deterministic_and_safe_under_concurrent_searches(index, data, saved, tmp_path):
    queries = data[1]
    ks = [5, 50, 500, 1000]  # a different breadth per call
    jobs = [(i, k) for i in range(len(queries)) for k in ks]
    serial = {job: index.search(queries[job[0]], job[1]) for job in jobs}
    path = tmp_path / "index.ann"
    path.write_bytes(saved)
    others = [index, AnnIndex.load(path), AnnIndex.load(path, mmap_vectors=False)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for other in others:
            for _ in range(2):
                order = np.random.default_rng(len(jobs)).permutation(len(jobs))
                results = pool.map(lambda j: (jobs[j], other.search(queries[jobs[j][0]], jobs[j][1])), order)
                for job, (labels, scores) in results:
                    np.testing.assert_array_equal(labels, serial[job][0])
                    np.testing.assert_array_equal(scores, serial[job][1])
