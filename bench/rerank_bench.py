"""Rerank benchmark: ids to scores with MaxSimReranker (and SearchPipeline)
against references measured in the same run.

A store of 20,000 documents of 128 tokens at dimension 128 (unit rows), float32
and int8; a query of 32 tokens; 1,000 random candidates, 65.5 MB of float32
rows. The files are in the page cache (just written). Every case runs once per
round, in a new shuffled order each round, so that load from outside the
benchmark weighs on all cases alike; printed are the median wall time of the
rounds with min and max, and the median process CPU time (all threads).

Cases, per encoding:
- MaxSimReranker.rerank, ids to scores end to end from Python, at threads
  unset, 1 and 2; SearchPipeline.search with a trivial Python gatherer
  returning the same candidates (limit 10);
- StoreView.fetch of the candidates (a new array) against NumPy gathering the
  same rows from the memory-mapped files into a new array (int8: and
  decoding them);
- the product alone: the candidates' float32 rows already in memory, scored
  by the BLAS product only (no gathering, no maximum), through the BLAS the
  kernel links, one thread, the better of one call over all rows and one call
  per KERNEL_BATCH_ROWS rows; and those calls shared by two threads. This is
  what scoring candidates that already sit in memory costs at best (PyTorch's
  padded einsum measured about the same on this machine);
- NumPy on the mapped files: gather the rows (int8: and decode), then the
  better of one product plus a reshaped maximum and one product plus
  np.maximum.reduceat (NumPy's own BLAS, its default threads).

Ratios and targets: float32 rerank no slower than the product alone on as many
threads as its pool has; int8 rerank at most 1.2x the float32 rerank; a thread
count at least the CPU count (the default pool's size) never slower than
threads unset; search adds at most 10% (or 1 ms) to its rerank. On a shared machine (load average above the CPU count,
printed) wall times are unreliable; the CPU times are printed beside them.

Stores are written through quillmark.VectorStoreWriter (one append, one
commit: segment 0, whose files the NumPy references map), into a temporary
directory removed at the end (about 1.7 GB while it runs).
"""

from __future__ import annotations

import concurrent.futures
import ctypes
import datetime
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy_openblas32

import quillmark
from quillmark import Feature, Query, ResourceBudget, VectorStore, VectorStoreWriter
from quillmark.representation import Representation

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

DOCS, TOKENS, DIM, QUERY_TOKENS, CANDIDATES = 20_000, 128, 128, 32, 1_000
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "15"))
CHUNK = 1_000  # documents generated at a time
KERNEL_BATCH_ROWS = 4096  # the reranker's largest kernel batch
SETTLE = set()  # cases after which the next case waits SETTLE_SECONDS
SETTLE_SECONDS = 0.25


class Timings:
    """Per case, the Stats of timing.interleaved, read as the report wants."""

    def __init__(self, stats):
        self.stats = stats

    def median(self, name):
        return self.stats[name].median

    def cpu_median(self, name):
        return float(np.median(self.stats[name].cpu))

    def spread(self, name):
        return self.stats[name].min, self.stats[name].max


def interleaved(cases, rounds=ROUNDS):
    """Wall and process CPU times (all threads) of each case over `rounds`
    rounds that run every case once, in a shuffled order (bench/timing.py).
    NumPy's BLAS threads keep spinning for a while after a product, so the
    cases in SETTLE let them sleep before the next case is timed."""
    settle = {name: SETTLE_SECONDS for name in cases if name in SETTLE}
    return Timings(timing.interleaved(cases, min_rounds=rounds, max_rounds=rounds, settle=settle))


def int8_decode_unit(codes, scales):
    y = codes.astype(np.float32) * scales[:, None]
    y /= np.maximum(np.sqrt((y * y).sum(axis=1, dtype=np.float32)), np.float32(1e-12))[:, None]
    return y


def write_stores(root: Path, rng):
    """One single-segment store per encoding, of the same unit vectors, each
    written by one append and one commit."""
    ids = [f"doc-{i:05d}" for i in range(DOCS)]
    rows = DOCS * TOKENS
    vectors = np.empty((rows, DIM), np.float32)
    for start in range(0, rows, CHUNK * TOKENS):
        block = vectors[start:start + CHUNK * TOKENS]
        block[:] = rng.standard_normal(block.shape, dtype=np.float32)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
    lengths = np.full(DOCS, TOKENS)
    rep = Representation("bench", "1", DIM, True)
    paths = {}
    for encoding in ("float32", "int8"):
        path = root / encoding
        with VectorStoreWriter.create(path, "bench", rep, encoding=encoding) as writer:
            writer.append(ids, vectors, lengths)
            writer.commit()
        paths[encoding] = path
    return ids, paths


