import os
import sys
import threading

import numpy as np
import pytest

from quillmark import _native
from quillmark._native import maxsim_scores_packed

import native_testing

testing = native_testing.load()

# Every test of this file runs on each way the kernel multiplies (the BLAS
# product then the maximum, or a fused routine), forced through the test-only
# module; against a wheel without it, once on the kernel's own choice.
KERNEL_PATHS = ["chosen"] if isinstance(testing, native_testing.Absent) else ["blas", "fused_avx2", "fused_avx512"]


@pytest.fixture(autouse=True, params=KERNEL_PATHS)
def kernel_path(request):
    if request.param == "chosen":
        yield request.param
        return
    if not testing.force_kernel_path(request.param):
        pytest.skip(f"this processor cannot run the {request.param} path")
    try:
        yield request.param
    finally:
        testing.force_kernel_path(None)


def reference(query, documents, lengths):
    """MaxSim as a user would write it, in float64."""
    out, start = [], 0
    for n in lengths:
        sims = query.astype(np.float64) @ documents[start : start + n].astype(np.float64).T
        out.append(sims.max(axis=1).sum())
        start += n
    return np.array(out)


def corpus(rng, lengths, dim=16, query_tokens=4):
    q = rng.standard_normal((query_tokens, dim), dtype=np.float32)
    d = rng.standard_normal((int(sum(lengths)), dim), dtype=np.float32)
    return q, d, np.asarray(lengths, dtype=np.int64)


def test_small_example_by_hand():
    q = np.array([[1, 0], [0, 1]], np.float32)
    d = np.array([[1, 2], [3, -1], [0, 5], [-2, -2]], np.float32)
    scores = maxsim_scores_packed(q, d, np.array([3, 1]))
    assert scores.dtype == np.float32 and scores.shape == (2,)
    assert scores.tolist() == [8.0, -4.0]
    assert scores.flags.writeable and scores.flags.c_contiguous


@pytest.mark.parametrize("max_batch_tokens", [None, 1, 3, 4, 1000])
@pytest.mark.parametrize("threads", [None, 1, 2, 4])
def test_matches_reference_for_any_batching_and_threads(rng, max_batch_tokens, threads):
    q, d, lengths = corpus(rng, [3, 1, 7, 2, 30, 1, 5, 64, 9])
    scores = maxsim_scores_packed(q, d, lengths, max_batch_tokens=max_batch_tokens, threads=threads)
    np.testing.assert_allclose(scores, reference(q, d, lengths), rtol=1e-5, atol=1e-4)
    # For one batch bound, the thread count never changes a single bit.
    same_batches = maxsim_scores_packed(q, d, lengths, max_batch_tokens=max_batch_tokens)
    assert scores.tobytes() == same_batches.tobytes()


def _scores(q, d, lengths, path, **kwargs):
    if not testing.force_max_path(path):
        pytest.skip(f"this processor cannot run the {path} maximum")
    try:
        return maxsim_scores_packed(q, d, lengths, **kwargs)
    finally:
        testing.force_max_path(None)


@pytest.mark.native_testing
@pytest.mark.parametrize("query_tokens", [1, 7, 16, 32, 33])
def test_wide_maximum_gives_the_portable_bits(rng, query_tokens):
    q, d, lengths = corpus(rng, [1, 7, 8, 9, 31, 32, 33, 100, 257], dim=32, query_tokens=query_tokens)
    d[5, 3] = np.nan  # a NaN similarity in document 1 for every query token
    portable = _scores(q, d, lengths, "portable", max_batch_tokens=64)
    wide = _scores(q, d, lengths, "avx2", max_batch_tokens=64, threads=2)
    assert wide.tobytes() == portable.tobytes()
    finite = np.arange(len(lengths)) != 1
    np.testing.assert_allclose(portable[finite], reference(q, d, lengths)[finite], rtol=1e-5, atol=1e-4)


