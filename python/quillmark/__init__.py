"""Late-interaction (multi-vector, MaxSim) document search."""

from . import _native
from ._native import *  # noqa: F401,F403  (the native public names)
from .errors import Error
from .protocols import CandidateGenerator, Gatherer, MultiVectorSource, Reranker, VectorView
from .representation import Representation

__all__ = [
    *_native.__all__,
    "Representation",
    "Error",
    "Gatherer",
    "CandidateGenerator",
    "Reranker",
    "MultiVectorSource",
    "VectorView",
]

# Text encoding and a first-stage gatherer, so a search works out of the box.
from .encoding import TextEncoder  # noqa: E402
from .onnx_model import OnnxModel  # noqa: E402
from .gatherers import MeanPooledGatherer  # noqa: E402
from .store_gatherer import StoreGatherer  # noqa: E402

# Hybrid first stages: lexical BM25 (bm25s, imported on first use) and the
# reciprocal-rank fusion of any gatherers.
from .bm25_gatherer import BM25Gatherer  # noqa: E402
from .fusion_gatherer import FusionGatherer  # noqa: E402

# A pipeline that encodes plain-text queries with the encoder of its vectors.
from .text_pipeline import TextPipeline  # noqa: E402
# A store's writer on first run and on every run after.
from .open_store import open_or_create_store  # noqa: E402

__all__ += ["TextEncoder", "OnnxModel", "MeanPooledGatherer", "StoreGatherer", "BM25Gatherer", "FusionGatherer",
            "TextPipeline", "open_or_create_store"]

# The front door: texts in, ranked texts out.
from .collection import Collection, Hit, Hits  # noqa: E402

__all__ += ["Collection", "Hit", "Hits"]
