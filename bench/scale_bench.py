"""Every cost of a search as the corpus grows: make bench-scale.

For each size (int8 stores; float32 up to --float32-max), in a process of
its own: stores of clustered synthetic documents (bench/clustered.py; 64
tokens, dimension 128) written in commits of 10,000 documents, then

- append throughput (reference: the same float32 rows written with NumPy),
  a small commit, open, ``view()``;
- the first stage's first build (reference at <= 100,000 documents:
  ``MeanPooledGatherer.from_view``, which reads every token vector), the
  catch-up after appending 1% new documents (reference: pooling those
  documents alone), the first search of a fresh process whose index is up
  to date, and the resident memory beyond mapped files there;
- gather p50/p99, exact and approximate (reference: NumPy over the pooled
  vectors held in memory), rerank of 1,000 candidates p50/p99 as written
  (one segment per commit) and after compaction (reference: NumPy MaxSim over
  the fetched vectors), end-to-end search p50/p99 (gather_limit 1,000,
  limit 10) and how often the approximate top 10 equals the exact one;
- compaction (reference: copying the store's files), rerank p50 with the page
  cache dropped before every sample (root only), disk bytes per token.

Then the slope of each cost against the size (log-log), a Markdown table,
and a plot (PNG, matplotlib).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from clustered import ClusteredCorpus  # noqa: E402
from timing import interleaved  # noqa: E402

COMMIT = 10_000
TOKENS = 64
DIM = 128
CANDIDATES = 1_000
QUERIES = 100
#: Largest store whose one-segment approximate graph is built and measured.
APPROXIMATE_MAX = int(os.environ.get("QUILLMARK_SCALE_APPROXIMATE_MAX", "100000"))


def _ms(samples) -> dict:
    return {"p50": float(np.percentile(samples, 50)) * 1e3, "p99": float(np.percentile(samples, 99)) * 1e3}


def _du(path: pathlib.Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def anonymous_kib() -> int:
    """Resident memory that is not a mapped file (smaps_rollup), KiB."""
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Anonymous:"):
                return int(line.split()[1])
    return -1


def _ids(start: int, stop: int) -> list[str]:
    return [f"doc-{i:08d}" for i in range(start, stop)]


def _drop_caches() -> bool:
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def write_store(path: pathlib.Path, encoding: str, size: int, corpus=None, reference_file=None):
    """The benchmark store at `path`: `size` clustered documents of TOKENS
    tokens (dimension DIM, unit rows), appended and committed COMMIT at a
    time, as one segment per commit. Returns the open writer, the seconds
    spent appending, and (with `reference_file`) the time NumPy takes to write
    and flush the same rows, scaled from the first commit's."""
    import quillmark as qm

    corpus = corpus or ClusteredCorpus(seed=7)
    rep = qm.Representation("clustered", "1", DIM, True)
    writer = qm.VectorStoreWriter.create(path, "docs", rep, encoding=encoding)
    appending, reference = 0.0, 0.0
    for start in range(0, size, COMMIT):
        stop = min(size, start + COMMIT)
        rows = corpus.documents(start, stop).reshape(-1, DIM)
        lengths = np.full(stop - start, TOKENS)
        t0 = time.perf_counter()
        writer.append(_ids(start, stop), rows, lengths)
        appending += time.perf_counter() - t0
        writer.commit()
        if start == 0 and reference_file is not None:  # the same rows written with NumPy, flushed
            t0 = time.perf_counter()
            with open(reference_file, "wb") as f:
                np.save(f, rows)
                f.flush()
                os.fsync(f.fileno())
            reference = (time.perf_counter() - t0) * (size / (stop - start))
            os.unlink(reference_file)
    return writer, appending, reference


