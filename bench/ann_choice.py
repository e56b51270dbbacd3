"""Which approximate-nearest-neighbour library the first-stage gatherer uses,
measured on this machine.

Data: the pooled vectors (unit length, dimension 128) of the clustered
synthetic corpus of bench/clustered.py, ``--documents`` of them (100,000 by
default), and ``--queries`` pooled queries, each drawn near one document of the
corpus. Exact neighbours are NumPy's brute force (inner product).

Each library builds an HNSW graph with the same shape (``--m`` links per node,
2 * m on the base layer; ``--ef-construction``) on 2 threads. Printed per
library:
- build time, index file size, save time and load time (the file in the page
  cache; usearch both loaded into memory and viewed through a memory map,
  faiss read plainly and with its memory-map flag);
- the smallest search breadth (ef) of a ladder that reaches recall@100 >= 0.98
  against the exact top-100 for k = 100, and recall@1000 >= 0.98 against the
  exact top-1000 for k = 1000, with the recall reached (and recall@100 of the
  k = 1000 results);
- single-query latency at that ef, one query per call on one thread, p50 and
  p99 over the queries, for k = 100 and k = 1000, in interleaved turns with
  NumPy's exact search of the same query (the reference; its BLAS limited to
  one thread by threadpoolctl) via bench/timing.py, with the ratio to the
  reference;
- whether filtering (searching only the documents a predicate or id set
  allows) and deletion work natively: each is tried on the built index and
  checked.

    python bench/ann_choice.py                      # 100,000 vectors, all libraries
    python bench/ann_choice.py --documents 1000000 --libs faiss --cache /tmp/pooled
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import threadpoolctl

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402
from clustered import ClusteredCorpus  # noqa: E402

try:
    from quillmark.ann import AnnIndex
except ImportError:  # run without the package on the path: faiss is measured alone
    AnnIndex = None

THREADS = 2
RECALL_GOAL = 0.98
EF_LADDER_100 = [100, 128, 160, 200, 256, 320, 400, 512, 640, 800, 1024, 1280, 1600]
EF_LADDER_1000 = [1000, 1280, 1600, 2000, 2560, 3200, 4000, 5000, 6400]
WRAPPER_KS = [10, 100, 1000, 2000, 4000]


def pooled_corpus(n: int, seed: int, cache: Path | None) -> np.ndarray:
    path = cache / f"clustered-pooled-seed{seed}-{n}.npy" if cache else None
    if path and path.exists():
        return np.load(path)
    corpus = ClusteredCorpus(seed=seed)
    out = np.empty((n, corpus.dim), dtype=np.float32)
    t0 = time.perf_counter()
    for start in range(0, n, 10_000):
        out[start : min(start + 10_000, n)] = corpus.pooled(start, min(start + 10_000, n))
    print(f"generated {n} pooled vectors in {time.perf_counter() - t0:.1f} s", flush=True)
    if path:
        cache.mkdir(parents=True, exist_ok=True)
        np.save(path, out)
    return out


def exact_top(x: np.ndarray, q: np.ndarray, k: int) -> np.ndarray:
    out = np.empty((len(q), k), dtype=np.int64)
    for s in range(0, len(q), 50):
        scores = q[s : s + 50] @ x.T
        part = np.argpartition(-scores, k - 1, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, part, axis=1), axis=1, kind="stable")
        out[s : s + 50] = np.take_along_axis(part, order, axis=1)
    return out


def recall(found: np.ndarray, truth: np.ndarray, k: int) -> float:
    return float(np.mean([np.intersect1d(f[:k], t[:k]).size / k for f, t in zip(found, truth)]))


def numpy_search(x: np.ndarray, q: np.ndarray, k: int) -> np.ndarray:
    scores = x @ q
    part = np.argpartition(-scores, k - 1)[:k]
    return part[np.argsort(-scores[part], kind="stable")]


# --- libraries -------------------------------------------------------------------------------------
# Each adapter: build(x), save(path), load(path, mmap, dim) -> adapter, batch(q, k, ef) -> labels [n, k],
# one(q, k, ef) -> labels [k] (single query on one thread), filter_check(), delete_check().


class Faiss:
    name = "faiss"

    def __init__(self, m, efc, index=None):
        import faiss

        self.faiss, self.m, self.efc, self.index = faiss, m, efc, index

    def build(self, x):
        if AnnIndex is not None:  # the same faiss index, made by quillmark.ann (checked below)
            self.wrapper = AnnIndex.build(x, m=self.m, ef_construction=self.efc, threads=THREADS)
            self.index = self.wrapper._index
            return
        self.faiss.omp_set_num_threads(THREADS)
        self.index = self.faiss.IndexHNSWFlat(x.shape[1], self.m, self.faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = self.efc
        self.index.add(x)

    def save(self, path):
        self.faiss.write_index(self.index, str(path))

    def load(self, path, mmap, dim):
        flags = self.faiss.IO_FLAG_MMAP_IFC if mmap else 0
        return Faiss(self.m, self.efc, self.faiss.read_index(str(path), flags))

    def _params(self, ef, sel=None):
        p = self.faiss.SearchParametersHNSW()
        p.efSearch = ef
        if sel is not None:
            p.sel = sel
        return p

    def batch(self, q, k, ef):
        self.faiss.omp_set_num_threads(THREADS)
        return self.index.search(q, k, params=self._params(ef))[1]

    def one(self, q, k, ef):
        return self.index.search(q[None], k, params=self._params(ef))[1][0]

    def filter_check(self, q, allowed):
        bitmap = np.packbits(allowed, bitorder="little")
        sel = self.faiss.IDSelectorBitmap(len(allowed), self.faiss.swig_ptr(bitmap))
        labels = self.index.search(q[None], 50, params=self._params(200, sel))[1][0]
        return "IDSelector (bitmap, batch, range, callback) per search", labels

    def delete_check(self, label):
        try:
            self.index.remove_ids(np.array([label], dtype=np.int64))
            return "remove_ids"
        except RuntimeError:
            return "no: remove_ids raises for an HNSW index; an IDSelector excludes instead"


class Hnswlib:
    name = "hnswlib"

    def __init__(self, m, efc, index=None):
        import hnswlib

        self.hnswlib, self.m, self.efc, self.index = hnswlib, m, efc, index

    def build(self, x):
        self.index = self.hnswlib.Index(space="ip", dim=x.shape[1])
        self.index.init_index(max_elements=len(x), M=self.m, ef_construction=self.efc, random_seed=100)
        self.index.add_items(x, np.arange(len(x)), num_threads=THREADS)

    def save(self, path):
        self.index.save_index(str(path))

    def load(self, path, mmap, dim):
        index = self.hnswlib.Index(space="ip", dim=dim)
        index.load_index(str(path))
        return Hnswlib(self.m, self.efc, index)

    def batch(self, q, k, ef):
        self.index.set_ef(ef)
        return self.index.knn_query(q, k, num_threads=THREADS)[0].astype(np.int64)

    def one(self, q, k, ef):
        self.index.set_ef(ef)
        return self.index.knn_query(q, k, num_threads=1)[0][0]

    def filter_check(self, q, allowed):
        self.index.set_ef(200)
        labels = self.index.knn_query(q, 50, num_threads=1, filter=lambda label: bool(allowed[label]))[0][0]
        return "Python callable per label", labels.astype(np.int64)

    def delete_check(self, label):
        self.index.mark_deleted(int(label))
        return "mark_deleted"


class Usearch:
    name = "usearch"

    def __init__(self, m, efc, index=None):
        from usearch.index import Index

        self.Index, self.m, self.efc, self.index = Index, m, efc, index

    def build(self, x):
        self.index = self.Index(ndim=x.shape[1], metric="ip", dtype="f32", connectivity=self.m,
                                expansion_add=self.efc)
        self.index.add(np.arange(len(x)), x, threads=THREADS)

    def save(self, path):
        self.index.save(str(path))

    def load(self, path, mmap, dim):
        return Usearch(self.m, self.efc, self.Index.restore(str(path), view=mmap))

    def batch(self, q, k, ef):
        self.index.expansion_search = ef
        return np.asarray(self.index.search(q, k, threads=THREADS).keys, dtype=np.int64)

    def one(self, q, k, ef):
        self.index.expansion_search = ef
        return np.asarray(self.index.search(q, k, threads=1).keys, dtype=np.int64)

    def filter_check(self, q, allowed):
        import inspect

        params = inspect.signature(self.index.search).parameters
        if not any(p in params for p in ("filter", "predicate", "mask")):
            return "no (Python search() takes no predicate)", None
        raise NotImplementedError("usearch gained a predicate: extend this check")

    def delete_check(self, label):
        self.index.remove(int(label))
        return "remove"


LIBRARIES = {c.name: c for c in (Faiss, Hnswlib, Usearch)}


@dataclass
class Result:
    name: str
    build_s: float = 0.0
    size_bytes: int = 0
    save_s: float = 0.0
    load: dict = field(default_factory=dict)  # mode -> seconds
    ef: dict = field(default_factory=dict)  # k -> (ef, recall@k, recall@100)
    latency: dict = field(default_factory=dict)  # k -> Stats
    filtering: str = ""
    deletion: str = ""


def tune(adapter, q, truth, k):
    ladder = EF_LADDER_100 if k == 100 else EF_LADDER_1000
    for ef in ladder:
        found = adapter.batch(q, k, ef)
        r = recall(found, truth, k)
        if r >= RECALL_GOAL or ef == ladder[-1]:
            return ef, r, recall(found, truth, 100)


LOAD_IN_FRESH_PROCESS = """
import sys, time
t0 = time.perf_counter()
from quillmark.ann import AnnIndex
t1 = time.perf_counter()
index = AnnIndex.load(sys.argv[1], mmap_vectors=sys.argv[2] == "1")
t2 = time.perf_counter()
index.search(index._index.reconstruct(0), 1000)
t3 = time.perf_counter()
print(t1 - t0, t2 - t1, t3 - t2)
"""


def check_wrapper(path: Path, save_s: float, q: np.ndarray, truth: np.ndarray) -> None:
    """quillmark.ann over the faiss index just measured: its crash-safe save, a
    fresh process's load (checksums verified; the file in the page cache), and
    recall@k with the breadth its ef_for(k, count) rule picks, one query at a time."""
    import subprocess

    print(f"\nquillmark.ann (faiss HNSW): file {path.stat().st_size / 2**20:.0f} MiB, save (checksums, fsync, "
          f"rename) {save_s:.2f} s")
    for mmap_vectors in (True, False):
        out = subprocess.run([sys.executable, "-c", LOAD_IN_FRESH_PROCESS, str(path), str(int(mmap_vectors))],
                             check=True, capture_output=True, text=True).stdout.split()
        imp, load, first = (float(v) for v in out)
        print(f"  fresh process, mmap_vectors={mmap_vectors}: import {imp:.2f} s, load (checksums verified) "
              f"{load:.2f} s, first search k=1000 {first * 1e3:.1f} ms")
    index = AnnIndex.load(path)
    for k in WRAPPER_KS:
        found = [index.search(v, k)[0] for v in q]
        t0 = time.perf_counter()
        for v in q[:50]:
            index.search(v, k)
        ms = (time.perf_counter() - t0) / 50 * 1e3
        print(f"  k={k:<5} ef_for(k)={AnnIndex.ef_for(k, index.count):<5} recall@{k} {recall(found, truth, k):.4f} "
              f"(goal {RECALL_GOAL}); mean {ms:.2f} ms per query over 50")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--m", type=int, default=16)
    parser.add_argument("--ef-construction", type=int, default=200)
    parser.add_argument("--libs", default="faiss,hnswlib,usearch")
    parser.add_argument("--cache", type=Path, default=None, help="folder keeping the generated pooled vectors")
    parser.add_argument("--tmp", type=Path, default=None, help="folder for the index files (default: system temp)")
    args = parser.parse_args()
    print(timing.load_average())
    print(f"{args.documents} pooled vectors of dimension 128, {args.queries} queries, HNSW m={args.m} "
          f"ef_construction={args.ef_construction}, build on {THREADS} threads", flush=True)

    x = pooled_corpus(args.documents, args.seed, args.cache)
    q, _ = ClusteredCorpus(seed=args.seed).pooled_queries(0, args.queries, n_documents=args.documents)
    t0 = time.perf_counter()
    truth = exact_top(x, q, max(WRAPPER_KS))
    print(f"exact top-{max(WRAPPER_KS)} of {args.queries} queries by NumPy in {time.perf_counter() - t0:.1f} s", flush=True)

    tmp = tempfile.TemporaryDirectory(dir=args.tmp)
    results: dict[str, Result] = {}
    loaded: dict[str, object] = {}
    paths: dict[str, Path] = {}
    wrapper_file = wrapper_save_s = None
    for name in args.libs.split(","):
        adapter = LIBRARIES[name](args.m, args.ef_construction)
        res = results[name] = Result(name)
        t0 = time.perf_counter()
        adapter.build(x)
        res.build_s = time.perf_counter() - t0
        path = paths[name] = Path(tmp.name) / f"index.{name}"
        t0 = time.perf_counter()
        adapter.save(path)
        os.sync()
        res.save_s = time.perf_counter() - t0
        res.size_bytes = path.stat().st_size
        if getattr(adapter, "wrapper", None) is not None:
            wrapper_file = Path(tmp.name) / "index.quillmark-ann"
            t0 = time.perf_counter()
            adapter.wrapper.save(wrapper_file)
            wrapper_save_s = time.perf_counter() - t0
        del adapter
        print(f"{name}: built in {res.build_s:.1f} s, saved {res.size_bytes / 2**20:.0f} MiB in {res.save_s:.2f} s",
              flush=True)
        proto = LIBRARIES[name](args.m, args.ef_construction)
        for mode in (["memory", "mmap"] if name in ("faiss", "usearch") else ["memory"]):
            t0 = time.perf_counter()
            index = proto.load(path, mode == "mmap", x.shape[1])
            res.load[mode] = time.perf_counter() - t0
            if mode == "memory" or name == "usearch":
                loaded[name] = index  # usearch is searched through its memory-mapped view
        for k in (100, 1000):
            res.ef[k] = tune(loaded[name], q, truth, k)
            print(f"  k={k}: ef {res.ef[k][0]}, recall@{k} {res.ef[k][1]:.4f}, recall@100 {res.ef[k][2]:.4f}",
                  flush=True)

    # Single-query latency, every library and the NumPy reference in interleaved turns, all on one
    # thread (a search is one query; a BLAS waking threads for one matrix-vector product mostly waits).
    try:
        import faiss

        faiss.omp_set_num_threads(1)
    except ImportError:
        pass
    blas_one_thread = threadpoolctl.threadpool_limits(1)
    order = list(range(len(q)))
    for k in (100, 1000):
        methods = {}
        for name, index in loaded.items():
            turn = iter(range(10**9))
            ef = results[name].ef[k][0]
            methods[name] = (lambda index=index, turn=turn, ef=ef: index.one(q[order[next(turn) % len(q)]], k, ef))
        turn_np = iter(range(10**9))
        methods["numpy exact"] = lambda: numpy_search(x, q[order[next(turn_np) % len(q)]], k)
        names = list(methods)
        random.Random(k).shuffle(names)
        stats = timing.interleaved({n: methods[n] for n in names}, min_rounds=len(q), max_rounds=len(q))
        for name in loaded:
            results[name].latency[k] = stats[name]
        timing.print_table(f"single query, k={k} (one query per call)", stats, "numpy exact")
        ref = stats["numpy exact"]
        print(f"  numpy exact p99 {np.percentile(ref.samples, 99) * 1e3:.2f} ms")
        for name in loaded:
            print(timing.ratio_line(f"{name} / numpy exact", stats[name], ref))

    blas_one_thread.restore_original_limits()

    # Filtering and deletion, tried on a fresh in-memory copy of each index (a view is read-only).
    allowed = np.zeros(len(x), dtype=bool)
    allowed[::3] = True
    for name in loaded:
        index = LIBRARIES[name](args.m, args.ef_construction).load(paths[name], False, x.shape[1])
        how, labels = index.filter_check(q[0], allowed)
        if labels is not None:
            labels = labels[labels >= 0]
            ok = labels.size > 0 and bool(allowed[labels].all())
            exact = np.flatnonzero(allowed)[numpy_search(x[allowed], q[0], 50)]
            how = f"{'yes' if ok else 'WRONG'}: {how}, recall@50 {np.intersect1d(labels, exact).size / 50:.2f}"
        results[name].filtering = how
        victim = int(truth[0, 0])
        how = index.delete_check(victim)
        if not how.startswith("no"):
            found = index.one(q[0], 10, 100)
            how = f"{'yes' if victim not in found else 'WRONG'}: {how}"
        results[name].deletion = how

    if wrapper_file is not None:
        check_wrapper(wrapper_file, wrapper_save_s, q, truth)

    print(f"\nsummary ({args.documents} vectors; latency p50/p99 in ms, single query, one thread; "
          f"ef tuned per k for recall >= {RECALL_GOAL})")
    head = (f"  {'library':<8} {'build s':>8} {'MiB':>6} {'save s':>7} {'load s':>13} "
            f"{'ef@100':>6} {'rec@100':>8} {'p50':>6} {'p99':>6} {'ef@1000':>7} {'rec@1000':>8} {'p50':>6} {'p99':>6}")
    print(head)
    for r in results.values():
        load = "/".join(f"{r.load[m]:.2f}" for m in r.load)
        cells = []
        for k in (100, 1000):
            ef, rk, _ = r.ef[k]
            s = r.latency[k].samples
            cells.append(f"{ef:>6} {rk:8.4f} {np.median(s) * 1e3:6.2f} {np.percentile(s, 99) * 1e3:6.2f}")
        print(f"  {r.name:<8} {r.build_s:8.1f} {r.size_bytes / 2**20:6.0f} {r.save_s:7.2f} {load:>13} "
              f"{cells[0]} {cells[1]}")
    print("  (load s: in memory / memory-mapped where the library offers it)")
    for r in results.values():
        print(f"  {r.name}: recall@100 of the k=1000 results {r.ef[1000][2]:.4f}; filtering: {r.filtering}; "
              f"deletion: {r.deletion}")


if __name__ == "__main__":
    main()
