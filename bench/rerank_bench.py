"""Rerank benchmark: MaxSimReranker and SearchPipeline against the design's
limit and a NumPy reference, measured in the same run.

A store of 20,000 documents of 128 tokens at dimension 128 (unit rows), float32
and int8; a query of 32 tokens; 1,000 random candidates. Prints, per store and
per budget (threads unset, 1 and 2), the best wall time over interleaved
rounds (every case once per round, in a shuffled order) of:
- MaxSimReranker.rerank, end to end from Python;
- SearchPipeline.search with a trivial Python gatherer returning those 1,000
  candidates (limit 10), end to end;
- the limit of this design: copying the candidates' rows out of the mapped
  store into one float32 buffer (int8: gathering codes and scales, without
  decoding) plus the BLAS product alone, one thread, through the BLAS that the
  kernel links: the better of one call over all rows and one call per batch of
  KERNEL_BATCH_ROWS rows (the reranker's kernel batches); and the same with
  those batches shared by two threads, the limit for two workers (the default
  pool here has one worker per CPU);
- the NumPy reference: gather the candidates' rows from the memory-mapped
  arrays (int8: and decode), then the better of one product plus a reshaped
  maximum and one product plus np.maximum.reduceat (NumPy's own BLAS, its
  default threads);
with the ratios, and whether the targets hold: float32 rerank within 1.3x of
the limit and at least 2x faster than NumPy; int8 rerank at most 1.5x the
float32 rerank; search adds at most 10% (or 1 ms) to the rerank it contains.

Stores are written with NumPy and json the way the on-disk format defines them,
into a temporary directory removed at the end (about 1.7 GB while it runs).
"""

from __future__ import annotations

import concurrent.futures
import ctypes
import datetime
import json
import os
import secrets
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy_openblas32

import quillmark
from quillmark import Feature, Query, ResourceBudget, VectorStore
from quillmark.representation import Representation

DOCS, TOKENS, DIM, QUERY_TOKENS, CANDIDATES = 20_000, 128, 128, 32, 1_000
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "15"))
FORMAT = "quillmark-vectors-2"
CHUNK = 1_000  # documents generated and written at a time
KERNEL_BATCH_ROWS = 4096  # the reranker's largest kernel batch
SETTLE = set()  # cases after which the next case waits SETTLE_SECONDS
SETTLE_SECONDS = 0.25


def interleaved(cases, rounds=ROUNDS):
    """Best wall time and best process CPU time (all threads) of each case over
    `rounds` rounds that run every case once, in a shuffled order, so that load
    from outside the benchmark weighs on all cases alike."""
    for fn in cases.values():
        fn()  # warm-up
    wall = dict.fromkeys(cases, float("inf"))
    cpu = dict.fromkeys(cases, float("inf"))
    order = list(cases)
    shuffle = np.random.default_rng(1)
    for _ in range(rounds):
        # A new order every round: no case always runs right after another.
        shuffle.shuffle(order)
        for name in order:
            fn = cases[name]
            c0, t0 = time.process_time(), time.perf_counter()
            fn()
            t1, c1 = time.perf_counter(), time.process_time()
            wall[name], cpu[name] = min(wall[name], t1 - t0), min(cpu[name], c1 - c0)
            if name in SETTLE:
                # NumPy's BLAS threads keep spinning for a while after a
                # product; let them sleep before the next case is timed.
                time.sleep(SETTLE_SECONDS)
    return wall, cpu


def int8_encode(rows):
    scales = np.maximum(np.abs(rows).max(axis=1) / np.float32(127), np.float32(1e-12)).astype(np.float32)
    q = rows / scales[:, None]
    codes = np.clip(np.sign(q) * np.floor(np.abs(q) + np.float32(0.5)), -127, 127).astype(np.int8)
    return codes, scales


def int8_decode_unit(codes, scales):
    y = codes.astype(np.float32) * scales[:, None]
    y /= np.maximum(np.sqrt((y * y).sum(axis=1, dtype=np.float32)), np.float32(1e-12))[:, None]
    return y


