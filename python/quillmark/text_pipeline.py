"""A search pipeline that takes plain text and encodes it itself.

``SearchPipeline.search`` turns plain text into a query without features,
which any stage that reads vectors refuses. ``TextPipeline`` holds the
encoder that made the stored vectors and turns plain text into a full query
(``TextEncoder.query``: its token matrix and its pooled vector, encoded once
on first demand) before searching; a ``Query`` passes through unchanged.
"""

from __future__ import annotations

from typing import Optional

from . import _native

__all__ = ["TextPipeline"]


class TextPipeline:
    """``SearchPipeline(gatherer, reranker)`` whose plain-text queries are
    encoded by ``encoder`` (a ``TextEncoder``, or anything whose
    ``query(text)`` returns a ``Query``)."""

    def __init__(self, gatherer, reranker=None, *, encoder):
        if not callable(getattr(encoder, "query", None)):
            raise TypeError(f"encoder must be a TextEncoder (anything with query(text)), not {type(encoder).__name__}")
        self.pipeline = _native.SearchPipeline(gatherer, reranker)
        self.encoder = encoder

    def query(self, query) -> _native.Query:
        """``query`` as a ``Query``: plain text encoded by the encoder, a ``Query`` as it is."""
        if isinstance(query, _native.Query):
            return query
        if isinstance(query, str):
            made = self.encoder.query(query)
            if not isinstance(made, _native.Query):
                raise TypeError(f"encoder.query returned {type(made).__name__}, not a quillmark.Query")
            return made
        raise TypeError(f"query must be a quillmark.Query or plain text, not {type(query).__name__}")

    def search(self, query, *, gather_limit: int, limit: int, subset: Optional[_native.Subset] = None,
               budget: Optional[_native.ResourceBudget] = None) -> _native.SearchResult:
        """``SearchPipeline.search`` of ``query`` made a ``Query`` by ``self.query``."""
        return self.pipeline.search(self.query(query), gather_limit=gather_limit, limit=limit, subset=subset,
                                    budget=budget)
