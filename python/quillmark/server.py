"""A search page and a JSON search endpoint over one collection.

    GET /                  the search page (one HTML document, no other files)
    GET /search?q=&k=&where=
                           {"hits": [{"id", "score", "text", "metadata"}, ...],
                            "as_of": ISO 8601 time, "timings": {...seconds}}

``q`` is required, non-empty once stripped, at most ``MAX_QUERY_CHARS``
characters; ``k`` is an integer from 1 to ``MAX_K`` (default 10); ``where`` is
a ``quillmark.where`` mapping written as JSON. A bad request is answered 400,
an unknown path 404, a wrong method 405, each as ``{"error": "..."}``.

Each search runs in a worker thread (``Collection.search`` is safe to call
from several threads) and reads the collection's latest commit, so that
commits made while the server runs are seen by the next request.

``serve`` needs the ``serve`` extra: ``pip install quillmark[serve]``.
"""

from __future__ import annotations

import base64
import hashlib
import importlib.resources
import ipaddress
import json
import math
import re
import time
from typing import Any, Iterable, Optional

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .collection import Collection
from .where import compile_where

__all__ = ["app", "serve", "MAX_QUERY_CHARS", "MAX_K", "DEFAULT_K", "GATHER_LIMIT"]

MAX_QUERY_CHARS = 1000
MAX_K = 100
DEFAULT_K = 10
MAX_WHERE_CHARS = 10_000
# Candidates the first stage gathers for the reranker (never fewer than k).
GATHER_LIMIT = 100
PARAMETERS = frozenset({"q", "k", "where"})
TIMINGS = ("gather_seconds", "rerank_seconds", "total_seconds")
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


class BadRequest(ValueError):
    """A request's parameters are refused (400)."""


def _page() -> tuple[bytes, str]:
    """The page, and its Content-Security-Policy: its one inline script and
    one inline style are allowed by their hashes, nothing else is loaded."""
    text = importlib.resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")

    def hashes(tag: str) -> str:
        bodies = re.findall(rf"<{tag}>(.*?)</{tag}>", text, flags=re.S)
        if len(bodies) != 1:
            raise RuntimeError(f"page.html must hold exactly one <{tag}> element, not {len(bodies)}")
        digest = base64.b64encode(hashlib.sha256(bodies[0].encode("utf-8")).digest()).decode("ascii")
        return f"'sha256-{digest}'"

    policy = (f"default-src 'none'; script-src {hashes('script')}; style-src {hashes('style')}; "
              "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
    return text.encode("utf-8"), policy


def _error(status: int, message: str, headers: Optional[dict] = None) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status, headers=headers)


def _parameters(request: Request) -> tuple[str, int, Optional[dict]]:
    params = request.query_params
    unknown = sorted(set(params.keys()) - PARAMETERS)
    if unknown:
        raise BadRequest(f"unknown parameter {unknown[0]!r} (known: q, k, where)")
    for name in PARAMETERS:
        if len(params.getlist(name)) > 1:
            raise BadRequest(f"parameter {name!r} given more than once")
    q = params.get("q")
    if q is None:
        raise BadRequest("parameter 'q' is required")
    if not q.strip():
        raise BadRequest("parameter 'q' is empty")
    if len(q) > MAX_QUERY_CHARS:
        raise BadRequest(f"parameter 'q' holds {len(q)} characters, more than {MAX_QUERY_CHARS}")
    k = DEFAULT_K
    if "k" in params:
        raw = params["k"].strip()
        if not re.fullmatch(r"[0-9]{1,4}", raw):
            raise BadRequest(f"parameter 'k' must be an integer from 1 to {MAX_K}")
        k = int(raw)
        if not 1 <= k <= MAX_K:
            raise BadRequest(f"parameter 'k' is {k}, not from 1 to {MAX_K}")
    where = None
    if "where" in params:
        raw = params["where"]
        if len(raw) > MAX_WHERE_CHARS:
            raise BadRequest(f"parameter 'where' holds more than {MAX_WHERE_CHARS} characters")
        try:
            where = json.loads(raw)
        except ValueError as error:
            raise BadRequest(f"parameter 'where' is not JSON: {error}") from None
        try:
            compile_where(where)
        except (TypeError, ValueError, RecursionError) as error:
            raise BadRequest(f"parameter 'where' is refused: {error}") from None
    return q, k, where


