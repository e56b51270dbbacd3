"""The writer's tiered merge through the binding, and the sources of copied
segments that VectorStore.segment_sources hands out."""

import json

import numpy as np
import pytest

from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation

from store_builder import int8_decode, int8_encode

DIMENSION = 3
MERGE_FACTOR = 10


def rep():
    return Representation(encoder="enc", encoder_revision="r1", dimension=DIMENSION, normalized=False,
                          query_template="", document_template="")


def manifest(path):
    return json.loads((path / "manifest.json").read_text())


def segment_sizes(path):
    """Rows not deleted, per segment of the current commit."""
    sizes = []
    for entry in manifest(path)["segments"]:
        deleted = 0
        if entry["tombstones"] is not None:
            deleted = len(np.load(path / f"segment-{entry['id']}.tombstones-{entry['tombstones']}.npy"))
        sizes.append(entry["documents"] - deleted)
    return sizes


def fullest_level(sizes):
    counts = {}
    for size in sizes:
        level = len(str(max(size, 1))) - 1  # floor(log10(max(size, 1)))
        counts[level] = counts.get(level, 0) + 1
    return max(counts.values(), default=0)


def test_surface(tmp_path):
    writer = VectorStoreWriter.create(tmp_path / "s", "docs", rep())
    assert writer.merge_at_commit is False
    writer.merge_at_commit = True
    assert writer.merge_at_commit is True
    for wrong in (1, None, "yes"):
        with pytest.raises(TypeError, match="^merge_at_commit must be a bool, not "):
            writer.merge_at_commit = wrong
    with pytest.raises(TypeError, match="^cannot delete merge_at_commit$"):
        del writer.merge_at_commit
    assert writer.merge_at_commit is True
    assert writer.merge() == 0
    writer.close()
    assert VectorStoreWriter(tmp_path / "s").merge_at_commit is False
    for use in (writer.merge, lambda: writer.merge_at_commit, lambda: setattr(writer, "merge_at_commit", False)):
        with pytest.raises(ValueError, match="is closed$"):
            use()


@pytest.mark.parametrize("encoding", ["float32", "int8"])
def test_small_commits_stay_few_segments_with_unchanged_documents(tmp_path, encoding):
    """Many small commits with merge_at_commit: no size level ever holds ten
    segments, and every document reads back as appended last."""
    path = tmp_path / "s"
    rng = np.random.default_rng(5)
    writer = VectorStoreWriter.create(path, "docs", rep(), encoding=encoding)
    writer.merge_at_commit = True
    model = {}
    for step in range(150):
        count = int(rng.integers(1, 4)) if step % 17 else 30
        ids = sorted({f"d{i}" for i in rng.integers(0, 300, count)})
        lengths = rng.integers(1, 4, len(ids))
        vectors = rng.standard_normal((int(lengths.sum()), DIMENSION)).astype(np.float32)
        writer.append(ids, vectors, lengths)
        for i, part in zip(ids, np.split(vectors, np.cumsum(lengths)[:-1])):
            model[i] = int8_decode(*int8_encode(part), False) if encoding == "int8" else part
        if step % 5 == 0:
            gone = [f"d{i}" for i in rng.integers(0, 300, 3)]
            assert writer.delete(gone) == len({g for g in gone if g in model})
            for g in gone:
                model.pop(g, None)
        writer.commit()
        assert fullest_level(segment_sizes(path)) < MERGE_FACTOR
    assert len(manifest(path)["segments"]) < 30
    assert writer.merge() == 0
    view = VectorStore(path).view()
    assert view.document_ids == sorted(model)
    vectors, lengths = view.fetch(sorted(model))
    # The int8 reference is NumPy's rounding of the same arithmetic.
    np.testing.assert_allclose(vectors, np.concatenate([model[i] for i in sorted(model)]), rtol=1e-6, atol=1e-7)
    assert list(lengths) == [len(model[i]) for i in sorted(model)]


def test_merge_and_the_sources_of_its_segment(tmp_path):
    path = tmp_path / "s"
    writer = VectorStoreWriter.create(path, "docs", rep())
    vectors = np.arange(30, dtype=np.float32).reshape(10, DIMENSION)
    for i in range(10):
        writer.append([f"d{i}"], vectors[i:i + 1], [1])
        writer.commit()
    appended = [entry["id"] for entry in manifest(path)["segments"]]
    store = VectorStore(path)
    assert store.segment_sources(appended[0]) is None
    before = store.view()

    assert writer.merge() == MERGE_FACTOR
    assert manifest(path)["segments"] == [{"id": a, "documents": 1, "tokens": 1, "tombstones": None}
                                          for a in appended]  # nothing visible before the commit
    writer.commit()
    [merged] = manifest(path)["segments"]
    assert merged["documents"] == 10
    assert VectorStore(path).view().fetch([f"d{i}" for i in range(10)])[0].tolist() == vectors.tolist()
    assert before.fetch(["d3"])[0].tolist() == vectors[3:4].tolist()

    sources = store.segment_sources(merged["id"])
    assert sources.dtype == np.uint64 and sources.shape == (10, 3)
    assert sources[:, 0].tolist() == appended
    assert sources[:, 1].tolist() == [0] * 10
    assert len(set(sources[:, 2].tolist())) == 10  # each segment's own fingerprint
    with pytest.raises(ValueError):
        sources[0, 0] = 1
    for absent in (appended[0], merged["id"] + 1):
        with pytest.raises(ValueError) as info:
            store.segment_sources(absent)
        assert str(info.value) == f"segment {absent} is not in the current commit of vector store {path}"
    with pytest.raises(OverflowError):
        store.segment_sources(-1)
    with pytest.raises(TypeError):
        store.segment_sources("1")
