"""MaxSim kernel benchmark: ours against NumPy and the BLAS's own sgemm.

Prints, per case, the best-of-N wall time of maxsim_scores_packed with 1 and 2
threads, two NumPy references (a per-document loop; one product plus
np.maximum.reduceat), and the time of the sgemm calls alone at the kernel's
batch shapes (the limit of this design), with the ratios.
"""

from __future__ import annotations

import ctypes
import os
import sys
import time

import numpy as np
import scipy_openblas32

from quillmark._native import maxsim_scores_packed

DIM = 128
QUERY_TOKENS = 32
KERNEL_BATCH_TOKENS = 32768
REPEATS = int(os.environ.get("BENCH_REPEATS", "5"))


def best_time(fn, repeats=REPEATS, budget=0.5):
    """Best wall time of `repeats` runs, or more while within `budget` seconds."""
    fn()  # warm-up
    best, spent, runs = float("inf"), 0.0, 0
    while runs < repeats or spent < budget:
        t0 = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - t0
        best, spent, runs = min(best, elapsed), spent + elapsed, runs + 1
    return best


def numpy_loop(q, docs, lengths):
    out = np.empty(len(lengths), np.float32)
    start = 0
    for i, n in enumerate(lengths):
        out[i] = (q @ docs[start : start + n].T).max(1).sum()
        start += n
    return out


def numpy_reduceat(q, docs, lengths):
    offsets = np.concatenate(([0], np.cumsum(lengths)[:-1]))
    sims = docs @ q.T  # [rows, query tokens]
    return np.maximum.reduceat(sims, offsets, axis=0).sum(1)


class Sgemm:
    """The BLAS that the kernel links, called directly through ctypes."""

    def __init__(self):
        path = os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so")
        self.lib = ctypes.CDLL(path)
        self.lib.scipy_openblas_set_num_threads(1)
        self.fn = self.lib.scipy_sgemm_

    def batches(self, lengths, max_tokens=KERNEL_BATCH_TOKENS):
        out, s, offsets = [], 0, np.concatenate(([0], np.cumsum(lengths)))
        n = len(lengths)
        while s < n:
            e = s + 1
            while e < n and offsets[e + 1] - offsets[s] <= max_tokens:
                e += 1
            out.append((int(offsets[s]), int(offsets[e] - offsets[s])))
            s = e
        return out

    def run(self, q, docs, batches, out):
        c_int, c_float, p = ctypes.c_int, ctypes.c_float, ctypes.byref
        ta, tb = ctypes.c_char(b"T"), ctypes.c_char(b"N")
        k, n = c_int(DIM), c_int(q.shape[0])
        one, zero = c_float(1.0), c_float(0.0)
        qp = q.ctypes.data_as(ctypes.c_void_p)
        cp = out.ctypes.data_as(ctypes.c_void_p)
        base = docs.ctypes.data
        for row, rows in batches:
            m = c_int(rows)
            self.fn(p(ta), p(tb), p(m), p(n), p(k), p(one), ctypes.c_void_p(base + row * DIM * 4), p(k), qp, p(k),
                    p(zero), cp, p(m))


def case(name, lengths, rng, sgemm):
    lengths = np.asarray(lengths, np.int64)
    q = rng.standard_normal((QUERY_TOKENS, DIM), dtype=np.float32)
    docs = rng.standard_normal((int(lengths.sum()), DIM), dtype=np.float32)
    ours1 = best_time(lambda: maxsim_scores_packed(q, docs, lengths, threads=1))
    ours2 = best_time(lambda: maxsim_scores_packed(q, docs, lengths, threads=2))
    loop = best_time(lambda: numpy_loop(q, docs, lengths))
    reduce = best_time(lambda: numpy_reduceat(q, docs, lengths))
    batches = sgemm.batches(lengths)
    out = np.empty(KERNEL_BATCH_TOKENS * QUERY_TOKENS + max(r for _, r in batches) * QUERY_TOKENS, np.float32)
    gemm = best_time(lambda: sgemm.run(q, docs, batches, out))
    scores = maxsim_scores_packed(q, docs, lengths)
    np.testing.assert_allclose(scores, numpy_reduceat(q, docs, lengths), rtol=1e-4, atol=1e-3)
    best_numpy = min(loop, reduce)
    flops = 2.0 * lengths.sum() * QUERY_TOKENS * DIM
    print(f"\n{name}: {len(lengths)} documents, {lengths.sum()} tokens")
    print(f"  {'maxsim_scores_packed threads=1':40s} {ours1 * 1e3:9.2f} ms  {len(lengths) / ours1:12,.0f} docs/s")
    print(f"  {'maxsim_scores_packed threads=2':40s} {ours2 * 1e3:9.2f} ms  {len(lengths) / ours2:12,.0f} docs/s")
    print(f"  {'numpy loop (q @ d.T).max(1).sum()':40s} {loop * 1e3:9.2f} ms")
    print(f"  {'numpy one product + maximum.reduceat':40s} {reduce * 1e3:9.2f} ms")
    print(f"  {'sgemm only, 1 thread (same batches)':40s} {gemm * 1e3:9.2f} ms  {flops / gemm / 1e9:8.1f} GFLOP/s")
    print(f"  speed-up over best numpy, threads=2:  {best_numpy / ours2:6.2f}x   threads=1: {best_numpy / ours1:6.2f}x")
    print(f"  share of sgemm-only throughput, threads=1: {gemm / ours1:6.1%}   threads=2 (vs 2x sgemm): "
          f"{gemm / 2 / ours2:6.1%}")


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, OPENBLAS_CORETYPE="
          f"{os.environ.get('OPENBLAS_CORETYPE', '(unset)')}, cpus {os.cpu_count()}")
    rng = np.random.default_rng(0)
    sgemm = Sgemm()
    case("(a) 4000 x 300 tokens", [300] * 4000, rng, sgemm)
    case("(b) 1000 x 16..512 tokens", rng.integers(16, 513, size=1000), rng, sgemm)
    case("(c) latency: 100 x 128 tokens", [128] * 100, rng, sgemm)


if __name__ == "__main__":
    main()
