"""Clustered synthetic embeddings: token matrices shaped like real ones.

Independent Gaussian vectors make every neighbour equally far; real token
embeddings are not like that. Here:

- a corpus has ``topics`` topic centres (a few thousand by default) that share
  a common direction and spread over a space whose variance decays by a power
  law (real embedding spaces are anisotropic, of low effective dimension);
- topic sizes follow a power law (a few large topics, many small ones);
- a document has its own centre near its topic's, and 2 to 4 sub-centres near
  that; each token is a noisy draw around one of its sub-centres, or, for a
  fraction of tokens, around one of a few corpus-wide "common" vectors (the
  punctuation and function words that every document has);
- every row is unit length (float32).

A query is a set of tokens drawn near one document's sub-centres (with more
noise, and a few common tokens), so it has true neighbours: that document
first, its topic's documents next.

Rows are the same whatever the chunking: documents are made in fixed blocks
of ``BLOCK`` documents, each from its own random stream keyed by (seed, block),
and a request for [start, stop) makes the blocks it covers and slices them.
A document's latent structure (topic, centre, sub-centres) comes from a
stream of its own, apart from the token noise, so a query needs only its
block's latents, not its tokens.

    corpus = ClusteredCorpus(seed=7)
    tokens = corpus.documents(0, 10_000)        # float32 [10000, 64, 128]
    pooled = corpus.pooled(0, 10_000)           # float32 [10000, 128]
    q, targets = corpus.queries(0, 100, n_documents=1_000_000)  # [100, 32, 128]
"""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass, field

import numpy as np

BLOCK = 1000

_TOPICS, _LATENT, _TOKENS, _QUERIES = 1, 2, 3, 4  # stream kinds


def _normalize(x: np.ndarray) -> np.ndarray:
    norms = np.sqrt(np.einsum("...i,...i->...", x, x))
    norms = np.maximum(norms, np.float32(1e-12) if x.dtype == np.float32 else 1e-12)
    x /= norms[..., None]
    return x


def pool(tokens: np.ndarray) -> np.ndarray:
    """The pooled vector of each document of float32 [n, tokens, d]: the mean of
    its unit token rows, summed in float64, made unit length (float32 [n, d])."""
    means = tokens.sum(axis=1, dtype=np.float64)
    return _normalize(means).astype(np.float32)


