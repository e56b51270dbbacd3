"""Late-interaction (multi-vector, MaxSim) document search."""

from . import _native
from .representation import Representation

# The native module returns representations (a store's, a feature's) as this
# class; it is handed over here because the native module never imports the
# package that wraps it.
_native._set_representation_type(Representation)

from ._native import (  # noqa: E402 -- the native core: errors, queries, stages, stores, the kernel
    Candidate,
    CommitNotDurableError,
    Feature,
    Gathered,
    IncompatibleIndexError,
    IncompatibleQueryError,
    MaxSimReranker,
    Query,
    RankedDocument,
    ResourceBudget,
    Scored,
    SearchPipeline,
    SearchResult,
    SearchTimings,
    StoreView,
    Subset,
    VectorStore,
    VectorStoreWriter,
    maxsim_scores_packed,
)
from .errors import Error
from .protocols import CandidateGenerator, Gatherer, MultiVectorSource, Reranker, VectorView

# Encoding texts: the encoder, its output and how to pack it for a store, and
# the on-disk cache of encodings.
from .encoders import Encoded, EncodingCache, OnnxModel, TextEncoder, pack  # noqa: E402

# First stages: dense (pooled vectors, from the encoder or the store),
# lexical BM25 (bm25s, imported on first use), and their reciprocal-rank fusion.
from .gatherers import MeanPooledGatherer  # noqa: E402
from .store_gatherer import StoreGatherer  # noqa: E402
from .bm25_gatherer import BM25Gatherer  # noqa: E402
from .fusion_gatherer import FusionGatherer  # noqa: E402

# A pipeline that encodes plain-text queries with the encoder of its vectors,
# and a store's writer on first run and on every run after.
from .text_pipeline import TextPipeline  # noqa: E402
from .open_store import open_or_create_store  # noqa: E402

# The front door: texts in, ranked texts out.
from .collection import Collection, Hit, Hits  # noqa: E402

__all__ = [
    # errors
    "IncompatibleIndexError", "IncompatibleQueryError", "CommitNotDurableError", "Error",
    # queries and the values stages exchange
    "Representation", "Feature", "Query", "Candidate", "Gathered", "Scored", "Subset",
    # search
    "ResourceBudget", "SearchPipeline", "SearchResult", "SearchTimings", "RankedDocument", "MaxSimReranker",
    "TextPipeline", "maxsim_scores_packed",
    # the stage protocols
    "Gatherer", "CandidateGenerator", "Reranker", "MultiVectorSource", "VectorView",
    # stores
    "VectorStore", "StoreView", "VectorStoreWriter", "open_or_create_store",
    # encoding
    "TextEncoder", "Encoded", "pack", "EncodingCache", "OnnxModel",
    # first stages
    "MeanPooledGatherer", "StoreGatherer", "BM25Gatherer", "FusionGatherer",
    # texts in, ranked texts out
    "Collection", "Hit", "Hits",
]
