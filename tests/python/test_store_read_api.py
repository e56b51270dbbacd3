"""StoreView read by segment (store_id, segments, pool, segment_document_ids,
locations, present): each against a plain Python/NumPy model of the stores
store_builder writes, and against the view's own document_ids and fetch."""

import os
import shutil

import numpy as np
import pytest

from quillmark import StoreView, VectorStore, VectorStoreWriter
from quillmark.representation import Representation

from store_builder import StoreBuilder, int8_decode, int8_encode, random_documents

DIM = 24


class Model:
    """Segments as store_builder wrote them, read the plain way: the newest
    segment listing an ID decides where, and whether, it is present."""

    def __init__(self, builder):
        self.segments = [(s.id, list(s.ids), set(s.deleted)) for s in builder.segments]
        self.rows = {}  # (segment ID, row) -> the rows a fetch gives
        for s in builder.segments:
            starts = np.concatenate(([0], np.cumsum(s.lengths)))
            for r in range(len(s.ids)):
                rows = s.vectors[starts[r]:starts[r + 1]]
                if builder.encoding == "int8":
                    rows = int8_decode(*int8_encode(rows), builder.representation["normalized"])
                self.rows[s.id, r] = rows

    def location(self, doc):
        for seg, ids, deleted in reversed(self.segments):
            if doc in ids:
                row = ids.index(doc)
                return (-1, -1) if row in deleted else (seg, row)
        return (-1, -1)

    def present(self, seg, row):
        ids = next(ids for s, ids, _ in self.segments if s == seg)
        return self.location(ids[row]) == (seg, row)


def replaced_store(path, rng, encoding="float32", normalized=False):
    """Four segments whose documents replace one another, with deletions of
    current rows, of hidden rows, and of a row an older segment still lists."""
    builder = StoreBuilder(path, encoding=encoding, dimension=DIM, normalized=normalized)
    docs = random_documents(rng, 60, DIM, max_tokens=9)
    s0 = builder.append({f"d{i}": docs[f"d{i}"] for i in range(40)})
    s1 = builder.append({f"d{i}": rng.standard_normal((3, DIM)).astype(np.float32) for i in range(30, 60)})
    s2 = builder.append({f"d{i}": rng.standard_normal((2, DIM)).astype(np.float32) for i in (55, 10, 11, 12, 13)})
    builder.append({f"e{i}": rng.standard_normal((1 + i, DIM)).astype(np.float32) for i in range(5)})
    builder.delete(s0, [2, 35, 10])  # d2 gone; d35 and d10 hidden anyway
    builder.delete(s1, [1])  # d31 gone, though s0 still lists it
    builder.delete(s2, [3])  # d12 gone, though s0 still lists it
    builder.publish()
    return builder


ENCODINGS = [("float32", False), ("int8", False), ("int8", True)]


@pytest.fixture(params=ENCODINGS, ids=["float32", "int8", "int8-unit"])
def store(request, tmp_path, rng):
    encoding, normalized = request.param
    builder = replaced_store(tmp_path / "store", rng, encoding, normalized)
    return builder, VectorStore(tmp_path / "store").view()


def test_segments_and_store_id(store):
    builder, view = store
    assert view.store_id == builder.store_id
    segments = view.segments
    assert [s[:3] for s in segments] == [(s.id, len(s.ids), int(sum(s.lengths))) for s in builder.segments]
    assert all(isinstance(v, int) for s in segments for v in s)
    assert len({s[3] for s in segments}) == len(segments)


def test_fingerprints_follow_the_files(tmp_path, rng):
    builder = replaced_store(tmp_path / "store", rng)
    before = VectorStore(tmp_path / "store").view().segments
    assert VectorStore(tmp_path / "store").view().segments == before  # the same files, loaded again
    name = tmp_path / "store" / "segment-1.offsets.npy"
    shutil.copyfile(name, tmp_path / "copy")
    os.replace(tmp_path / "copy", name)
    after = VectorStore(tmp_path / "store").view().segments
    assert [s[3] == b[3] for s, b in zip(after, before)] == [s.id != 1 for s in builder.segments]


