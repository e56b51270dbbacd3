"""Where the MaxSim kernel stands against the practical peak of one core.

Per core (threads=1), in one process and in shuffled turns (timing.py):

- the practical peak: a square sgemm (N x N x N) on the BLAS the kernel
  ships (the private scipy-openblas32 copy, called through ctypes, one
  thread), timed in every case's group as its reference;
- the kernel at the four cases of bench/maxsim_cases.py (query 32 x 128,
  unit rows): (a) 4,000 x 300, (b) 1,000 x 128 and (d) 100 x 128 in memory,
  (c) the candidates of (b) ids to scores from a float32 and an int8 store;
  each on the BLAS path and on the fused path (forced through the test-only
  module), reported as GFLOP/s of the similarity products (2 * 32 * 128 per
  document row);
- where the BLAS path's time goes: the product alone (the kernel's batches
  and sgemm calls without the maximum, `blas_product_only`), of which the
  share beyond the square-sgemm rate is the skinny shape's cost (packing
  and writing the similarity block); a plain copy of the document rows (what
  packing them once costs at least); the maximum (the whole BLAS path minus
  the product); the pool (CPU time of threads=2 minus threads=1).

Then a sweep over query tokens and dimension, fused against BLAS at
threads=1, which is the measurement behind fused_shape_preferred
(src/kernel/fused_maxsim.cpp).

CPU time is the steadier measure on a shared machine; GFLOP/s are given from
the median wall time and from the median CPU time. BENCH_BUDGET (seconds per
group, default 8) and BENCH_ROUNDS tune the length.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np
import scipy_openblas32

import quillmark
from quillmark import Candidate, Feature, MaxSimReranker, Query, ResourceBudget, VectorStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import maxsim_cases  # noqa: E402
import timing  # noqa: E402

try:
    from quillmark import _native_testing as testing
except ImportError:
    testing = None

DIM, QUERY_TOKENS, SEED = 128, 32, 0
SQUARE = 1024
BUDGET = float(os.environ.get("BENCH_BUDGET", "8"))


class ShippedBlas:
    """sgemm of the BLAS the kernel links (the same shared library), on one
    thread."""

    def __init__(self):
        self.lib = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
        self.lib.scipy_openblas_set_num_threads(1)
        self.sgemm = self.lib.scipy_sgemm_

    def square(self, a, b, c):
        n = ctypes.c_int(a.shape[0])
        one, zero = ctypes.c_float(1.0), ctypes.c_float(0.0)
        trans = ctypes.c_char(b"N")
        ptr = lambda x: x.ctypes.data_as(ctypes.POINTER(ctypes.c_float))  # noqa: E731
        self.sgemm(ctypes.byref(trans), ctypes.byref(trans), ctypes.byref(n), ctypes.byref(n), ctypes.byref(n),
                   ctypes.byref(one), ptr(a), ctypes.byref(n), ptr(b), ctypes.byref(n), ctypes.byref(zero), ptr(c),
                   ctypes.byref(n))


def unit_rows(rng, rows, dim=DIM):
    x = rng.standard_normal((rows, dim), dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x


def fused_path():
    """The widest fused path this processor runs, or None."""
    if testing is None:
        return None
    for name in ("fused_avx512", "fused_avx2"):
        if testing.force_kernel_path(name):
            testing.force_kernel_path(None)
            return name
    return None


def forcing(path):
    return lambda: testing.force_kernel_path(path)


def gflops(flops, stats):
    return flops / stats.median / 1e9, flops / statistics.median(stats.cpu) / 1e9


def square_method(blas):
    rng = np.random.default_rng(1)
    a = np.asfortranarray(rng.standard_normal((SQUARE, SQUARE), dtype=np.float32))
    b = np.asfortranarray(rng.standard_normal((SQUARE, SQUARE), dtype=np.float32))
    c = np.zeros((SQUARE, SQUARE), np.float32, order="F")
    return lambda: blas.square(a, b, c)


def in_memory_case(title, q, docs, lengths, blas, fused, square):
    rows = int(lengths.sum())
    flops = 2.0 * q.shape[0] * q.shape[1] * rows
    copy = np.empty_like(docs)
    methods = {
        f"square sgemm {SQUARE}^3, shipped BLAS, 1 thread": square,
        "kernel, BLAS path, threads=1": lambda: quillmark.maxsim_scores_packed(q, docs, lengths, threads=1),
        "kernel, BLAS path, threads=2": lambda: quillmark.maxsim_scores_packed(q, docs, lengths, threads=2),
        "product only (BLAS path without the maximum), threads=1":
            lambda: testing.blas_product_only(q, docs, lengths, threads=1),
        "copy of the document rows": lambda: np.copyto(copy, docs),
    }
    before = {name: forcing("blas") for name in methods if "BLAS path" in name}
    if fused:
        for t in (1, 2):
            name = f"kernel, {fused} path, threads={t}"
            methods[name] = lambda t=t: quillmark.maxsim_scores_packed(q, docs, lengths, threads=t)
            before[name] = forcing(fused)
    stats = timing.interleaved(methods, budget=BUDGET, before=before)
    testing.force_kernel_path(None)
    timing.print_table(title, stats, "kernel, BLAS path, threads=1")
    peak = gflops(2.0 * SQUARE**3, stats[f"square sgemm {SQUARE}^3, shipped BLAS, 1 thread"])
    print(f"  peak (square sgemm): {peak[0]:6.1f} GFLOP/s by wall, {peak[1]:6.1f} by CPU time")
    for name in methods:
        if name.startswith("kernel") and name.endswith("threads=1"):
            g = gflops(flops, stats[name])
            print(f"  {name}: {g[0]:6.1f} GFLOP/s by wall ({g[0] / peak[0]:5.1%} of peak), "
                  f"{g[1]:6.1f} by CPU time ({g[1] / peak[1]:5.1%})")
    cpu = {name: statistics.median(s.cpu) for name, s in stats.items()}
    ideal = flops / (peak[1] * 1e9)
    product = cpu["product only (BLAS path without the maximum), threads=1"]
    whole = cpu["kernel, BLAS path, threads=1"]
    print("  BLAS path at threads=1, CPU ms:")
    print(f"    whole call                                   {whole * 1e3:9.2f}")
    print(f"    its products at the square-sgemm rate        {ideal * 1e3:9.2f}")
    print(f"    skinny shape (packing, writing the block)    {(product - ideal) * 1e3:9.2f}"
          f"   (a copy of the rows alone: {cpu['copy of the document rows'] * 1e3:.2f})")
    print(f"    the maximum (whole call - product only)      {(whole - product) * 1e3:9.2f}")
    print(f"    the pool (CPU of threads=2 - threads=1)      "
          f"{(cpu['kernel, BLAS path, threads=2'] - whole) * 1e3:9.2f}")
    if fused:
        ratio = stats["kernel, BLAS path, threads=1"].median / stats[f"kernel, {fused} path, threads=1"].median
        cpu_ratio = whole / cpu[f"kernel, {fused} path, threads=1"]
        print(f"  fused speed-up over BLAS at threads=1: {ratio:.2f}x by wall, {cpu_ratio:.2f}x by CPU time")


def store_case(rng, blas, fused, square):
    """Case (c) on the stores of bench/maxsim_cases.py (the same documents,
    candidates and encodings)."""
    candidates, tokens = maxsim_cases.CANDIDATES, maxsim_cases.CANDIDATE_TOKENS
    root = Path(tempfile.mkdtemp(prefix="quillmark-kernel-limit-"))
    try:
        stores = maxsim_cases.Stores(root, rng)
        methods, before = {f"square sgemm {SQUARE}^3, shipped BLAS, 1 thread": square}, {}
        q = unit_rows(rng, QUERY_TOKENS)
        query = Query("bench query", multi_vector=Feature(maxsim_cases.REPRESENTATION, q))
        cands = [Candidate("bench", doc, 0.0, rank, "") for rank, doc in enumerate(stores.candidate_ids)]
        for encoding in ("float32", "int8"):
            reranker = MaxSimReranker([VectorStore(stores.paths[encoding])])
            for label in ["blas"] + ([fused] if fused else []):
                name = f"(c) {encoding} store ids to scores, {label} path, threads=1"
                methods[name] = lambda r=reranker: r.rerank(query, cands, budget=ResourceBudget(threads=1))
                before[name] = forcing(label)
        stats = timing.interleaved(methods, budget=BUDGET, before=before)
        testing.force_kernel_path(None)
        timing.print_table(f"(c) {candidates} candidates x {tokens} tokens from a store", stats,
                           "(c) float32 store ids to scores, blas path, threads=1")
        flops = 2.0 * QUERY_TOKENS * DIM * candidates * tokens
        peak = gflops(2.0 * SQUARE**3, stats[f"square sgemm {SQUARE}^3, shipped BLAS, 1 thread"])
        print(f"  peak (square sgemm): {peak[0]:6.1f} GFLOP/s by wall, {peak[1]:6.1f} by CPU time")
        for name in methods:
            if name.startswith("(c)"):
                g = gflops(flops, stats[name])
                print(f"  {name}: {g[0]:6.1f} GFLOP/s by wall ({g[0] / peak[0]:5.1%}), {g[1]:6.1f} by CPU time")
        if fused:
            for encoding in ("float32", "int8"):
                print(timing.ratio_line(f"{encoding} store, BLAS path / fused path",
                                        stats[f"(c) {encoding} store ids to scores, blas path, threads=1"],
                                        stats[f"(c) {encoding} store ids to scores, {fused} path, threads=1"]))
    finally:
        shutil.rmtree(root, ignore_errors=True)


def sweep(rng, fused):
    """Fused against BLAS at threads=1 over query tokens and dimension, about
    100 MFLOP per call, documents of 128 rows."""
    print(f"\nshape sweep, threads=1: median wall time BLAS path / {fused} path (above 1: fused faster), "
          f"CPU-time ratio in brackets")
    for dim in (32, 64, 128, 256, 512, 1024, 2048):
        line = f"  dimension {dim:5d}:"
        for tokens in (8, 32, 64, 128, 256, 512):
            rows = max(128, int(1e8 / (2 * tokens * dim)) // 128 * 128)
            q, docs = unit_rows(rng, tokens, dim), unit_rows(rng, rows, dim)
            lengths = np.full(rows // 128, 128, np.int64)
            methods = {"blas": lambda: quillmark.maxsim_scores_packed(q, docs, lengths, threads=1),
                       "fused": lambda: quillmark.maxsim_scores_packed(q, docs, lengths, threads=1)}
            stats = timing.interleaved(methods, budget=max(0.5, BUDGET / 16), min_rounds=5,
                                       before={"blas": forcing("blas"), "fused": forcing(fused)})
            r = stats["blas"].median / stats["fused"].median
            c = statistics.median(stats["blas"].cpu) / statistics.median(stats["fused"].cpu)
            line += f"  q{tokens}: {r:4.2f} ({c:4.2f})"
        print(line, flush=True)
    testing.force_kernel_path(None)


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}; query {QUERY_TOKENS} x {DIM}, unit rows, "
          f"seed {SEED}; {timing.load_average()}")
    if testing is None:
        print("this benchmark needs quillmark._native_testing (build with `make build`)")
        return
    fused = fused_path()
    print(f"fused path of this processor: {fused or 'none'}")
    blas = ShippedBlas()
    square = square_method(blas)
    rng = np.random.default_rng(SEED)
    q = unit_rows(rng, QUERY_TOKENS)
    for title, documents, tokens in (("(a) 4000 documents x 300 tokens", 4000, 300),
                                     ("(b) 1000 documents x 128 tokens", 1000, 128),
                                     ("(d) 100 documents x 128 tokens", 100, 128)):
        docs = unit_rows(rng, documents * tokens)
        lengths = np.full(documents, tokens, np.int64)
        in_memory_case(title, q, docs, lengths, blas, fused, square)
        del docs
    store_case(rng, blas, fused, square)
    if fused:
        sweep(rng, fused)
    print(f"\n{timing.load_average()}")


if __name__ == "__main__":
    main()