def write_stores(root: Path, rng):
    """One single-segment store per encoding, of the same unit vectors."""
    ids = [f"doc-{i:05d}" for i in range(DOCS)]
    rows = DOCS * TOKENS
    offsets = np.arange(DOCS + 1, dtype=np.uint64) * TOKENS
    paths = {}
    arrays = {}
    for encoding in ("float32", "int8"):
        path = root / encoding
        path.mkdir()
        (path / "segment-0.ids.json").write_text(json.dumps(ids))
        np.save(path / "segment-0.offsets.npy", offsets)
        if encoding == "float32":
            arrays["vectors"] = np.lib.format.open_memmap(path / "segment-0.vectors.npy", "w+", np.float32,
                                                          (rows, DIM))
        else:
            arrays["codes"] = np.lib.format.open_memmap(path / "segment-0.codes.npy", "w+", np.int8, (rows, DIM))
            arrays["scales"] = np.lib.format.open_memmap(path / "segment-0.scales.npy", "w+", np.float32, (rows,))
        manifest = {
            "format": FORMAT, "store_id": secrets.token_hex(16), "encoding": encoding, "corpus": "bench",
            "representation": {"encoder": "bench", "encoder_revision": "1", "dimension": DIM, "normalized": True,
                               "query_template": "", "document_template": ""},
            "commit": 1, "next_segment_id": 1, "committed_at": time.time(),
            "segments": [{"id": 0, "documents": DOCS, "tokens": rows, "tombstones": None}],
        }
        (path / "manifest.json").write_text(json.dumps(manifest, indent=2) + "\n")
        paths[encoding] = path
    for start in range(0, rows, CHUNK * TOKENS):
        block = rng.standard_normal((min(CHUNK * TOKENS, rows - start), DIM), dtype=np.float32)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
        end = start + len(block)
        arrays["vectors"][start:end] = block
        arrays["codes"][start:end], arrays["scales"][start:end] = int8_encode(block)
    for a in arrays.values():
        a.flush()
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


def fmt(seconds):
    return f"{seconds * 1e3:9.2f} ms"


