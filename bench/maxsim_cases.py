"""MaxSim in four cases, each against the product-only limit and NumPy.

Query of 32 tokens, dimension 128, unit-norm rows, fixed seed:
 (a) 4,000 documents x 300 tokens in memory (maxsim_scores_packed);
 (b) 1,000 candidates x 128 tokens in memory;
 (c) the same 1,000 candidates from a float32 store and from an int8 store,
     ids to scores (MaxSimReranker over a VectorStore, files in the page cache);
 (d) 100 documents x 128 tokens in memory.

For each case the methods run interleaved (timing.py) and the table gives
medians, min, max and ratios:
- quillmark with threads unset, 1 and 2;
- the product-only limit: the kernel's own batching, pool and sgemm calls
  without the maximum (quillmark._native_testing.blas_product_only), at the
  same thread counts;
- NumPy's product `docs @ q.T` alone, on NumPy's own BLAS with its default
  threads (a second limit: the product a NumPy user cannot avoid);
- NumPy as a user writes it: one `docs @ q.T` over the packed block, then
  np.maximum.reduceat over the documents and a sum; for (c), on the stores'
  memory-mapped files (int8: gathered and decoded first).
(b) and (c) run in one interleaved group, so (c) is also given relative to (b).
"""

from __future__ import annotations

import json
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np

import quillmark
from quillmark import Candidate, Feature, MaxSimReranker, Query, ResourceBudget, VectorStore, VectorStoreWriter
from quillmark import Representation

from timing import interleaved, load_average, print_table, ratio_line

DIM, QUERY_TOKENS, SEED = 128, 32, 0
STORE_DOCUMENTS, CANDIDATES, CANDIDATE_TOKENS = 4_000, 1_000, 128
THREADS = {"threads unset": None, "threads=1": 1, "threads=2": 2}
NUMPY_SETTLE = 0.2  # NumPy's BLAS threads spin for a while after a product
REPRESENTATION = Representation("bench", "1", DIM, True)


