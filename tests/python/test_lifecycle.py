"""The module frame under interpreter exit and cross-thread releases."""

import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from quillmark import maxsim_scores_packed

import native_testing
from store_builder import StoreBuilder, random_documents

testing = native_testing.load()

HERE = Path(__file__).parent
KINDS = ["maxsim", "open", "view", "segment-sources", "fetch", "value", "feature", "search", "search-python-source"]
RUNS = 20
AT_ONCE = 4


def test_interpreter_exit_with_threads_inside_released_calls(tmp_path):
    """Daemon threads inside every lock-releasing call while the main thread
    exits: re-acquiring the lock ends them by a forced unwind, which must pass
    through the binding (status 134, "terminate called without an active
    exception", if it meets a noexcept frame or a catch-all)."""
    builder = StoreBuilder(tmp_path / "store", dimension=4)
    builder.append(random_documents(np.random.default_rng(3), 40, 4))
    builder.publish()
    command = [sys.executable, str(HERE / "busy_exit_child.py"), str(builder.path), *KINDS]
    failures = []
    for start in range(0, RUNS, AT_ONCE):
        children = [
            subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            for _ in range(min(AT_ONCE, RUNS - start))
        ]
        for child in children:
            _, err = child.communicate()
            if child.returncode != 0:
                failures.append((child.returncode, err.strip()[-300:]))
    assert failures == [], f"{len(failures)} of {RUNS} runs failed"


def _detached_call():
    maxsim_scores_packed(np.ones((1, 2), np.float32), np.ones((1, 2), np.float32), np.ones(1, np.int64))


def _lock_handoff():
    # The interpreter notices a pending call registered from a thread without
    # a thread state only when the lock changes hands (CPython 3.11).
    for _ in range(1000):
        time.sleep(0)
        if testing.pending_releases() == 0:
            break


@pytest.mark.native_testing
@pytest.mark.parametrize("drain", [_detached_call, _lock_handoff], ids=["end-of-detached-call", "pending-call"])
def test_reference_dropped_without_the_lock_is_released_later(drain):
    obj = object()
    baseline = sys.getrefcount(obj)
    # A native thread drops the last copy of a shared reference while this
    # thread holds the lock and waits for it: the release is queued, not
    # blocked on the lock (which would deadlock here).
    queued, refcount = testing.drop_on_native_thread(obj)
    assert queued == 1 and refcount == baseline + 1
    drain()
    assert sys.getrefcount(obj) == baseline
    assert testing.pending_releases() == 0
