"""StoreView.pool throughput against NumPy computing the same from fetch.

pool(segment) gives every row's mean token vector scaled to unit length (the
float64 mean of the vectors fetch returns, divided by its norm): how a
first-stage index over a store is first built. One segment of DOCUMENTS
documents of 32 to 96 tokens (64 on average) at dimension 128, unit rows,
int8 and float32. The reference is what a user would write: fetch the
segment's documents in chunks, then np.add.reduceat in float64, divide by
the lengths and the norms. Cases take turns (bench/timing.py); printed are
medians, documents per second and ratios. Both stores hold the same unit
rows, written through quillmark.VectorStoreWriter (one append, one commit)
into a temporary directory removed at the end (about 0.9 GB).

    PYTHONPATH=build/pkg .venv/bin/python bench/pool_bench.py [--documents 20000]
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np

from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import interleaved, load_average, print_table, ratio_line  # noqa: E402

DIM = 128
CHUNK = 2_000  # documents per fetch of the NumPy reference


def unit_rows(rows: int, rng) -> np.ndarray:
    vectors = rng.standard_normal((rows, DIM), dtype=np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors


def write_store(path: Path, encoding: str, ids: list[str], vectors: np.ndarray, lengths: np.ndarray) -> None:
    """One append and one commit: segment 0, the segment pooled."""
    rep = Representation("bench", "1", DIM, True)
    with VectorStoreWriter.create(path, "bench", rep, encoding=encoding) as writer:
        writer.append(ids, vectors, lengths)
        writer.commit()


def numpy_pool(view, ids: list[str]) -> np.ndarray:
    """The same from fetch, chunk by chunk, as a user would write it."""
    out = np.empty((len(ids), DIM), np.float32)
    for start in range(0, len(ids), CHUNK):
        vectors, lengths = view.fetch(ids[start:start + CHUNK])
        sums = np.add.reduceat(vectors.astype(np.float64), np.concatenate(([0], np.cumsum(lengths)[:-1])), axis=0)
        means = sums / lengths[:, None]
        norms = np.maximum(np.linalg.norm(means, axis=1), 1e-12)
        out[start:start + len(lengths)] = means / norms[:, None]
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--documents", type=int, default=20_000)
    parser.add_argument("--budget", type=float, default=20.0)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    lengths = rng.integers(32, 97, args.documents)
    root = Path(tempfile.mkdtemp(prefix="quillmark-pool-bench-"))
    try:
        print(f"one segment of {args.documents} documents, {lengths.mean():.1f} tokens on average, dimension {DIM}")
        ids = [f"doc-{i:07d}" for i in range(args.documents)]
        vectors = unit_rows(int(lengths.sum()), rng)
        methods, views = {}, {}
        for encoding in ("int8", "float32"):
            write_store(root / encoding, encoding, ids, vectors, lengths)
            view = VectorStore(root / encoding).view()
            views[encoding] = view
            assert [(segment_id, documents) for segment_id, documents, _, _ in view.segments] == [(0, len(ids))]
            pooled = view.pool(0)
            np.testing.assert_allclose(pooled, numpy_pool(view, ids), rtol=1e-6, atol=1e-7)
            assert pooled.tobytes() == view.pool(0, threads=1).tobytes()
            methods[f"{encoding} pool"] = lambda v=view: v.pool(0)
            methods[f"{encoding} pool threads=1"] = lambda v=view: v.pool(0, threads=1)
            methods[f"{encoding} numpy from fetch"] = lambda v=view, i=ids: numpy_pool(v, i)
        del vectors
        print(load_average())
        stats = interleaved(methods, budget=args.budget)
        print(load_average())
        for encoding in views:
            part = {k: v for k, v in stats.items() if k.startswith(encoding)}
            print_table(f"{encoding}: pooled vectors of the segment", part, f"{encoding} numpy from fetch")
            for name, s in part.items():
                print(f"  {name}: {args.documents / s.median:,.0f} documents/s")
            print(ratio_line("pool / numpy", part[f"{encoding} pool"], part[f"{encoding} numpy from fetch"]))
            print(ratio_line("pool threads=1 / numpy", part[f"{encoding} pool threads=1"],
                             part[f"{encoding} numpy from fetch"]))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
