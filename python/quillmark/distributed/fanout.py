"""Calls to every shard at once, and the errors that name the shard that failed.

A fan-out waits for the shards' answers until a deadline. The first shard that
fails or is still silent at the deadline fails the whole call with a
``ShardError`` naming it; no answer is ever left out of a result. The other
shards' calls run to completion in their actors and their answers are
discarded.
"""

from __future__ import annotations

import dataclasses
import time
from typing import Any, Optional, Sequence

import ray
import ray.exceptions

from ..errors import Error

__all__ = ["ShardError", "ShardTimeoutError", "Shard", "collect"]


@dataclasses.dataclass(frozen=True)
class Shard:
    """Where one shard lives, for error messages."""

    index: int
    count: int
    path: str


class ShardError(Error, RuntimeError):
    """A shard failed, or did not answer in time, so the whole call failed.

    ``shard`` is the shard's index, ``path`` its store directory on its
    machine, ``timed_out`` whether it was silent rather than failed; the
    shard's own exception, when there is one, is the ``__cause__``.
    """

    def __init__(self, shard: Shard, operation: str, problem: str, *, timed_out: bool = False):
        self.shard = shard.index
        self.shards = shard.count
        self.path = shard.path
        self.operation = operation
        self.timed_out = timed_out
        super().__init__(f"shard {shard.index} of {shard.count} ({shard.path}) {problem} during {operation}")


class ShardTimeoutError(ShardError, TimeoutError):
    """A shard did not answer before the call's timeout."""


def _explain(error: BaseException) -> tuple[str, Optional[BaseException]]:
    """The failure's description and the shard's own exception, if any."""
    if isinstance(error, ray.exceptions.RayTaskError):
        cause = error.cause if isinstance(getattr(error, "cause", None), BaseException) else error
        return f"failed: {type(cause).__name__}: {cause}", cause
    if isinstance(error, ray.exceptions.RayActorError):
        cause = getattr(error, "cause", None)
        if isinstance(cause, ray.exceptions.RayTaskError):  # the actor's constructor raised
            inner = cause.cause if isinstance(getattr(cause, "cause", None), BaseException) else cause
            return f"failed: its actor could not start: {type(inner).__name__}: {inner}", inner
        if getattr(error, "actor_init_failed", False):
            lines = [line for line in str(getattr(error, "error_msg", error)).splitlines() if line.strip()]
            return f"failed: its actor could not start: {lines[-1] if lines else error}", error
        return "failed: its actor died or was killed", error
    return f"failed: {type(error).__name__}: {error}", error


def collect(calls: Sequence[tuple[Shard, Any]], operation: str, timeout: Optional[float]) -> list[Any]:
    """The answers of ``calls`` (pairs of a shard and the object reference of
    its call), in order; raises ``ShardError`` for the first shard that failed
    and ``ShardTimeoutError`` for the first (lowest index) shard still silent
    after ``timeout`` seconds (``None``: wait as long as it takes)."""
    deadline = None if timeout is None else time.monotonic() + timeout
    pending = {ref: position for position, (_, ref) in enumerate(calls)}
    answers: list[Any] = [None] * len(calls)
    while pending:
        remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
        ready, _ = ray.wait(list(pending), num_returns=1, timeout=remaining)
        if not ready:
            shard = calls[min(pending.values())][0]
            raise ShardTimeoutError(shard, operation, f"timed out after {timeout:g} s", timed_out=True)
        for ref in ready:
            position = pending.pop(ref)
            try:
                answers[position] = ray.get(ref)
            except Exception as error:  # the shard's failure, as Ray reports it
                problem, cause = _explain(error)
                raise ShardError(calls[position][0], operation, problem) from cause
    return answers
