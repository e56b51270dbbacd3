"""Child process of the interpreter-exit test: daemon threads loop over the
calls that release the interpreter lock while the main thread returns.

Usage: python busy_exit_child.py STORE_DIR KIND [KIND ...]
"""

import sys
import threading
import time

import numpy as np

from quillmark import Feature, Query, Representation, VectorStore, maxsim_scores_packed

REP = Representation("enc", "r1", 4, False)
QUERY = np.ones((8, 4), np.float32)
DOCUMENTS = np.ones((4096, 4), np.float32)
LENGTHS = np.full(64, 64, np.int64)


def calls(store_dir):
    store = VectorStore(store_dir)
    view = store.view()
    ids = view.document_ids
    return {
        "maxsim": lambda: maxsim_scores_packed(QUERY, DOCUMENTS, LENGTHS, threads=1),
        "open": lambda: VectorStore(store_dir),
        "view": store.view,
        "fetch": lambda: view.fetch(i for i in ids),  # Python code inside the conversion too
        "value": lambda: Feature(REP, provider=lambda: QUERY).value,
        "feature": lambda: Query("q", e=Feature(REP, provider=lambda: QUERY)).feature("e", REP),
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
