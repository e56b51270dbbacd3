"""StoreView.snapshot on the 1,000,000-document benchmark store: make bench-snapshot.

The store is bench/scale_bench.py's (int8, 64 tokens of dimension 128 a
document, one segment per 10,000-document commit), built once into
.cache/snapshot-bench/ and reused. Each round (bench/timing.py, shuffled
order) takes, of one view:

- a snapshot with hard links, in the store's file system;
- a snapshot with copies (``link=False``), in the store's file system;
- a snapshot into /dev/shm, another file system, so copies (only when the
  memory there can hold it twice over);
- the reference: ``shutil.copytree`` of the store directory, in the store's
  file system; and, since a snapshot flushes every file it copies before it
  returns, the same copytree followed by an fsync of every file and of the
  new directory (what durability costs a copy).

Every destination is removed, untimed, before the call that makes it.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from scale_bench import write_store  # noqa: E402
from timing import interleaved, load_average, print_table, ratio_line  # noqa: E402


def _du(path: pathlib.Path) -> int:
    return sum(f.stat().st_size for f in path.iterdir())


def _store(root: pathlib.Path, documents: int) -> pathlib.Path:
    """The benchmark store of `documents` documents, built unless a complete
    one is there."""
    home = root / f"int8-{documents}"
    done = home / "complete"
    if not done.exists():
        shutil.rmtree(home, ignore_errors=True)
        home.mkdir(parents=True)
        print(f"building the {documents:,}-document store in {home} (once)", flush=True)
        writer, appending, _ = write_store(home / "store", "int8", documents)
        writer.close()
        done.write_text(f"{appending:.1f} s appending\n")
    return home / "store"


def _copytree_flushed(source: pathlib.Path, destination: pathlib.Path) -> None:
    shutil.copytree(source, destination)
    for path in [*destination.iterdir(), destination]:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=1_000_000)
    parser.add_argument("--root", type=pathlib.Path, default=HERE.parent / ".cache" / "snapshot-bench")
    parser.add_argument("--rounds", type=int, default=3, help="at least this many rounds")
    args = parser.parse_args()

    import quillmark as qm

    store = _store(args.root, args.documents)
    view = qm.VectorStore(store).view()
    size = _du(store)
    stats = view.stats()
    print(f"store: {args.documents:,} documents, {stats['segments']} segments, {stats['tokens']:,} tokens, "
          f"{size / 2**30:.2f} GiB in {sum(stats['files'].values())} files; load {load_average()}")

    out = args.root / "out"
    out.mkdir(exist_ok=True)
    shm = pathlib.Path("/dev/shm")
    shm_dest = shm / f"quillmark-snapshot-bench-{os.getpid()}"
    room = shutil.disk_usage(shm).free if shm.is_dir() else 0
    available = int(next(line.split()[1] for line in open("/proc/meminfo") if line.startswith("MemAvailable"))) * 1024
    use_shm = room > 2 * size and available > 2 * size

    def clear(path: pathlib.Path):
        return lambda: shutil.rmtree(path, ignore_errors=True)

    methods = {
        "copytree (reference)": lambda: shutil.copytree(store, out / "copytree"),
        "copytree + fsync": lambda: _copytree_flushed(store, out / "flushed"),
        "snapshot, hard links": lambda: view.snapshot(out / "links"),
        "snapshot, copies": lambda: view.snapshot(out / "copies", link=False),
    }
    before = {
        "copytree (reference)": clear(out / "copytree"),
        "copytree + fsync": clear(out / "flushed"),
        "snapshot, hard links": clear(out / "links"),
        "snapshot, copies": clear(out / "copies"),
    }
    if use_shm:
        methods["snapshot into /dev/shm"] = lambda: view.snapshot(shm_dest)
        before["snapshot into /dev/shm"] = clear(shm_dest)
    else:
        print(f"/dev/shm left out: {room / 2**30:.1f} GiB free there, {available / 2**30:.1f} GiB of memory available, "
              f"the store is {size / 2**30:.1f} GiB")
    try:
        timed = interleaved(methods, budget=0.0, min_rounds=args.rounds, before=before)
    finally:
        for fn in before.values():
            fn()
    print_table("snapshot of one view against copytree of the store directory", timed, "copytree (reference)")
    reference = timed["copytree (reference)"]
    for name in methods:
        if name != "copytree (reference)":
            print(ratio_line(f"{name} / copytree", timed[name], reference))
    if "snapshot, copies" in timed:
        print(ratio_line("snapshot, copies / copytree + fsync", timed["snapshot, copies"], timed["copytree + fsync"]))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
