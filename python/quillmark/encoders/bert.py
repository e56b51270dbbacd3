"""A BERT encoder's forward pass in NumPy, from its float32 weights.

The weights use the names of the usual BERT checkpoint layout
(``embeddings.word_embeddings.weight``, ``encoder.layer.{i}.attention.self.query.weight``,
...), with an optional ``bert.`` prefix. The pass is written for inference
only: no dropout, absolute positions, token type 0 for every token.
"""

from __future__ import annotations

import json
import math
import pathlib
from dataclasses import dataclass
from typing import Mapping

import numpy as np

__all__ = ["BertConfig", "NumpyBert", "load_safetensors_bert", "weight_shapes"]


@dataclass(frozen=True)
class BertConfig:
    hidden_size: int
    num_attention_heads: int
    num_hidden_layers: int
    intermediate_size: int
    max_position_embeddings: int
    layer_norm_eps: float = 1e-12

    @classmethod
    def from_json(cls, path: str | pathlib.Path) -> "BertConfig":
        raw = json.loads(pathlib.Path(path).read_text())
        if raw.get("hidden_act", "gelu") != "gelu":
            raise ValueError(f"{path}: hidden_act {raw['hidden_act']!r} is not supported (only gelu)")
        if raw.get("position_embedding_type", "absolute") != "absolute":
            raise ValueError(f"{path}: only absolute position embeddings are supported")
        return cls(
            hidden_size=int(raw["hidden_size"]),
            num_attention_heads=int(raw["num_attention_heads"]),
            num_hidden_layers=int(raw["num_hidden_layers"]),
            intermediate_size=int(raw["intermediate_size"]),
            max_position_embeddings=int(raw["max_position_embeddings"]),
            layer_norm_eps=float(raw.get("layer_norm_eps", 1e-12)),
        )


def weight_shapes(config: BertConfig, vocab_size: int, type_vocab_size: int) -> dict[str, tuple[int, ...]]:
    """The shape of every weight the forward pass reads, by its name without
    the ``bert.`` prefix."""
    h, i = config.hidden_size, config.intermediate_size
    shapes = {
        "embeddings.word_embeddings.weight": (vocab_size, h),
        "embeddings.position_embeddings.weight": (config.max_position_embeddings, h),
        "embeddings.token_type_embeddings.weight": (type_vocab_size, h),
        "embeddings.LayerNorm.weight": (h,),
        "embeddings.LayerNorm.bias": (h,),
    }
    for layer in range(config.num_hidden_layers):
        p = f"encoder.layer.{layer}."
        for name, (out, inp) in {"attention.self.query": (h, h), "attention.self.key": (h, h),
                                 "attention.self.value": (h, h), "attention.output.dense": (h, h),
                                 "intermediate.dense": (i, h), "output.dense": (h, i)}.items():
            shapes[p + name + ".weight"], shapes[p + name + ".bias"] = (out, inp), (out,)
        for norm in ("attention.output.LayerNorm", "output.LayerNorm"):
            shapes[p + norm + ".weight"], shapes[p + norm + ".bias"] = (h,), (h,)
    return shapes


def _gelu(x: np.ndarray) -> np.ndarray:
    """Exact (erf) GELU, in place. NumPy has no erf: Abramowitz & Stegun 7.1.26,
    whose absolute error below 1.5e-7 is under float32's resolution of the
    result where it matters."""
    a = np.abs(x) * np.float32(1.0 / math.sqrt(2.0))
    t = np.float32(1.0) / (np.float32(1.0) + np.float32(0.3275911) * a)
    poly = np.float32(1.061405429) * t
    for c in (-1.453152027, 1.421413741, -0.284496736, 0.254829592):
        poly += np.float32(c)
        poly *= t
    np.square(a, out=a)
    np.negative(a, out=a)
    np.exp(a, out=a)
    poly *= a  # 1 - erf(|x| / sqrt 2)
    # gelu(x) = x * (1 + erf(x / sqrt 2)) / 2, with erf odd in x.
    poly *= np.float32(-0.5)
    poly += np.float32(1.0)
    positive = x >= 0
    return np.where(positive, x * poly, x * (np.float32(1.0) - poly))


def _layer_norm(x: np.ndarray, gamma: np.ndarray, beta: np.ndarray, eps: float) -> np.ndarray:
    mean = x.mean(axis=-1, keepdims=True)
    centred = x - mean
    variance = (centred * centred).mean(axis=-1, keepdims=True)
    return centred / np.sqrt(variance + np.float32(eps)) * gamma + beta


