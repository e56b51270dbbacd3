"""quillmark beside PyTorch on the cases of maxsim_cases.py (run by make bench-peers).

PyTorch scores as a user writes it: documents padded to the longest into one
[documents, tokens, dimension] tensor, padded tokens masked to -inf,
einsum('qd,ntd->nqt'), maximum over the document tokens, sum over the query
tokens. Tensors are built before timing; only the scoring is timed, with
torch's threads set to 2 and to 1. The methods of each case run interleaved.

For (c), PyTorch scores the same candidates already in memory while quillmark
goes from ids to scores through a store: the goal is that quillmark from the
store is no slower than PyTorch in memory.
"""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np
import torch

import quillmark
from maxsim_cases import SEED, THREADS, Stores, packed_case, store_methods
from timing import interleaved, load_average, print_table, ratio_line

TORCH_THREADS = (2, 1)
TORCH_SETTLE = 0.2  # torch's OpenMP workers spin for a while after a call


def padded(docs, lengths):
    """Documents padded to the longest, and the mask of padded tokens."""
    longest = int(lengths.max())
    out = np.zeros((len(lengths), longest, docs.shape[1]), np.float32)
    pad = np.ones((len(lengths), longest), bool)
    start = 0
    for i, n in enumerate(lengths):
        out[i, :n], pad[i, :n] = docs[start:start + n], False
        start += n
    return torch.from_numpy(out), torch.from_numpy(pad)


def torch_maxsim(q, documents, pad):
    with torch.inference_mode():
        sims = torch.einsum("qd,ntd->nqt", q, documents)
        sims.masked_fill_(pad[:, None, :], float("-inf"))
        return sims.amax(dim=2).sum(dim=1)


def torch_methods(q, docs, lengths, name="PyTorch padded einsum"):
    tq, (tdocs, pad) = torch.from_numpy(q), padded(docs, lengths)
    np.testing.assert_allclose(torch_maxsim(tq, tdocs, pad).numpy(),
                               quillmark.maxsim_scores_packed(q, docs, lengths), rtol=1e-4, atol=1e-4)
    methods = {f"{name}, torch threads={t}": lambda: torch_maxsim(tq, tdocs, pad) for t in TORCH_THREADS}
    before = {f"{name}, torch threads={t}": lambda t=t: torch.set_num_threads(t) for t in TORCH_THREADS}
    return methods, before


def run(title, methods, before, baseline, pairs, budget):
    settle = {name: TORCH_SETTLE for name in methods if "PyTorch" in name}
    stats = interleaved(methods, budget=budget, before=before, settle=settle)
    print_table(title, stats, baseline)
    print("\n".join(ratio_line(label, stats[a], stats[b], goal=goal) for label, a, b, goal in pairs))


def run_in_memory(title, q, docs, lengths, budget):
    methods = {f"quillmark {label}": (lambda t=t: quillmark.maxsim_scores_packed(q, docs, lengths, threads=t))
               for label, t in THREADS.items()}
    torch_m, before = torch_methods(q, docs, lengths)
    methods.update(torch_m)
    pairs = [("quillmark threads unset / PyTorch 2 threads", "quillmark threads unset",
              "PyTorch padded einsum, torch threads=2", None),
             ("quillmark threads=2 / PyTorch 2 threads", "quillmark threads=2",
              "PyTorch padded einsum, torch threads=2", None),
             ("quillmark threads=1 / PyTorch 1 thread", "quillmark threads=1",
              "PyTorch padded einsum, torch threads=1", None)]
    run(title, methods, before, "quillmark threads unset", pairs, budget)


def run_store(q, stores, budget):
    methods = store_methods(q, stores)
    name = "(c) PyTorch padded einsum on the candidates in memory"
    torch_m, before = torch_methods(q, stores.candidate_vectors, stores.candidate_lengths, name)
    methods.update(torch_m)
    pairs = []
    for encoding in ("float32", "int8"):
        for label, t in (("threads unset", 2), ("threads=2", 2), ("threads=1", 1)):
            pairs.append((f"{encoding} store, quillmark {label} / PyTorch in memory, {t} thread(s)",
                          f"(c) {encoding} store, quillmark {label}", f"{name}, torch threads={t}", 1.0))
    run(f"(c) {len(stores.candidate_ids)} candidates: quillmark ids to scores from a store (files in the page "
        f"cache) beside PyTorch on them in memory", methods, before, "(c) float32 store, quillmark threads unset",
        pairs, budget)


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, torch {torch.__version__} "
          f"({torch.get_num_threads()} threads by default); {load_average()}")
    rng = np.random.default_rng(SEED)  # the same data as maxsim_cases.py
    q, docs, lengths = packed_case(rng, 4_000, 300)
    run_in_memory("(a) 4000 documents x 300 tokens in memory", q, docs, lengths, budget=30)
    del docs
    root = Path(tempfile.mkdtemp(prefix="quillmark-peers-"))
    try:
        stores = Stores(root, rng)
        run_in_memory("(b) 1000 candidates x 128 tokens in memory", q, stores.candidate_vectors,
                      stores.candidate_lengths, budget=10)
        run_store(q, stores, budget=15)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    q, docs, lengths = packed_case(rng, 100, 128)
    run_in_memory("(d) 100 documents x 128 tokens in memory", q, docs, lengths, budget=10)
    print(f"\n{load_average()}")


if __name__ == "__main__":
    main()
