"""A late-interaction checkpoint from a local directory, as a ``TextEncoder``
that encodes exactly as the model was trained. Nothing is ever downloaded.

Two layouts are read (their settings: ``quillmark.encoders.checkpoint_settings``):

* sentence-transformers style: ``modules.json`` lists a Transformer module
  (a BERT: ``config.json``, ``model.safetensors``, ``tokenizer.json`` or
  ``vocab.txt``) and one Dense module whose folder holds ``config.json``
  (``in_features``, ``out_features``, ``bias``, an identity
  ``activation_function``) and ``model.safetensors`` (``linear.weight``
  ``[out, in]``, ``linear.bias`` when ``bias``); a Normalize module may
  follow (rows are made unit length anyway).
* the original layout: a BERT checkpoint (``config.json``,
  ``model.safetensors``, names with or without ``bert.``) whose weights
  include the projection ``linear.weight`` ``[dim, hidden]`` without bias,
  and ``artifact.metadata``.

Either may hold ``model.onnx`` (or ``onnx/model.onnx``) beside or in place of
the BERT weights, for the onnx backend. The graph's output width says where
the projection is: the checkpoint's dimension means the graph applies it;
the hidden size means it does not, and the layout's projection weights are
applied after it (they must then be on disk). Any other width is refused.

The tokenizer is ``tokenizer.json``, or a BERT word-piece tokenizer built from
``vocab.txt`` (lower-casing unless ``tokenizer_config.json`` says
``do_lower_case: false``). Markers must each be one token of its vocabulary,
and so must the mask token (``tokenizer_config.json``'s ``mask_token``, else
"[MASK]") when queries are expanded. Skiplist words that are not one token
of the vocabulary are dropped (no token of a document can equal them).

Every weight the forward pass reads is checked against ``config.json``, and
the projection against the hidden size and the dimension. The encoder's
representation is named after the checkpoint (its recorded ``name``, else the
directory's name) and revised by ``sha256:`` over the bytes of the weight
files it runs (the graph for onnx) and the resolved encoding settings, so
stores and queries of different checkpoints never mix.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
from typing import Optional

import numpy as np

from ..representation import Representation
from .bert import BertConfig, NumpyBert, weight_shapes
from .checkpoint_settings import (CheckpointError, CheckpointSettings, original_settings, read_json,
                                  sentence_transformers_settings)
from .missing_model import require
from .onnx_model import OnnxGraphError, OnnxModel
from .text_encoder import TextEncoder

__all__ = ["CheckpointError", "load"]

BACKENDS = ("numpy", "onnx")
# The constructor options the checkpoint decides.
_FROM_CHECKPOINT = {"max_tokens", "query_marker", "document_marker", "query_length", "expand_queries",
                    "attend_expansion", "mask_token_id", "projection", "projection_bias", "skiplist",
                    "blas_per_worker"}


def _bert_config(path: pathlib.Path) -> tuple[BertConfig, int, int]:
    """The forward pass's config, vocabulary size and token type count."""
    raw = read_json(path)
    if raw.get("model_type", "bert") != "bert":
        raise CheckpointError(f"{path}: setting model_type is {raw['model_type']!r}; only bert is supported")
    for setting, expected in (("hidden_act", "gelu"), ("position_embedding_type", "absolute")):
        if raw.get(setting, expected) != expected:
            raise CheckpointError(f"{path}: setting {setting} is {raw[setting]!r}; only {expected} is supported")
    values = {}
    for setting in ("hidden_size", "num_attention_heads", "num_hidden_layers", "intermediate_size",
                    "max_position_embeddings", "vocab_size"):
        value = raw.get(setting)
        if not isinstance(value, int) or isinstance(value, bool) or value < 1:
            raise CheckpointError(f"{path}: setting {setting} is "
                                  f"{'missing' if value is None else repr(value)}, expected a positive integer")
        values[setting] = value
    if values["hidden_size"] % values["num_attention_heads"]:
        raise CheckpointError(f"{path}: setting hidden_size {values['hidden_size']} is not a multiple of "
                              f"num_attention_heads {values['num_attention_heads']}")
    vocab, types = values.pop("vocab_size"), int(raw.get("type_vocab_size", 2))
    return BertConfig(**values, layer_norm_eps=float(raw.get("layer_norm_eps", 1e-12))), vocab, types