class NumpyBert:
    """Last hidden states of a BERT encoder: ``[batch, sequence, hidden]`` float32.

    Thread-safe: the weights are read-only after construction, every call works
    on its own arrays. Each call's matrix products run on NumPy's BLAS; run
    several calls in parallel threads with that BLAS on one thread each (the
    attention products are small, and a multi-threaded BLAS runs them slower).
    """

    def __init__(self, weights: Mapping[str, np.ndarray], config: BertConfig):
        if config.hidden_size % config.num_attention_heads:
            raise ValueError("hidden_size must be a multiple of num_attention_heads")
        self.config = config

        def get(name: str) -> np.ndarray:
            for key in (name, "bert." + name):
                if key in weights:
                    return np.ascontiguousarray(weights[key], dtype=np.float32)
            raise KeyError(f"weight {name!r} is missing")

        def linear(prefix: str) -> tuple[np.ndarray, np.ndarray]:
            # Stored as [out, in]; kept transposed so a product is x @ w.
            return np.ascontiguousarray(get(prefix + ".weight").T), get(prefix + ".bias")

        self.word = get("embeddings.word_embeddings.weight")
        self.position = get("embeddings.position_embeddings.weight")
        self.token_type = get("embeddings.token_type_embeddings.weight")[0]
        self.embedding_norm = (get("embeddings.LayerNorm.weight"), get("embeddings.LayerNorm.bias"))
        self.layers = []
        for i in range(config.num_hidden_layers):
            p = f"encoder.layer.{i}."
            q, k, v = (linear(p + "attention.self." + n) for n in ("query", "key", "value"))
            self.layers.append({
                # One product for the three projections: [hidden, 3 * hidden].
                "qkv": (np.ascontiguousarray(np.concatenate([q[0], k[0], v[0]], axis=1)),
                        np.concatenate([q[1], k[1], v[1]])),
                "attention_out": linear(p + "attention.output.dense"),
                "attention_norm": (get(p + "attention.output.LayerNorm.weight"),
                                   get(p + "attention.output.LayerNorm.bias")),
                "intermediate": linear(p + "intermediate.dense"),
                "output": linear(p + "output.dense"),
                "output_norm": (get(p + "output.LayerNorm.weight"), get(p + "output.LayerNorm.bias")),
            })

    def __call__(self, input_ids: np.ndarray, attention_mask: np.ndarray) -> np.ndarray:
        cfg = self.config
        batch, length = input_ids.shape
        if length > cfg.max_position_embeddings:
            raise ValueError(f"sequence of {length} tokens exceeds the model's {cfg.max_position_embeddings} positions")
        heads, hidden = cfg.num_attention_heads, cfg.hidden_size
        head_dim = hidden // heads
        eps = cfg.layer_norm_eps

        x = self.word[input_ids] + self.position[:length] + self.token_type
        x = _layer_norm(x, *self.embedding_norm, eps).reshape(batch * length, hidden)
        # Padding keys get a large negative bias so that softmax gives them no weight.
        bias = ((1.0 - attention_mask.astype(np.float32)) * np.float32(-1e9))[:, None, None, :]
        scale = np.float32(1.0 / math.sqrt(head_dim))
        for layer in self.layers:
            w, b = layer["qkv"]
            qkv = (x @ w + b).reshape(batch, length, 3, heads, head_dim)
            # Contiguous heads: BLAS runs the small strided products several times slower.
            q = np.ascontiguousarray(qkv[:, :, 0].transpose(0, 2, 1, 3))
            k = np.ascontiguousarray(qkv[:, :, 1].transpose(0, 2, 3, 1))
            v = np.ascontiguousarray(qkv[:, :, 2].transpose(0, 2, 1, 3))
            scores = (q @ k) * scale + bias
            scores -= scores.max(axis=-1, keepdims=True)
            np.exp(scores, out=scores)
            scores /= scores.sum(axis=-1, keepdims=True)
            context = (scores @ v).transpose(0, 2, 1, 3).reshape(batch * length, hidden)
            w, b = layer["attention_out"]
            x = _layer_norm(x + (context @ w + b), *layer["attention_norm"], eps)
            w, b = layer["intermediate"]
            h = _gelu(x @ w + b)
            w, b = layer["output"]
            x = _layer_norm(x + (h @ w + b), *layer["output_norm"], eps)
        return x.reshape(batch, length, hidden)


def load_safetensors_bert(directory: str | pathlib.Path) -> NumpyBert:
    """The encoder in ``directory``: ``config.json`` and ``model.safetensors``."""
    from safetensors.numpy import load_file

    directory = pathlib.Path(directory)
    return NumpyBert(load_file(str(directory / "model.safetensors")), BertConfig.from_json(directory / "config.json"))