def fmt_cpu(seconds):
    return f"(cpu {seconds * 1e3:6.1f} ms)"


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, cpus {os.cpu_count()}, "
          f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')}, best of {ROUNDS} interleaved rounds")
    print(f"store: {DOCS} documents x {TOKENS} tokens, dimension {DIM}, unit rows; query {QUERY_TOKENS} tokens; "
          f"{CANDIDATES} random candidates")
    reranker_class = getattr(quillmark, "MaxSimReranker", None)
    pipeline_class = getattr(quillmark, "SearchPipeline", None)
    if reranker_class is None or pipeline_class is None:
        print("(MaxSimReranker or SearchPipeline is not in this build: only the limit and the NumPy reference run)")

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
        sgemm = Sgemm()
        pool = concurrent.futures.ThreadPoolExecutor(2)  # ctypes releases the interpreter lock
        budgets = {"threads unset": ResourceBudget(), "threads=1": ResourceBudget(threads=1),
                   "threads=2": ResourceBudget(threads=2)}
        cases = {}  # name -> callable, all timed in interleaved rounds
        keep = []  # stores, rerankers and buffers the cases use
        for encoding, path in paths.items():
            base = path / "segment-0"
            packed = np.empty((CANDIDATES * TOKENS, DIM), np.float32)
            sims = np.empty(CANDIDATES * TOKENS * QUERY_TOKENS, np.float32)
            if encoding == "float32":
                vectors = np.load(f"{base}.vectors.npy", mmap_mode="r")

                def reference_rows(vectors=vectors):
                    return gather(vectors, chosen)

                def copy_rows(vectors=vectors, packed=packed):
                    np.concatenate([vectors[r * TOKENS:(r + 1) * TOKENS] for r in chosen], out=packed)
            else:
                codes = np.load(f"{base}.codes.npy", mmap_mode="r")
                scales = np.load(f"{base}.scales.npy", mmap_mode="r")
                code_rows = np.empty((CANDIDATES * TOKENS, DIM), np.int8)
                scale_rows = np.empty(CANDIDATES * TOKENS, np.float32)

                def reference_rows(codes=codes, scales=scales):
                    return int8_decode_unit(gather(codes, chosen), gather(scales, chosen))

                # Without decoding: the int8 store's own floor.
                def copy_rows(codes=codes, scales=scales, code_rows=code_rows, scale_rows=scale_rows):
                    np.concatenate([codes[r * TOKENS:(r + 1) * TOKENS] for r in chosen], out=code_rows)
                    np.concatenate([scales[r * TOKENS:(r + 1) * TOKENS] for r in chosen], out=scale_rows)

            expected = numpy_maxsim(q, reference_rows())
            packed[:] = reference_rows()
            cases[f"{encoding} copy"] = copy_rows
            cases[f"{encoding} product"] = lambda packed=packed, sims=sims: sgemm.product(q, packed, sims)
            cases[f"{encoding} product batches"] = (
                lambda packed=packed, sims=sims: sgemm.product(q, packed, sims, KERNEL_BATCH_ROWS))
            half = (CANDIDATES * TOKENS // KERNEL_BATCH_ROWS + 1) // 2 * KERNEL_BATCH_ROWS
            sims2 = np.empty_like(sims)

            def product_two_threads(packed=packed, sims=sims, sims2=sims2, half=half):
                jobs = [pool.submit(sgemm.product, q, packed[:half], sims, KERNEL_BATCH_ROWS),
                        pool.submit(sgemm.product, q, packed[half:], sims2, KERNEL_BATCH_ROWS)]
                for job in jobs:
                    job.result()
            cases[f"{encoding} product batches 2 threads"] = product_two_threads
            cases[f"{encoding} numpy reshape"] = lambda rows=reference_rows: numpy_maxsim(q, rows())
            cases[f"{encoding} numpy reduceat"] = lambda rows=reference_rows: numpy_maxsim_reduceat(q, rows())
            SETTLE.update({f"{encoding} numpy reshape", f"{encoding} numpy reduceat"})
            if reranker_class is None:
                continue

            store = VectorStore(path)
            reranker = reranker_class([store])
            candidates = [quillmark.Candidate("bench", ids[r], 0.0, i, "") for i, r in enumerate(chosen)]
            pipeline = pipeline_class(ListGatherer(quillmark.Gathered(
                candidates, datetime.datetime.now(datetime.timezone.utc))), reranker)
            scored = reranker.rerank(query, candidates, budget=ResourceBudget())
            np.testing.assert_allclose(np.array(scored.scores, np.float32), expected, rtol=1e-4, atol=1e-4)
            top = pipeline.search(query, gather_limit=CANDIDATES, limit=10)
            assert [d.document_id for d in top.documents] == [ids[chosen[i]] for i in np.argsort(-expected)[:10]]
            keep += [store, reranker, pipeline]
            for label, budget in budgets.items():
                cases[f"{encoding} rerank {label}"] = (
                    lambda r=reranker, c=candidates, b=budget: r.rerank(query, c, budget=b))
                cases[f"{encoding} search {label}"] = (
                    lambda p=pipeline, b=budget: p.search(query, gather_limit=CANDIDATES, limit=10, budget=b))

        load_before = os.getloadavg()[0]
        t, cpu = interleaved(cases)
        load_after = os.getloadavg()[0]
        results = {}
        for encoding in paths:
            copy_time = t[f"{encoding} copy"]
            gemm_time = min(t[f"{encoding} product"], t[f"{encoding} product batches"])
            limit = copy_time + gemm_time
            limit2 = copy_time + min(gemm_time, t[f"{encoding} product batches 2 threads"])
            # The limit for a budget: with the workers it scores on.
            limits = {"threads unset": limit2 if (os.cpu_count() or 1) >= 2 else limit, "threads=1": limit,
                      "threads=2": limit2}
            numpy_ref = min(t[f"{encoding} numpy reshape"], t[f"{encoding} numpy reduceat"])
            results[encoding] = {"limits": limits, "numpy": numpy_ref}
            print(f"\n{encoding} store")
            what = "copy rows into one buffer" if encoding == "float32" else "copy codes and scales (no decoding)"
            print(f"  {'limit: ' + what:56s} {fmt(copy_time)}  {fmt_cpu(cpu[f'{encoding} copy'])}")
            flop = 2.0 * CANDIDATES * TOKENS * QUERY_TOKENS * DIM
            for kind, what in (("product", "1 thread, one call"),
                               ("product batches", f"1 thread, {KERNEL_BATCH_ROWS}-row calls"),
                               ("product batches 2 threads", f"2 threads, {KERNEL_BATCH_ROWS}-row calls")):
                name = f"{encoding} {kind}"
                print(f"  {'limit: BLAS product alone, ' + what:56s} {fmt(t[name])}  {fmt_cpu(cpu[name])} "
                      f"{flop / t[name] / 1e9:6.1f} GFLOP/s")
            print(f"  {'limit: total, 1 thread':56s} {fmt(limit)}")
            print(f"  {'limit: total, 2 threads for the product':56s} {fmt(limit2)}")
            for kind, what in (("reshape", "reshape max"), ("reduceat", "maximum.reduceat")):
                name = f"{encoding} numpy {kind}"
                print(f"  {'numpy: gather + product + ' + what:56s} {fmt(t[name])}  {fmt_cpu(cpu[name])}")
            if reranker_class is None:
                continue
            print(f"  {'':56s} {'time':>12} {'/ limit':>8} {'numpy /':>8} {'search':>12} {'search -':>9}  "
                  f"{'cpu rerank / search':>20}")
            for label in budgets:
                rerank_time, search_time = t[f"{encoding} rerank {label}"], t[f"{encoding} search {label}"]
                results[encoding][label] = (rerank_time, search_time)
                print(f"  {'MaxSimReranker.rerank, ' + label:56s} {fmt(rerank_time)} {rerank_time / limits[label]:7.2f}x "
                      f"{numpy_ref / rerank_time:7.2f}x {fmt(search_time)} {(search_time - rerank_time) * 1e3:+7.2f} ms  "
                      f"{cpu[f'{encoding} rerank {label}'] * 1e3:9.1f} / {cpu[f'{encoding} search {label}'] * 1e3:.1f} ms")

        if reranker_class is not None:
            print(f"\ntargets, on wall times (limit: float32 copy + the better product, on as many threads as the budget's workers; NumPy: the better of the two;"
                  f" load average {load_before:.1f} before the rounds, {load_after:.1f} after: above "
                  f"{os.cpu_count()} the machine was shared and wall times are unreliable):")
            f32, i8 = results["float32"], results["int8"]
            cpu_numpy = min(cpu["float32 numpy reshape"], cpu["float32 numpy reduceat"])
            for label in budgets:
                r32 = f32[label][0]
                r8 = i8[label][0]
                lim = f32["limits"][label]
                print(f"  {label:14s} float32 rerank / limit {r32 / lim:5.2f}x (target <= 1.30: "
                      f"{'met' if r32 <= 1.3 * lim else 'MISSED'}); NumPy / float32 rerank "
                      f"{f32['numpy'] / r32:5.2f}x (target >= 2: {'met' if f32['numpy'] >= 2 * r32 else 'MISSED'}); "
                      f"int8 / float32 rerank {r8 / r32:5.2f}x (target <= 1.5: {'met' if r8 <= 1.5 * r32 else 'MISSED'})")
                c32 = cpu[f"float32 rerank {label}"]
                c8 = cpu[f"int8 rerank {label}"]
                limit_cpu = cpu["float32 copy"] + min(cpu["float32 product"], cpu["float32 product batches"])
                print(f"  {'':14s} on CPU time (all threads): float32 rerank / 1-thread limit {c32 / limit_cpu:5.2f}x, "
                      f"NumPy / float32 rerank {cpu_numpy / c32:5.2f}x, int8 / float32 rerank {c8 / c32:5.2f}x")
                for encoding, res in results.items():
                    rerank_time, search_time = res[label]
                    extra = search_time - rerank_time
                    ok = extra <= max(0.10 * rerank_time, 1e-3)
                    print(f"  {'':14s} {encoding:7s} search adds {extra * 1e3:+.2f} ms ({extra / rerank_time:+.1%}) "
                          f"to its rerank (target <= 10% or 1 ms: {'met' if ok else 'MISSED'})")
        pool.shutdown()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