def test_locations_and_present_follow_the_model(store):
    builder, view = store
    model = Model(builder)
    asked = sorted({d for _, ids, _ in model.segments for d in ids}) + ["absent", "d2", ""]
    segments, rows = view.locations(asked)
    assert segments.dtype == rows.dtype == np.int64
    assert list(zip(segments.tolist(), rows.tolist())) == [model.location(d) for d in asked]

    pairs = [(seg, r) for seg, ids, _ in model.segments for r in range(len(ids))]
    seg_arg = np.array([p[0] for p in pairs], np.int64)
    row_arg = np.array([p[1] for p in pairs], np.uint32)  # any integer dtype
    present = view.present(seg_arg, row_arg)
    assert present.dtype == np.bool_ and present.shape == (len(pairs),)
    assert present.tolist() == [model.present(*p) for p in pairs]

    # Exactly one present row per present document, and it is what fetch gives.
    shown = [p for p, yes in zip(pairs, present) if yes]
    ids = [view.segment_document_ids(seg, [row])[0] for seg, row in shown]
    assert sorted(ids) == view.document_ids
    vectors, lengths = view.fetch(ids)
    expected = np.concatenate([model.rows[p] for p in shown])
    np.testing.assert_allclose(vectors, expected, rtol=0, atol=1e-6)

    # Segments not in the view give False, whatever the row.
    assert view.present([99, -1, 3], [10**6, 0, 0]).tolist() == [False, False, model.present(3, 0)]
    assert view.present([], []).shape == (0,)


def test_segment_document_ids(store):
    builder, view = store
    for s in builder.segments:
        assert view.segment_document_ids(s.id) == s.ids
    first = builder.segments[0]
    picked = [5, 0, 5, len(first.ids) - 1]
    want = [first.ids[r] for r in picked]
    for rows in (picked, np.array(picked, np.int32), np.array(picked, np.uint64), tuple(picked)):
        assert view.segment_document_ids(first.id, rows) == want
    assert view.segment_document_ids(first.id, []) == []


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda v: v.pool(99), ValueError, "segment 99 is not in this view"),
        (lambda v: v.pool(-1), ValueError, "segment -1 is not in this view"),
        (lambda v: v.pool(2**70), ValueError, f"segment {2**70} is not in this view"),
        (lambda v: v.pool("0"), TypeError, None),
        (lambda v: v.pool(0, threads=0), ValueError, "threads must be positive"),
        (lambda v: v.segment_document_ids(7), ValueError, "segment 7 is not in this view"),
        (lambda v: v.segment_document_ids(0, [0, 40]), ValueError, "row 40 is out of range for segment 0 of 40 rows"),
        (lambda v: v.segment_document_ids(0, [-1]), ValueError, "row -1 is out of range for segment 0 of 40 rows"),
        (lambda v: v.segment_document_ids(0, [0.0]), TypeError, "argument 'rows' must hold integers, not float64"),
        (lambda v: v.segment_document_ids(0, [[0]]), TypeError, "argument 'rows' must have one axis, not 2"),
        (lambda v: v.segment_document_ids(0, "0"), TypeError, "argument 'rows' must hold integers, not str"),
        (lambda v: v.segment_document_ids(0, np.array([2**63], np.uint64)), ValueError,
         "argument 'rows' holds 9223372036854775808, beyond int64"),
        (lambda v: v.present([0, 1], [0]), ValueError, "segment_ids and rows differ in length (2 and 1)"),
        (lambda v: v.present([1, 0], [0, 40]), ValueError, "row 40 is out of range for segment 0 of 40 rows"),
        (lambda v: v.present([0], [True]), TypeError, "argument 'rows' must hold integers, not bool"),
        (lambda v: v.locations("d1"), TypeError, "expected an iterable of document IDs, not a single string"),
    ],
)
def test_refusals(store, call, error, text):
    _, view = store
    with pytest.raises(error) as raised:
        call(view)
    if text is not None:
        assert str(raised.value) == text


def pooled_reference(rows):
    mean = rows.astype(np.float64).sum(axis=0) / len(rows)
    return (mean / max(np.linalg.norm(mean), 1e-12)).astype(np.float32)