def unit_rows(rng, rows):
    x = rng.standard_normal((rows, DIM), dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x


def numpy_maxsim(q, docs, lengths):
    """MaxSim as a NumPy user writes it: one product, then per-document maxima."""
    starts = np.concatenate(([0], np.cumsum(lengths)[:-1]))
    return np.maximum.reduceat(docs @ q.T, starts, axis=0).sum(axis=1)


def product_only():
    """The kernel's product-only hook, or None in a build without it."""
    try:
        from quillmark._native_testing import blas_product_only
    except ImportError:
        return None
    return blas_product_only


def in_memory_methods(q, docs, lengths, hook, prefix=""):
    methods = {}
    for label, t in THREADS.items():
        methods[f"{prefix}quillmark {label}"] = (
            lambda t=t: quillmark.maxsim_scores_packed(q, docs, lengths, threads=t))
    if hook is not None:
        for label, t in THREADS.items():
            methods[f"{prefix}limit: kernel product only {label}"] = lambda t=t: hook(q, docs, lengths, threads=t)
    methods[f"{prefix}limit: NumPy's BLAS, docs @ q.T alone"] = lambda: docs @ q.T
    methods[f"{prefix}NumPy: docs @ q.T, maximum.reduceat, sum"] = lambda: numpy_maxsim(q, docs, lengths)
    return methods


def numpy_settle(methods):
    return {name: NUMPY_SETTLE for name in methods if "NumPy" in name}


def summary(stats, prefix=""):
    lines = []
    for label in THREADS:
        limit = stats.get(f"{prefix}limit: kernel product only {label}")
        if limit is not None:
            lines.append(ratio_line(f"quillmark / product-only limit, {label}",
                                    stats[f"{prefix}quillmark {label}"], limit))
    best = min((stats[f"{prefix}quillmark {label}"] for label in THREADS), key=lambda s: s.median)
    lines.append(ratio_line("NumPy / quillmark (its fastest thread setting)",
                            stats[f"{prefix}NumPy: docs @ q.T, maximum.reduceat, sum"], best))
    lines.append(ratio_line("quillmark (fastest) / NumPy's product alone", best,
                            stats[f"{prefix}limit: NumPy's BLAS, docs @ q.T alone"]))
    print("\n".join(lines))


def packed_case(rng, documents, tokens):
    q = unit_rows(rng, QUERY_TOKENS)
    lengths = np.full(documents, tokens, np.int64)
    return q, unit_rows(rng, documents * tokens), lengths


def run_in_memory(title, q, docs, lengths, hook, budget):
    np.testing.assert_allclose(quillmark.maxsim_scores_packed(q, docs, lengths), numpy_maxsim(q, docs, lengths),
                               rtol=1e-4, atol=1e-4)
    methods = in_memory_methods(q, docs, lengths, hook)
    stats = interleaved(methods, budget=budget, settle=numpy_settle(methods))
    print_table(title, stats, "quillmark threads unset")
    summary(stats)


class Stores:
    """A float32 and an int8 store of the same STORE_DOCUMENTS unit-row
    documents, written with VectorStoreWriter; CANDIDATES of them, chosen at
    random, are the candidates of cases (b) and (c)."""

    def __init__(self, root: Path, rng):
        self.ids = [f"doc-{i:05d}" for i in range(STORE_DOCUMENTS)]
        vectors = unit_rows(rng, STORE_DOCUMENTS * CANDIDATE_TOKENS)
        lengths = np.full(STORE_DOCUMENTS, CANDIDATE_TOKENS, np.int64)
        self.paths = {}
        for encoding in ("float32", "int8"):
            path = root / encoding
            writer = VectorStoreWriter.create(path, "bench", REPRESENTATION, encoding=encoding)
            writer.append(self.ids, vectors, lengths)
            writer.commit()
            del writer
            self.paths[encoding] = path
            for f in path.iterdir():  # into the page cache
                f.read_bytes()
        self.chosen = rng.choice(STORE_DOCUMENTS, CANDIDATES, replace=False)
        self.candidate_ids = [self.ids[i] for i in self.chosen]
        self.candidate_vectors = np.concatenate(
            [vectors[i * CANDIDATE_TOKENS:(i + 1) * CANDIDATE_TOKENS] for i in self.chosen])
        self.candidate_lengths = np.full(CANDIDATES, CANDIDATE_TOKENS, np.int64)

    def mapped(self, encoding):
        """The store's one segment, as a NumPy user maps it: the arrays by
        name, and document id -> row range."""
        path = self.paths[encoding]
        (segment,) = json.loads((path / "manifest.json").read_text())["segments"]
        base = path / f"segment-{segment['id']}"
        ids = json.loads(Path(f"{base}.ids.json").read_text())
        offsets = np.load(f"{base}.offsets.npy").astype(np.int64)
        names = ("vectors",) if encoding == "float32" else ("codes", "scales")
        arrays = {name: np.load(f"{base}.{name}.npy", mmap_mode="r") for name in names}
        return arrays, {doc: (offsets[i], offsets[i + 1]) for i, doc in enumerate(ids)}


def numpy_from_mapped(q, arrays, rows_of, ids):
    """Ids to scores with NumPy on the mapped files: gather the documents'
    rows (int8: and decode them to unit rows), then the one-product MaxSim."""
    spans = [rows_of[doc] for doc in ids]
    lengths = np.array([e - s for s, e in spans])
    if "vectors" in arrays:
        docs = np.concatenate([arrays["vectors"][s:e] for s, e in spans])
    else:
        codes = np.concatenate([arrays["codes"][s:e] for s, e in spans])
        scales = np.concatenate([arrays["scales"][s:e] for s, e in spans])
        docs = codes.astype(np.float32) * scales[:, None]
        docs /= np.maximum(np.linalg.norm(docs, axis=1, keepdims=True), np.float32(1e-12))
    return numpy_maxsim(q, docs, lengths)


def store_methods(q, stores, encodings=("float32", "int8"), threads=THREADS):
    """Ids to scores through MaxSimReranker over each store, per thread setting."""
    query = Query("bench query", multi_vector=Feature(REPRESENTATION, q))
    candidates = [Candidate("bench", doc, 0.0, rank, "") for rank, doc in enumerate(stores.candidate_ids)]
    expected = numpy_maxsim(q, stores.candidate_vectors, stores.candidate_lengths)
    methods = {}
    for encoding in encodings:
        reranker = MaxSimReranker([VectorStore(stores.paths[encoding])])
        scores = np.array(reranker.rerank(query, candidates, budget=ResourceBudget()).scores, np.float32)
        # int8 codes move each score by about a hundredth.
        np.testing.assert_allclose(scores, expected, rtol=1e-4, atol=1e-4 if encoding == "float32" else 0.1)
        for label, t in threads.items():
            budget = ResourceBudget(threads=t)
            methods[f"(c) {encoding} store, quillmark {label}"] = (
                lambda r=reranker, b=budget: r.rerank(query, candidates, budget=b))
    return methods


def run_candidates(q, stores, hook, budget):
    """(b) in memory and (c) from the stores, interleaved together."""
    docs, lengths = stores.candidate_vectors, stores.candidate_lengths
    methods = in_memory_methods(q, docs, lengths, hook, prefix="(b) ")
    methods.update(store_methods(q, stores))
    for encoding in ("float32", "int8"):
        arrays, rows_of = stores.mapped(encoding)
        np.testing.assert_allclose(numpy_from_mapped(q, arrays, rows_of, stores.candidate_ids),
                                   numpy_maxsim(q, docs, lengths), rtol=1e-4, atol=1e-4 if encoding == "float32" else 0.1)
        methods[f"(c) {encoding} store, NumPy on the mapped files"] = (
            lambda a=arrays, r=rows_of: numpy_from_mapped(q, a, r, stores.candidate_ids))
    stats = interleaved(methods, budget=budget, settle=numpy_settle(methods))
    b = {k: v for k, v in stats.items() if k.startswith("(b) ")}
    c = {k: v for k, v in stats.items() if k.startswith("(c) ")}
    print_table(f"(b) {CANDIDATES} candidates x {CANDIDATE_TOKENS} tokens in memory", b, "(b) quillmark threads unset")
    summary(stats, prefix="(b) ")
    c.update({k: v for k, v in b.items() if "limit: kernel" in k or "quillmark" in k})
    print_table(f"(c) the same {CANDIDATES} candidates, ids to scores from a store (files in the page cache)", c,
                "(c) float32 store, quillmark threads unset")
    lines = []
    for encoding in ("float32", "int8"):
        for label in THREADS:
            lines.append(ratio_line(f"{encoding} store / (b) in memory, quillmark {label}",
                                    stats[f"(c) {encoding} store, quillmark {label}"], stats[f"(b) quillmark {label}"]))
        best = min((stats[f"(c) {encoding} store, quillmark {label}"] for label in THREADS), key=lambda s: s.median)
        lines.append(ratio_line(f"{encoding} store: NumPy on the mapped files / quillmark (fastest)",
                                stats[f"(c) {encoding} store, NumPy on the mapped files"], best))
    print("\n".join(lines))


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}; query {QUERY_TOKENS} tokens, dimension {DIM}, "
          f"unit rows, seed {SEED}; {load_average()}")
    hook = product_only()
    if hook is None:
        print("(this build has no quillmark._native_testing.blas_product_only: the product-only limit is left out)")
    rng = np.random.default_rng(SEED)
    q, docs, lengths = packed_case(rng, 4_000, 300)
    run_in_memory("(a) 4000 documents x 300 tokens in memory", q, docs, lengths, hook, budget=30)
    del docs
    root = Path(tempfile.mkdtemp(prefix="quillmark-maxsim-cases-"))
    try:
        stores = Stores(root, rng)
        run_candidates(q, stores, hook, budget=20)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    q, docs, lengths = packed_case(rng, 100, 128)
    run_in_memory("(d) 100 documents x 128 tokens in memory", q, docs, lengths, hook, budget=10)
    print(f"\n{load_average()}")


if __name__ == "__main__":
    main()
