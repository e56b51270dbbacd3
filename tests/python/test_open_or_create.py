"""Open-or-create: the same code makes a store or collection on the first run
and appends to it on every later one, and refuses one of other settings."""

import numpy as np
import pytest

import quillmark
from quillmark import Representation

R = Representation("open-test", "1", 4, True)


def _append(writer, ids):
    rows = np.eye(4, dtype=np.float32)[: len(ids)]
    writer.append(ids, rows, np.ones(len(ids), dtype=np.int64))
    writer.commit()
    writer.close()


def test_store_is_made_once_then_opened(tmp_path):
    path = tmp_path / "s"
    _append(quillmark.open_or_create_store(path, "docs", R), ["a", "b"])
    _append(quillmark.open_or_create_store(path, "docs", R), ["c"])
    assert quillmark.VectorStore(path).view().document_ids == ["a", "b", "c"]


@pytest.mark.parametrize("corpus, representation, encoding, error, message", [
    ("other", R, "float32", ValueError, "holds the corpus 'docs', not 'other'"),
    ("docs", R, "int8", ValueError, "is encoded as float32, not int8"),
    ("docs", Representation("another-model", "1", 4, True), "float32", quillmark.IncompatibleQueryError, "encoder"),
])
def test_store_of_other_settings_is_refused(tmp_path, corpus, representation, encoding, error, message):
    _append(quillmark.open_or_create_store(tmp_path / "s", "docs", R), ["a"])
    with pytest.raises(error, match=message):
        quillmark.open_or_create_store(tmp_path / "s", corpus, representation, encoding=encoding)
    assert quillmark.VectorStore(tmp_path / "s").view().document_ids == ["a"]


def test_collection_quickstart_runs_twice(tmp_path):
    pytest.importorskip("tokenizers", reason="the tiny test encoder needs the tokenizers library")
    from tiny_encoder import tiny_encoder

    for run in range(2):
        with quillmark.Collection.open_or_create(tmp_path / "c", tiny_encoder()) as docs:
            docs.add([f"d{run}"], [f"the weather is lovely today {'sunny ' * run}"])
            docs.commit()
            assert [hit.id for hit in docs.search("weather", limit=5)] == (["d0"] if run == 0 else ["d0", "d1"])
    with pytest.raises(ValueError, match="holds float32 vectors, not int8"):
        quillmark.Collection.open_or_create(tmp_path / "c", tiny_encoder(), encoding="int8")
