"""Vector-store reader benchmark.

Prints:
- view() on an unchanged store (microseconds per call), after checking that
  such a call opens no segment file (the files are moved away meanwhile),
  against reading manifest.json in Python (the least a reader can do to see
  whether the store changed);
- opening a store of 1,000,000 documents in 10 segments (seconds, and the
  growth of resident and peak memory), against reading every file of the
  store in Python;
- fetch of 1,000 random documents of 128 tokens at dimension 128, float32 and
  int8, against a plain NumPy gather (and, for int8, decode) from in-memory
  arrays of the same data.
Every timing runs in shuffled turns with its reference (bench/timing.py) and
is printed as the median with its ratio ours / reference.

Stores are written through quillmark.VectorStoreWriter, one append per
segment and one commit (the store that is opened, in a child process), into a
temporary directory removed at the end.
"""

from __future__ import annotations

import multiprocessing
import os
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from quillmark import VectorStore, VectorStoreWriter
from quillmark.representation import Representation

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

REPEATS = int(os.environ.get("BENCH_REPEATS", "5"))


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def write_store(path: Path, encoding: str, dimension: int, segments):
    """A store at `path` with one segment per (ids, lengths, float32 rows) of
    the iterable `segments`, committed once."""
    rep = Representation("bench", "1", dimension, False)
    with VectorStoreWriter.create(path, "bench", rep, encoding=encoding) as writer:
        for ids, lengths, vectors in segments:
            writer.append(ids, vectors, lengths)
        writer.commit()


def bench_view(root: Path, rng):
    path = root / "small"
    write_store(path, "float32", 16, [([f"s{s}-{i}" for i in range(1000)], np.full(1000, 4),
                                       rng.standard_normal((4000, 16)).astype(np.float32)) for s in range(3)])
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
    manifest = path / "manifest.json"

    def views():
        for _ in range(calls):
            store.view()

    def reads():
        for _ in range(calls):
            manifest.read_bytes()
    stats = timing.interleaved({"view()": views, "read manifest.json": reads}, min_rounds=REPEATS,
                               max_rounds=REPEATS)
    ours, ref = stats["view()"].median / calls, stats["read manifest.json"].median / calls
    print(f"view() on an unchanged store (3 segments, manifest {os.path.getsize(manifest)} bytes): "
          f"median {ours * 1e6:.1f} us per call; reading manifest.json in Python {ref * 1e6:.1f} us; "
          f"ratio {ours / ref:.2f}; opens no segment file (checked)")


def write_million(path: Path):
    """The store of bench_open: 10 segments of 100,000 documents."""
    rng = np.random.default_rng(8)
    per_segment = 100_000

    def segments():  # one at a time, as they are written
        for s in range(10):
            lengths = rng.integers(1, 5, per_segment)
            yield ([f"doc-{s * per_segment + i:07d}" for i in range(per_segment)], lengths,
                   rng.standard_normal((int(lengths.sum()), 16)).astype(np.float32))
    write_store(path, "float32", 16, segments())


def bench_open(root: Path):
    path = root / "million"
    # Written in a child process, so that what writing allocates (freed or
    # kept by the allocator) stays out of this process's memory figures.
    child = multiprocessing.get_context("spawn").Process(target=write_million, args=(path,))
    child.start()
    child.join()
    assert child.exitcode == 0, child.exitcode
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

    def read_all():
        for f in path.iterdir():
            if f.is_file():
                f.read_bytes()
    stats = timing.interleaved({"open": lambda: VectorStore(path), "read all files": read_all},
                               min_rounds=3, max_rounds=3)
    ours, ref = stats["open"].median, stats["read all files"].median
    print(f"open 1,000,000 documents in 10 segments (1-4 tokens, dimension 16): first {opened:.2f} s, "
          f"median of 3 more {ours:.2f} s; reading every file of the store in Python {ref:.2f} s; "
          f"ratio {ours / ref:.2f}; resident memory +{(rss_after - rss_before) / 1024:.0f} MiB, "
          f"peak +{max(0, peak_after - peak_before) / 1024:.0f} MiB; document_ids of all: {listed:.2f} s")
    del store


def gather_numpy(data, offsets, rows):
    return np.concatenate([data[offsets[r]:offsets[r + 1]] for r in rows])


def bench_fetch(root: Path, rng):
    dim, tokens, docs_per_segment, segments, requested = 128, 128, 2000, 2, 1000
    count = docs_per_segment * segments
    vectors = rng.standard_normal((count * tokens, dim)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    offsets = np.arange(count + 1, dtype=np.int64) * tokens
    ids = [f"doc-{i}" for i in range(count)]

    print(f"fetch {requested} random documents of {tokens} tokens at dimension {dim} "
          f"(store of {count} documents in {segments} segments), medians of {REPEATS}:")
    print(f"  {'encoding':<8} {'ours (ms)':>10} {'numpy (ms)':>11} {'ratio':>7}  threads")
    for encoding in ("float32", "int8"):
        path = root / f"fetch-{encoding}"
        per = docs_per_segment * tokens
        write_store(path, encoding, dim, [(ids[s * docs_per_segment:(s + 1) * docs_per_segment],
                                           np.full(docs_per_segment, tokens), vectors[s * per:(s + 1) * per])
                                          for s in range(segments)])
        view = VectorStore(path).view()
        rows = rng.choice(count, requested, replace=False)
        request = [ids[r] for r in rows]

        if encoding == "float32":
            def reference():
                return gather_numpy(vectors, offsets, rows)
        else:
            # The store's own codes and scales, mapped as NumPy reads them:
            # the segments' files in segment order.
            files = [f"{path / f'segment-{s}'}" for s in range(segments)]
            codes = np.concatenate([np.load(f"{f}.codes.npy", mmap_mode="r") for f in files])
            scales = np.concatenate([np.load(f"{f}.scales.npy", mmap_mode="r") for f in files])

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
        ref_time = stats.pop("numpy").median
        for label, measured in stats.items():
            print(f"  {encoding:<8} {measured.median * 1e3:>10.1f} {ref_time * 1e3:>11.1f} "
                  f"{measured.median / ref_time:>7.2f}  {label}")
        del view


def main():
    rng = np.random.default_rng(7)
    root = Path(tempfile.mkdtemp(prefix="quillmark-store-bench-"))
    try:
        bench_view(root, rng)
        bench_open(root)
        bench_fetch(root, rng)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