def _finite(value: float) -> Optional[float]:
    return value if math.isfinite(value) else None


def _host_allowed(host_header: str, allowed: frozenset) -> bool:
    host = host_header.strip().lower()
    if host.startswith("["):  # [::1]:port
        host = host[1:].split("]", 1)[0]
    elif host.count(":") == 1:
        host = host.split(":", 1)[0]
    return host in allowed


def app(collection: Collection, *, allowed_hosts: Optional[Iterable[str]] = None) -> Starlette:
    """The search page and endpoint over ``collection`` (which the caller
    keeps open while the app serves, and closes after). With
    ``allowed_hosts``, a request whose Host header names another host is
    refused (400): a server on loopback is then not reachable through a
    DNS name rebound to it."""
    page, policy = _page()
    allowed = None if allowed_hosts is None else frozenset(h.lower() for h in allowed_hosts)
    common = {"X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer", "Cache-Control": "no-store"}

    async def index(request: Request) -> Response:
        return Response(page, media_type="text/html; charset=utf-8",
                        headers={**common, "Content-Security-Policy": policy, "X-Frame-Options": "DENY"})

    async def search(request: Request) -> Response:
        try:
            q, k, where = _parameters(request)
        except BadRequest as error:
            return _error(400, str(error), common)
        started = time.perf_counter()
        hits = await run_in_threadpool(collection.search, q, limit=k, gather_limit=max(GATHER_LIMIT, k), where=where)
        elapsed = time.perf_counter() - started
        timings = {name: getattr(hits.timings, name) for name in TIMINGS}
        # The whole Collection.search call: the query's encoding, both stages
        # and the reading of the texts.
        timings["search_seconds"] = elapsed
        body: dict[str, Any] = {
            "hits": [{"id": h.id, "score": _finite(h.score), "text": h.text, "metadata": h.metadata} for h in hits],
            "as_of": hits.as_of.isoformat(),
            "timings": timings,
        }
        return JSONResponse(body, headers=common)

    async def http_error(request: Request, error: HTTPException) -> Response:
        return _error(error.status_code, error.detail, {**common, **(error.headers or {})})

    async def server_error(request: Request, error: Exception) -> Response:
        return _error(500, "internal error", common)

    application = Starlette(
        routes=[Route("/", index, methods=["GET"]), Route("/search", search, methods=["GET"])],
        exception_handlers={HTTPException: http_error, Exception: server_error},
    )
    if allowed is None:
        return application

    async def checked(scope, receive, send):
        if scope["type"] == "http":
            host = dict(scope["headers"]).get(b"host", b"").decode("latin-1")
            if not _host_allowed(host, allowed):
                await _error(400, "Host header names a host this server does not serve", common)(scope, receive, send)
                return
        await application(scope, receive, send)

    return checked


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def serve(path, *, host: str = "127.0.0.1", port: int = 8080, encoder=None) -> None:
    """Opens the collection in ``path`` (see ``Collection.open`` for
    ``encoder``) and serves it with uvicorn on ``host``:``port`` until
    interrupted. On a loopback host (the default) only requests naming a
    loopback host are answered."""
    import uvicorn

    collection = Collection.open(path, encoder)
    try:
        allowed = LOOPBACK_NAMES if _is_loopback(host) else None
        uvicorn.run(app(collection, allowed_hosts=allowed), host=host, port=port, log_level="info")
    finally:
        collection.close()


def main(argv=None) -> None:
    import argparse

    parser = argparse.ArgumentParser(prog="python -m quillmark.server", description=__doc__.split("\n")[0])
    parser.add_argument("path", help="the collection's directory")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    args = parser.parse_args(argv)
    serve(args.path, host=args.host, port=args.port)


if __name__ == "__main__":
    main()
