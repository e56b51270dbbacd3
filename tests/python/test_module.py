import datetime as dt
import errno
import os
import sys

import numpy as np
import pytest

import quillmark
from quillmark import _native

import native_testing

testing = native_testing.load()


def test_exception_types():
    for name in ("IncompatibleIndexError", "IncompatibleQueryError", "CommitNotDurableError"):
        t = getattr(_native, name)
        assert issubclass(t, ValueError)
        assert t.__name__ == name and t.__module__ == "quillmark"
        assert getattr(quillmark, name) is t


@pytest.mark.native_testing
@pytest.mark.parametrize(
    "kind, exc_type, text",
    [
        ("index", "IncompatibleIndexError", "index message"),
        ("query", "IncompatibleQueryError", "query message"),
        ("invalid", ValueError, "invalid message"),
        ("storage", ValueError, "storage message"),
        ("score_count", ValueError, "2 scores were returned for 5 candidates"),
        ("nan", ValueError, "the score of candidate 3 is NaN"),
        ("io_message", OSError, "failed to fill whole buffer"),
    ],
)
def test_error_variants_map_to_exceptions(kind, exc_type, text):
    if isinstance(exc_type, str):
        exc_type = getattr(_native, exc_type)
    with pytest.raises(exc_type) as info:
        testing.raise_error(kind)
    assert type(info.value) is exc_type
    assert str(info.value) == text
    if isinstance(info.value, OSError):  # an I/O error without an OS number carries its kind's
        assert info.value.errno == errno.EIO


@pytest.mark.native_testing
@pytest.mark.parametrize(
    "code, exc_type",
    [
        (errno.ENOENT, FileNotFoundError),
        (errno.EACCES, PermissionError),
        (errno.EEXIST, FileExistsError),
        (errno.ENOTDIR, NotADirectoryError),
        (errno.EISDIR, IsADirectoryError),
        (errno.ECONNREFUSED, ConnectionRefusedError),
        (errno.ECONNRESET, ConnectionResetError),
        (errno.ECONNABORTED, ConnectionAbortedError),
        (errno.EPIPE, BrokenPipeError),
        (errno.EAGAIN, BlockingIOError),
        (errno.ETIMEDOUT, TimeoutError),
        (errno.EINTR, InterruptedError),
        (errno.ENOMEM, MemoryError),
        (errno.ENOSPC, OSError),
        (errno.EXDEV, OSError),
        (errno.ENOTEMPTY, OSError),
    ],
)
def test_io_errors_map_to_os_error_subclasses(code, exc_type):
    with pytest.raises(exc_type) as info:
        testing.raise_error("errno", code)
    assert type(info.value) is exc_type
    assert str(info.value) == f"{os.strerror(code)} (os error {code})"
    if exc_type is not MemoryError:
        assert info.value.errno == code and info.value.strerror is None


@pytest.mark.native_testing
def test_carried_python_exception_is_reraised_unchanged():
    original = KeyError("mine")
    try:
        raise original
    except KeyError as e:
        caught = e
    tb = caught.__traceback__
    with pytest.raises(KeyError) as info:
        testing.raise_error("python", caught)
    assert info.value is original
    # The original traceback is kept and extended, never replaced.
    frames = []
    t = info.value.__traceback__
    while t is not None:
        frames.append(t)
        t = t.tb_next
    assert tb in frames


@pytest.mark.native_testing
def test_cpp_exceptions_never_escape():
    with pytest.raises(BaseException) as info:
        testing.raise_error("invariant")
    assert not isinstance(info.value, Exception)
    assert type(info.value).__bases__ == (BaseException,)
    assert str(info.value) == "an invariant broke"
    with pytest.raises(MemoryError):
        testing.raise_error("bad_alloc")
    with pytest.raises(BaseException) as info:
        testing.raise_error("logic")
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "a stray C++ exception"


@pytest.mark.native_testing
def test_error_debug_forms():
    assert testing.error_debug("invalid") == 'InvalidInput("bad \\"x\\"")'
    assert testing.error_debug("nan") == "Ranking(NanScore(3))"
    assert testing.error_debug("count") == "Ranking(ScoreCount { candidates: 5, scores: 2 })"
    assert testing.error_debug("io").startswith("Io(Os { code: 2, ")


