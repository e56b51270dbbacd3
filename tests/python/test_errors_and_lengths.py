"""What callers can tell from the exceptions of real storage failures, and the
document lengths the writer accepts."""

import errno
import os

import numpy as np
import pytest

from quillmark import CommitNotDurableError, VectorStore, VectorStoreWriter
from quillmark.representation import Representation

import native_testing

testing = native_testing.load()

PUBLISHED_UNSYNCED = "manifest published but directory synchronization failed; retry commit or reopen the writer: "


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


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


@pytest.mark.native_testing
def test_os_errors_carry_errno_and_keep_their_text(store, tmp_path):
    path = store
    writer = VectorStoreWriter(path)
    cases = [
        (lambda: VectorStore(tmp_path / "missing"), FileNotFoundError, errno.ENOENT, os_text(errno.ENOENT)),
        (lambda: VectorStoreWriter(tmp_path / "missing"), FileNotFoundError, errno.ENOENT, os_text(errno.ENOENT)),
        (lambda: VectorStoreWriter(path), BlockingIOError, errno.EAGAIN,
         f"vector store is already open for writing: {path}"),
        (lambda: VectorStoreWriter.create(path, "docs", REP), FileExistsError, errno.EEXIST,
         f"vector store already exists: {path}"),
    ]
    for call, exc_type, code, text in cases:
        with pytest.raises(exc_type) as info:
            call()
        assert type(info.value) is exc_type
        assert (info.value.errno, str(info.value), info.value.args) == (code, text, (text,))
    del writer  # releases the store's lock
    # A full disk at the manifest's rename: nothing is published.
    with pytest.raises(OSError) as info:
        testing.commit_failing(path, "manifest_rename", errno.ENOSPC)
    assert type(info.value) is OSError and not isinstance(info.value, CommitNotDurableError)
    assert (info.value.errno, str(info.value)) == (errno.ENOSPC, os_text(errno.ENOSPC))
    assert VectorStore(path).view().commit == 1


@pytest.mark.native_testing
def test_commit_published_without_directory_flush_has_its_own_exception(store):
    path = store
    with pytest.raises(CommitNotDurableError) as info:
        testing.commit_failing(path, "published_manifest_flush", errno.EIO)
    assert str(info.value) == PUBLISHED_UNSYNCED + os_text(errno.EIO)
    assert isinstance(info.value, ValueError) and CommitNotDurableError.__module__ == "quillmark"
    # Readers already see the commit; reopening the writer and committing go on from it.
    assert VectorStore(path).view().commit == 2
    VectorStoreWriter(path).commit()
    assert VectorStore(path).view().commit == 3


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
