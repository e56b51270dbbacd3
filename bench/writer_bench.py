"""Vector-store writer benchmark.

Prints, each against a reference measured in the same run, with the ratio:
- append of 200,000 rows of dimension 128 (documents of 128 tokens): float32,
  and int8 with threads unset, 1 and 2, against writing the same bytes with
  np.save followed by os.fsync (throughput ratio ours / reference; the
  target for float32 is at least 0.8);
- commit with nothing staged and with one deletion, against a bare write,
  fsync, rename and directory fsync of a small file (time ratio ours /
  reference; target at most 1.5);
- compact (staging only; the commit is measured above) of a store of 10
  segments with 20% of its rows deleted, against
  copying the same bytes with shutil.copyfile plus fsync (throughput ratio;
  target at least 0.5);
- the growth of resident memory while appending 2,000,000 int8 rows in one
  call (bounded by the 131,072-row chunk, not by the input).

Stores live in a temporary directory removed at the end.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np

from quillmark import VectorStoreWriter
from quillmark.representation import Representation

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

REPEATS = int(os.environ.get("BENCH_REPEATS", "5"))
DIMENSION = 128
TOKENS = 128


def representation():
    return Representation(encoder="bench", encoder_revision="1", dimension=DIMENSION, normalized=False,
                          query_template="", document_template="")


def paired(ours, reference, setup=None, repeats=REPEATS):
    """Best times of `ours(setup())` and `reference()` over `repeats` rounds
    of shuffled turns (bench/timing.py), so that both see the same disk and
    page-cache conditions. The setup runs untimed, and every call starts
    after os.sync(), so that neither side waits for the other's or the
    setup's writeback."""
    arg = [None]

    def prepare():
        arg[0] = setup() if setup else None
        os.sync()

    stats = timing.interleaved({"ours": lambda: ours(arg[0]), "reference": lambda: reference(None)},
                               min_rounds=repeats, max_rounds=repeats, before={"ours": prepare, "reference": os.sync})
    return stats["ours"].min, stats["reference"].min


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def documents(rows, seed=1):
    """Documents of TOKENS tokens (the last one shorter) holding `rows` rows."""
    rng = np.random.default_rng(seed)
    lengths = [TOKENS] * (rows // TOKENS) + ([rows % TOKENS] if rows % TOKENS else [])
    ids = [f"doc-{seed}-{i}" for i in range(len(lengths))]
    return ids, rng.standard_normal((rows, DIMENSION), dtype=np.float32), np.array(lengths)


def np_save_fsync(path, *arrays):
    for i, a in enumerate(arrays):
        name = f"{path}.{i}.npy"
        with open(name, "wb") as f:
            np.save(f, a)
            f.flush()
            os.fsync(f.fileno())
        os.unlink(name)


def report(name, ours, reference, unit, ratio_name, ratio):
    print(f"{name:<44} ours {ours:10.4f} {unit}  reference {reference:10.4f} {unit}  {ratio_name} {ratio:5.2f}")


def bench_append(root: Path):
    rows = 200_000
    ids, values, lengths = documents(rows)
    float_mb = values.nbytes / 1e6
    stores = iter(range(10_000))

    def fresh(encoding):
        return lambda: VectorStoreWriter.create(root / f"append-{next(stores)}", "docs", representation(),
                                                encoding=encoding)

    ours, ref = paired(lambda w: w.append(ids, values, lengths), lambda _: np_save_fsync(root / "ref", values),
                       fresh("float32"))
    report("append 200k rows float32 (MB/s)", float_mb / ours, float_mb / ref, "MB/s", "throughput", ref / ours)
    codes = np.zeros((rows, DIMENSION), np.int8)
    scales = np.zeros(rows, np.float32)
    int8_mb = (codes.nbytes + scales.nbytes) / 1e6
    for threads in (None, 1, 2):
        ours8, ref8 = paired(lambda w: w.append(ids, values, lengths, threads=threads),
                             lambda _: np_save_fsync(root / "ref8", codes, scales), fresh("int8"))
        report(f"append 200k rows int8 threads={threads} (MB/s)", int8_mb / ours8, int8_mb / ref8, "MB/s",
               "throughput", ref8 / ours8)


def bench_commit(root: Path):
    text = b'{"format": "quillmark-vectors-2"}\n' * 20

    def bare(_):
        tmp = root / "small.tmp"
        with open(tmp, "wb") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, root / "small")
        fd = os.open(root, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    writer = VectorStoreWriter.create(root / "commit", "docs", representation())
    ids, values, lengths = documents(10 * TOKENS)
    writer.append(ids, values, lengths)
    writer.commit()
    empty, ref = paired(lambda _: writer.commit(), bare)
    report("commit, nothing staged (ms)", empty * 1e3, ref * 1e3, "ms", "time", empty / ref)
    remaining = iter(ids)
    one, ref = paired(lambda _: writer.commit(), bare, lambda: writer.delete([next(remaining)]))
    report("commit, one deletion (ms)", one * 1e3, ref * 1e3, "ms", "time", one / ref)


def bench_compact(root: Path):
    segments, rows_each = 10, 100 * TOKENS
    stores = iter(range(10_000))
    batches = [documents(rows_each, seed=s) for s in range(segments)]
    deleted = [i for ids, _, _ in batches for i in ids[::5]]  # 20% of the documents, 20% of the rows
    kept_bytes = sum(v.nbytes for _, v, _ in batches) * 4 // 5

    def build():
        w = VectorStoreWriter.create(root / f"compact-{next(stores)}", "docs", representation())
        for ids, values, lengths in batches:
            w.append(ids, values, lengths)
        w.delete(deleted)
        w.commit()
        return w

    source = root / "copy-source"
    with open(source, "wb") as f:
        f.write(np.random.default_rng(3).bytes(kept_bytes))

    def copy(_):
        shutil.copyfile(source, root / "copy-target")
        with open(root / "copy-target", "rb+") as f:
            os.fsync(f.fileno())
        os.unlink(root / "copy-target")

    ours, ref = paired(lambda w: w.compact(), copy, build)
    mb = kept_bytes / 1e6
    report("compact 10 segments, 20% deleted (MB/s)", mb / ours, mb / ref, "MB/s", "throughput", ref / ours)


def bench_memory(root: Path):
    rows = 2_000_000
    ids, values, lengths = documents(rows, seed=7)
    writer = VectorStoreWriter.create(root / "memory", "docs", representation(), encoding="int8")
    rss_before, peak_before = status_kib("VmRSS"), status_kib("VmHWM")
    writer.append(ids, values, lengths)
    rss_after, peak_after = status_kib("VmRSS"), status_kib("VmHWM")
    chunk_mib = (131_072 * (DIMENSION + 4)) / 2**20
    print(f"append 2M int8 rows in one call: input {values.nbytes / 2**20:.0f} MiB; resident growth "
          f"{(rss_after - rss_before) / 1024:.1f} MiB, peak growth {(peak_after - peak_before) / 1024:.1f} MiB "
          f"(one chunk's codes and scales: {chunk_mib:.1f} MiB)")


def main():
    only = os.environ.get("BENCH_ONLY")
    with tempfile.TemporaryDirectory(prefix="quillmark-writer-bench-") as tmp:
        root = Path(tmp)
        for bench in (bench_append, bench_commit, bench_compact, bench_memory):
            if not only or only in bench.__name__:
                bench(root)


if __name__ == "__main__":
    main()