@pytest.mark.native_testing
class TestConversions:
    def test_document_ids(self):
        with pytest.raises(TypeError, match="^expected an iterable of document IDs, not a single string$"):
            testing.document_ids("abc")
        with pytest.raises(TypeError, match="^expected an iterable of document IDs, not a single string$"):
            testing.document_ids(type("S", (str,), {})("abc"))
        assert testing.document_ids(["abc"]) == ["abc"]
        assert testing.document_ids(x for x in ["b", "a", "b"]) == ["b", "a", "b"]
        assert testing.document_ids([]) == []
        assert testing.document_ids(["é", "\x00", "😀"]) == ["é", "\x00", "😀"]
        with pytest.raises(TypeError):
            testing.document_ids([1, 2])
        with pytest.raises(TypeError):
            testing.document_ids(5)

    def test_document_ids_propagates_iterator_errors(self):
        def broken():
            yield "a"
            raise RuntimeError("boom")

        with pytest.raises(RuntimeError, match="boom"):
            testing.document_ids(broken())

    @pytest.mark.parametrize(
        "value, expected",
        [
            ([3, 0, 2], [3, 0, 2]),
            ((1, 2), [1, 2]),
            (range(3), [0, 1, 2]),
            (np.array([1, 2], np.int32), [1, 2]),
            (np.array([1, 2], ">i2"), [1, 2]),
            (np.arange(10, dtype=np.int64)[::3], [0, 3, 6, 9]),
            (np.array([True, False]), [1, 0]),
            ([], []),
            (np.array([], np.uint8), []),
            ([np.int64(7), True, np.uint8(3), np.True_], [7, 1, 3, 1]),
            # the whole unsigned 64-bit range, never wrapped to a negative
            ([2**64 - 1], [2**64 - 1]),
            (np.array([2**64 - 1, 5], np.uint64), [2**64 - 1, 5]),
            (np.array([2**63, 1], object), [2**63, 1]),
        ],
    )
    def test_lengths(self, value, expected):
        assert testing.lengths(value) == expected

    @pytest.mark.parametrize(
        "value, error, text",
        [
            # floats are refused, never truncated, whatever their values
            ([4.7], TypeError, "argument 'document_lengths' must hold integers, not float"),
            ([3, 4.0], TypeError, "argument 'document_lengths' must hold integers, not float"),
            ([np.float32(2)], TypeError, "argument 'document_lengths' must hold integers, not numpy.float32"),
            (np.array([4.0, 5.0]), TypeError, "argument 'document_lengths' must hold integers, not float64"),
            (np.array([], np.float64), TypeError, "argument 'document_lengths' must hold integers, not float64"),
            (np.array(["3"]), TypeError, "argument 'document_lengths' must hold integers, not <U1"),
            ([None], TypeError, "argument 'document_lengths' must hold integers, not NoneType"),
            (np.array([1, 2.5], object), TypeError, "argument 'document_lengths' must hold integers, not float"),
            ([2**64], ValueError, "argument 'document_lengths': document length at position 0 exceeds 2**64 - 1"),
            ([1, -(2**70)], ValueError, "document length at position 1 must be positive"),
            ([3, -1], ValueError, "document length at position 1 must be positive"),
            (np.array([-1], np.int8), ValueError, "document length at position 0 must be positive"),
            (np.ones((2, 2), np.int64), TypeError, "document lengths must convert to a one-dimensional int64 array"),
            ([[1, 2]], TypeError, "document lengths must convert to a one-dimensional int64 array"),
            ("12", TypeError, "document lengths must convert to a one-dimensional int64 array"),
            (5, TypeError, "document lengths must convert to a one-dimensional int64 array"),
        ],
    )
    def test_lengths_errors(self, value, error, text):
        with pytest.raises(error) as info:
            testing.lengths(value)
        assert type(info.value) is error and str(info.value) == text

    @pytest.mark.parametrize(
        "make",
        [
            lambda a: a,
            lambda a: np.asfortranarray(a),
            lambda a: a.T.copy().T,
            lambda a: a.astype(np.float64),
            lambda a: a.tolist(),
            lambda a: np.ascontiguousarray(a[::-1])[::-1],
            lambda a: np.repeat(a, 2, axis=1)[:, ::2],
            lambda a: a.astype(">f4"),
        ],
        ids=["c", "fortran", "transposed", "float64", "list", "negative-stride", "strided", "bigendian"],
    )
    def test_row_major_reads_any_layout(self, make):
        a = np.arange(12, dtype=np.float32).reshape(3, 4) / 7
        rows, cols, values = testing.row_major(make(a))
        assert (rows, cols) == (3, 4)
        assert values == a.ravel().tolist()

    def test_row_major_shapes(self):
        assert testing.row_major(np.zeros((0, 128), np.float32)) == (0, 128, [])
        assert testing.row_major(np.ones((1, 1), np.float32)[:, :]) == (1, 1, [1.0])
        with pytest.raises(TypeError):
            testing.row_major(np.zeros(5, np.float32))
        with pytest.raises((TypeError, ValueError)):
            testing.row_major("not numbers")

    def test_optional_count(self):
        assert testing.optional_count(None) is None
        assert testing.optional_count(0) == 0
        assert testing.optional_count(np.uint64(2**64 - 1)) == 2**64 - 1
        with pytest.raises(OverflowError):
            testing.optional_count(-1)
        with pytest.raises(OverflowError):
            testing.optional_count(2**64)
        with pytest.raises(TypeError):
            testing.optional_count(1.0)

    def test_time_values(self):
        utc = dt.timezone.utc
        epoch = dt.datetime(1970, 1, 1, tzinfo=utc)
        assert testing.time_from_py(epoch) == (0, 0)
        t = dt.datetime(2026, 12, 8, 1, 2, 3, 456789, tzinfo=dt.timezone(dt.timedelta(hours=2)))
        seconds, nanos = testing.time_from_py(t)
        assert seconds == int(t.timestamp()) and nanos == 456789000
        with pytest.raises(TypeError):
            testing.time_from_py(dt.datetime(2020, 1, 1))
        with pytest.raises(ValueError):
            testing.time_from_py(dt.datetime(1969, 12, 31, 23, 59, 59, tzinfo=utc))
        back = testing.time_to_py(1, 1500)
        assert back == epoch + dt.timedelta(seconds=1, microseconds=1)
        assert back.tzinfo is utc
        assert testing.time_to_py(86400 * 3 + 5, 999_999_999) == epoch + dt.timedelta(days=3, seconds=5, microseconds=999999)