def _tokenizer(directory: pathlib.Path):
    """The tokenizer, the file it came from, and tokenizer_config.json's settings."""
    tokenizers = require("tokenizers", "--no-deps tokenizers")
    config_path = directory / "tokenizer_config.json"
    config = read_json(config_path) if config_path.is_file() else {}

    def token(setting: str, default: str) -> str:
        value = config.get(setting, default)
        return value.get("content", default) if isinstance(value, dict) else str(value)

    if (directory / "tokenizer.json").is_file():
        path = directory / "tokenizer.json"
        try:
            return tokenizers.Tokenizer.from_file(str(path)), path, token("mask_token", "[MASK]")
        except Exception as error:  # the tokenizers library raises its own exception type
            raise CheckpointError(f"{path}: not a tokenizer the tokenizers library reads ({error})") from None
    path = directory / "vocab.txt"
    if not path.is_file():
        raise CheckpointError(f"{directory / 'tokenizer.json'}: file is missing (and so is vocab.txt)")
    unk, cls, sep = token("unk_token", "[UNK]"), token("cls_token", "[CLS]"), token("sep_token", "[SEP]")
    vocab = tokenizers.models.WordPiece.read_file(str(path))
    for special in (unk, cls, sep):
        if special not in vocab:
            raise CheckpointError(f"{path}: the vocabulary has no {special} token")
    tokenizer = tokenizers.Tokenizer(tokenizers.models.WordPiece(vocab, unk_token=unk))
    tokenizer.normalizer = tokenizers.normalizers.BertNormalizer(lowercase=bool(config.get("do_lower_case", True)))
    tokenizer.pre_tokenizer = tokenizers.pre_tokenizers.BertPreTokenizer()
    tokenizer.post_processor = tokenizers.processors.TemplateProcessing(
        single=f"{cls} $A {sep}", special_tokens=[(cls, vocab[cls]), (sep, vocab[sep])])
    tokenizer.decoder = tokenizers.decoders.WordPiece()
    return tokenizer, path, token("mask_token", "[MASK]")


def _token_id(tokenizer, token, tokenizer_path: pathlib.Path, settings_path: pathlib.Path, setting: str) -> int:
    if isinstance(token, int):
        if token >= tokenizer.get_vocab_size(with_added_tokens=True):
            raise CheckpointError(f"{settings_path}: setting {setting} is token id {token}, beyond the "
                                  f"vocabulary of {tokenizer_path}")
        return token
    found = tokenizer.token_to_id(token)
    if found is None:
        raise CheckpointError(f"{tokenizer_path}: the vocabulary has no token {token!r} "
                              f"(setting {setting} of {settings_path})")
    return found


def _skiplist(tokenizer, words) -> list[int]:
    unknown = tokenizer.model.unk_token if hasattr(tokenizer.model, "unk_token") else None
    unk_id = tokenizer.token_to_id(unknown) if unknown else None
    ids = []
    for word in words:
        encoded = tokenizer.encode(word, add_special_tokens=False).ids
        if len(encoded) == 1 and encoded[0] != unk_id:
            ids.append(encoded[0])
    return ids


def _safetensors(path: pathlib.Path) -> dict[str, np.ndarray]:
    require("safetensors", "safetensors")
    from safetensors.numpy import load_file

    if not path.is_file():
        raise CheckpointError(f"{path}: file is missing")
    try:
        return load_file(str(path))
    except Exception as error:  # safetensors raises its own exception types
        raise CheckpointError(f"{path}: not a readable safetensors file ({error})") from None


def _check_bert(weights: dict, path: pathlib.Path, config: BertConfig, vocab: int, types: int,
                config_path: pathlib.Path) -> None:
    for name, shape in weight_shapes(config, vocab, types).items():
        key = name if name in weights else "bert." + name
        if key not in weights:
            raise CheckpointError(f"{path}: weight {name} is missing")
        if tuple(weights[key].shape) != shape:
            raise CheckpointError(f"{path}: weight {key} has shape {list(weights[key].shape)}, but "
                                  f"{config_path} implies {list(shape)}")
    layers = {int(k.split("encoder.layer.")[1].split(".")[0]) for k in weights if "encoder.layer." in k}
    extra = sorted(n for n in layers if n >= config.num_hidden_layers)
    if extra:
        raise CheckpointError(f"{path}: has weights of layer {extra[0]}, but {config_path} says "
                              f"num_hidden_layers {config.num_hidden_layers}")


