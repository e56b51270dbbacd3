"""Reads flat in the number of segments: the same documents stored in one
segment and in many, the same candidates reranked from each, by an older
build of quillmark and by this one.

Two int8 stores (unit rows, dimension 128, 64 tokens a document) hold the same
documents: one in a single segment, one in SEGMENTS segments of equal size,
as a store grown by that many commits is before compaction. Both are written
through quillmark.VectorStoreWriter of the new build (one commit per segment;
the single segment by compaction). 1,000 random
candidates are reranked by MaxSimReranker (query of 32 tokens, default
budget) from each store. The lookup alone (StoreView.document_lengths of the
candidates) is timed too.

The two builds cannot share a process (both are quillmark._native), so each
runs in a worker process of its own (PYTHONPATH set to its build), opens both
stores, and times every call itself; the cases of both workers take turns
(bench/timing.py), and medians and ratios are printed. Both builds must give
the same scores from both stores.

Disk: the stores take 2 x documents x 8.2 kB (300,000 documents: 4.9 GB;
1,000,000: 16.4 GB, which no longer fits the page cache of a small machine,
and then reads from disk weigh on every case). They are written into a
temporary directory removed at the end, or kept in --dir and reused.

    PYTHONPATH=build/pkg .venv/bin/python bench/segments_bench.py [--documents 1000000]
        [--segments 100] [--old /work/main/build/pkg] [--new build/pkg] [--dir DIR]

An older build of any commit, without touching the checkout:
    git archive COMMIT | tar -x -C /tmp/old-src
    cmake -S /tmp/old-src -B /tmp/old-build -DPython_EXECUTABLE=$PWD/.venv/bin/python
    cmake --build /tmp/old-build -j2 --target _native      # then --old /tmp/old-build/pkg
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import Measured, interleaved, load_average, print_table, ratio_line  # noqa: E402

TOKENS, DIM, QUERY_TOKENS, CANDIDATES = 64, 128, 32, 1_000
CHUNK = 5_000  # documents generated at a time


def doc_id(i: int) -> str:
    return f"doc-{i:07d}"


def document_rows(documents: int, seed: int):
    """(first, end, unit rows) of the documents in document order, CHUNK
    documents at a time: the same values whatever layout they are stored in."""
    rng = np.random.default_rng(seed)
    for first in range(0, documents, CHUNK):
        end = min(first + CHUNK, documents)
        rows = rng.standard_normal(((end - first) * TOKENS, DIM), dtype=np.float32)
        rows /= np.linalg.norm(rows, axis=1, keepdims=True)
        yield first, end, rows


def write_store(path: Path, documents: int, segments: int, seed: int) -> None:
    """An int8 store of `documents` documents in `segments` segments of equal
    size (the last takes the remainder), written through VectorStoreWriter.
    Each segment is one append and one commit, as a store grown by that many
    commits is before compaction (merge_at_commit is off in a new writer). A
    single segment is written a chunk per commit, then compacted, so that no
    more than a chunk is ever in memory. The same seed gives the same
    documents whatever the number of segments."""
    if not 1 <= segments <= documents:
        raise ValueError(f"--segments must be within [1, {documents}]")
    from quillmark import VectorStore, VectorStoreWriter
    from quillmark.representation import Representation

    rep = Representation("bench", "1", DIM, True)
    per = documents // segments
    bounds = [s * per for s in range(1, segments)] + [documents]
    with VectorStoreWriter.create(path, "bench", rep, encoding="int8") as writer:
        if segments == 1:
            for first, end, rows in document_rows(documents, seed):
                writer.append([doc_id(i) for i in range(first, end)], rows, np.full(end - first, TOKENS))
                writer.commit()
            writer.compact()
            writer.commit()
        else:
            # A segment's rows may span chunks: its pieces are gathered until
            # its last document, then appended at once (one append, one segment).
            pieces, start, segment = [], 0, 0
            for first, end, rows in document_rows(documents, seed):
                at = first
                while at < end:
                    take = min(end, bounds[segment]) - at
                    pieces.append(rows[(at - first) * TOKENS:(at - first + take) * TOKENS])
                    at += take
                    if at == bounds[segment]:
                        writer.append([doc_id(i) for i in range(start, at)], np.concatenate(pieces),
                                      np.full(at - start, TOKENS))
                        writer.commit()
                        pieces, start, segment = [], at, segment + 1
    layout = [documents for _, documents, _, _ in VectorStore(path).view().segments]
    assert layout == [b - a for a, b in zip([0] + bounds[:-1], bounds)], layout


def prepare_stores(root: Path, documents: int, segments: int) -> dict[str, Path]:
    """The two stores under `root`, written unless a previous run left them
    there for the same parameters."""
    marker = root / "parameters.json"
    parameters = {"documents": documents, "segments": segments, "tokens": TOKENS, "dimension": DIM, "seed": 7,
                  "rows": "unit normal float32, int8 by VectorStoreWriter"}
    paths = {"1 segment": root / "one", f"{segments} segments": root / "many"}
    if marker.exists() and json.loads(marker.read_text()) == parameters:
        print(f"(reusing the stores in {root})")
        return paths
    for p in paths.values():
        shutil.rmtree(p, ignore_errors=True)
    marker.unlink(missing_ok=True)
    t0 = time.perf_counter()
    write_store(paths["1 segment"], documents, 1, 7)
    write_store(paths[f"{segments} segments"], documents, segments, 7)
    marker.write_text(json.dumps(parameters))
    print(f"(stores written in {time.perf_counter() - t0:.0f} s)")
    return paths


# --- worker: one build of quillmark, driven through stdin/stdout ---


def worker() -> None:
    import quillmark
    from quillmark import Candidate, Feature, MaxSimReranker, Query, ResourceBudget, VectorStore
    from quillmark.representation import Representation

    setup = json.loads(sys.stdin.readline())
    query_rows = np.load(setup["query"])
    query = Query("bench", multi_vector=Feature(Representation("bench", "1", DIM, True), query_rows))
    ids = setup["candidates"]
    candidates = [Candidate("bench", d, 0.0, i, "") for i, d in enumerate(ids)]
    stores = {name: VectorStore(path) for name, path in setup["stores"].items()}
    rerankers = {name: MaxSimReranker([store]) for name, store in stores.items()}
    views = {name: store.view() for name, store in stores.items()}
    budget = ResourceBudget()
    calls = {}
    for name in stores:
        calls[f"rerank {name}"] = lambda r=rerankers[name]: r.rerank(query, candidates, budget=budget)
        calls[f"lookup {name}"] = lambda v=views[name]: v.document_lengths(ids)
    print(json.dumps({"module": quillmark._native.__file__}), flush=True)
    for line in sys.stdin:
        command = json.loads(line)
        if command["op"] == "scores":
            scored = rerankers[command["store"]].rerank(query, candidates, budget=budget)
            reply = {"scores": [float(s) for s in scored.scores]}
        else:
            fn = calls[command["op"]]
            c0, t0 = time.process_time(), time.perf_counter()
            fn()
            t1, c1 = time.perf_counter(), time.process_time()
            reply = {"wall": t1 - t0, "cpu": c1 - c0}
        print(json.dumps(reply), flush=True)


class Worker:
    def __init__(self, pkg: Path, setup: dict):
        env = dict(os.environ, PYTHONPATH=str(pkg))
        self.process = subprocess.Popen([sys.executable, __file__, "--worker"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)
        self.module = self.ask(setup)["module"]

    def ask(self, message: dict) -> dict:
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("a benchmark worker ended early")
        return json.loads(line)

    def timed(self, op: str) -> Measured:
        reply = self.ask({"op": op})
        return Measured(reply["wall"], reply["cpu"])

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def main() -> None:
    repo = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--documents", type=int, default=300_000)
    parser.add_argument("--segments", type=int, default=100)
    parser.add_argument("--old", type=Path, default=Path("/work/main/build/pkg"), help="the older build's package")
    parser.add_argument("--new", type=Path, default=repo / "build" / "pkg", help="this build's package")
    parser.add_argument("--dir", type=Path, help="keep the stores here and reuse them (default: a temporary dir)")
    parser.add_argument("--budget", type=float, default=30.0, help="seconds of timed rounds (about)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker()
        return

    # The stores are written by this process with the new build.
    sys.path.insert(0, str(args.new.resolve()))
    root = args.dir or Path(tempfile.mkdtemp(prefix="quillmark-segments-bench-"))
    root.mkdir(parents=True, exist_ok=True)
    workers = {}
    try:
        print(f"{args.documents} int8 documents x {TOKENS} tokens, dimension {DIM}, unit rows; "
              f"1 segment or {args.segments}; {CANDIDATES} random candidates, query of {QUERY_TOKENS} tokens")
        paths = prepare_stores(root, args.documents, args.segments)
        rng = np.random.default_rng(3)
        query = rng.standard_normal((QUERY_TOKENS, DIM)).astype(np.float32)
        query /= np.linalg.norm(query, axis=1, keepdims=True)
        np.save(root / "query.npy", query)
        setup = {
            "stores": {name: str(p) for name, p in paths.items()},
            "candidates": [doc_id(int(i)) for i in rng.choice(args.documents, CANDIDATES, replace=False)],
            "query": str(root / "query.npy"),
        }
        for build, pkg in (("old", args.old), ("new", args.new)):
            workers[build] = Worker(pkg, setup)
            print(f"  {build}: {workers[build].module}")

        # Both builds, both layouts: the same scores.
        reference = None
        for build, w in workers.items():
            for name in paths:
                scores = np.array(w.ask({"op": "scores", "store": name})["scores"], np.float32)
                if reference is None:
                    reference = scores
                np.testing.assert_allclose(scores, reference, rtol=1e-5, atol=1e-6,
                                           err_msg=f"{build} build, {name}")

        methods = {}
        for kind in ("rerank", "lookup"):
            for build, w in workers.items():
                for name in paths:
                    methods[f"{build} {kind} {name}"] = lambda w=w, op=f"{kind} {name}": w.timed(op)
        print(load_average())
        stats = interleaved(methods, budget=args.budget, max_rounds=201)
        print(load_average())
        one, many = paths
        for kind in ("rerank", "lookup"):
            what = "MaxSimReranker.rerank of the candidates" if kind == "rerank" else \
                "StoreView.document_lengths of the candidates (the lookup alone)"
            print_table(what, {k: v for k, v in stats.items() if f" {kind} " in k}, f"old {kind} {one}")
            new_one, new_many = stats[f"new {kind} {one}"], stats[f"new {kind} {many}"]
            old_one, old_many = stats[f"old {kind} {one}"], stats[f"old {kind} {many}"]
            goal = 1.3 if kind == "rerank" else None
            print(ratio_line(f"new, {many} / {one}", new_many, new_one, goal=goal))
            print(ratio_line(f"old, {many} / {one}", old_many, old_one))
            print(ratio_line(f"{one}, new / old", new_one, old_one, goal=1.0 if kind == "rerank" else None))
            print(ratio_line(f"{many}, new / old", new_many, old_many))
    finally:
        for w in workers.values():
            w.close()
        if args.dir is None:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