def test_import_twice_reuses_types():
    import importlib

    before = _native.IncompatibleIndexError
    spec = importlib.util.find_spec("quillmark._native")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again.IncompatibleIndexError is before
    assert again.__all__ == _native.__all__


def test_count_arguments_name_themselves_in_type_errors(tmp_path):
    import quillmark as qm
    from store_builder import StoreBuilder

    builder = StoreBuilder(tmp_path / "s", dimension=2)
    builder.publish()
    view = qm.VectorStore(builder.path).view()
    q = np.ones((1, 2), np.float32)
    calls = {
        "threads": [
            lambda v: qm.maxsim_scores_packed(q, q, np.array([1]), threads=v),
            lambda v: view.fetch([], threads=v),
            lambda v: qm.ResourceBudget(threads=v),
        ],
        "max_batch_tokens": [lambda v: qm.maxsim_scores_packed(q, q, np.array([1]), max_batch_tokens=v)],
    }
    for name, targets in calls.items():
        for call in targets:
            with pytest.raises(TypeError) as info:
                call("2")
            assert str(info.value) == f"argument '{name}' must be an integer, not str"
            with pytest.raises(OverflowError, match=f"^argument '{name}' must not be negative$"):
                call(-1)
            with pytest.raises(OverflowError, match=f"^argument '{name}' is too large$"):
                call(2**64)