@pytest.mark.native_testing
def test_nan_similarity_never_wins_the_maximum():
    # Similarities [1, 10, 2, NaN, 3]: the maximum skips the NaN (10, as
    # NumPy's nanmax) whatever routine runs.
    q = np.array([[1, 0]], np.float32)
    d = np.array([[1, 0], [10, 0], [2, 0], [np.nan, 0], [3, 0]], np.float32)
    lengths = np.array([5], np.int64)
    for path in ("portable", "avx2"):
        if testing.force_max_path(path):
            testing.force_max_path(None)
            assert _scores(q, d, lengths, path).tolist() == [np.nanmax(d @ q.T)] == [10.0]
    testing.force_max_path("portable")
    try:
        assert maxsim_scores_packed(q, d, lengths).tolist() == [10.0]
    finally:
        testing.force_max_path(None)


@pytest.mark.native_testing
@pytest.mark.parametrize("threads", [None, 1, 2])
def test_blas_product_only_runs_every_batch_shape(rng, threads):
    q, d, lengths = corpus(rng, [3, 1, 7, 2, 30, 1, 5, 64, 9])
    for bound in (None, 1, 4, 64):
        for orientation in ("query_by_batch", "batch_by_query"):
            kwargs = {"max_batch_tokens": bound, "threads": threads, "orientation": orientation}
            assert testing.blas_product_only(q, d, lengths, **kwargs) is None
    with pytest.raises(ValueError):
        testing.blas_product_only(q, d, lengths, orientation="sideways")
    assert testing.blas_product_only(q, np.zeros((0, 16), np.float32), np.zeros(0, np.int64)) is None
    with pytest.raises(TypeError):
        testing.blas_product_only(q.astype(np.float64), d, lengths)
    with pytest.raises(TypeError):
        testing.blas_product_only(q, d, lengths, 4)  # keyword-only


def test_scores_array_owns_its_buffer(rng):
    q, d, lengths = corpus(rng, [5, 5])
    scores = maxsim_scores_packed(q, d, lengths)
    # The kernel's own buffer, handed over without a copy: the array does not
    # hold NumPy-allocated data, its base is the native owner of the buffer
    # (a capsule, not any input array), and it is writeable.
    assert not scores.flags.owndata
    assert type(scores.base).__name__ == "PyCapsule"
    assert scores.flags.writeable and scores.flags.c_contiguous
    assert not any(np.shares_memory(scores, x) for x in (q, d, lengths))


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.native_testing
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="resident memory is read from /proc")
@pytest.mark.parametrize("threads", [1, None])
@pytest.mark.parametrize("entry", ["maxsim_scores_packed", "blas_product_only"])
def test_a_thread_keeps_at_most_16_mib_of_scratch(rng, entry, threads):
    # 64 query tokens against two documents of 2**18 tokens, one batch each:
    # a whole batch's similarity block would take 64 MiB. Each of the (at
    # most two) threads that run them may keep 16 MiB; nothing else may stay.
    score = maxsim_scores_packed if entry == "maxsim_scores_packed" else testing.blas_product_only
    q = rng.standard_normal((64, 1), dtype=np.float32)
    lengths = np.array([2**18, 2**18], np.int64)
    d = rng.standard_normal((int(lengths.sum()), 1), dtype=np.float32)
    small_q, small_d, small_lengths = corpus(rng, [5, 3])
    score(small_q, small_d, small_lengths, threads=threads)
    assert testing.retained_scratch_bytes() > 0  # a small block stays for the next call
    before = _resident_bytes()
    scores = score(q, d, lengths, threads=threads)
    grown = _resident_bytes() - before
    assert testing.retained_scratch_bytes() <= 16 << 20
    assert grown < 64 << 20
    if scores is not None:  # dimension 1: the best similarity is q times the largest or smallest row
        halves = d[:, 0].reshape(2, -1).astype(np.float64)
        q64 = q[:, 0].astype(np.float64)[:, None]
        want = np.where(q64 >= 0, q64 * halves.max(1), q64 * halves.min(1)).sum(0)
        np.testing.assert_allclose(scores, want, rtol=1e-5)


def test_no_documents():
    q = np.ones((2, 4), np.float32)
    empty = maxsim_scores_packed(q, np.zeros((0, 4), np.float32), np.zeros(0, np.int64))
    assert empty.dtype == np.float32 and empty.shape == (0,)
    with pytest.raises(ValueError, match=r"^document lengths sum to 0, but documents contain 1 rows$"):
        maxsim_scores_packed(q, np.zeros((1, 4), np.float32), np.zeros(0, np.int64))


