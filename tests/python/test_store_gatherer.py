"""StoreGatherer: exact against a NumPy brute force over each view, persisted
across processes, rebuilt from every kind of damage, incremental by counted
work, and safe under concurrent searches and commits."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import quillmark.store_gatherer as store_gatherer
from quillmark import Feature, IncompatibleQueryError, Query, Subset, VectorStore, VectorStoreWriter
from quillmark.representation import Representation
from quillmark.store_gatherer import StoreGatherer

DIM = 8
REP = Representation("enc", "r1", DIM, True)


def unit_rows(rng, n):
    rows = rng.standard_normal((n, DIM)).astype(np.float32)
    return rows / np.linalg.norm(rows, axis=1, keepdims=True)


def append(writer, rng, ids, *, same_as=None):
    lengths = rng.integers(1, 6, size=len(ids))
    rows = unit_rows(rng, int(lengths.sum()))
    writer.append(ids, rows, lengths)
    return dict(zip(ids, np.split(rows, np.cumsum(lengths)[:-1])))


def query(rng, n=3, rep=REP):
    return Query("q", multi_vector=Feature(rep, unit_rows(rng, n)))


def brute_force(view, q_matrix, limit, allowed=None):
    """The top ``limit`` of the view by cosine of pooled vectors, from fetch."""
    ids = [d for d in view.document_ids if allowed is None or allowed(d)]
    if not ids:
        return []
    vectors, lengths = view.fetch(ids)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    means = np.add.reduceat(vectors.astype(np.float64), starts, axis=0) / lengths[:, None]
    pooled = (means / np.maximum(np.linalg.norm(means, axis=1, keepdims=True), 1e-12)).astype(np.float32)
    mean = q_matrix.astype(np.float64).mean(axis=0)
    q = (mean / np.linalg.norm(mean)).astype(np.float32)
    scores = np.vecdot(pooled, q)
    order = sorted(range(len(ids)), key=lambda i: (-scores[i], ids[i].encode()))
    return [(ids[i], float(scores[i])) for i in order[:limit]]


def check_exact(gatherer, store, rng, limit, subset=None, allowed=None):
    q = query(rng)
    got = gatherer.gather(q, limit, subset=subset)
    view = store.view()
    assert got.as_of == view.as_of
    want = brute_force(view, q.feature("multi_vector", REP), limit, allowed)
    assert [c.document_id for c in got.candidates] == [d for d, _ in want]
    np.testing.assert_allclose([c.gather_score for c in got.candidates], [s for _, s in want], rtol=1e-6, atol=1e-6)
    assert [c.gather_rank for c in got.candidates] == list(range(len(want)))


@pytest.mark.parametrize("encoding", ["float32", "int8"])
def test_exact_over_every_commit_and_subset(tmp_path, encoding):
    rng = np.random.default_rng(7)
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", REP, encoding=encoding)
    store = VectorStore(tmp_path / "s")
    gatherer = StoreGatherer(store)
    assert gatherer.path == tmp_path / "s.index"
    check_exact(gatherer, store, rng, 5)  # empty store
    ids = [f"d{i:03}" for i in range(60)] + ["é", "z", "ζ", "\U0001f600"]
    steps = [
        lambda: append(writer, rng, ids[:30]),
        lambda: append(writer, rng, ids[20:50]),  # replaces ten across segments
        lambda: writer.delete(ids[:5] + ids[25:28]),
        lambda: append(writer, rng, ids[50:]),
        lambda: writer.compact(),
        lambda: append(writer, rng, ids[:3]),  # deleted ids come back
    ]
    for step in steps:
        step()
        writer.commit()
        for limit in (1, 7, 100):
            check_exact(gatherer, store, rng, limit)
        present = store.view().document_ids
        chosen = set(rng.choice(present + ["absent"], size=8, replace=False))
        check_exact(gatherer, store, rng, 5, Subset().including("docs", chosen), lambda d: d in chosen)
        check_exact(gatherer, store, rng, 9, Subset().excluding("docs", chosen), lambda d: d not in chosen)
        assert gatherer.gather(query(rng), 5, subset=Subset().including("other", present)).candidates == ()


def test_equal_scores_fall_in_utf8_order(tmp_path):
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", REP)
    row = unit_rows(np.random.default_rng(1), 1)
    ids = ["b", "a", "\U0001f600", "é", "ab"]
    for d in ids:  # one segment each: ties across segments
        writer.append([d], row, [1])
        writer.commit()
    got = StoreGatherer(VectorStore(tmp_path / "s")).gather(Query("q", multi_vector=Feature(REP, row)), 4)
    assert [c.document_id for c in got.candidates] == sorted(ids, key=lambda d: d.encode())[:4]


def test_bad_input(tmp_path):
    VectorStoreWriter.create(tmp_path / "s", "docs", REP).commit()
    store = VectorStore(tmp_path / "s")
    with pytest.raises(ValueError, match="inside the store directory"):
        StoreGatherer(store, tmp_path / "s" / "index")
    with pytest.raises(ValueError, match="method"):
        StoreGatherer(store, method="fast")
    with pytest.raises(TypeError):
        StoreGatherer(str(tmp_path / "s"))
    gatherer = StoreGatherer(store)
    rng = np.random.default_rng(0)
    other = Representation("enc", "r2", DIM, True)
    for q in (Query("q"), query(rng, rep=other), Query("q", multi_vector=Feature(REP, np.zeros((0, DIM), np.float32)))):
        with pytest.raises(IncompatibleQueryError):
            gatherer.gather(q, 3)


def build(tmp_path, rng, segments=3, per=20):
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", REP)
    for s in range(segments):
        append(writer, rng, [f"s{s}d{i}" for i in range(per)])
        writer.commit()
    return writer, VectorStore(tmp_path / "s")


def pooled_files(path: Path) -> list[Path]:
    return sorted(path.glob("segment-*.pooled.npy"))


def test_a_second_process_loads_instead_of_pooling(tmp_path):
    rng = np.random.default_rng(2)
    _, store = build(tmp_path, rng)
    first = StoreGatherer(store)
    first.gather(query(rng), 5)
    assert first.counters["pooled_documents"] == 60 and len(pooled_files(first.path)) == 3
    script = (
        "import json, numpy as np, quillmark as qm\n"
        "from quillmark.store_gatherer import StoreGatherer\n"
        f"g = StoreGatherer(qm.VectorStore({str(tmp_path / 's')!r}))\n"
        f"rep = qm.Representation('enc', 'r1', {DIM}, True)\n"
        f"found = g.gather(qm.Query('q', multi_vector=qm.Feature(rep, np.eye({DIM}, dtype=np.float32)[:2])), 5)\n"
        "print(json.dumps([g.counters, [c.document_id for c in found.candidates]]))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout
    import json

    counters, found = json.loads(out)
    assert counters["pooled_documents"] == 0 and counters["loaded_segments"] == 3
    q = Query("q", multi_vector=Feature(REP, np.eye(DIM, dtype=np.float32)[:2]))
    assert found == [c.document_id for c in first.gather(q, 5).candidates]


def _truncate(f):
    f.write_bytes(f.read_bytes()[:-7])


def _flip(f):
    data = bytearray(f.read_bytes())
    data[-3] ^= 0x10
    f.write_bytes(bytes(data))


@pytest.mark.parametrize(
    "damage",
    [
        pytest.param(lambda p: _truncate(pooled_files(p)[1]), id="truncated"),
        pytest.param(lambda p: _flip(pooled_files(p)[0]), id="flipped-bit"),
        pytest.param(lambda p: pooled_files(p)[2].unlink(), id="missing"),
        pytest.param(lambda p: pooled_files(p)[0].write_bytes(b"not an array"), id="garbage"),
        pytest.param(lambda p: (p / "index.json").write_text('{"format": 1'), id="bad-index-json"),
        pytest.param(lambda p: (p / "index.json").write_text(
            '{"format": "quillmark-pooled-index-1", "store_id": "0" , "dimension": 8}'), id="other-store"),
    ],
)
def test_damage_is_rebuilt_never_served(tmp_path, damage):
    rng = np.random.default_rng(3)
    _, store = build(tmp_path, rng)
    StoreGatherer(store).gather(query(rng), 5)
    path = tmp_path / "s.index"
    damage(path)
    fresh = StoreGatherer(VectorStore(tmp_path / "s"))
    for limit in (3, 60):
        check_exact(fresh, store, rng, limit)
    assert 0 < fresh.counters["pooled_documents"] <= 60
    # Repaired: a third gatherer loads everything.
    third = StoreGatherer(VectorStore(tmp_path / "s"))
    third.gather(query(rng), 3)
    assert third.counters["pooled_documents"] == 0 and len(pooled_files(path)) == 3


def test_unwritable_location_works_in_memory_with_one_warning(tmp_path):
    rng = np.random.default_rng(4)
    writer, store = build(tmp_path, rng)
    (tmp_path / "file").write_text("")
    gatherer = StoreGatherer(store, tmp_path / "file" / "index")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        check_exact(gatherer, store, rng, 10)
        append(writer, rng, ["new"])
        writer.commit()
        check_exact(gatherer, store, rng, 10)
    assert len([w for w in caught if "cannot be written" in str(w.message)]) == 1


def test_a_locked_index_is_searched_without_waiting_or_writing(tmp_path):
    import fcntl

    rng = np.random.default_rng(5)
    _, store = build(tmp_path, rng)
    path = tmp_path / "s.index"
    path.mkdir()
    with open(path / ".lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # another process writing the index
        gatherer = StoreGatherer(store)
        check_exact(gatherer, store, rng, 10)
        assert pooled_files(path) == []
    gatherer = StoreGatherer(VectorStore(tmp_path / "s"))
    gatherer.gather(query(rng), 3)
    assert len(pooled_files(path)) == 3


def test_work_follows_the_changes_not_the_corpus(tmp_path):
    rng = np.random.default_rng(6)
    writer, store = build(tmp_path, rng, segments=4, per=25)
    gatherer = StoreGatherer(store)
    assert gatherer.update().commit == store.view().commit
    assert gatherer.counters["pooled_documents"] == 100
    gatherer.gather(query(rng), 5)
    assert gatherer.counters["pooled_documents"] == 100
    append(writer, rng, [f"n{i}" for i in range(7)])
    writer.commit()
    check_exact(gatherer, store, rng, 10)
    assert gatherer.counters["pooled_documents"] == 107  # only the new segment
    writer.delete(["s0d1", "s2d3", "n0"])
    writer.commit()
    check_exact(gatherer, store, rng, 200)
    assert gatherer.counters["pooled_documents"] == 107  # deletions cost no index work
    writer.compact()
    writer.commit()
    check_exact(gatherer, store, rng, 200)
    assert gatherer.counters["pooled_documents"] == 107
    assert gatherer.counters["copied_documents"] == 104
    for i in range(10):  # ten small segments, then a merge of them
        append(writer, rng, [f"m{i}", f"s1d{i}"])
        writer.commit()
        gatherer.gather(query(rng), 3)
    assert gatherer.counters["pooled_documents"] == 127
    assert writer.merge() == 10
    writer.commit()
    check_exact(gatherer, store, rng, 200)
    assert gatherer.counters["pooled_documents"] == 127
    assert gatherer.counters["copied_documents"] == 124
    # A new process after a compaction copies from the files the index still holds.
    writer.compact()
    writer.commit()
    fresh = StoreGatherer(VectorStore(tmp_path / "s"))
    check_exact(fresh, store, rng, 50)
    assert fresh.counters["pooled_documents"] == 0 and fresh.counters["copied_documents"] > 0
    # Only the segments of the latest commit keep files.
    assert len(pooled_files(gatherer.path)) == len(store.view().segments)


def test_a_store_renamed_into_place_gets_its_own_index(tmp_path):
    rng = np.random.default_rng(8)
    _, store = build(tmp_path, rng, segments=6)
    gatherer = StoreGatherer(store)
    check_exact(gatherer, store, rng, 10)
    other = VectorStoreWriter.create(tmp_path / "t", "docs", REP)
    append(other, rng, ["x", "y", "z"])
    other.commit()
    other.close()
    os.rename(tmp_path / "s", tmp_path / "old")
    os.rename(tmp_path / "t", tmp_path / "s")
    check_exact(gatherer, store, rng, 10)
    assert [c.document_id for c in gatherer.gather(query(rng), 10).candidates] != []
    assert set(c.document_id for c in gatherer.gather(query(rng), 10).candidates) == {"x", "y", "z"}
    assert len(pooled_files(gatherer.path)) == 1  # the old store's files went with the claim
    with VectorStoreWriter(tmp_path / "s") as again:  # commit numbers start again in the new store
        append(again, rng, ["w"])
        again.commit()
        again.compact()
        again.commit()
    check_exact(gatherer, store, rng, 10)
    assert len(pooled_files(gatherer.path)) == 1  # only the latest commit's segment keeps a file


def test_searches_from_threads_while_commits_land(tmp_path):
    rng = np.random.default_rng(9)
    writer, store = build(tmp_path, rng, segments=2, per=30)
    gatherer = StoreGatherer(store)
    q = query(rng)
    matrix = q.feature("multi_vector", REP)
    results, errors = [], []
    done = threading.Event()

    def search():
        try:
            while not done.is_set():
                found = gatherer.gather(q, 8)
                results.append((found.as_of, [c.document_id for c in found.candidates]))
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=search) for _ in range(4)]
    for t in threads:
        t.start()
    expected = {}
    try:
        for i in range(12):
            append(writer, rng, [f"w{i}", f"s0d{i}"])
            if i % 4 == 3:
                writer.delete([f"w{i - 1}"])
            if i == 8:
                writer.compact()
            writer.commit()
            view = store.view()
            expected[view.as_of] = [d for d, _ in brute_force(view, matrix, 8)]
    finally:
        done.set()
        for t in threads:
            t.join()
    assert not errors, errors[:1]
    checked = [ids == expected[as_of] for as_of, ids in results if as_of in expected]
    assert checked and all(checked)


def test_approximate_method_recall(tmp_path, monkeypatch):
    pytest.importorskip("quillmark.ann")
    monkeypatch.setattr(store_gatherer, "APPROXIMATE_MIN_ROWS", 500)
    rng = np.random.default_rng(10)
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", REP)
    centres = unit_rows(rng, 12)
    for s in range(2):
        ids = [f"s{s}d{i}" for i in range(1500)]
        lengths = np.full(len(ids), 4)
        rows = centres[rng.integers(0, 12, size=4 * len(ids))] + 0.3 * rng.standard_normal((4 * len(ids), DIM))
        rows = (rows / np.linalg.norm(rows, axis=1, keepdims=True)).astype(np.float32)
        writer.append(ids, rows, lengths)
        writer.commit()
    writer.delete([f"s0d{i}" for i in range(0, 1500, 3)])
    writer.commit()
    store = VectorStore(tmp_path / "s")
    approximate = StoreGatherer(store, tmp_path / "approximate", method="approximate")
    exact = StoreGatherer(store, tmp_path / "exact")
    recalls = []
    for _ in range(20):
        q = query(rng)
        want = {c.document_id for c in exact.gather(q, 100).candidates}
        got = approximate.gather(q, 100).candidates
        assert len(got) == 100 and all(c.document_id in store.view() for c in got)
        recalls.append(len(want & {c.document_id for c in got}) / 100)
    assert np.mean(recalls) >= 0.98
    assert approximate.counters["approximate_indexed_documents"] == 3000
    again = StoreGatherer(VectorStore(tmp_path / "s"), tmp_path / "approximate", method="approximate")
    again.gather(query(rng), 10)
    assert again.counters["approximate_indexed_documents"] == 0
