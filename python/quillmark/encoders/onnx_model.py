"""An ONNX graph of a token encoder as a model callable, run on onnxruntime.

The graph takes ``input_ids`` and ``attention_mask`` (and, when it declares
it, ``token_type_ids``, fed as zeros) and returns one vector per token,
``[batch, sequence, width]``: the output named ``last_hidden_state`` when the
graph has one, else its first output. Any other input is refused, since the
runner would not know what to feed it.
"""

from __future__ import annotations

import pathlib
from typing import Optional

import numpy as np

from ..errors import Error

__all__ = ["OnnxModel", "OnnxGraphError"]

_FED = ("input_ids", "attention_mask", "token_type_ids")
_INTEGER_TYPES = {"tensor(int64)": np.int64, "tensor(int32)": np.int32}


class OnnxGraphError(Error, ValueError):
    """The graph file is not an encoder this runner can feed."""


class OnnxModel:
    """``model(input_ids, attention_mask) -> [batch, sequence, width]`` float32
    from the graph at ``path``. One intra-op thread per call, so that parallel
    calls share the cores instead of fighting over them; the session is
    thread-safe, so one instance serves every worker."""

    def __init__(self, path: str | pathlib.Path):
        from .missing_model import require

        ort = require("onnxruntime", "onnxruntime")
        self.path = pathlib.Path(path)
        if not self.path.is_file():
            raise FileNotFoundError(f"{self.path}: no such ONNX graph")
        options = ort.SessionOptions()
        options.intra_op_num_threads = 1
        options.inter_op_num_threads = 1
        try:
            self._session = ort.InferenceSession(str(self.path), options, providers=["CPUExecutionProvider"])
        except Exception as error:  # onnxruntime raises its own exception types
            raise OnnxGraphError(f"{self.path}: onnxruntime cannot load the graph: {error}") from None
        inputs = {i.name: i for i in self._session.get_inputs()}
        missing = [name for name in ("input_ids", "attention_mask") if name not in inputs]
        if missing:
            raise OnnxGraphError(f"{self.path}: the graph has no input {' or '.join(missing)} "
                                 f"(its inputs: {', '.join(sorted(inputs)) or 'none'})")
        unknown = sorted(set(inputs) - set(_FED))
        if unknown:
            raise OnnxGraphError(f"{self.path}: the graph input {', '.join(unknown)} is not one this runner feeds "
                                 f"(it feeds {', '.join(_FED)})")
        self._types = {}
        for name, node in inputs.items():
            if node.type not in _INTEGER_TYPES:
                raise OnnxGraphError(f"{self.path}: the graph input {name} is {node.type}, not an integer tensor")
            self._types[name] = _INTEGER_TYPES[node.type]
        outputs = self._session.get_outputs()
        chosen = next((o for o in outputs if o.name == "last_hidden_state"), outputs[0] if outputs else None)
        if chosen is None:
            raise OnnxGraphError(f"{self.path}: the graph has no output")
        if chosen.shape is not None and len(chosen.shape) != 3:
            raise OnnxGraphError(f"{self.path}: the output {chosen.name} has shape {chosen.shape}, "
                                 f"not [batch, sequence, width]")
        self.output = chosen.name
        self._declared_width: Optional[int] = chosen.shape[-1] if isinstance(chosen.shape[-1], int) else None

    @property
    def width(self) -> int:
        """The width of each token's output vector: the graph's declared one,
        or, when the graph leaves it symbolic, that of a one-token run."""
        if self._declared_width is None:
            one = np.ones((1, 1), dtype=np.int64)
            self._declared_width = int(self(one, one).shape[-1])
        return self._declared_width

    def __call__(self, input_ids: np.ndarray, attention_mask: np.ndarray) -> np.ndarray:
        feed = {"input_ids": input_ids.astype(self._types["input_ids"]),
                "attention_mask": attention_mask.astype(self._types["attention_mask"])}
        if "token_type_ids" in self._types:
            feed["token_type_ids"] = np.zeros(input_ids.shape, dtype=self._types["token_type_ids"])
        (hidden,) = self._session.run([self.output], feed)
        return np.asarray(hidden, dtype=np.float32)
