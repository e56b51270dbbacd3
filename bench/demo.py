"""The main job, end to end: score a synthetic corpus with the installed package.

Builds a corpus of random token matrices, scores it against one query with
quillmark._native.maxsim_scores_packed, checks the scores against NumPy, and
prints a short report with the NumPy reference timed in the same run.
"""

from __future__ import annotations

import numpy as np

import quillmark
from quillmark._native import maxsim_scores_packed

from kernel_bench import best_time, numpy_loop  # the same reference and timing as the benchmark

DOCUMENTS = 2000
DIM = 128
QUERY_TOKENS = 32


def main():
    rng = np.random.default_rng(7)
    lengths = rng.integers(32, 512, size=DOCUMENTS).astype(np.int64)
    documents = rng.standard_normal((int(lengths.sum()), DIM), dtype=np.float32)
    documents /= np.linalg.norm(documents, axis=1, keepdims=True)
    query = rng.standard_normal((QUERY_TOKENS, DIM), dtype=np.float32)
    query /= np.linalg.norm(query, axis=1, keepdims=True)

    scores = maxsim_scores_packed(query, documents, lengths)
    reference = numpy_loop(query, documents, lengths)
    ours = best_time(lambda: maxsim_scores_packed(query, documents, lengths), repeats=3)
    reference_time = best_time(lambda: numpy_loop(query, documents, lengths), repeats=3)
    np.testing.assert_allclose(scores, reference, rtol=1e-4, atol=1e-4)
    top = np.argsort(-scores, kind="stable")[:5]

    print(f"quillmark from {quillmark.__file__}")
    print(f"documents           {DOCUMENTS:>12,}")
    print(f"tokens              {int(lengths.sum()):>12,}  (dimension {DIM}, query of {QUERY_TOKENS} tokens)")
    print(f"maxsim_scores_packed {ours * 1e3:>11.1f} ms  {DOCUMENTS / ours:>12,.0f} documents/s")
    print(f"numpy reference     {reference_time * 1e3:>12.1f} ms  {DOCUMENTS / reference_time:>12,.0f} documents/s")
    print(f"speed-up            {reference_time / ours:>12.2f}x  (scores agree with numpy)")
    print("top documents       " + ", ".join(f"#{i} {scores[i]:.3f}" for i in top))


if __name__ == "__main__":
    main()
