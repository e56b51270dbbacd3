from typing import Optional

import numpy as np
import numpy.typing as npt

__all__: list[str]

class IncompatibleIndexError(ValueError):
    """Stages or sources that cannot be composed: another representation, another score scale, or a corpus the reranker has no source for."""

class IncompatibleQueryError(ValueError):
    """A query lacks a feature a stage needs, or supplies it from another encoder."""

def maxsim_scores_packed(
    query: npt.NDArray[np.float32],
    documents: npt.NDArray[np.float32],
    document_lengths: npt.NDArray[np.int64],
    *,
    max_batch_tokens: Optional[int] = None,
    threads: Optional[int] = None,
) -> npt.NDArray[np.float32]: ...
