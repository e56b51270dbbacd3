"""Child process of the interpreter-exit test: daemon threads loop over the
calls that release the interpreter lock while the main thread returns.

Usage: python busy_exit_child.py STORE_DIR KIND [KIND ...]
"""

import datetime
import json
import pathlib
import sys
import threading
import time

import numpy as np

from quillmark import (
    Candidate,
    Feature,
    Gathered,
    MaxSimReranker,
    Query,
    Representation,
    ResourceBudget,
    SearchPipeline,
    VectorStore,
    maxsim_scores_packed,
)

REP = Representation("enc", "r1", 4, False)
QUERY = np.ones((8, 4), np.float32)
DOCUMENTS = np.ones((4096, 4), np.float32)
LENGTHS = np.full(64, 64, np.int64)


EPOCH = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)


class Gatherer:
    """Returns every document of the store, in id order."""

    requires = {}
    score_semantics = "test"

    def __init__(self, corpus, ids):
        self.corpus, self.ids = corpus, ids

    def gather(self, query, limit, *, subset):
        return Gathered([Candidate(self.corpus, d, 0.0, r, "") for r, d in enumerate(self.ids[:limit])], EPOCH)


class PythonView:
    as_of = EPOCH

    def __init__(self, view):
        self.inner = view

    def document_lengths(self, ids):
        return self.inner.document_lengths(ids)

    def fetch(self, ids, *, threads):
        return self.inner.fetch(ids, threads=threads)


class PythonSource:
    """The store's vectors through Python code, called from pool workers."""

    score_semantics = "float32-exact-full-maxsim"

    def __init__(self, store):
        self.store, self.corpus, self.representation = store, store.corpus, store.representation

    def view(self):
        return PythonView(self.store.view())


def search_call(source, corpus, ids):
    pipeline = SearchPipeline(Gatherer(corpus, ids), MaxSimReranker([source]))
    query = Query("q", multi_vector=Feature(source.representation, provider=lambda: QUERY))
    budget = ResourceBudget(max_batch_tokens=64, threads=2)
    return lambda: pipeline.search(query, gather_limit=len(ids), limit=5, budget=budget)


def calls(store_dir):
    store = VectorStore(store_dir)
    view = store.view()
    ids = view.document_ids
    segment = json.loads((pathlib.Path(store_dir) / "manifest.json").read_text())["segments"][0]["id"]
    return {
        "maxsim": lambda: maxsim_scores_packed(QUERY, DOCUMENTS, LENGTHS, threads=1),
        "open": lambda: VectorStore(store_dir),
        "view": store.view,
        "segment-sources": lambda: store.segment_sources(segment),
        "fetch": lambda: view.fetch(i for i in ids),  # Python code inside the conversion too
        "value": lambda: Feature(REP, provider=lambda: QUERY).value,
        "feature": lambda: Query("q", e=Feature(REP, provider=lambda: QUERY)).feature("e", REP),
        "search": search_call(store, store.corpus, ids),
        "search-python-source": search_call(PythonSource(store), store.corpus, ids),
    }


def loop(call, started):
    started.release()
    while True:
        call()


def main():
    store_dir, kinds = sys.argv[1], sys.argv[2:]
    table = calls(store_dir)
    started = threading.Semaphore(0)
    for kind in kinds:
        for _ in range(2):
            threading.Thread(target=loop, args=(table[kind], started), daemon=True).start()
    for _ in range(2 * len(kinds)):
        started.acquire()
    time.sleep(0.02)


if __name__ == "__main__":
    main()
