"""Vector-store reader benchmark.

Prints:
- view() on an unchanged store (microseconds per call), after checking that
  such a call opens no segment file (the files are moved away meanwhile);
- opening a store of 1,000,000 documents in 10 segments (seconds, and the
  growth of resident and peak memory);
- fetch of 1,000 random documents of 128 tokens at dimension 128, float32 and
  int8, against a plain NumPy gather (and, for int8, decode) from in-memory
  arrays of the same data, in shuffled turns (bench/timing.py), with the
  ratio ours / NumPy of the best times.

Stores are written with NumPy and json the way the on-disk format defines them,
into a temporary directory that is removed at the end.
"""

from __future__ import annotations

import json
import os
import resource
import secrets
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from quillmark import VectorStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

REPEATS = int(os.environ.get("BENCH_REPEATS", "5"))
FORMAT = "quillmark-vectors-2"


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def int8_encode(rows):
    scales = np.maximum(np.abs(rows).max(axis=1) / np.float32(127), np.float32(1e-12)).astype(np.float32)
    q = rows / scales[:, None]
    codes = np.clip(np.sign(q) * np.floor(np.abs(q) + np.float32(0.5)), -127, 127).astype(np.int8)
    return codes, scales


class Writer:
    """Writes segments and one manifest; enough of the format for benchmarks."""

    def __init__(self, path: Path, encoding: str, dimension: int):
        self.path, self.encoding, self.dimension = path, encoding, dimension
        path.mkdir(parents=True)
        self.entries = []

    def segment(self, ids, lengths, vectors=None, codes=None, scales=None):
        seg = len(self.entries)
        base = self.path / f"segment-{seg}"
        (self.path / f"segment-{seg}.ids.json").write_text(json.dumps(ids))
        offsets = np.zeros(len(lengths) + 1, np.uint64)
        np.cumsum(lengths, out=offsets[1:])
        np.save(f"{base}.offsets.npy", offsets)
        if self.encoding == "float32":
            np.save(f"{base}.vectors.npy", vectors)
        else:
            np.save(f"{base}.codes.npy", codes)
            np.save(f"{base}.scales.npy", scales)
        self.entries.append({"id": seg, "documents": len(ids), "tokens": int(offsets[-1]), "tombstones": None})

    def publish(self):
        manifest = {
            "format": FORMAT, "store_id": secrets.token_hex(16), "encoding": self.encoding, "corpus": "bench",
            "representation": {"encoder": "bench", "encoder_revision": "1", "dimension": self.dimension,
                               "normalized": False, "query_template": "", "document_template": ""},
            "commit": 1, "next_segment_id": len(self.entries), "committed_at": time.time(),
            "segments": self.entries,
        }
        (self.path / "manifest.json").write_text(json.dumps(manifest, indent=2) + "\n")


def bench_view(root: Path, rng):
    path = root / "small"
    w = Writer(path, "float32", 16)
    for s in range(3):
        ids = [f"s{s}-{i}" for i in range(1000)]
        w.segment(ids, np.full(1000, 4), rng.standard_normal((4000, 16)).astype(np.float32))
    w.publish()
    store = VectorStore(path)
    first = store.view()
    # An unchanged store opens no segment file: with every segment file moved
    # away, view() still succeeds and serves the same commit.
    hidden = root / "hidden"
    hidden.mkdir()
    for f in path.glob("segment-*"):
        f.rename(hidden / f.name)
    again = store.view()
    assert again.commit == first.commit and "s1-5" in again
    for f in hidden.iterdir():
        f.rename(path / f.name)

    calls = 2000
    samples = []
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(calls):
            store.view()
        samples.append((time.perf_counter() - t0) / calls)
    print(f"view() on an unchanged store (3 segments, manifest {os.path.getsize(path / 'manifest.json')} bytes): "
          f"best {min(samples) * 1e6:.1f} us, median {statistics.median(samples) * 1e6:.1f} us per call; "
          f"opens no segment file (checked)")