@dataclass
class ClusteredCorpus:
    seed: int = 0
    dim: int = 128
    tokens: int = 64  # tokens per document
    topics: int = 2048
    topic_power: float = 0.8  # topic c has weight (c + 1) ** -topic_power
    spectrum_power: float = 0.5  # variance of the i-th principal axis ~ (i + 1) ** -spectrum_power
    shared: float = 0.35  # weight of the direction all topic centres share
    document_noise: float = 0.6  # norms of the noise relative to the unit centre it is added to
    subcentre_noise: float = 0.5
    token_noise: float = 0.75
    max_subcentres: int = 4
    min_subcentres: int = 2
    common_vectors: int = 32
    common_fraction: float = 0.15  # share of tokens drawn near a common vector
    _centres: np.ndarray = field(init=False, repr=False)
    _common: np.ndarray = field(init=False, repr=False)
    _topic_cdf: np.ndarray = field(init=False, repr=False)

    def __post_init__(self):
        rng = self._rng(_TOPICS, 0)
        d = self.dim
        rotation, _ = np.linalg.qr(rng.standard_normal((d, d)))
        scale = (np.arange(1, d + 1, dtype=np.float64) ** -self.spectrum_power)
        scale *= np.sqrt(d / np.sum(scale**2))  # mean variance 1 per axis
        shared = _normalize(rng.standard_normal(d))
        raw = (rng.standard_normal((self.topics, d)) * scale) @ rotation.T / np.sqrt(d)
        self._centres = _normalize(raw + self.shared * shared).astype(np.float32)
        common = (rng.standard_normal((self.common_vectors, d)) * scale) @ rotation.T / np.sqrt(d)
        self._common = _normalize(common + self.shared * shared).astype(np.float32)
        weights = np.arange(1, self.topics + 1, dtype=np.float64) ** -self.topic_power
        # Topic ids are shuffled so that the largest topics are not 0, 1, 2, ...
        self._topic_cdf = np.cumsum(weights[rng.permutation(self.topics)])
        self._topic_cdf /= self._topic_cdf[-1]

    def _rng(self, kind: int, index: int) -> np.random.Generator:
        return np.random.Generator(np.random.PCG64(np.random.SeedSequence([self.seed, kind, index])))

    def _noise(self, rng: np.random.Generator, shape: tuple, relative: float) -> np.ndarray:
        # Gaussian noise of expected norm `relative` per row of length dim.
        noise = rng.standard_normal(shape, dtype=np.float32)
        noise *= np.float32(relative / np.sqrt(self.dim))
        return noise

    def _fast_noise(self, rng: np.random.Generator, shape: tuple, relative: float) -> np.ndarray:
        # Uniform noise of the same variance, for the bulk of the tokens: over
        # 128 components a row's norm and direction behave as with Gaussian
        # noise, and uniform floats are about 3x faster to draw.
        noise = rng.random(shape, dtype=np.float32)
        noise -= np.float32(0.5)
        noise *= np.float32(relative * np.sqrt(12.0 / self.dim))
        return noise

    @property
    def centres(self) -> np.ndarray:
        """The topic centres, float32 [topics, dim], unit rows."""
        return self._centres

    def _latent(self, block: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(topic [BLOCK], sub-centres float32 [BLOCK, max_subcentres, dim],
        sub-centre count [BLOCK]) of one block's documents."""
        rng = self._rng(_LATENT, block)
        topic = np.searchsorted(self._topic_cdf, rng.random(BLOCK), side="right").astype(np.int64)
        topic = np.minimum(topic, self.topics - 1)
        centre = self._centres[topic] + self._noise(rng, (BLOCK, self.dim), self.document_noise)
        _normalize(centre)
        sub = centre[:, None, :] + self._noise(rng, (BLOCK, self.max_subcentres, self.dim), self.subcentre_noise)
        _normalize(sub)
        count = rng.integers(self.min_subcentres, self.max_subcentres + 1, size=BLOCK)
        return topic, sub, count

    def _block(self, block: int) -> np.ndarray:
        _, sub, count = self._latent(block)
        rng = self._rng(_TOKENS, block)
        which = (rng.random((BLOCK, self.tokens)) * count[:, None]).astype(np.int64)
        which += np.arange(BLOCK)[:, None] * self.max_subcentres
        base = sub.reshape(-1, self.dim)[which.ravel()]  # [BLOCK * tokens, dim]
        common = rng.random(BLOCK * self.tokens) < self.common_fraction
        picks = rng.integers(0, self.common_vectors, size=int(common.sum()))
        base[common] = self._common[picks]
        base += self._fast_noise(rng, base.shape, self.token_noise)
        return _normalize(base).reshape(BLOCK, self.tokens, self.dim)

    def _blocks(self, start: int, stop: int, make) -> np.ndarray:
        if not 0 <= start <= stop:
            raise ValueError(f"need 0 <= start <= stop, got [{start}, {stop})")
        parts = []
        for block in range(start // BLOCK, (stop + BLOCK - 1) // BLOCK):
            lo = max(start - block * BLOCK, 0)
            hi = min(stop - block * BLOCK, BLOCK)
            parts.append(make(block)[lo:hi])
        if not parts:
            return make(0)[:0]
        return parts[0] if len(parts) == 1 else np.concatenate(parts)

    def documents(self, start: int, stop: int) -> np.ndarray:
        """Token vectors of documents [start, stop): float32 [stop - start, tokens, dim], unit rows."""
        return self._blocks(start, stop, self._block)

    def pooled(self, start: int, stop: int) -> np.ndarray:
        """Pooled vectors of documents [start, stop): float32 [stop - start, dim], unit rows."""
        return self._blocks(start, stop, lambda b: pool(self._block(b)))

    def topics_of(self, start: int, stop: int) -> np.ndarray:
        """Topic index of documents [start, stop) (int64)."""
        return self._blocks(start, stop, lambda b: self._latent(b)[0])

    def queries(self, start: int, stop: int, *, n_documents: int, tokens: int = 32,
                noise: float = 0.9, common_fraction: float = 0.1) -> tuple[np.ndarray, np.ndarray]:
        """Queries [start, stop) over a corpus of the first ``n_documents``
        documents: (float32 [stop - start, tokens, dim] unit rows, the target
        document of each query). Query j targets a document chosen by (seed, j);
        its tokens are drawn around some of the target's sub-centres (a random
        non-empty subset) with relative noise
        ``noise``, and a ``common_fraction`` of them near common vectors."""
        out = np.empty((stop - start, tokens, self.dim), dtype=np.float32)
        targets = np.empty(stop - start, dtype=np.int64)
        latents: dict[int, tuple] = {}
        for row, j in enumerate(range(start, stop)):
            rng = self._rng(_QUERIES, j)
            target = int(rng.integers(0, n_documents))
            block = target // BLOCK
            if block not in latents:
                latents = {block: self._latent(block)}
            _, sub, count = latents[block]
            i = target - block * BLOCK
            # A query asks about some of its target's aspects, not all of them.
            aspects = rng.permutation(count[i])[: rng.integers(1, count[i] + 1)]
            base = sub[i][aspects[rng.integers(0, aspects.size, size=tokens)]]
            common = rng.random(tokens) < common_fraction
            base[common] = self._common[rng.integers(0, self.common_vectors, size=int(common.sum()))]
            base += self._noise(rng, base.shape, noise)
            out[row] = _normalize(base)
            targets[row] = target
        return out, targets

    def pooled_queries(self, start: int, stop: int, *, n_documents: int, **kwargs) -> tuple[np.ndarray, np.ndarray]:
        """The pooled vectors of ``queries`` (float32 [stop - start, dim]) and their targets."""
        q, targets = self.queries(start, stop, n_documents=n_documents, **kwargs)
        return pool(q), targets


def main() -> None:
    parser = argparse.ArgumentParser(description="Time the generator and describe the data it makes.")
    parser.add_argument("--documents", type=int, default=100_000)
    parser.add_argument("--chunk", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    corpus = ClusteredCorpus(seed=args.seed)
    pooled = np.empty((args.documents, corpus.dim), dtype=np.float32)
    t0 = time.perf_counter()
    for start in range(0, args.documents, args.chunk):
        stop = min(start + args.chunk, args.documents)
        pooled[start:stop] = corpus.pooled(start, stop)
    elapsed = time.perf_counter() - t0
    print(f"{args.documents} documents x {corpus.tokens} tokens x {corpus.dim} in chunks of {args.chunk}: "
          f"{elapsed:.1f} s ({elapsed / args.documents * 1e6:.1f} us per document)")

    sample = corpus.documents(0, 200)
    tokens = sample.reshape(-1, corpus.dim)
    same_doc = np.einsum("tij,tkj->tik", sample, sample)
    off = ~np.eye(corpus.tokens, dtype=bool)
    other = tokens[np.random.default_rng(1).permutation(len(tokens))]
    print(f"token cosine: same document {same_doc[:, off].mean():.3f}, random pairs "
          f"{np.einsum('ij,ij->i', tokens, other).mean():.3f}")
    topics = corpus.topics_of(0, args.documents)
    sizes = np.sort(np.bincount(topics, minlength=corpus.topics))[::-1]
    print(f"topic sizes: largest {sizes[:5].tolist()}, median {int(np.median(sizes))}, empty {(sizes == 0).sum()}")
    n_q = 200
    q, targets = corpus.pooled_queries(0, n_q, n_documents=args.documents)
    scores = q @ pooled.T
    rank = (scores > scores[np.arange(n_q), targets][:, None]).sum(axis=1)
    top = np.argsort(-scores, axis=1)[:, :100]
    same_topic = (topics[top] == topics[targets][:, None]).mean()
    print(f"pooled queries: target's rank median {int(np.median(rank))}, in top 10 {np.mean(rank < 10):.2f}, "
          f"in top 100 {np.mean(rank < 100):.2f}; top-100 share of the target's topic {same_topic:.2f}")
    print(f"pooled cosine: top-1 {np.max(scores, axis=1).mean():.3f}, "
          f"100th {np.sort(scores, axis=1)[:, -100].mean():.3f}, mean {scores.mean():.3f}")


if __name__ == "__main__":
    main()
