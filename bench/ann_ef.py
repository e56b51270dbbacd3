"""The search breadth quillmark.ann needs: recall@k against NumPy's exact
top-k for a grid of k and ef, on the clustered pooled vectors of
bench/clustered.py, and the recall that AnnIndex.ef_for's rule reaches.

The index is built with AnnIndex.build's defaults on 2 threads and saved to
``--index`` (reused when that file exists, since building 1,000,000 vectors
takes a quarter of an hour or more on this machine). With ``--latency``,
single-query latency at the rule's breadth for k = 100 and k = 1000, in
interleaved turns with NumPy's exact search (one BLAS thread) through
bench/timing.py.

    python bench/ann_ef.py --documents 1000000 --index /tmp/ann-1m.idx --cache /tmp/pooled
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import threadpoolctl  # noqa: E402
import timing  # noqa: E402
from ann_choice import exact_top, numpy_search, pooled_corpus, recall  # noqa: E402
from clustered import ClusteredCorpus  # noqa: E402

from quillmark.ann import AnnIndex  # noqa: E402

KS = [1, 10, 100, 300, 1000, 2000, 4000]
EFS = [100, 200, 400, 800, 1200, 1600, 2400, 3200, 4000, 4800, 6400, 8000, 9600, 12800, 16000]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--query-offset", type=int, default=0,
                        help="use queries [offset, offset + queries): others than the ones the rule was fitted on")
    parser.add_argument("--index", type=Path, required=True)
    parser.add_argument("--cache", type=Path, default=None)
    parser.add_argument("--latency", action="store_true", help="time the rule's searches against NumPy")
    parser.add_argument("--rule-only", action="store_true", help="only the recall of ef_for's breadth")
    parser.add_argument("--max-ef-factor", type=float, default=5.0, help="sweep ef up to this many times k")
    args = parser.parse_args()

    x = pooled_corpus(args.documents, args.seed, args.cache)
    q, _ = ClusteredCorpus(seed=args.seed).pooled_queries(args.query_offset, args.query_offset + args.queries,
                                                          n_documents=args.documents)
    if args.index.exists():
        index = AnnIndex.load(args.index)
        if index.count != len(x):
            raise SystemExit(f"{args.index} holds {index.count} vectors, not {len(x)}")
    else:
        t0 = time.perf_counter()
        index = AnnIndex.build(x)
        print(f"built {len(x)} vectors in {time.perf_counter() - t0:.1f} s", flush=True)
        index.save(args.index)
    truth = exact_top(x, q, max(KS))
    print(f"{len(x)} vectors, queries [{args.query_offset}, {args.query_offset + len(q)}); "
          f"recall@k by ef (one query per call)")
    print(f"  {'k':>5} " + " ".join(f"{ef:>6}" for ef in EFS) + f" | {'ef_for':>6} {'recall':>7}")
    for k in KS:
        cells = []
        for ef in EFS:
            if args.rule_only or ef < k or ef > max(args.max_ef_factor * k, 800):
                cells.append(f"{'':>6}")
                continue
            found = [index.search(v, k, ef=ef)[0] for v in q]
            cells.append(f"{recall(found, truth, k):6.3f}")
        rule = AnnIndex.ef_for(k, index.count)
        found = [index.search(v, k)[0] for v in q]
        print(f"  {k:>5} " + " ".join(cells) + f" | {rule:>6} {recall(found, truth, k):7.4f}", flush=True)
    if args.latency:
        print(timing.load_average())
        with threadpoolctl.threadpool_limits(1):
            for k in (100, 1000):
                turns = {name: iter(range(10**9)) for name in ("quillmark.ann", "numpy exact")}
                methods = {
                    "quillmark.ann": lambda: index.search(q[next(turns["quillmark.ann"]) % len(q)], k),
                    "numpy exact": lambda: numpy_search(x, q[next(turns["numpy exact"]) % len(q)], k),
                }
                stats = timing.interleaved(methods, min_rounds=len(q), max_rounds=len(q))
                timing.print_table(f"single query, k={k}, ef={AnnIndex.ef_for(k, index.count)}", stats, "numpy exact")
                for name, st in stats.items():
                    print(f"  {name} p99 {np.percentile(st.samples, 99) * 1e3:.2f} ms")
                print(timing.ratio_line("quillmark.ann / numpy exact", stats["quillmark.ann"], stats["numpy exact"]))


if __name__ == "__main__":
    main()
