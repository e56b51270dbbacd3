"""Encoding speed of a late-interaction checkpoint on each backend: the tiny
test checkpoint (a random two-layer BERT, hidden size 16, projection to 8;
tests/python/tiny_checkpoint.py) loaded by TextEncoder.from_pretrained on
the numpy backend (NumPy forward pass over model.safetensors) and on the onnx
backend (its model.onnx on onnxruntime, the projection applied after the
graph), each encoding the same 1,000 passages in shuffled turns. The
passages are drawn from the checkpoint's word list with a fixed seed, 20 to
120 words each, so with the 64-token document length some are windowed.

The tiny model measures what surrounds the forward pass (tokenizing, marker
insertion, windowing, batching, projection, skiplist, unit rows) as much as
the pass itself; a full-size model's times are dominated by the pass.

Needs tokenizers, safetensors, onnx and onnxruntime (make venv).
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import timing  # noqa: E402
from tiny_checkpoint import VOCAB, sentence_transformers_checkpoint, tiny_model  # noqa: E402

from quillmark.encoders import TextEncoder  # noqa: E402


def passages(count: int, seed: int = 5) -> list[str]:
    rng = np.random.default_rng(seed)
    words = [w for w in VOCAB if not w.startswith("[")]
    return [" ".join(rng.choice(words, size=int(rng.integers(20, 121)))) for _ in range(count)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--passages", type=int, default=1000)
    parser.add_argument("--budget", type=float, default=20.0, help="seconds of timed rounds (about)")
    args = parser.parse_args()
    texts = passages(args.passages)
    with tempfile.TemporaryDirectory() as scratch:
        directory = sentence_transformers_checkpoint(pathlib.Path(scratch) / "tiny", tiny_model(),
                                                     onnx_graph_too=True, document_length=64)
        encoders = {backend: TextEncoder.from_pretrained(directory, backend=backend) for backend in ("numpy", "onnx")}
    runs = {backend: encoders[backend].encode(texts) for backend in encoders}
    tokens = sum(e.tokens.shape[0] for e in runs["numpy"])
    windowed = sum(e.windows > 1 for e in runs["numpy"])
    difference = max(np.abs(a.tokens - b.tokens).max() for a, b in zip(runs["numpy"], runs["onnx"]))
    print(f"{len(texts)} passages, {tokens} stored token rows, {windowed} windowed; "
          f"{encoders['numpy'].workers} workers; largest numpy/onnx difference {difference:.2e}")
    print(timing.load_average())
    stats = timing.interleaved({backend: (lambda e=encoder: e.encode(texts)) for backend, encoder in encoders.items()},
                               budget=args.budget)
    timing.print_table(f"encode {len(texts)} passages with the tiny checkpoint", stats, baseline="numpy")
    print(timing.ratio_line("onnx / numpy", stats["onnx"], stats["numpy"]))
    for backend, s in stats.items():
        print(f"  {backend}: {len(texts) / s.median:.0f} passages/s")


if __name__ == "__main__":
    main()