class _Layout:
    """What a loaded layout gives: the BERT's folder, its settings, and where
    its projection lives."""

    def __init__(self, directory: pathlib.Path):
        self.directory = directory
        if (directory / "modules.json").is_file():
            self._read_modules(directory / "modules.json")
            self.settings = sentence_transformers_settings(directory)
        elif (directory / "artifact.metadata").is_file():
            self.bert = directory
            self.projection_file = directory / "model.safetensors"
            self.projection_config = None
            self.settings = original_settings(directory)
        else:
            raise CheckpointError(f"{directory}: not a late-interaction checkpoint (it has neither modules.json "
                                  f"nor artifact.metadata)")

    def _read_modules(self, path: pathlib.Path) -> None:
        try:
            modules = json.loads(path.read_text())
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise CheckpointError(f"{path}: not valid JSON ({error})") from None
        if not isinstance(modules, list) or not all(isinstance(m, dict) for m in modules):
            raise CheckpointError(f"{path}: expected a list of modules")
        kinds = [str(m.get("type", "")).rsplit(".", 1)[-1] for m in modules]
        unknown = [k for k in kinds if k not in ("Transformer", "Dense", "Normalize")]
        if unknown or kinds.count("Transformer") != 1 or kinds.count("Dense") != 1 or kinds[0] != "Transformer":
            raise CheckpointError(f"{path}: modules {kinds} are not a Transformer followed by one Dense "
                                  f"projection (and an optional Normalize)")
        folder = {k: self.directory / str(m.get("path", "")) for k, m in zip(kinds, modules)}
        self.bert = folder["Transformer"]
        self.projection_config = folder["Dense"] / "config.json"
        self.projection_file = folder["Dense"] / "model.safetensors"

    def projection(self, hidden: int) -> tuple[np.ndarray, Optional[np.ndarray]]:
        """The projection's weight ``[dimension, hidden]`` and bias, checked."""
        weights = _safetensors(self.projection_file)
        if self.projection_config is None:
            if "linear.bias" in weights:
                raise CheckpointError(f"{self.projection_file}: has linear.bias, but this layout's projection "
                                      f"has none")
            expected = (self.settings.dimension, hidden)
            source = f"{self.settings.file} dim and {self.bert / 'config.json'} hidden_size"
            bias = None
        else:
            config = read_json(self.projection_config)
            for setting in ("in_features", "out_features"):
                value = config.get(setting)
                if not isinstance(value, int) or isinstance(value, bool) or value < 1:
                    raise CheckpointError(f"{self.projection_config}: setting {setting} is "
                                          f"{'missing' if value is None else repr(value)}, expected a positive integer")
            activation = str(config.get("activation_function", "identity")).rsplit(".", 1)[-1].lower()
            if activation not in ("identity", "linear"):
                raise CheckpointError(f"{self.projection_config}: setting activation_function is "
                                      f"{config['activation_function']!r}; only an identity projection is supported")
            if config["in_features"] != hidden:
                raise CheckpointError(f"{self.projection_config}: setting in_features is {config['in_features']}, "
                                      f"but {self.bert / 'config.json'} hidden_size is {hidden}")
            has_bias = config.get("bias", True)
            if not isinstance(has_bias, bool):
                raise CheckpointError(f"{self.projection_config}: setting bias is {has_bias!r}, expected true or false")
            if has_bias != ("linear.bias" in weights):
                raise CheckpointError(f"{self.projection_file}: linear.bias is "
                                      f"{'missing' if has_bias else 'present'}, but {self.projection_config} "
                                      f"says bias {str(has_bias).lower()}")
            expected = (config["out_features"], config["in_features"])
            source = str(self.projection_config)
            bias = weights.get("linear.bias")
            if bias is not None and tuple(bias.shape) != expected[:1]:
                raise CheckpointError(f"{self.projection_file}: weight linear.bias has shape {list(bias.shape)}, "
                                      f"but {source} implies {list(expected[:1])}")
        if "linear.weight" not in weights:
            raise CheckpointError(f"{self.projection_file}: weight linear.weight (the projection) is missing")
        weight = weights["linear.weight"]
        if tuple(weight.shape) != expected:
            raise CheckpointError(f"{self.projection_file}: weight linear.weight has shape {list(weight.shape)}, "
                                  f"but {source} implies {list(expected)}")
        return weight, bias

    def dimension(self) -> int:
        """The projection's output width, from the settings or the Dense config."""
        if self.settings.dimension is not None:
            return self.settings.dimension
        config = read_json(self.projection_config)
        value = config.get("out_features")
        if not isinstance(value, int) or isinstance(value, bool) or value < 1:
            raise CheckpointError(f"{self.projection_config}: setting out_features is "
                                  f"{'missing' if value is None else repr(value)}, expected a positive integer")
        return value

    def graph(self) -> Optional[pathlib.Path]:
        for path in (self.bert / "model.onnx", self.bert / "onnx" / "model.onnx"):
            if path.is_file():
                return path
        return None


def _revision(files: list[pathlib.Path], settings: dict) -> str:
    digest = hashlib.sha256()
    for path in files:
        digest.update(f"{path.name}\0{path.stat().st_size}\0".encode())
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                digest.update(chunk)
    digest.update(json.dumps(settings, sort_keys=True).encode())
    return "sha256:" + digest.hexdigest()