def bench_open(root: Path, rng):
    path = root / "million"
    w = Writer(path, "float32", 16)
    per_segment = 100_000
    for s in range(10):
        ids = [f"doc-{s * per_segment + i:07d}" for i in range(per_segment)]
        lengths = rng.integers(1, 5, per_segment)
        w.segment(ids, lengths, rng.standard_normal((int(lengths.sum()), 16)).astype(np.float32))
    w.publish()
    os.sync()

    rss_before = rss_kib()
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    store = VectorStore(path)
    opened = time.perf_counter() - t0
    rss_after = rss_kib()
    peak_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    ids = store.view().document_ids
    listed = time.perf_counter() - t0
    assert len(ids) == 1_000_000
    del ids
    times = []
    for _ in range(3):
        t0 = time.perf_counter()
        again = VectorStore(path)
        times.append(time.perf_counter() - t0)
        del again
    print(f"open 1,000,000 documents in 10 segments (1-4 tokens, dimension 16): first {opened:.2f} s, "
          f"best of 3 more {min(times):.2f} s; resident memory +{(rss_after - rss_before) / 1024:.0f} MiB, "
          f"peak +{max(0, peak_after - peak_before) / 1024:.0f} MiB; document_ids of all: {listed:.2f} s")
    del store


def gather_numpy(data, offsets, rows):
    return np.concatenate([data[offsets[r]:offsets[r + 1]] for r in rows])


def bench_fetch(root: Path, rng):
    dim, tokens, docs_per_segment, segments, requested = 128, 128, 2000, 2, 1000
    count = docs_per_segment * segments
    vectors = rng.standard_normal((count * tokens, dim)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    codes, scales = int8_encode(vectors)
    offsets = np.arange(count + 1, dtype=np.int64) * tokens
    ids = [f"doc-{i}" for i in range(count)]

    print(f"fetch {requested} random documents of {tokens} tokens at dimension {dim} "
          f"(store of {count} documents in {segments} segments), best of {REPEATS}:")
    print(f"  {'encoding':<8} {'ours (ms)':>10} {'numpy (ms)':>11} {'ratio':>7}  threads")
    for encoding in ("float32", "int8"):
        path = root / f"fetch-{encoding}"
        w = Writer(path, encoding, dim)
        for s in range(segments):
            lo, hi = s * docs_per_segment * tokens, (s + 1) * docs_per_segment * tokens
            w.segment(ids[s * docs_per_segment:(s + 1) * docs_per_segment], np.full(docs_per_segment, tokens),
                      vectors[lo:hi], codes[lo:hi], scales[lo:hi])
        w.publish()
        view = VectorStore(path).view()
        rows = rng.choice(count, requested, replace=False)
        request = [ids[r] for r in rows]

        if encoding == "float32":
            def reference():
                return gather_numpy(vectors, offsets, rows)
        else:
            def reference():
                c = gather_numpy(codes, offsets, rows)
                s = gather_numpy(scales, offsets, rows)
                return c.astype(np.float32) * s[:, None]
        got, lengths = view.fetch(request)
        np.testing.assert_allclose(got, reference(), rtol=0, atol=1e-6)
        assert lengths.tolist() == [tokens] * requested
        methods = {"numpy": reference}
        for threads in ([None] if encoding == "float32" else [None, 1]):
            methods["default" if threads is None else str(threads)] = (
                lambda threads=threads: view.fetch(request, threads=threads))
        stats = timing.interleaved(methods, min_rounds=REPEATS, max_rounds=REPEATS)
        ref_time = stats.pop("numpy").min
        for label, measured in stats.items():
            print(f"  {encoding:<8} {measured.min * 1e3:>10.1f} {ref_time * 1e3:>11.1f} "
                  f"{measured.min / ref_time:>7.2f}  {label}")
        del view


def main():
    rng = np.random.default_rng(7)
    root = Path(tempfile.mkdtemp(prefix="quillmark-store-bench-"))
    try:
        bench_view(root, rng)
        bench_open(root, rng)
        bench_fetch(root, rng)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
