"""Late-interaction (multi-vector, MaxSim) document search."""

from . import _native
from ._native import *  # noqa: F401,F403  (the native public names)
from .protocols import CandidateGenerator, MultiVectorSource, Reranker, VectorView
from .representation import Representation

__all__ = [
    *_native.__all__,
    "Representation",
    "CandidateGenerator",
    "Reranker",
    "MultiVectorSource",
    "VectorView",
]