def test_pool_matches_numpy_from_fetch(store):
    builder, view = store
    model = Model(builder)
    for seg, ids, _ in model.segments:
        pooled = view.pool(seg)
        assert pooled.dtype == np.float32 and pooled.shape == (len(ids), DIM) and pooled.flags.c_contiguous
        for r, doc in enumerate(ids):
            # A present row as fetch gives it; deleted and hidden rows as the
            # model decodes them (what fetch gave while they were present).
            rows = view.fetch([doc])[0] if model.present(seg, r) else model.rows[seg, r]
            np.testing.assert_allclose(pooled[r], pooled_reference(rows), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("encoding, normalized", ENCODINGS, ids=["float32", "int8", "int8-unit"])
def test_pool_is_the_same_for_every_thread_count(tmp_path, rng, encoding, normalized):
    # Enough rows to be cut into several parallel tasks.
    builder = StoreBuilder(tmp_path / "store", encoding=encoding, dimension=48, normalized=normalized)
    docs = random_documents(rng, 3000, 48, max_tokens=30)
    docs["zero"] = np.zeros((2, 48), np.float32)  # a zero mean stays zero
    builder.append(docs)
    builder.publish()
    view = VectorStore(tmp_path / "store").view()
    first = view.pool(0)
    for threads in (1, 2, 3, 4):
        assert first.tobytes() == view.pool(0, threads=threads).tobytes()
    fetched, lengths = view.fetch(list(docs))
    starts = np.concatenate(([0], np.cumsum(lengths)))
    expected = np.stack([pooled_reference(fetched[a:b]) for a, b in zip(starts[:-1], starts[1:])])
    np.testing.assert_allclose(first, expected, rtol=1e-6, atol=1e-7)
    assert not first[-1].any()


def rep():
    return Representation("enc", "r1", 8, True)


def check_against_document_ids_and_fetch(view):
    """A view's reads by segment agree with its document_ids and fetch."""
    pairs = [(seg, r) for seg, documents, _, _ in view.segments for r in range(documents)]
    present = view.present([p[0] for p in pairs], [p[1] for p in pairs])
    shown = {view.segment_document_ids(seg, [r])[0]: (seg, r) for (seg, r), yes in zip(pairs, present) if yes}
    assert sorted(shown) == view.document_ids and len(shown) == present.sum()
    ids = view.document_ids
    segments, rows = view.locations(ids)
    assert list(zip(segments.tolist(), rows.tolist())) == [shown[d] for d in ids]
    vectors, lengths = view.fetch(ids)
    starts = np.concatenate(([0], np.cumsum(lengths)))
    pooled = {seg: view.pool(seg) for seg, *_ in view.segments}
    for i, d in enumerate(ids):
        seg, row = shown[d]
        np.testing.assert_allclose(pooled[seg][row], pooled_reference(vectors[starts[i]:starts[i + 1]]),
                                   rtol=1e-6, atol=1e-7)
    return shown


def test_writer_commits_and_compaction(tmp_path, rng):
    path = tmp_path / "store"
    with VectorStoreWriter.create(path, "docs", rep(), encoding="int8") as writer:
        store = VectorStore(path)
        for commit in range(4):
            docs = random_documents(rng, 12, 8, prefix=f"c{commit}-")
            docs.update({f"shared{i}": rng.standard_normal((commit + 1, 8)).astype(np.float32) for i in range(3)})
            ids = list(docs)
            docs = {d: m / np.linalg.norm(m, axis=1, keepdims=True) for d, m in docs.items()}
            writer.append(ids, np.concatenate([docs[d] for d in ids]), [len(docs[d]) for d in ids])
            writer.commit()
        writer.delete(["c0-1", "c2-3", "shared1"])
        writer.commit()
        before = store.view()
        shown_before = check_against_document_ids_and_fetch(before)
        writer.compact()
        writer.commit()
        after = store.view()
        check_against_document_ids_and_fetch(after)
        assert len(after.segments) == 1
        assert set(after.document_ids) == set(before.document_ids)
        # The older view still answers from its own segments; in the new one
        # those segments are gone.
        assert check_against_document_ids_and_fetch(before) == shown_before
        old = list(shown_before.values())
        assert not after.present([p[0] for p in old], [p[1] for p in old]).any()
