"""The package's own exceptions share quillmark.Error and keep their built-in
bases, so either kind of except clause catches them."""

import pytest

import quillmark
from quillmark.encoders import MissingModelError
from quillmark.encoders.checkpoint import CheckpointError
from quillmark.encoders.onnx_model import OnnxGraphError


def test_package_errors_are_quillmark_errors():
    pairs = [(MissingModelError, RuntimeError), (CheckpointError, ValueError), (OnnxGraphError, ValueError)]
    try:
        from quillmark.distributed.fanout import ShardError, ShardTimeoutError
        from quillmark.distributed.layout import LayoutError
        pairs += [(ShardError, RuntimeError), (ShardTimeoutError, TimeoutError), (LayoutError, ValueError)]
    except ImportError:  # Ray is not installed: its errors are not importable either
        pass
    for error, builtin in pairs:
        assert issubclass(error, quillmark.Error) and issubclass(error, builtin), error
    # The native module's exceptions keep their own hierarchy.
    assert not issubclass(quillmark.IncompatibleQueryError, quillmark.Error)


def test_a_refused_checkpoint_is_caught_as_a_quillmark_error(tmp_path):
    with pytest.raises(quillmark.Error, match="not a late-interaction checkpoint"):
        quillmark.TextEncoder.from_pretrained(tmp_path)
    assert quillmark.CandidateGenerator is quillmark.Gatherer