def measure(encoding: str, size: int, root: pathlib.Path) -> dict:
    import quillmark as qm
    from quillmark.gatherers import MeanPooledGatherer
    from quillmark.store_gatherer import StoreGatherer

    out: dict = {"encoding": encoding, "documents": size}
    corpus = ClusteredCorpus(seed=7)
    rep = qm.Representation("clustered", "1", DIM, True)
    path = root / "store"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)

    # -- writing -------------------------------------------------------------
    writer, appending, reference = write_store(path, encoding, size, corpus, root / "reference.npy")
    out["append_docs_per_s"] = size / appending
    out["append_s"] = appending
    out["append_numpy_write_s"] = reference
    out["segments_as_written"] = len(qm.VectorStore(path).view().segments)
    small = []
    for i in range(5):
        writer.append([f"small-{i}"], corpus.documents(0, 1).reshape(-1, DIM), [TOKENS])
        t0 = time.perf_counter()
        writer.commit()
        small.append(time.perf_counter() - t0)
    out["small_commit_ms"] = statistics.median(small) * 1e3
    out["disk_bytes_per_token"] = _du(path) / (size * TOKENS)

    opens = []
    for _ in range(5):
        t0 = time.perf_counter()
        store = qm.VectorStore(path)
        opens.append(time.perf_counter() - t0)
    out["open_ms"] = statistics.median(opens) * 1e3
    views = []
    for _ in range(200):
        t0 = time.perf_counter()
        store.view()
        views.append(time.perf_counter() - t0)
    out["view_us"] = statistics.median(views) * 1e6

    # -- the first stage: first build ------------------------------------------
    queries, _ = corpus.queries(0, QUERIES, n_documents=size)
    query_objects = [qm.Query("", multi_vector=qm.Feature(rep, q)) for q in queries]
    exact = StoreGatherer(store, root / "index-exact")
    t0 = time.perf_counter()
    exact.gather(query_objects[0], CANDIDATES)
    out["index_first_build_s"] = time.perf_counter() - t0
    approximate = StoreGatherer(store, root / "index-approximate", method="approximate")
    t0 = time.perf_counter()
    approximate.gather(query_objects[0], CANDIDATES)
    out["approximate_first_build_s"] = time.perf_counter() - t0
    if size <= 100_000:
        pooled_rep = qm.Representation("clustered-pooled", "1", DIM, True)
        t0 = time.perf_counter()
        MeanPooledGatherer.from_view("docs", store.view(), pooled_rep)
        out["from_view_reference_s"] = time.perf_counter() - t0

    # -- gather, rerank, search -------------------------------------------------
    view = store.view()
    in_memory = np.concatenate([np.asarray(exact.segments_of(view)[i].vectors)
                                for i in range(len(view.segments))])
    turn = iter(range(10**9))

    def pick():
        return query_objects[next(turn) % QUERIES]

    def numpy_gather():
        q = exact.query_vector(pick())
        scores = in_memory @ q
        return np.argpartition(-scores, CANDIDATES)[:CANDIDATES]

    stats = interleaved({
        "exact": lambda: exact.gather(pick(), CANDIDATES),
        "approximate": lambda: approximate.gather(pick(), CANDIDATES),
        "numpy in memory": numpy_gather,
    }, budget=20)
    out["gather_exact_ms"] = _ms(stats["exact"].samples)
    out["gather_approximate_ms"] = _ms(stats["approximate"].samples)
    out["gather_numpy_ms"] = _ms(stats["numpy in memory"].samples)
    del in_memory

    reranker = qm.MaxSimReranker([store])
    budget = qm.ResourceBudget()
    candidate_sets = [exact.gather(q, CANDIDATES).candidates for q in query_objects[:20]]

    def rerank_samples(rounds=None):
        def ours():
            i = next(turn) % len(candidate_sets)
            reranker.rerank(query_objects[i], candidate_sets[i], budget=budget)

        def numpy_maxsim():
            i = next(turn) % len(candidate_sets)
            vectors, lengths = store.view().fetch([c.document_id for c in candidate_sets[i]])
            sims = vectors @ queries[i].T
            np.maximum.reduceat(sims, np.concatenate([[0], np.cumsum(lengths)[:-1]]), axis=0).sum(axis=1)

        return interleaved({"quillmark": ours, "numpy": numpy_maxsim}, budget=15)

    stats = rerank_samples()
    out["rerank_ms"] = _ms(stats["quillmark"].samples)
    out["rerank_numpy_ms"] = _ms(stats["numpy"].samples)

    pipelines = {
        "exact": qm.SearchPipeline(exact, reranker),
        "approximate": qm.SearchPipeline(approximate, reranker),
    }
    stats = interleaved({name: (lambda p=p: p.search(pick(), gather_limit=CANDIDATES, limit=10))
                         for name, p in pipelines.items()}, budget=20)
    out["search_exact_ms"] = _ms(stats["exact"].samples)
    out["search_approximate_ms"] = _ms(stats["approximate"].samples)
    same = 0
    for q in query_objects:
        a = [d.document_id for d in pipelines["exact"].search(q, gather_limit=CANDIDATES, limit=10).documents]
        b = [d.document_id for d in pipelines["approximate"].search(q, gather_limit=CANDIDATES, limit=10).documents]
        same += a == b
    out["approximate_top10_equal"] = same / QUERIES
    recall = []
    for q in query_objects[:50]:
        a = {c.document_id for c in exact.gather(q, 100).candidates}
        recall.append(len(a & {c.document_id for c in approximate.gather(q, 100).candidates}) / 100)
    out["approximate_recall_at_100"] = float(np.mean(recall))

    if _drop_caches():
        cold = []
        for i in range(7):
            _drop_caches()
            t0 = time.perf_counter()
            reranker.rerank(query_objects[i], candidate_sets[i], budget=budget)
            cold.append(time.perf_counter() - t0)
        out["rerank_cold_ms"] = statistics.median(cold) * 1e3

    # -- catch-up after 1% new documents ----------------------------------------
    new = max(100, size // 100)
    rows = corpus.documents(size, size + new).reshape(-1, DIM)
    writer.append(_ids(size, size + new), rows, np.full(new, TOKENS))
    writer.commit()
    view = store.view()
    newest = view.segments[-1][0]
    t0 = time.perf_counter()
    view.pool(newest)
    out["pool_new_documents_s"] = time.perf_counter() - t0
    before = dict(exact.counters)
    t0 = time.perf_counter()
    exact.segments_of(view)  # the catch-up alone: pool, write, flush, map
    out["catch_up_s"] = time.perf_counter() - t0
    out["catch_up_pooled"] = exact.counters["pooled_documents"] - before["pooled_documents"]
    approximate.segments_of(view)

    # -- a fresh process, index up to date ----------------------------------------
    fresh = subprocess.run(
        [sys.executable, __file__, "--fresh", str(path), str(root / "index-exact"), str(root / "index-approximate")],
        check=True, capture_output=True, text=True)
    out.update(json.loads(fresh.stdout.strip().splitlines()[-1]))

    # -- compaction ---------------------------------------------------------------
    t0 = time.perf_counter()
    shutil.copytree(path, root / "copy")
    out["copy_store_s"] = time.perf_counter() - t0
    shutil.rmtree(root / "copy")
    t0 = time.perf_counter()
    writer.compact()
    writer.commit()
    out["compact_s"] = time.perf_counter() - t0
    before = dict(exact.counters)
    t0 = time.perf_counter()
    exact.gather(query_objects[2], CANDIDATES)
    out["catch_up_after_compaction_s"] = time.perf_counter() - t0
    out["catch_up_after_compaction_pooled"] = exact.counters["pooled_documents"] - before["pooled_documents"]
    stats = rerank_samples()
    out["rerank_compacted_ms"] = _ms(stats["quillmark"].samples)
    # One segment: where the approximate index serves (segments of 50,000
    # rows or more); what a store kept merged looks like. Its graph takes
    # about 15 minutes to build at 1,000,000 rows on two cores, so sizes
    # above APPROXIMATE_MAX leave the approximate method out here.
    if size > APPROXIMATE_MAX:
        pipelines.pop("approximate")
    t0 = time.perf_counter()
    gathers = {"exact": lambda: exact.gather(pick(), CANDIDATES)}
    if "approximate" in pipelines:
        approximate.segments_of(store.view())
        out["approximate_after_compaction_s"] = time.perf_counter() - t0
        gathers["approximate"] = lambda: approximate.gather(pick(), CANDIDATES)
    stats = interleaved(gathers, budget=20)
    for name in gathers:
        out[f"gather_{name}_compacted_ms"] = _ms(stats[name].samples)
    stats = interleaved({name: (lambda p=p: p.search(pick(), gather_limit=CANDIDATES, limit=10))
                         for name, p in pipelines.items()}, budget=20)
    for name in pipelines:
        out[f"search_{name}_compacted_ms"] = _ms(stats[name].samples)
    same, recall = 0, []
    for q in query_objects if "approximate" in pipelines else ():
        a = [d.document_id for d in pipelines["exact"].search(q, gather_limit=CANDIDATES, limit=10).documents]
        b = [d.document_id for d in pipelines["approximate"].search(q, gather_limit=CANDIDATES, limit=10).documents]
        same += a == b
        a = {c.document_id for c in exact.gather(q, 100).candidates}
        recall.append(len(a & {c.document_id for c in approximate.gather(q, 100).candidates}) / 100)
    if recall:
        out["approximate_top10_equal_compacted"] = same / QUERIES
        out["approximate_recall_at_100_compacted"] = float(np.mean(recall))
    out["anonymous_mib"] = anonymous_kib() / 1024
    writer.close()
    return out


def fresh(store_path: str, exact_path: str, approximate_path: str) -> dict:
    """Open, search once (the first search), then search more: times and memory."""
    t0 = time.perf_counter()
    import quillmark as qm
    from quillmark.store_gatherer import StoreGatherer

    imported = time.perf_counter()
    store = qm.VectorStore(store_path)
    corpus = ClusteredCorpus(seed=7)
    queries, _ = corpus.queries(0, 20, n_documents=10)
    rep = store.representation
    query_objects = [qm.Query("", multi_vector=qm.Feature(rep, q)) for q in queries]
    out = {}
    for method, index in (("exact", exact_path), ("approximate", approximate_path)):
        opened = time.perf_counter()
        pipeline = qm.SearchPipeline(StoreGatherer(qm.VectorStore(store_path), index, method=method),
                                     qm.MaxSimReranker([store]))
        pipeline.search(query_objects[0], gather_limit=CANDIDATES, limit=10)
        out[f"fresh_first_search_{method}_s"] = time.perf_counter() - opened
        for q in query_objects:
            pipeline.search(q, gather_limit=CANDIDATES, limit=10)
    out["fresh_import_s"] = imported - t0
    out["fresh_anonymous_mib"] = anonymous_kib() / 1024
    return out


ROWS = [
    ("append, documents/s", lambda r: r["append_docs_per_s"], "{:,.0f}"),
    ("append, NumPy write of the same rows, s", lambda r: r["append_numpy_write_s"], "{:.2f}"),
    ("append, s", lambda r: r["append_s"], "{:.2f}"),
    ("small commit, ms", lambda r: r["small_commit_ms"], "{:.1f}"),
    ("open, ms", lambda r: r["open_ms"], "{:.1f}"),
    ("view(), µs", lambda r: r["view_us"], "{:.0f}"),
    ("index first build, s", lambda r: r["index_first_build_s"], "{:.2f}"),
    ("approximate index first build, s", lambda r: r["approximate_first_build_s"], "{:.2f}"),
    ("MeanPooledGatherer.from_view (reference), s", lambda r: r.get("from_view_reference_s"), "{:.2f}"),
    ("catch-up after 1% new, s", lambda r: r["catch_up_s"], "{:.3f}"),
    ("pooling that 1% alone (reference), s", lambda r: r["pool_new_documents_s"], "{:.3f}"),
    ("fresh process: open to first search, exact, s", lambda r: r["fresh_first_search_exact_s"], "{:.2f}"),
    ("fresh process: open to first search, approximate, s", lambda r: r["fresh_first_search_approximate_s"], "{:.2f}"),
    ("gather exact p50 / p99, ms", lambda r: (r["gather_exact_ms"]["p50"], r["gather_exact_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("gather approximate p50 / p99, ms", lambda r: (r["gather_approximate_ms"]["p50"], r["gather_approximate_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("gather, NumPy in memory (reference) p50, ms", lambda r: r["gather_numpy_ms"]["p50"], "{:.1f}"),
    ("segments as written", lambda r: r["segments_as_written"], "{:d}"),
    ("rerank 1,000 p50 / p99, ms (as written)", lambda r: (r["rerank_ms"]["p50"], r["rerank_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("rerank 1,000 p50, ms (one segment)", lambda r: r["rerank_compacted_ms"]["p50"], "{:.1f}"),
    ("rerank, NumPy MaxSim from fetch (reference) p50, ms", lambda r: r["rerank_numpy_ms"]["p50"], "{:.1f}"),
    ("rerank 1,000 p50, page cache dropped, ms", lambda r: r.get("rerank_cold_ms"), "{:.0f}"),
    ("search exact p50 / p99, ms", lambda r: (r["search_exact_ms"]["p50"], r["search_exact_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("search approximate p50 / p99, ms", lambda r: (r["search_approximate_ms"]["p50"], r["search_approximate_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("approximate top 10 = exact top 10", lambda r: r["approximate_top10_equal"], "{:.0%}"),
    ("approximate recall@100", lambda r: r["approximate_recall_at_100"], "{:.3f}"),
    ("compact + commit, s", lambda r: r["compact_s"], "{:.1f}"),
    ("one segment: approximate index build, s", lambda r: r["approximate_after_compaction_s"], "{:.1f}"),
    ("one segment: gather exact p50 / p99, ms", lambda r: (r["gather_exact_compacted_ms"]["p50"], r["gather_exact_compacted_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("one segment: gather approximate p50 / p99, ms", lambda r: (r["gather_approximate_compacted_ms"]["p50"], r["gather_approximate_compacted_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("one segment: search exact p50 / p99, ms", lambda r: (r["search_exact_compacted_ms"]["p50"], r["search_exact_compacted_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("one segment: search approximate p50 / p99, ms", lambda r: (r["search_approximate_compacted_ms"]["p50"], r["search_approximate_compacted_ms"]["p99"]), "{:.1f} / {:.1f}"),
    ("one segment: approximate top 10 = exact top 10", lambda r: r["approximate_top10_equal_compacted"], "{:.0%}"),
    ("one segment: approximate recall@100", lambda r: r["approximate_recall_at_100_compacted"], "{:.3f}"),
    ("copying the store's files (reference), s", lambda r: r["copy_store_s"], "{:.1f}"),
    ("catch-up after compaction, s (documents pooled)", lambda r: (r["catch_up_after_compaction_s"], r["catch_up_after_compaction_pooled"]), "{:.2f} ({:,})"),
    ("resident beyond mapped files, fresh process, MiB", lambda r: r["fresh_anonymous_mib"], "{:.0f}"),
    ("resident beyond mapped files, after everything, MiB", lambda r: r["anonymous_mib"], "{:.0f}"),
    ("disk bytes per token", lambda r: r["disk_bytes_per_token"], "{:.1f}"),
]

SLOPES = {
    "open": "open_ms", "view()": "view_us", "index first build": "index_first_build_s",
    "gather exact p50": ("gather_exact_ms", "p50"), "gather approximate p50": ("gather_approximate_ms", "p50"),
    "rerank p50 (as written)": ("rerank_ms", "p50"), "rerank p50 (one segment)": ("rerank_compacted_ms", "p50"),
    "search exact p50": ("search_exact_ms", "p50"), "search approximate p50": ("search_approximate_ms", "p50"),
    "search exact p50 (one segment)": ("search_exact_compacted_ms", "p50"),
    "search approximate p50 (one segment)": ("search_approximate_compacted_ms", "p50"),
    "compact": "compact_s", "fresh first search (exact)": "fresh_first_search_exact_s",
}


def _value(result: dict, key):
    if isinstance(key, tuple):
        return result[key[0]][key[1]]
    return result[key]


def report(results: list[dict], plot: pathlib.Path | None) -> str:
    lines = []
    for encoding in ("int8", "float32"):
        runs = sorted((r for r in results if r["encoding"] == encoding), key=lambda r: r["documents"])
        if not runs:
            continue
        lines.append(f"\n{encoding} stores, {TOKENS} tokens per document, dimension {DIM}\n")
        lines.append("| | " + " | ".join(f"{r['documents']:,}" for r in runs) + " |")
        lines.append("|---|" + "---|" * len(runs))
        for label, get, fmt in ROWS:
            cells = []
            for r in runs:
                value = _safe(get, r)
                cells.append("–" if value is None else (fmt.format(*value) if isinstance(value, tuple) else fmt.format(value)))
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
        if len(runs) > 1:
            lines.append("\nslope of cost against size (log-log; 1 = linear, 0 = flat):")
            for name, key in SLOPES.items():
                points = [(np.log(size), value) for size, value in _points(runs, key)]
                if len(points) > 1:
                    slope = np.polyfit([p[0] for p in points], np.log([p[1] for p in points]), 1)[0]
                    lines.append(f"  {name:<38} {slope:5.2f}")
    if plot is not None:
        _plot(results, plot)
        lines.append(f"\nplot: {plot}")
    return "\n".join(lines)


def _points(runs: list[dict], key) -> list[tuple[int, float]]:
    """(documents, value) of the runs that measured ``key``."""
    points = [(r["documents"], _safe(lambda r: _value(r, key), r)) for r in runs]
    return [(size, value) for size, value in points if value is not None]


def _safe(get, r):
    try:
        return get(r)
    except KeyError:
        return None


def _plot(results: list[dict], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    runs = sorted((r for r in results if r["encoding"] == "int8"), key=lambda r: r["documents"])
    fig, ax = plt.subplots(figsize=(10, 5.5))
    colours = plt.cm.tab20.colors
    for number, (name, key) in enumerate(SLOPES.items()):
        points = _points(runs, key)
        scale = 1e3 if key in ("index_first_build_s", "compact_s", "fresh_first_search_exact_s") else (
            1e-3 if key == "view_us" else 1.0)
        ax.plot([p[0] for p in points], [p[1] * scale for p in points], marker="os^vD"[number % 5],
                color=colours[number % len(colours)], label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("documents (int8 store, 64 tokens, dimension 128)")
    ax.set_ylabel("milliseconds")
    ax.set_title("quillmark: cost against corpus size (make bench-scale)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--fresh":
        print(json.dumps(fresh(*sys.argv[2:5])))
        return 0
    if len(sys.argv) > 1 and sys.argv[1] == "--one":
        encoding, size, root = sys.argv[2], int(sys.argv[3]), pathlib.Path(sys.argv[4])
        try:
            print(json.dumps(measure(encoding, size, root)))
        finally:
            shutil.rmtree(root, ignore_errors=True)
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--float32-max", type=int, default=100_000, help="largest float32 store (disk: 32 KiB a document)")
    parser.add_argument("--root", type=pathlib.Path, default=pathlib.Path("/var/tmp/quillmark-scale"))
    parser.add_argument("--plot", type=pathlib.Path, default=HERE.parent / "docs" / "scale.png")
    parser.add_argument("--results", type=pathlib.Path, default=None, help="also write the raw results (JSON)")
    parser.add_argument("--report", type=pathlib.Path, default=None, help="only print the report of saved results")
    args = parser.parse_args()
    if args.report:
        print(report(json.loads(args.report.read_text()), args.plot))
        return 0
    sizes = [int(s) for s in args.sizes.split(",")]
    results = []
    for encoding in ("int8", "float32"):
        for size in sizes:
            if encoding == "float32" and size > args.float32_max:
                continue
            print(f"measuring {encoding} {size:,} ...", file=sys.stderr, flush=True)
            run = subprocess.run([sys.executable, __file__, "--one", encoding, str(size),
                                  str(args.root / f"{encoding}-{size}")], capture_output=True, text=True)
            if run.returncode != 0:
                print(run.stderr, file=sys.stderr)
                return 1
            results.append(json.loads(run.stdout.strip().splitlines()[-1]))
            print(json.dumps(results[-1]), file=sys.stderr, flush=True)
    if args.results:
        args.results.write_text(json.dumps(results, indent=1) + "\n")
    print(report(results, args.plot))
    return 0


if __name__ == "__main__":
    sys.exit(main())
