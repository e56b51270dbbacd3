"""The document lengths the writer accepts."""

import numpy as np
import pytest

from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation

REP = Representation(encoder="enc", encoder_revision="r1", dimension=4, normalized=False, query_template="",
                     document_template="")


@pytest.fixture
def store(tmp_path):
    """A store at commit 1 holding document a, with no writer open."""
    path = tmp_path / "store"
    writer = VectorStoreWriter.create(path, "docs", REP)
    writer.append(["a"], np.ones((2, 4), np.float32), [2])
    writer.commit()
    return path


def test_append_accepts_integer_lengths_only(store):
    path = store
    writer = VectorStoreWriter(path)
    rows = np.ones((4, 4), np.float32)
    with pytest.raises(TypeError, match=r"^argument 'document_lengths' must hold integers, not float$"):
        writer.append(["b"], rows, [4.7])
    with pytest.raises(TypeError, match=r"^argument 'document_lengths' must hold integers, not float64$"):
        writer.append(["b"], rows, np.array([4.0]))
    # The largest uint64 is a length too large for the rows, never a negative one.
    with pytest.raises(ValueError, match="^document lengths do not match packed embedding rows$"):
        writer.append(["b"], rows, np.array([2**64 - 1], np.uint64))
    with pytest.raises(ValueError, match=r"^argument 'document_lengths': document length at position 0 exceeds"):
        writer.append(["b"], rows, [2**64])
    writer.commit()
    assert VectorStore(path).view().document_ids == ["a"]
    writer.append(["b", "c"], rows, np.array([1, 3], np.uint16))
    writer.commit()
    assert VectorStore(path).view().document_lengths(["b", "c"]) == {"b": 1, "c": 3}