class Sgemm:
    """The BLAS that the kernel links, called directly (one thread), as the kernel calls it."""

    def __init__(self):
        lib = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
        lib.scipy_openblas_set_num_threads(1)
        self.fn = lib.scipy_sgemm_

    def product(self, q, docs, out, batch_rows=None):
        """out (column-major [rows, query tokens]) = docs @ q.T, in one call, or
        one call per `batch_rows` rows, each into the start of `out` as the
        kernel's reused buffer."""
        c_int, c_float, p = ctypes.c_int, ctypes.c_float, ctypes.byref
        rows = docs.shape[0]
        step = batch_rows or rows
        n, k = c_int(q.shape[0]), c_int(DIM)
        one, zero = c_float(1.0), c_float(0.0)
        ta, tb = ctypes.c_char(b"T"), ctypes.c_char(b"N")
        qp, cp = ctypes.c_void_p(q.ctypes.data), ctypes.c_void_p(out.ctypes.data)
        for start in range(0, rows, step):
            m = c_int(min(step, rows - start))
            self.fn(p(ta), p(tb), p(m), p(n), p(k), p(one), ctypes.c_void_p(docs.ctypes.data + start * DIM * 4),
                    p(k), qp, p(k), p(zero), cp, p(m))


def gather(mapped, rows):
    """The rows of the chosen documents (all TOKENS long) of a mapped array, packed."""
    return np.concatenate([mapped[r * TOKENS:(r + 1) * TOKENS] for r in rows])


def numpy_maxsim(q, docs):
    """The better of two NumPy ways over one product."""
    sims = docs @ q.T  # [rows, query tokens]
    return sims.reshape(-1, TOKENS, q.shape[0]).max(axis=1).sum(axis=1)


def numpy_maxsim_reduceat(q, docs):
    sims = docs @ q.T
    return np.maximum.reduceat(sims, np.arange(0, len(docs), TOKENS), axis=0).sum(axis=1)


class ListGatherer:
    """A trivial gatherer: the same prepared candidates for every query."""

    requires: dict = {}
    score_semantics = "bench-order"

    def __init__(self, gathered):
        self.gathered = gathered

    def gather(self, query, limit, *, subset=None):
        return self.gathered


