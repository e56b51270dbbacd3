"""Writes vector stores the way the on-disk format defines them, with NumPy and json.

The one independent test oracle of the store format: it is written from the
format alone and uses nothing of the core (no quillmark import), so a rule the
core gets wrong shows up as a difference against it instead of being repeated
here. Every other writer of stores in the tests and benchmarks (the C++
fixture tests/cpp/test_store.h, bench/store_bench.py, bench/rerank_bench.py)
writes through the core. Keep it that way: a test that needs a store the
writer cannot make builds it here or corrupts files explicitly, and a change
to the format is made here from the format, never copied from the core.
"""

from __future__ import annotations

import json
import os
import secrets
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

FORMAT = "quillmark-vectors-2"


def int8_encode(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-row int8 codes: scale = max(max|x| / 127, 1e-12), halves away from zero."""
    rows = np.asarray(rows, np.float32)
    peak = np.abs(rows).max(axis=1) if rows.size else np.zeros(len(rows), np.float32)
    scales = np.maximum(peak / np.float32(127), np.float32(1e-12)).astype(np.float32)
    q = rows / scales[:, None]
    codes = np.clip(np.sign(q) * np.floor(np.abs(q) + np.float32(0.5)), -127, 127).astype(np.int8)
    return codes, scales


def int8_decode(codes: np.ndarray, scales: np.ndarray, normalized: bool) -> np.ndarray:
    y = codes.astype(np.float32) * scales[:, None]
    if normalized:
        norms = np.maximum(np.sqrt((y * y).sum(axis=1, dtype=np.float32)), np.float32(1e-12))
        y = y / norms[:, None]
    return y


@dataclass
class Segment:
    id: int
    ids: list[str]
    vectors: np.ndarray  # float32 [tokens, dimension]
    lengths: list[int]
    tombstones: int | None = None  # commit of the tombstone file
    deleted: list[int] = field(default_factory=list)


class StoreBuilder:
    """Builds one store directory commit by commit."""

    def __init__(self, path, *, corpus="docs", encoding="float32", dimension=4, normalized=False,
                 encoder="enc", revision="r1", store_id=None):
        self.path = Path(path)
        self.path.mkdir(parents=True, exist_ok=True)
        self.corpus = corpus
        self.encoding = encoding
        self.representation = {
            "encoder": encoder,
            "encoder_revision": revision,
            "dimension": dimension,
            "normalized": normalized,
            "query_template": "",
            "document_template": "",
        }
        self.store_id = store_id or secrets.token_hex(16)
        self.segments: list[Segment] = []
        self.commit = 0
        self.next_segment_id = 0
        self.committed_at = 1_700_000_000.25

    @property
    def dimension(self) -> int:
        return self.representation["dimension"]

    def append(self, documents: dict[str, np.ndarray]) -> Segment:
        """Writes one new segment's files (not yet committed)."""
        seg_id = self.next_segment_id
        self.next_segment_id += 1
        ids = list(documents)
        mats = [np.asarray(documents[i], np.float32).reshape(-1, self.dimension) for i in ids]
        lengths = [len(m) for m in mats]
        vectors = np.concatenate(mats) if mats else np.zeros((0, self.dimension), np.float32)
        offsets = np.concatenate(([0], np.cumsum(lengths))).astype(np.uint64)
        base = self.path / f"segment-{seg_id}"
        (self.path / f"segment-{seg_id}.ids.json").write_text(json.dumps(ids))
        np.save(f"{base}.offsets.npy", offsets)
        if self.encoding == "float32":
            np.save(f"{base}.vectors.npy", vectors)
        else:
            codes, scales = int8_encode(vectors)
            np.save(f"{base}.codes.npy", codes)
            np.save(f"{base}.scales.npy", scales)
        seg = Segment(seg_id, ids, vectors, lengths)
        self.segments.append(seg)
        return seg

    def delete(self, segment: Segment, rows: list[int]):
        """Marks rows deleted; written as a tombstone file at the next commit."""
        segment.deleted = sorted(set(segment.deleted) | set(rows))
        segment.tombstones = -1  # pending

    def drop(self, segment: Segment):
        self.segments.remove(segment)

    def erase_files(self, segment: Segment):
        """Removes every file of a segment from the directory, as clean-up does."""
        for f in self.path.glob(f"segment-{segment.id}.*"):
            f.unlink()

    def manifest(self) -> dict:
        return {
            "format": FORMAT,
            "store_id": self.store_id,
            "encoding": self.encoding,
            "corpus": self.corpus,
            "representation": self.representation,
            "commit": self.commit,
            "next_segment_id": self.next_segment_id,
            "committed_at": self.committed_at,
            "segments": [
                {"id": s.id, "documents": len(s.ids), "tokens": int(sum(s.lengths)), "tombstones": s.tombstones}
                for s in self.segments
            ],
        }

    def publish(self) -> dict:
        """Commits: writes pending tombstones, then replaces manifest.json by rename."""
        self.commit += 1
        self.committed_at += 1.5
        for s in self.segments:
            if s.tombstones == -1:
                np.save(self.path / f"segment-{s.id}.tombstones-{self.commit}.npy", np.array(s.deleted, np.uint64))
                s.tombstones = self.commit
        manifest = self.manifest()
        tmp = self.path / f"manifest.json.{secrets.token_hex(4)}"
        tmp.write_text(json.dumps(manifest, indent=2) + "\n")
        os.replace(tmp, self.path / "manifest.json")
        return manifest


def random_documents(rng, count, dimension, *, prefix="d", min_tokens=1, max_tokens=6):
    return {
        f"{prefix}{i}": rng.standard_normal((int(rng.integers(min_tokens, max_tokens + 1)), dimension)).astype(np.float32)
        for i in range(count)
    }


def segmented_store(path, rng, *, encoding="float32", normalized=False, dimension=48, corpus="docs"):
    """Two segments, the second replacing d30..d39 of the first; d2 and d31
    deleted (d31 while the first segment still lists it). Returns the builder
    and what a view holds, decoded as the store decodes it."""
    builder = StoreBuilder(path, corpus=corpus, encoding=encoding, dimension=dimension, normalized=normalized)
    first = random_documents(rng, 40, dimension, max_tokens=300)
    second = {f"d{i}": m for i, m in enumerate(random_documents(rng, 60, dimension, max_tokens=300).values()) if i >= 30}
    builder.delete(builder.append(first), [2, 35])
    builder.delete(builder.append(second), [1])
    builder.publish()
    live = {**first, **second}
    del live["d2"], live["d31"]
    if encoding == "int8":
        live = {k: int8_decode(*int8_encode(v), normalized) for k, v in live.items()}
    return builder, live