def load(directory, *, backend: Optional[str] = None, **options) -> TextEncoder:
    """The checkpoint in ``directory`` as a ``TextEncoder`` (see the module
    docstring); ``options`` are the constructor's own (window, stride,
    truncate, workers, batch_tokens)."""
    given = pathlib.Path(directory)
    if not given.is_dir():
        raise CheckpointError(f"{given}: not a directory")
    directory = given.resolve()
    fixed = sorted(_FROM_CHECKPOINT & set(options))
    if fixed:
        raise TypeError(f"from_pretrained sets {', '.join(fixed)} from the checkpoint")
    if backend is not None and backend not in BACKENDS:
        raise ValueError(f"unknown backend {backend!r}; expected 'numpy' or 'onnx'")
    layout = _Layout(directory)
    settings: CheckpointSettings = layout.settings
    config_path = layout.bert / "config.json"
    config, vocab, types = _bert_config(config_path)
    for setting, length in zip(settings.length_settings, (settings.query_length, settings.document_length)):
        if length > config.max_position_embeddings:
            raise CheckpointError(f"{settings.file}: setting {setting} is {length}, more than {config_path} "
                                  f"max_position_embeddings {config.max_position_embeddings}")
    tokenizer, tokenizer_path, mask_token = _tokenizer(layout.bert)
    if tokenizer.get_vocab_size(with_added_tokens=True) > vocab:
        raise CheckpointError(f"{tokenizer_path}: has {tokenizer.get_vocab_size(with_added_tokens=True)} tokens, "
                              f"more than {config_path} vocab_size {vocab}")
    markers = {kind: _token_id(tokenizer, getattr(settings, f"{kind}_marker"), tokenizer_path, settings.file,
                               settings.marker_settings[kind])
               for kind in ("query", "document")}
    mask_id = (_token_id(tokenizer, mask_token, tokenizer_path, directory / "tokenizer_config.json", "mask_token")
               if settings.expand_queries else None)
    skiplist = _skiplist(tokenizer, settings.skiplist_words)
    dimension = layout.dimension()
    weights_file = layout.bert / "model.safetensors"
    graph = layout.graph()
    if backend is None:
        backend = "numpy" if weights_file.is_file() or graph is None else "onnx"

    if backend == "numpy":
        weights = _safetensors(weights_file)
        _check_bert(weights, weights_file, config, vocab, types, config_path)
        model = NumpyBert(weights, config)
        projection, bias = layout.projection(config.hidden_size)
        hashed = [weights_file] + ([layout.projection_file] if layout.projection_file != weights_file else [])
    else:
        if graph is None:
            raise CheckpointError(f"{layout.bert / 'model.onnx'}: file is missing (the onnx backend runs it)")
        try:
            model = OnnxModel(graph)
        except OnnxGraphError as error:
            raise CheckpointError(str(error)) from None
        width = model.width
        hidden = config.hidden_size
        if width == dimension and (width != hidden or not layout.projection_file.is_file()):
            projection, bias, hashed = None, None, [graph]  # the graph projects
        elif width == hidden and width != dimension:
            projection, bias = layout.projection(hidden)
            hashed = [graph, layout.projection_file]
        elif width == hidden:
            raise CheckpointError(f"{graph}: cannot tell whether the graph applies the projection: its output "
                                  f"width {width} is both the hidden size and the dimension, and "
                                  f"{layout.projection_file} holds a projection")
        else:
            raise CheckpointError(f"{graph}: output width {width} is neither {config_path} hidden_size {hidden} "
                                  f"nor the checkpoint's dimension {dimension}")
    resolved = {"query_marker": markers["query"], "document_marker": markers["document"],
                "query_length": settings.query_length, "document_length": settings.document_length,
                "expand_queries": settings.expand_queries, "attend_expansion": settings.attend_expansion,
                "mask_token_id": mask_id, "skiplist": sorted(set(skiplist))}
    representation = Representation(encoder=settings.name or directory.name,
                                    encoder_revision=_revision(hashed, resolved), dimension=dimension,
                                    normalized=True)
    encoder = TextEncoder(
        tokenizer, model, representation, max_tokens=settings.document_length,
        query_marker=markers["query"], document_marker=markers["document"],
        query_length=settings.query_length, expand_queries=settings.expand_queries,
        attend_expansion=settings.attend_expansion, mask_token_id=mask_id,
        projection=projection, projection_bias=bias, skiplist=skiplist,
        blas_per_worker=backend == "numpy", **options)
    encoder.checkpoint = {"path": str(directory), "backend": backend}
    return encoder
