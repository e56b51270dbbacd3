"""Sharded search on Ray: searches per second and latency with 1, 2 and 4
shards against one unsharded store, and what the fan-out costs by itself.

A corpus of DOCS documents of 24 to 72 tokens at dimension 128 (unit rows) is
written once into an unsharded store and into sharded stores of 1, 2 and 4
shards, each shard an actor on a local Ray cluster on this machine. Every
search is SearchPipeline(gatherer, reranker) with gather_limit 100 and limit
10 for a query of 32 tokens:
- unsharded: MeanPooledGatherer.from_view over the store, MaxSimReranker([store]);
- N shards: ShardedGatherer(store, MeanPooledFromStore), ShardedReranker(store).
Every sharded result is first checked to equal the unsharded one (documents,
scores, candidates). Then, in interleaved rounds (every case once per round, in
a shuffled order: bench/timing.py; SEARCHES searches each), the median latency
of one search from one client, its min and max over rounds, searches per
second (1 / median), the ratio to unsharded, and the fan-out alone:
ShardedStore.ping(), one no-op round trip to every shard actor at once, twice
per search (gather, rerank). Last, the throughput with CLIENTS threads searching at once.
"""

from __future__ import annotations

import concurrent.futures
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

# Ray reads this when it is imported: without it a node on Linux takes the
# machine's routable address, even when 127.0.0.1 is passed, and its servers
# listen on every interface. With it the one-machine cluster stays on loopback.
os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
import ray  # noqa: E402

import quillmark
from quillmark import Feature, MaxSimReranker, Query, SearchPipeline, VectorStore, VectorStoreWriter
from quillmark.distributed import MeanPooledFromStore, ShardedGatherer, ShardedReranker, ShardedStore
from quillmark.gatherers import MeanPooledGatherer
from quillmark.representation import Representation

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

DOCS = int(os.environ.get("BENCH_DOCS", "4000"))
DIM, QUERY_TOKENS, GATHER_LIMIT, LIMIT = 128, 32, 100, 10
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "7"))
SEARCHES = 20  # per case and round
CLIENTS = 4
SHARDS = (1, 2, 4)
REP = Representation("bench-encoder", "1", DIM, True)
POOLED = Representation("bench-encoder (mean-pooled)", "1", DIM, True)


def unit(x):
    return (x / np.linalg.norm(x, axis=-1, keepdims=True)).astype(np.float32)


def corpus(rng):
    ids = [f"doc-{i}" for i in range(DOCS)]
    lengths = rng.integers(24, 73, size=DOCS).astype(np.int64)
    return ids, unit(rng.standard_normal((int(lengths.sum()), DIM)).astype(np.float32)), lengths


def queries(rng, n):
    out = []
    for _ in range(n):
        tokens = unit(rng.standard_normal((QUERY_TOKENS, DIM)).astype(np.float32))
        out.append(Query("q", multi_vector=Feature(REP, tokens),
                         single_vector=Feature(POOLED, unit(tokens.mean(0))[None])))
    return out


def outcome(result):
    return ([(d.document_id, d.score) for d in result.documents],
            [(c.document_id, c.gather_score) for c in result.candidates], result.scores)


