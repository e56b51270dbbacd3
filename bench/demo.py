"""The main job: index the Python documentation, search it, measure the quality.

Fetches Debian's python3.11-doc (without installing it), encodes FAQ answers
and distractor passages with all-MiniLM-L6-v2, writes a float32 and an int8
vector store with ``VectorStoreWriter``, searches every FAQ question with
``SearchPipeline(MeanPooledGatherer, MaxSimReranker([store]))`` and with
``SearchPipeline(StoreGatherer(store), MaxSimReranker([store]))`` (its first
stage pooled from the stored token vectors, its index kept beside the store),
and prints nDCG@10, recall@10 and MRR@10 beside the references computed in
the same run: exact MaxSim over every document (NumPy), the single-vector
cosine alone (the encoder's pooled vector, and the store's), and BM25. ``--full`` runs the whole corpus and every question.
``--shards N`` also writes both stores as sharded stores of N shards on a local
Ray cluster and runs every question through ``SearchPipeline(ShardedGatherer,
ShardedReranker)``: each result must equal the unsharded one.
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import shutil
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import corpus as corpus_module  # noqa: E402
import quality  # noqa: E402

from quillmark import MaxSimReranker, SearchPipeline, VectorStore, VectorStoreWriter  # noqa: E402
from quillmark.encoding import MissingModelError, TextEncoder, pack  # noqa: E402
from quillmark.encoding_cache import EncodingCache  # noqa: E402
from quillmark.gatherers import MeanPooledGatherer  # noqa: E402
from quillmark.store_gatherer import StoreGatherer  # noqa: E402

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
CORPUS_NAME = "python-docs"
GATHER_LIMIT = 100
APPEND_BATCHES = 5


@dataclasses.dataclass
class Run:
    """Everything one run measured; the checks and the report read it."""

    version: str
    backend: str
    documents: int
    tokens: int
    truncated: int
    queries: int
    encode_seconds: float
    encoded_now: int
    table: dict[str, dict[str, float]]
    latency: dict[str, tuple[float, float]]
    sizes: dict[str, int]
    agreement: dict[str, tuple[int, list[str]]]
    sample: tuple[str, str, list[tuple[str, float, str]]]
    # --shards N: shard count, and per encoding the queries whose sharded result
    # equals the unsharded one, with the first differences.
    shards: int = 0
    sharded: dict[str, tuple[int, list[str]]] = dataclasses.field(default_factory=dict)
    # What the run searched with, for checks that repeat its searches.
    stores: dict = dataclasses.field(default_factory=dict, repr=False)
    pipelines: dict = dataclasses.field(default_factory=dict, repr=False)
    query_objects: list = dataclasses.field(default_factory=list, repr=False)


def _directory_size(path: pathlib.Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def write_store(path: pathlib.Path, ids: list[str], encoded, representation, encoding: str, progress: bool) -> None:
    shutil.rmtree(path, ignore_errors=True)
    writer = VectorStoreWriter.create(path, CORPUS_NAME, representation, encoding=encoding)
    bar = None
    if progress:
        try:
            from tqdm import tqdm
        except ImportError:  # no bar then; make demo-deps installs it
            tqdm = None
        bar = tqdm(total=len(ids), desc=f"write {encoding}", unit="doc") if tqdm else None
    step = -(-len(ids) // APPEND_BATCHES)
    for start in range(0, len(ids), step):
        embeddings, lengths = pack(encoded[start : start + step])
        writer.append(ids[start : start + step], embeddings, lengths)
        if bar is not None:
            bar.update(len(lengths))
    if bar is not None:
        bar.close()
    writer.commit()


def _outcome(result) -> tuple:
    return ([(d.document_id, d.score) for d in result.documents],
            [(c.document_id, c.gather_score) for c in result.candidates], result.scores)


def run(*, passages: int | None, queries: int | None, backend: str, cache: pathlib.Path, progress: bool = True,
        shards: int = 0) -> Run:
    root, version = corpus_module.fetch(cache / "corpus")
    corpus = corpus_module.load(root, version)
    questions, ids = corpus_module.sample(corpus, passages, queries)
    texts = [corpus.documents[i] for i in ids]

    encoder = TextEncoder.minilm(backend)
    store_cache = EncodingCache(cache / "encodings")
    started = time.perf_counter()
    encoded, encoded_now = store_cache.encode(encoder, texts, progress="encode" if progress else None)
    query_encoded, _ = store_cache.encode(
        encoder, [q.text for q in questions], template=encoder.representation.query_template
    )
    encode_seconds = time.perf_counter() - started
    documents, lengths = pack(encoded)

    stores = {}
    for encoding in ("float32", "int8"):
        path = cache / "stores" / f"{CORPUS_NAME}-{encoding}"
        write_store(path, ids, encoded, encoder.representation, encoding, progress)
        stores[encoding] = VectorStore(path)

    gatherer = MeanPooledGatherer.from_encoded(CORPUS_NAME, ids, encoded, encoder)
    relevant = [[q.answer_id] for q in questions]
    query_objects = [encoder.query(q.text, e) for q, e in zip(questions, query_encoded)]

    table: dict[str, dict[str, float]] = {}
    latency: dict[str, tuple[float, float]] = {}
    agreement: dict[str, tuple[int, list[str]]] = {}
    first_result = None
    index = {doc: i for i, doc in enumerate(ids)}
    pipelines = {}
    outcomes: dict[str, list[tuple]] = {}
    for encoding, store in stores.items():
        pipeline = pipelines[encoding] = SearchPipeline(gatherer, MaxSimReranker([store]))
        rankings, totals, mismatches = [], [], []
        for question, query, e in zip(questions, query_objects, query_encoded):
            result = pipeline.search(query, gather_limit=GATHER_LIMIT, limit=quality.CUTOFF)
            outcomes.setdefault(encoding, []).append(_outcome(result))
            ranked = [d.document_id for d in result.documents]
            rankings.append(ranked)
            totals.append(result.timings.total_seconds)
            if first_result is None:
                first_result = (question, result)
            # The reranked order must be exact MaxSim over the gathered candidates:
            # over the encoder's vectors for float32, over the vectors the store
            # decodes for int8 (its codes are what the reranker can score).
            candidates = [c.document_id for c in result.candidates]
            if encoding == "float32":
                reference = quality.maxsim_all(e.tokens, *_select(documents, lengths, [index[c] for c in candidates]))
            else:
                reference = quality.maxsim_all(e.tokens, *store.view().fetch(candidates))
            ok, why = quality.ranking_matches(ranked, candidates, dict(zip(candidates, map(float, reference))), quality.CUTOFF)
            if not ok:
                mismatches.append(f"{question.text!r}: {why}")
        table[f"pipeline, {encoding} store"] = quality.mean_metrics(rankings, relevant)
        latency[encoding] = (float(np.percentile(totals, 50)), float(np.percentile(totals, 95)))
        agreement[encoding] = (len(questions) - len(mismatches), mismatches)

    # The first stage kept beside each store: pooled from the stored token
    # vectors (mean of unit rows), so it needs nothing but the store.
    store_pooled = []
    for encoding, store in stores.items():
        store_gatherer = StoreGatherer(store)
        pipeline = SearchPipeline(store_gatherer, MaxSimReranker([store]))
        rankings, totals = [], []
        for query in query_objects:
            result = pipeline.search(query, gather_limit=GATHER_LIMIT, limit=quality.CUTOFF)
            rankings.append([d.document_id for d in result.documents])
            totals.append(result.timings.total_seconds)
        table[f"pipeline, StoreGatherer, {encoding} store"] = quality.mean_metrics(rankings, relevant)
        latency[f"{encoding}, StoreGatherer"] = (float(np.percentile(totals, 50)), float(np.percentile(totals, 95)))
        if encoding == "float32":
            store_pooled = [
                [c.document_id for c in store_gatherer.gather(query, quality.CUTOFF).candidates]
                for query in query_objects
            ]

    sharded = {}
    if shards:
        sharded = _run_sharded(shards, cache, ids, encoded, encoder, gatherer, query_objects, outcomes, relevant,
                               table, latency)

    exact, cosine = [], []
    for e in query_encoded:
        exact.append(quality.top_ids(quality.maxsim_all(e.tokens, documents, lengths), ids))
        cosine.append(quality.top_ids(gatherer.vectors @ e.pooled, ids))
    table["exact MaxSim, all documents (NumPy)"] = quality.mean_metrics(exact, relevant)
    table["single-vector cosine alone"] = quality.mean_metrics(cosine, relevant)
    table["store-pooled cosine alone"] = quality.mean_metrics(store_pooled, relevant)
    table["BM25 (bm25s)"] = quality.mean_metrics(quality.BM25(ids, texts).search([q.text for q in questions]), relevant)

    question, result = first_result
    sample = (
        question.text,
        question.answer_id,
        [(d.document_id, d.score, corpus.documents[d.document_id]) for d in result.documents[:3]],
    )
    return Run(
        version=version,
        backend=backend,
        documents=len(ids),
        tokens=int(lengths.sum()),
        truncated=sum(e.truncated for e in encoded),
        queries=len(questions),
        encode_seconds=encode_seconds,
        encoded_now=encoded_now,
        table=table,
        latency=latency,
        sizes={encoding: _directory_size(store.path) for encoding, store in stores.items()},
        agreement=agreement,
        sample=sample,
        shards=shards,
        sharded=sharded,
        stores=stores,
        pipelines=pipelines,
        query_objects=query_objects,
    )


def _run_sharded(shards, cache, ids, encoded, encoder, gatherer, query_objects, outcomes, relevant, table,
                 latency) -> dict[str, tuple[int, list[str]]]:
    """Both stores again as sharded stores on a local Ray cluster, every query
    through the sharded pipeline, each result compared with the unsharded one."""
    import os

    # Read when Ray is imported; it keeps the local cluster's servers on
    # loopback (see ray_bench.py).
    os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
    import ray

    from quillmark.distributed import ShardedGatherer, ShardedReranker, ShardedStore

    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False, configure_logging=False,
             _node_ip_address="127.0.0.1")
    agreement = {}
    try:
        for encoding in ("float32", "int8"):
            root = cache / "stores" / f"{CORPUS_NAME}-{encoding}-{shards}-shards"
            shutil.rmtree(root, ignore_errors=True)
            with ShardedStore.create(root, CORPUS_NAME, encoder.representation, shards=shards,
                                     encoding=encoding, timeout=300) as store:
                step = -(-len(ids) // APPEND_BATCHES)
                for start in range(0, len(ids), step):
                    store.append(ids[start : start + step], *pack(encoded[start : start + step]))
                store.commit()
                pipeline = SearchPipeline(
                    ShardedGatherer.mean_pooled(store, gatherer.document_ids, gatherer.vectors,
                                                representation=gatherer.representation),
                    ShardedReranker(store))
                rankings, totals, differences = [], [], []
                for i, query in enumerate(query_objects):
                    result = pipeline.search(query, gather_limit=GATHER_LIMIT, limit=quality.CUTOFF)
                    rankings.append([d.document_id for d in result.documents])
                    totals.append(result.timings.total_seconds)
                    if _outcome(result) != outcomes[encoding][i]:
                        differences.append(f"query {i}: {rankings[-1][:3]}... != {[d for d, _ in outcomes[encoding][i][0][:3]]}...")
            name = f"{encoding}, {shards} shards"
            table[f"pipeline, {name} (Ray)"] = quality.mean_metrics(rankings, relevant)
            latency[name] = (float(np.percentile(totals, 50)), float(np.percentile(totals, 95)))
            agreement[encoding] = (len(query_objects) - len(differences), differences)
    finally:
        ray.shutdown()
    return agreement


def _select(documents: np.ndarray, lengths: np.ndarray, rows: list[int]) -> tuple[np.ndarray, np.ndarray]:
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    picked = [documents[starts[r] : starts[r] + lengths[r]] for r in rows]
    return np.concatenate(picked), lengths[rows]


def checks(r: Run) -> list[tuple[str, bool]]:
    """The quality claims, each with whether this run holds it."""
    ndcg = {name: row["ndcg"] for name, row in r.table.items()}
    f32, i8 = ndcg["pipeline, float32 store"], ndcg["pipeline, int8 store"]
    exact = ndcg["exact MaxSim, all documents (NumPy)"]
    sharded = [
        (f"{r.shards}-shard {encoding} pipeline returns every query's unsharded result "
         f"({same}/{r.queries}) and the same quality",
         same == r.queries and r.table[f"pipeline, {encoding}, {r.shards} shards (Ray)"]
         == r.table[f"pipeline, {encoding} store"])
        for encoding, (same, _) in r.sharded.items()
    ]
    return sharded + [
        ("float32 pipeline ranks every query as exact MaxSim over its candidates",
         r.agreement["float32"][0] == r.queries),
        (f"pipeline nDCG@10 {f32:.4f} >= exact MaxSim {exact:.4f} - 0.01", f32 >= exact - 0.01),
        (f"int8 nDCG@10 {i8:.4f} within 0.01 of float32 {f32:.4f}", abs(i8 - f32) <= 0.01),
        (f"exact MaxSim {exact:.4f} >= single-vector cosine {ndcg['single-vector cosine alone']:.4f} - 0.01",
         exact >= ndcg["single-vector cosine alone"] - 0.01),
        (f"exact MaxSim {exact:.4f} >= BM25 {ndcg['BM25 (bm25s)']:.4f} + 0.2", exact >= ndcg["BM25 (bm25s)"] + 0.2),
    ]


def report(r: Run) -> str:
    lines = [
        f"corpus      Debian {corpus_module.PACKAGE} {r.version}: {r.documents:,} documents "
        f"({r.tokens:,} tokens), {r.queries} FAQ questions",
        f"encoder     all-MiniLM-L6-v2, {r.backend} ({r.encoded_now:,} texts encoded now, the rest from the cache; "
        f"{r.encode_seconds:.1f} s); {r.truncated} documents truncated to the 256-token window",
        "",
        f"{'ranking (@10)':<44}{'nDCG':>8}{'recall':>8}{'MRR':>8}",
    ]
    for name, row in r.table.items():
        lines.append(f"{name:<44}{row['ndcg']:>8.4f}{row['recall']:>8.4f}{row['mrr']:>8.4f}")
    lines.append("")
    for encoding, (p50, p95) in r.latency.items():
        size = (f"store {r.sizes[encoding] / 2**20:>7.1f} MiB" if encoding in r.sizes
                else "index beside it" if "StoreGatherer" in encoding else "sharded, on Ray")
        lines.append(
            f"{encoding:<24} {size:<18} search p50 {p50 * 1e3:6.1f} ms  "
            f"p95 {p95 * 1e3:6.1f} ms   (SearchResult.timings, gather_limit {GATHER_LIMIT}, query encoded beforehand)"
        )
    question, answer_id, top = r.sample
    lines += ["", f"sample query: {question}   (answer: {answer_id})"]
    for rank, (doc, score, text) in enumerate(top, start=1):
        mark = "  <- the answer" if doc == answer_id else ""
        lines.append(f"  {rank}. {doc}  MaxSim {score:.3f}{mark}\n     {text[:150]}...")
    lines.append("")
    for claim, ok in checks(r):
        lines.append(f"[{'ok' if ok else 'FAILED'}] {claim}")
    for encoding, (_, mismatches) in r.agreement.items():
        for m in mismatches[:3]:
            lines.append(f"  {encoding} ranking differs from NumPy MaxSim: {m}")
    for encoding, (_, differences) in r.sharded.items():
        for d in differences[:3]:
            lines.append(f"  {encoding} sharded result differs from unsharded: {d}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="every passage (about 8,400) and all 175 questions")
    parser.add_argument("--backend", choices=("int8", "fp32"), default="int8",
                        help="encoder inference: the int8 ONNX graph (default) or the float32 NumPy pass")
    parser.add_argument("--cache", type=pathlib.Path, default=REPOSITORY / ".cache", help="corpus, encodings and stores")
    parser.add_argument("--no-progress", action="store_true")
    parser.add_argument("--shards", type=int, default=0, metavar="N",
                        help="also search both stores sharded N ways on a local Ray cluster (quillmark[ray])")
    args = parser.parse_args(argv)
    try:
        r = run(
            passages=None if args.full else 1000,
            queries=None if args.full else 50,
            backend=args.backend,
            cache=args.cache,
            progress=not args.no_progress,
            shards=args.shards,
        )
    except (MissingModelError, corpus_module.CorpusUnavailable) as error:
        print(f"demo: {error}", file=sys.stderr)
        return 2
    print(report(r))
    return 0 if all(ok for _, ok in checks(r)) else 1


if __name__ == "__main__":
    sys.exit(main())
