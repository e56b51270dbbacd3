"""Sharded stores searched as one, on Ray (``pip install quillmark[ray]``).

A corpus that outgrows one machine is split into shards by a stable hash of
each document's id. Every shard is an ordinary vector store with its own
single writer, served by a Ray actor on the machine that holds its files:

    import os
    os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"  # one machine: Ray stays on loopback
    import ray
    from quillmark import SearchPipeline
    from quillmark.distributed import ShardedGatherer, ShardedReranker, ShardedStore, StorePooled

    ray.init(_node_ip_address="127.0.0.1")  # on a cluster: ray.init(address="auto")
    store = ShardedStore.create("corpus.shards", "docs", representation, shards=4)
    store.append(ids, embeddings, lengths)
    store.commit()                  # one commit time per shard
    # Each shard keeps a StoreGatherer's index beside its store: a commit costs
    # a shard only its own new segments.
    pipeline = SearchPipeline(ShardedGatherer(store, StorePooled(representation)),
                              ShardedReranker(store))
    pipeline.search(query, gather_limit=100, limit=10)

Guarantees: each shard's commit is atomic, commits across shards are not; a
search's ``as_of`` is the earliest commit time of the shards it read; a shard
that fails or times out fails the call with a ``ShardError`` naming it, and
nothing is silently left out.
"""

try:
    import ray  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError("quillmark.distributed needs Ray: pip install 'quillmark[ray]'") from error

from .builders import MeanPooledFromStore, MeanPooledVectors, StorePooled
from .fanout import ShardError, ShardTimeoutError
from .layout import HASH, LAYOUT_FILE, LayoutError, shard_of
from .stages import ShardedGatherer, ShardedReranker
from .store import ShardedStore

__all__ = [
    "ShardedStore",
    "ShardedGatherer",
    "ShardedReranker",
    "MeanPooledFromStore",
    "StorePooled",
    "MeanPooledVectors",
    "ShardError",
    "ShardTimeoutError",
    "LayoutError",
    "shard_of",
    "LAYOUT_FILE",
    "HASH",
]
