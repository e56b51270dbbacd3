"""How long texts are windowed: the measurements behind TextEncoder's defaults.

Two measurements on the Python documentation with all-MiniLM-L6-v2 (int8):

1. Context. Texts that fit in the model's 256-token window are encoded whole
   (every token sees the whole text) and again in small windows of 96 tokens
   at several overlaps. The cosine between a token's windowed vector and its
   whole-text vector says how much a cut costs the tokens that are kept, and
   the tokens encoded per text token say what the overlap costs.
2. Retrieval. Exact MaxSim over the main job's 1,000 documents and 50
   questions, with long documents truncated and windowed at each overlap of the
   full window, on all questions and on those whose answer is longer than the
   window.

The default stride (three quarters of a window's text tokens, a quarter
overlap) is where the context measurement stops improving by much while the
cost stays within a few percent of no overlap.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import corpus as corpus_module  # noqa: E402
import quality  # noqa: E402

from quillmark.encoders import EncodingCache, TextEncoder, pack  # noqa: E402

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
OVERLAPS = (0.0, 0.125, 0.25, 0.5)


def context(texts: list[str], small: int) -> None:
    whole = TextEncoder.minilm("int8").encode(texts)
    print(f"context: {len(texts)} texts of 200-254 tokens, windows of {small} tokens against the whole text")
    print(f"{'overlap':>8}{'stride':>8}{'mean cos':>10}{'1% cos':>9}{'cost':>7}")
    for overlap in OVERLAPS:
        width = small - 2
        stride = max(1, round(width * (1 - overlap)))
        encoder = TextEncoder.minilm("int8", window=small, stride=stride)
        windowed = encoder.encode(texts)
        plans = encoder.plan(texts)
        cosines = np.concatenate([np.sum(a.tokens * b.tokens, axis=1) for a, b in zip(windowed, whole)])
        encoded = sum(len(w) for p in plans for w in p.inputs)
        cost = encoded / sum(e.tokens.shape[0] for e in whole)
        print(f"{overlap:>8.3f}{stride:>8}{cosines.mean():>10.4f}{np.percentile(cosines, 1):>9.4f}{cost:>7.2f}")


def retrieval(cache: pathlib.Path) -> None:
    root, version = corpus_module.fetch(cache / "corpus")
    corpus = corpus_module.load(root, version)
    questions, ids = corpus_module.sample(corpus, 1000, 50)
    texts = [corpus.documents[i] for i in ids]
    store = EncodingCache(cache / "encodings")
    relevant = [[q.answer_id] for q in questions]
    truncating = TextEncoder.minilm("int8", truncate=True)
    long = {i for i, p in zip(ids, truncating.plan(texts)) if p.truncated}
    cut = [n for n, q in enumerate(questions) if q.answer_id in long]
    print(f"\nretrieval: exact MaxSim, {len(ids)} documents ({len(long)} longer than the window), "
          f"{len(questions)} questions ({len(cut)} with a long answer)")
    print(f"{'encoding':<28}{'nDCG@10':>9}{'long answers':>14}{'tokens':>10}")
    queries, _ = store.encode(truncating, [q.text for q in questions], template="")
    variants = [("truncated", truncating)] + [
        (f"windows, overlap {overlap:.3f}", TextEncoder.minilm("int8", stride=max(1, round(254 * (1 - overlap)))))
        for overlap in OVERLAPS]
    for name, encoder in variants:
        encoded, _ = store.encode(encoder, texts, progress=None)
        documents, lengths = pack(encoded)
        rankings = [quality.top_ids(quality.maxsim_all(q.tokens, documents, lengths), ids) for q in queries]
        every = quality.mean_metrics(rankings, relevant)["ndcg"]
        subset = quality.mean_metrics([rankings[n] for n in cut], [relevant[n] for n in cut])["ndcg"]
        print(f"{name:<28}{every:>9.4f}{subset:>14.4f}{int(lengths.sum()):>10,}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=pathlib.Path, default=REPOSITORY / ".cache")
    parser.add_argument("--texts", type=int, default=200)
    args = parser.parse_args()
    root, version = corpus_module.fetch(args.cache / "corpus")
    corpus = corpus_module.load(root, version)
    tokenizer = TextEncoder.minilm("int8").tokenizer
    every = sorted(corpus.documents.values())
    order = np.random.default_rng(0).permutation(len(every))
    fitting = [every[i] for i in order if 200 <= len(tokenizer.encode(every[i]).ids) <= 254][: args.texts]
    context(fitting, 96)
    retrieval(args.cache)


if __name__ == "__main__":
    main()