@pytest.mark.native_testing
@pytest.mark.parametrize(
    "query, documents, lengths, kwargs, message",
    [
        ((0, 4), (3, 4), [3], {}, "query must have shape [tokens, dimension] with non-zero axes"),
        ((2, 0), (3, 0), [3], {}, "query must have shape [tokens, dimension] with non-zero axes"),
        ((2, 4), (3, 5), [3], {}, "query dimension 4 differs from document dimension 5"),
        ((2, 4), (4, 4), [2, 0], {}, "document length at position 1 must be positive"),
        ((2, 4), (5, 4), [2, 2], {}, "document lengths sum to 4, but documents contain 5 rows"),
        ((2, 4), (4, 4), [2, -1], {}, "document length at position 1 must be positive"),
        ((2, 4), (4, 4), [4], {"max_batch_tokens": 0}, "max_batch_tokens must be positive"),
        ((2, 4), (4, 4), [4], {"max_batch_tokens": 2**31}, "max_batch_tokens exceeds the 32-bit BLAS interface"),
        ((2, 4), (4, 4), [4], {"threads": 0}, "threads must be positive"),
        ((2, 4), (4, 4), [4, 2**31], {}, "document length at position 1 exceeds the 32-bit BLAS interface"),
        # The lengths are checked before the row count: position 0 wins.
        ((2, 4), (4, 4), [0, 2**31], {"max_batch_tokens": 1}, "document length at position 0 must be positive"),
    ],
)
@pytest.mark.parametrize("entry", ["maxsim_scores_packed", "blas_product_only"])
def test_invalid_input_messages(entry, query, documents, lengths, kwargs, message):
    # The product-only hook validates exactly like the function it measures.
    fn = maxsim_scores_packed if entry == "maxsim_scores_packed" else testing.blas_product_only
    q = np.ones(query, np.float32)
    d = np.ones(documents, np.float32)
    with pytest.raises(ValueError) as info:
        fn(q, d, np.array(lengths, np.int64), **kwargs)
    assert str(info.value) == message
    assert type(info.value) is ValueError


@pytest.mark.parametrize("shape", [(2**31, 1), (1, 2**31)], ids=["rows", "dimension"])
def test_query_shape_beyond_32_bits_is_refused_before_any_work(tmp_path, shape):
    # C-contiguous arrays of 2**31 values over a sparse file: address space,
    # no memory. The kernel must refuse them before it reads a value.
    backing = tmp_path / "sparse"
    with open(backing, "wb") as f:
        f.truncate(2**31 * 4)
    q = np.memmap(backing, dtype=np.float32, mode="r", shape=shape)
    d = q if shape[0] == 1 else np.ones((1, 1), np.float32)
    with pytest.raises(ValueError) as info:
        maxsim_scores_packed(q, d, np.array([1]))
    assert str(info.value) == "query shape exceeds the 32-bit BLAS interface"
    del q, d


@pytest.mark.parametrize(
    "make_args",
    [
        lambda q, d, n: (q.astype(np.float64), d, n),
        lambda q, d, n: (q, d.astype(np.float64), n),
        lambda q, d, n: (q.tolist(), d, n),
        lambda q, d, n: (q[0], d, n),
        lambda q, d, n: (q, d[None], n),
        lambda q, d, n: (q, d, n.astype(np.int32)),
        lambda q, d, n: (q, d, n.tolist()),
        lambda q, d, n: (q, d, n.reshape(1, -1)),
        lambda q, d, n: (q.astype(">f4"), d, n),
        lambda q, d, n: (np.asfortranarray(q), d, n),
        lambda q, d, n: (q, d.T.copy().T, n),
    ],
    ids=["q64", "d64", "qlist", "q1d", "d3d", "len32", "lenlist", "len2d", "bigendian", "qfortran", "dfortran"],
)
def test_wrong_types_and_layouts_raise_type_error(rng, make_args):
    q, d, lengths = corpus(rng, [2, 2], dim=4, query_tokens=3)
    with pytest.raises(TypeError):
        maxsim_scores_packed(*make_args(q, d, lengths))


