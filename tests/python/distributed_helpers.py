"""Helpers that the shard actors of test_distributed import (the tests put
this directory on the workers' PYTHONPATH)."""

import pathlib
import time

from quillmark.distributed import MeanPooledFromStore


class HoldingBuilder(MeanPooledFromStore):
    """The gatherer of ``MeanPooledFromStore``, except that while the file
    ``hold`` exists each gather first creates the file ``started`` and then
    waits (at most 30 s) until ``hold`` is gone."""

    def __init__(self, representation, hold, started):
        super().__init__(representation)
        self.hold, self.started = str(hold), str(started)

    def __call__(self, corpus, view):
        return Holding(super().__call__(corpus, view), pathlib.Path(self.hold), pathlib.Path(self.started))


class Holding:
    def __init__(self, gatherer, hold, started):
        self.gatherer, self.hold, self.started = gatherer, hold, started

    def gather(self, query, limit, *, subset=None):
        if self.hold.exists():
            self.started.touch()
            deadline = time.monotonic() + 30
            while self.hold.exists() and time.monotonic() < deadline:
                time.sleep(0.02)
        return self.gatherer.gather(query, limit, subset=subset)