def main() -> int:
    rng = np.random.default_rng(15)
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False, configure_logging=False,
             object_store_memory=200 * 2**20, _node_ip_address="127.0.0.1")
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="quillmark-ray-bench-"))
    sharded: dict[int, ShardedStore] = {}
    try:
        ids, vectors, lengths = corpus(rng)
        writer = VectorStoreWriter.create(scratch / "single", "docs", REP)
        writer.append(ids, vectors, lengths)
        writer.commit()
        single_store = VectorStore(scratch / "single")
        pipelines = {"unsharded": SearchPipeline(
            MeanPooledGatherer.from_view("docs", single_store.view(), POOLED), MaxSimReranker([single_store]))}
        for n in SHARDS:
            store = sharded[n] = ShardedStore.create(scratch / f"shards-{n}", "docs", REP, shards=n, timeout=120)
            store.append(ids, vectors, lengths)
            store.commit()
            pipelines[f"{n} shard{'s' if n > 1 else ''}"] = SearchPipeline(
                ShardedGatherer(store, MeanPooledFromStore(POOLED)), ShardedReranker(store))
        qs = queries(rng, SEARCHES)
        print(f"corpus: {DOCS:,} documents, {int(lengths.sum()):,} tokens, dimension {DIM}; "
              f"gather_limit {GATHER_LIMIT}, limit {LIMIT}, query {QUERY_TOKENS} tokens; "
              f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")

        # Equal results first (this also builds every shard's gatherer).
        for q in qs:
            want = outcome(pipelines["unsharded"].search(q, gather_limit=GATHER_LIMIT, limit=LIMIT))
            for name, p in pipelines.items():
                if outcome(p.search(q, gather_limit=GATHER_LIMIT, limit=LIMIT)) != want:
                    print(f"FAILED: {name} differs from unsharded")
                    return 1
        print(f"every sharded result equals the unsharded one ({len(qs)} queries x {len(SHARDS)} shard counts)")

        def per_search(run):
            """SEARCHES calls of `run` as one turn of timing.interleaved: the
            median latency of a call, and the driver's own CPU time (its
            process, all threads) per call, the part of the cost that grows
            with the shard count wherever the shards run."""
            def turn():
                times = []
                cpu_started = time.process_time()
                for i in range(SEARCHES):
                    started = time.perf_counter()
                    run(i)
                    times.append(time.perf_counter() - started)
                return timing.Measured(statistics.median(times), (time.process_time() - cpu_started) / SEARCHES)
            return turn

        methods = {name: per_search(lambda i, p=p: p.search(qs[i], gather_limit=GATHER_LIMIT, limit=LIMIT))
                   for name, p in pipelines.items()}
        methods.update({f"fan-out {n}": per_search(lambda i, store=store: store.ping()) for n, store in sharded.items()})
        stats = timing.interleaved(methods, min_rounds=ROUNDS, max_rounds=ROUNDS)
        latency = {name: stats[name].samples for name in pipelines}
        ping = {n: stats[f"fan-out {n}"].samples for n in SHARDS}
        # Per call, averaged over every round.
        cpu = {name: statistics.fmean(stats[name].cpu) for name in pipelines}
        ping_cpu = {n: statistics.fmean(stats[f"fan-out {n}"].cpu) for n in SHARDS}

        base = statistics.median(latency["unsharded"])
        print(f"\none client, {ROUNDS} interleaved rounds of {SEARCHES} searches; median of round medians "
              "(min-max)")
        print(f"{'':<12}{'latency ms':>22}{'searches/s':>12}{'vs unsharded':>14}{'2 x fan-out ms':>20}")
        for name, values in latency.items():
            med = statistics.median(values)
            n = None if name == "unsharded" else int(name.split()[0])
            fan = "" if n is None else (f"{2 * statistics.median(ping[n]) * 1e3:8.2f} "
                                        f"({2 * min(ping[n]) * 1e3:.2f}-{2 * max(ping[n]) * 1e3:.2f})")
            print(f"{name:<12}{med * 1e3:>9.2f} ({min(values) * 1e3:6.2f}-{max(values) * 1e3:6.2f})"
                  f"{1 / med:>12.1f}{med / base:>13.2f}x{fan:>20}")
        print("\noverhead per search over unsharded, the share of it that is the two fan-outs, and the driver's "
              "CPU time per search and per no-op fan-out:")
        print(f"  {'unsharded':<10} driver CPU {cpu['unsharded'] * 1e3:5.2f} ms per search")
        for n in SHARDS:
            name = f"{n} shard{'s' if n > 1 else ''}"
            extra = statistics.median(latency[name]) - base
            print(f"  {name:<10} +{extra * 1e3:6.2f} ms, of which fan-out {2 * statistics.median(ping[n]) * 1e3:5.2f} ms;"
                  f" driver CPU {cpu[name] * 1e3:5.2f} ms per search, {ping_cpu[n] * 1e3:5.2f} ms "
                  "per fan-out")

        print(f"\nthroughput, {CLIENTS} client threads, {SEARCHES * 4} searches each case:")
        for name, p in pipelines.items():
            def one(q, p=p):
                p.search(q, gather_limit=GATHER_LIMIT, limit=LIMIT)

            started = time.perf_counter()
            with concurrent.futures.ThreadPoolExecutor(CLIENTS) as pool:
                list(pool.map(one, qs * 4))
            print(f"  {name:<12}{SEARCHES * 4 / (time.perf_counter() - started):8.1f} searches/s")
        print(f"\nload after: {os.getloadavg()[0]:.2f}")
        return 0
    finally:
        for store in sharded.values():
            store.close()
        ray.shutdown()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