def fmt(timings, name):
    """Median wall time [min, max], and median CPU time."""
    lo, hi = timings.spread(name)
    return (f"{timings.median(name) * 1e3:8.2f} ms [{lo * 1e3:7.2f}, {hi * 1e3:7.2f}]  "
            f"(cpu {timings.cpu_median(name) * 1e3:6.1f} ms)")


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, cpus {os.cpu_count()}, "
          f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')}, "
          f"medians of {ROUNDS} interleaved rounds")
    print(f"store: {DOCS} documents x {TOKENS} tokens, dimension {DIM}, unit rows; query {QUERY_TOKENS} tokens; "
          f"{CANDIDATES} random candidates")
    reranker_class = getattr(quillmark, "MaxSimReranker", None)
    pipeline_class = getattr(quillmark, "SearchPipeline", None)
    if reranker_class is None or pipeline_class is None:
        print("(MaxSimReranker or SearchPipeline is not in this build: only the references run)")

    rng = np.random.default_rng(0)
    root = Path(tempfile.mkdtemp(prefix="quillmark-rerank-bench-"))
    try:
        t0 = time.perf_counter()
        ids, paths = write_stores(root, rng)
        print(f"(stores written in {time.perf_counter() - t0:.1f} s)")

        q = rng.standard_normal((QUERY_TOKENS, DIM), dtype=np.float32)
        q /= np.linalg.norm(q, axis=1, keepdims=True)
        rep = Representation("bench", "1", DIM, True)
        query = Query("bench query", multi_vector=Feature(rep, q))
        chosen = rng.choice(DOCS, CANDIDATES, replace=False)
        chosen_ids = [ids[r] for r in chosen]
        sgemm = Sgemm()
        pool = concurrent.futures.ThreadPoolExecutor(2)  # ctypes releases the interpreter lock
        budgets = {"threads unset": ResourceBudget(), "threads=1": ResourceBudget(threads=1),
                   "threads=2": ResourceBudget(threads=2)}
        cases = {}  # name -> callable, all timed in interleaved rounds
        keep = []  # stores, rerankers and buffers the cases use
        # The product alone, on the float32 rows in memory (the same rows for
        # both encodings' comparisons).
        vectors = np.load(f"{paths['float32'] / 'segment-0'}.vectors.npy", mmap_mode="r")
        packed = gather(vectors, chosen)
        sims = np.empty(CANDIDATES * TOKENS * QUERY_TOKENS, np.float32)
        sims2 = np.empty_like(sims)
        half = (CANDIDATES * TOKENS // KERNEL_BATCH_ROWS + 1) // 2 * KERNEL_BATCH_ROWS

        def product_two_threads():
            jobs = [pool.submit(sgemm.product, q, packed[:half], sims, KERNEL_BATCH_ROWS),
                    pool.submit(sgemm.product, q, packed[half:], sims2, KERNEL_BATCH_ROWS)]
            for job in jobs:
                job.result()
        cases["product"] = lambda: sgemm.product(q, packed, sims)
        cases["product batches"] = lambda: sgemm.product(q, packed, sims, KERNEL_BATCH_ROWS)
        cases["product batches 2 threads"] = product_two_threads

        for encoding, path in paths.items():
            base = path / "segment-0"
            if encoding == "float32":
                def reference_rows(vectors=vectors):
                    return gather(vectors, chosen)
            else:
                codes = np.load(f"{base}.codes.npy", mmap_mode="r")
                scales = np.load(f"{base}.scales.npy", mmap_mode="r")

                def reference_rows(codes=codes, scales=scales):
                    return int8_decode_unit(gather(codes, chosen), gather(scales, chosen))

            expected = numpy_maxsim(q, reference_rows())
            cases[f"{encoding} numpy gather"] = reference_rows
            cases[f"{encoding} numpy reshape"] = lambda rows=reference_rows: numpy_maxsim(q, rows())
            cases[f"{encoding} numpy reduceat"] = lambda rows=reference_rows: numpy_maxsim_reduceat(q, rows())
            SETTLE.update({f"{encoding} numpy reshape", f"{encoding} numpy reduceat"})

            store = VectorStore(path)
            view = store.view()
            fetched, _ = view.fetch(chosen_ids)
            np.testing.assert_allclose(fetched, reference_rows(), rtol=0, atol=1e-6)
            cases[f"{encoding} fetch"] = lambda view=view: view.fetch(chosen_ids)
            keep += [store, view]
            if reranker_class is None:
                continue
            reranker = reranker_class([store])
            candidates = [quillmark.Candidate("bench", ids[r], 0.0, i, "") for i, r in enumerate(chosen)]
            pipeline = pipeline_class(ListGatherer(quillmark.Gathered(
                candidates, datetime.datetime.now(datetime.timezone.utc))), reranker)
            scored = reranker.rerank(query, candidates, budget=ResourceBudget())
            np.testing.assert_allclose(np.array(scored.scores, np.float32), expected, rtol=1e-4, atol=1e-4)
            top = pipeline.search(query, gather_limit=CANDIDATES, limit=10)
            assert [d.document_id for d in top.documents] == [ids[chosen[i]] for i in np.argsort(-expected)[:10]]
            keep += [reranker, pipeline]
            for label, budget in budgets.items():
                cases[f"{encoding} rerank {label}"] = (
                    lambda r=reranker, c=candidates, b=budget: r.rerank(query, c, budget=b))
                cases[f"{encoding} search {label}"] = (
                    lambda p=pipeline, b=budget: p.search(query, gather_limit=CANDIDATES, limit=10, budget=b))

        load_before = os.getloadavg()
        t = interleaved(cases)
        load_after = os.getloadavg()
        width = 50
        two_workers = (os.cpu_count() or 1) >= 2  # the default pool has one worker per CPU
        product1 = min(t.median("product"), t.median("product batches"))
        product2 = min(product1, t.median("product batches 2 threads"))
        products = {"threads unset": product2 if two_workers else product1, "threads=1": product1,
                    "threads=2": product2}
        flop = 2.0 * CANDIDATES * TOKENS * QUERY_TOKENS * DIM
        print("\nthe product alone, float32 rows in memory")
        for name, what in (("product", "1 thread, one call"),
                           ("product batches", f"1 thread, {KERNEL_BATCH_ROWS}-row calls"),
                           ("product batches 2 threads", f"2 threads, {KERNEL_BATCH_ROWS}-row calls")):
            print(f"  {what:{width}s} {fmt(t, name)} {flop / t.median(name) / 1e9:6.1f} GFLOP/s")

        results = {}
        for encoding in paths:
            numpy_ref = min(t.median(f"{encoding} numpy reshape"), t.median(f"{encoding} numpy reduceat"))
            results[encoding] = {"numpy": numpy_ref}
            print(f"\n{encoding} store")
            what = "gather rows" if encoding == "float32" else "gather and decode"
            for name, label in ((f"{encoding} numpy gather", f"numpy: {what} (mapped files, a new array)"),
                                (f"{encoding} fetch", "StoreView.fetch (a new array)"),
                                (f"{encoding} numpy reshape", "numpy: gather + product + reshape max"),
                                (f"{encoding} numpy reduceat", "numpy: gather + product + maximum.reduceat")):
                print(f"  {label:{width}s} {fmt(t, name)}")
            ratio = t.median(f"{encoding} fetch") / t.median(f"{encoding} numpy gather")
            print(f"  {'fetch / numpy gather':{width}s} {ratio:8.2f}x")
            if reranker_class is None:
                continue
            print(f"  {'ids to scores':{width}s} {'median [min, max]':>29s}  {'':16s} {'/ product':>9} "
                  f"{'numpy /':>8} {'/ unset':>8}  {'search - rerank':>15}")
            for label in budgets:
                name = f"{encoding} rerank {label}"
                rerank_time = t.median(name)
                search_time = t.median(f"{encoding} search {label}")
                results[encoding][label] = (rerank_time, search_time)
                unset = t.median(f"{encoding} rerank threads unset")
                print(f"  {'MaxSimReranker.rerank, ' + label:{width}s} {fmt(t, name)} "
                      f"{rerank_time / products[label]:8.2f}x {numpy_ref / rerank_time:7.2f}x "
                      f"{rerank_time / unset:7.2f}x  {(search_time - rerank_time) * 1e3:+12.2f} ms")

        if reranker_class is not None:
            print(f"\ntargets, on median wall times (load average {load_before[0]:.1f} before the rounds, "
                  f"{load_after[0]:.1f} after: above {os.cpu_count()} the machine was shared and wall times "
                  f"are unreliable):")
            f32, i8 = results["float32"], results["int8"]
            for label in budgets:
                r32, r8 = f32[label][0], i8[label][0]
                prod = products[label]
                workers = "2 threads" if prod == product2 and label != "threads=1" else "1 thread"
                print(f"  {label:14s} float32 rerank / product alone ({workers}) {r32 / prod:5.2f}x "
                      f"(target <= 1: {verdict(r32 <= prod)}); int8 / float32 rerank {r8 / r32:5.2f}x "
                      f"(target <= 1.2: {verdict(r8 <= 1.2 * r32)}); NumPy / float32 rerank "
                      f"{f32['numpy'] / r32:5.2f}x")
                if label != "threads unset":
                    # Unset, the default pool has a worker per CPU: fewer
                    # threads can only be slower, so the target is for as many.
                    threads = budgets[label].threads
                    for encoding, res in results.items():
                        ratio = res[label][0] / res["threads unset"][0]
                        target = (f"(target <= 1: {verdict(ratio <= 1.0)})" if threads >= (os.cpu_count() or 1)
                                  else f"(fewer threads than the {os.cpu_count()} of the default pool)")
                        print(f"  {'':14s} {encoding:7s} rerank {label} / threads unset {ratio:5.2f}x {target}")
                for encoding, res in results.items():
                    rerank_time, search_time = res[label]
                    extra = search_time - rerank_time
                    ok = extra <= max(0.10 * rerank_time, 1e-3)
                    print(f"  {'':14s} {encoding:7s} search adds {extra * 1e3:+.2f} ms ({extra / rerank_time:+.1%}) "
                          f"to its rerank (target <= 10% or 1 ms: {verdict(ok)})")
        pool.shutdown()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
