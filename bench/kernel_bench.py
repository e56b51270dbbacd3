"""MaxSim kernel benchmark: ours against its own BLAS limit and NumPy.

Per case (query 32 x 128, unit-length rows) the methods run interleaved
(every method once per round, in a shuffled order) and each prints its median
wall time with min and max, and its median CPU time:

- maxsim_scores_packed with threads unset, 1 and 2;
- the product-only limit: the kernel's batches, pool rule and sgemm calls
  without the maximum (`_native_testing.blas_product_only`, in the test build),
  in the kernel's orientation (query x batch) and the transposed one;
- NumPy as a user would write it: one product plus np.maximum.reduceat, and a
  per-document loop.

Then the ratios: ours against the fastest product-only limit at the same thread
count (the share of the BLAS throughput we reach), threads=t against threads
unset, and ours against the best NumPy.
"""

from __future__ import annotations

import os
import statistics
import sys

import numpy as np

from quillmark._native import maxsim_scores_packed

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

try:
    from quillmark import _native_testing as testing
except ImportError:  # an installed wheel: no product-only hook
    testing = None

DIM = 128
QUERY_TOKENS = 32
ROUNDS = int(os.environ.get("BENCH_REPEATS", "15"))
BUDGET_SECONDS = float(os.environ.get("BENCH_BUDGET", "6"))
THREADS = (None, 1, 2)
NUMPY_SETTLE_SECONDS = 0.2


def unit_rows(rng, rows):
    x = rng.standard_normal((rows, DIM), dtype=np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


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


def timed(methods):
    """Per method, the wall seconds (median, min, max) and the median CPU
    seconds of the whole process, from timing.interleaved (shuffled turns);
    and the number of rounds. On a loaded machine the CPU time of a
    one-thread run is the steadier measure."""
    # NumPy's own OpenBLAS threads busy-wait for a while after a product;
    # they sleep before the next method is timed.
    settle = {name: NUMPY_SETTLE_SECONDS for name in methods if name.startswith("numpy")}
    stats = timing.interleaved(methods, budget=BUDGET_SECONDS, min_rounds=min(3, ROUNDS), max_rounds=ROUNDS,
                               settle=settle)
    result = {name: (s.median, s.min, s.max, statistics.median(s.cpu)) for name, s in stats.items()}
    return result, len(next(iter(stats.values())).samples)


def case(name, lengths, rng):
    lengths = np.asarray(lengths, np.int64)
    q = unit_rows(rng, QUERY_TOKENS)
    docs = unit_rows(rng, int(lengths.sum()))
    scores = maxsim_scores_packed(q, docs, lengths)
    np.testing.assert_allclose(scores, numpy_reduceat(q, docs, lengths), rtol=1e-4, atol=1e-4)

    methods = {}
    for t in THREADS:
        methods[f"ours threads={t}"] = lambda t=t: maxsim_scores_packed(q, docs, lengths, threads=t)
    if testing is not None:
        for t in THREADS:
            for orientation in ("query_by_batch", "batch_by_query"):
                methods[f"product {orientation} threads={t}"] = lambda t=t, o=orientation: testing.blas_product_only(
                    q, docs, lengths, threads=t, orientation=o
                )
    methods["numpy product + maximum.reduceat"] = lambda: numpy_reduceat(q, docs, lengths)
    if len(lengths) <= 1000:
        methods["numpy loop (q @ d.T).max(1).sum()"] = lambda: numpy_loop(q, docs, lengths)
    result, rounds = timed(methods)

    print(f"\n{name}: {len(lengths)} documents, {lengths.sum()} tokens, {rounds} interleaved rounds, "
          f"load {os.getloadavg()[0]:.2f}")
    for label, (med, lo, hi, cpu) in result.items():
        extra = f"{len(lengths) / med:12,.0f} docs/s" if label.startswith("ours") else ""
        print(f"  {label:45s} {med * 1e3:9.2f} ms  [{lo * 1e3:8.2f}, {hi * 1e3:8.2f}]  cpu {cpu * 1e3:9.2f} ms  {extra}")
    best_numpy = min(v[0] for k, v in result.items() if k.startswith("numpy"))
    for t in THREADS:
        ours = result[f"ours threads={t}"][0]
        line = f"  threads={t}: ours/unset {ours / result['ours threads=None'][0]:5.2f}x"
        if testing is not None:
            kernel = result[f"product query_by_batch threads={t}"][0]
            other = result[f"product batch_by_query threads={t}"][0]
            line += (f"   share of fastest product-only {min(kernel, other) / ours:6.1%}"
                     f"   (transposed product / kernel's {other / kernel:4.2f})")
        line += f"   speed-up over best numpy {best_numpy / ours:5.2f}x"
        print(line)
    if testing is not None:
        ours_cpu = result["ours threads=1"][3]
        product_cpu = min(result[f"product {o} threads=1"][3] for o in ("query_by_batch", "batch_by_query"))
        print(f"  threads=1, CPU time: share of fastest product-only {product_cpu / ours_cpu:6.1%}")


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, cpus {os.cpu_count()}, OPENBLAS_CORETYPE="
          f"{os.environ.get('OPENBLAS_CORETYPE', '(unset)')}")
    if testing is None:
        print("(quillmark._native_testing is absent: no product-only limit; build with `make build`)")
    rng = np.random.default_rng(0)
    case("(a) 4000 x 300 tokens", [300] * 4000, rng)
    case("(b) 1000 x 128 tokens", [128] * 1000, rng)
    case("(c) latency: 100 x 128 tokens", [128] * 100, rng)
    case("(d) 1000 x 16..512 tokens", rng.integers(16, 513, size=1000), rng)


if __name__ == "__main__":
    main()
