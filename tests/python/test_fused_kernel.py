"""The fused kernel (src/kernel/fused_maxsim.h) against float64 and the BLAS path,
each path forced through the test-only module."""

import numpy as np
import pytest

from quillmark._native import maxsim_scores_packed

import native_testing

testing = native_testing.load()

FUSED = ["fused_avx2", "fused_avx512"]


def _on(path, *args, **kwargs):
    if not testing.force_kernel_path(path):
        pytest.skip(f"this processor cannot run the {path} path")
    try:
        return maxsim_scores_packed(*args, **kwargs)
    finally:
        testing.force_kernel_path(None)


def _unit(rng, rows, dim):
    x = rng.standard_normal((rows, dim)).astype(np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


@pytest.mark.native_testing
@pytest.mark.parametrize("path", FUSED)
@pytest.mark.parametrize(
    "dim, tokens, lengths",
    [(1, 1, [1]), (7, 3, [1, 4097, 2]), (128, 32, [300, 1, 128, 13, 6]), (257, 33, [5, 1, 64]), (96, 17, [12] * 9)],
)
def test_fused_scores_match_float64_and_do_not_depend_on_threads(rng, path, dim, tokens, lengths):
    q, lengths = _unit(rng, tokens, dim), np.asarray(lengths, np.int64)
    d = _unit(rng, int(lengths.sum()), dim)
    sims = d.astype(np.float64) @ q.astype(np.float64).T
    best = np.maximum.reduceat(sims, np.concatenate(([0], np.cumsum(lengths)[:-1])), axis=0)
    want, scale = best.sum(1), np.maximum(np.abs(best).sum(1), 1.0)
    fused = _on(path, q, d, lengths, threads=1)
    blas = _on("blas", q, d, lengths, threads=1)
    assert np.all(np.abs(fused - want) <= 1e-5 * scale)
    assert np.all(np.abs(blas - want) <= 1e-5 * scale)
    for threads, bound in ((2, None), (3, 7), (None, 1)):
        again = _on(path, q, d, lengths, threads=threads, max_batch_tokens=bound)
        assert again.tobytes() == fused.tobytes()
    others = [p for p in FUSED if p != path and testing.force_kernel_path(p)]
    testing.force_kernel_path(None)
    for other in others:  # every fused routine gives the same bits
        assert _on(other, q, d, lengths).tobytes() == fused.tobytes()


@pytest.mark.native_testing
@pytest.mark.parametrize("path", FUSED)
def test_fused_nan_and_infinities_as_the_blas_path(rng, path):
    # Small integers: every product exact, so both paths give the same bits.
    q = rng.integers(-3, 4, (9, 5)).astype(np.float32)
    d = rng.integers(-3, 4, (40, 5)).astype(np.float32)
    d[0] = np.nan  # document 0 (one row): no similarity but NaN, -inf
    d[3, 2] = np.nan  # a NaN row in document 1 never wins
    d[7, 4] = np.inf  # +inf, or NaN for tokens with a zero there
    d[20, 0] = -np.inf
    lengths = np.array([1, 5, 14, 1, 19], np.int64)
    blas = _on("blas", q, d, lengths)
    assert blas[0] == -np.inf
    assert _on(path, q, d, lengths, threads=2, max_batch_tokens=6).tobytes() == blas.tobytes()
