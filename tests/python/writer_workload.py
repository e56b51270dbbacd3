"""A deterministic writer workload whose every commit has a known content.

Iteration k (k >= 1) appends d{k} (1 + k % 3 tokens, every value k) and, for
k >= 2, d{k-1} again (2 tokens, every value k + 0.5), deletes d{k-2}, compacts
every fourth iteration, and commits as commit k. Run as a script it continues
a store from its current commit and prints "ack K" after each commit returns.
"""

from __future__ import annotations

import sys

import numpy as np

DIMENSION = 4


def expected(commit: int) -> dict[str, np.ndarray]:
    """The documents present after commit `commit`, with their vectors."""
    out = {}
    if commit >= 1:
        out[f"d{commit}"] = np.full((1 + commit % 3, DIMENSION), commit, np.float32)
    if commit >= 2:
        out[f"d{commit - 1}"] = np.full((2, DIMENSION), commit + 0.5, np.float32)
    return out


def iterate(writer, k: int) -> None:
    ids = [f"d{k}"]
    mats = [np.full((1 + k % 3, DIMENSION), k, np.float32)]
    if k >= 2:
        ids.append(f"d{k - 1}")
        mats.append(np.full((2, DIMENSION), k + 0.5, np.float32))
    writer.append(ids, np.concatenate(mats), [len(m) for m in mats])
    if k >= 3:
        writer.delete([f"d{k - 2}"])
    if k % 4 == 0:
        writer.compact()
    writer.commit()


def check_view(view) -> None:
    """Raises AssertionError unless the view holds exactly its commit's content."""
    want = expected(view.commit)
    assert view.document_ids == sorted(want), (view.commit, view.document_ids)
    if want:
        ids = sorted(want)
        vectors, lengths = view.fetch(ids)
        assert lengths.tolist() == [len(want[i]) for i in ids], (view.commit, lengths)
        np.testing.assert_array_equal(vectors, np.concatenate([want[i] for i in ids]))


def main(path: str, iterations: int) -> None:
    from quillmark import VectorStore, VectorStoreWriter

    writer = VectorStoreWriter(path)
    start = VectorStore(path).view().commit
    print("ready", start, flush=True)
    for k in range(start + 1, start + 1 + iterations):
        iterate(writer, k)
        print("ack", k, flush=True)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