def test_argument_parsing():
    q = np.ones((1, 2), np.float32)
    with pytest.raises(TypeError):
        maxsim_scores_packed(q, q, np.array([1]), None)  # keyword-only
    with pytest.raises(TypeError):
        maxsim_scores_packed(q, q)
    with pytest.raises(TypeError):
        maxsim_scores_packed(q, q, np.array([1]), threads="2")
    with pytest.raises(OverflowError):
        maxsim_scores_packed(q, q, np.array([1]), threads=-1)
    assert maxsim_scores_packed(q, q, np.array([1]), threads=np.int64(1)).tolist() == [2.0]


def test_many_python_threads_score_concurrently(rng):
    q, d, lengths = corpus(rng, list(rng.integers(1, 60, size=200)), dim=32, query_tokens=8)
    expected = maxsim_scores_packed(q, d, lengths)
    results, errors = [], []

    def work(threads):
        try:
            for _ in range(20):
                results.append(maxsim_scores_packed(q, d, lengths, threads=threads).tobytes())
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    workers = [threading.Thread(target=work, args=(t,)) for t in (None, 1, 2, 3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not errors
    assert set(results) == {expected.tobytes()}


def test_releases_the_interpreter_lock(rng):
    # While one thread scores a large batch, another thread keeps running Python.
    q, d, lengths = corpus(rng, [4000] * 50, dim=128, query_tokens=32)
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1

    t = threading.Thread(target=count)
    t.start()
    try:
        for _ in range(3):
            maxsim_scores_packed(q, d, lengths, threads=1)
    finally:
        done.set()
        t.join()
    assert ticks > 1000


def test_function_module():
    assert maxsim_scores_packed.__module__ == "quillmark._native"


_BLAS_THREADS_CHILD = """
import json, os, sys
import numpy as np
import threadpoolctl

numpy_libs = os.path.realpath(os.path.join(os.path.dirname(np.__file__), os.pardir, "numpy.libs")) + os.sep

def blas():
    libs = [lib for lib in threadpoolctl.ThreadpoolController().lib_controllers if lib.user_api == "blas"]
    numpys = [lib for lib in libs if os.path.realpath(lib.filepath).startswith(numpy_libs)]
    others = [lib for lib in libs if lib not in numpys]
    return numpys, others

for lib in blas()[0]:
    lib.set_num_threads(2)
before = [lib.get_num_threads() for lib in blas()[0]]
from quillmark._native import maxsim_scores_packed
try:  # the BLAS path, whose product this is about (the shape may choose a fused one)
    from quillmark import _native_testing
    forced = _native_testing.force_kernel_path("blas")
except ImportError:
    forced = False
rng = np.random.default_rng(1)
q = rng.standard_normal((8, 32), dtype=np.float32)
d = rng.standard_normal((20 * 50, 32), dtype=np.float32)
maxsim_scores_packed(q, d, np.full(20, 50, np.int64), threads=2)
numpys, others = blas()
json.dump({"forced": forced, "before": before, "numpy": [lib.get_num_threads() for lib in numpys], "others": [lib.get_num_threads() for lib in others]},
          sys.stdout)
"""


def test_scoring_leaves_numpys_blas_threads_alone():
    # The kernel sets its own BLAS single-threaded on its first product.
    # NumPy's BLAS is another library in the same process: in a fresh
    # interpreter that set NumPy's to 2 threads, the first scoring must leave
    # it at 2 (it would not, were the kernel's BLAS calls resolved to NumPy's
    # library) and set the kernel's own to 1.
    import json
    import subprocess

    pytest.importorskip("threadpoolctl")
    child = subprocess.run([sys.executable, "-c", _BLAS_THREADS_CHILD], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    counts = json.loads(child.stdout)
    if not counts["forced"]:
        pytest.skip("the BLAS path is forced through quillmark._native_testing, which is absent")
    if counts["before"] != [2]:
        pytest.skip(f"NumPy's BLAS does not take a thread count of 2 here: {counts['before']}")
    assert counts["numpy"] == [2]
    assert counts["others"] == [1]
