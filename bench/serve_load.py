"""A load figure for quillmark.server: starts the server over a collection in
a child process on loopback, sends N searches from C client threads (httpx)
cycling through a fixed list of queries, and prints the latency percentiles
and the throughput.

    python bench/serve_load.py PATH [--requests 400] [--clients 4] [--k 10]
    python bench/serve_load.py /tmp/tiny --tiny 500   # a tiny-encoder collection
                                                      # of 500 documents, made
                                                      # at PATH if absent

Without --tiny the collection must have been made with a bundled encoder.
"""

import argparse
import concurrent.futures
import pathlib
import socket
import statistics
import subprocess
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
QUERIES = ["python lists are mutable", "the weather is lovely today", "open and read files",
           "dict keys and values", "he drove to the stadium", "immutable tuples", "write python files",
           "sunny outside", "sequences can modify", "is a dict mutable ?"]


def make_tiny(path: pathlib.Path, count: int) -> None:
    sys.path.insert(0, str(REPO / "tests" / "python"))
    import numpy as np
    from quillmark.collection import Collection
    from tiny_encoder import WORDS, tiny_encoder

    rng = np.random.default_rng(3)
    with Collection.create(path, tiny_encoder()) as collection:
        texts = [" ".join(rng.choice(WORDS, size=int(rng.integers(6, 30)))) for _ in range(count)]
        collection.add([f"doc-{i:05d}" for i in range(count)], texts,
                       [{"n": i, "kind": "even" if i % 2 == 0 else "odd"} for i in range(count)])
        collection.commit()


def child(path: str, tiny: bool) -> None:
    """Serves PATH on a loopback port it prints, until stdin closes."""
    import uvicorn
    from quillmark.collection import Collection
    from quillmark.server import LOOPBACK_NAMES, app

    encoder = None
    if tiny:
        sys.path.insert(0, str(REPO / "tests" / "python"))
        from tiny_encoder import tiny_encoder

        encoder = tiny_encoder()
    collection = Collection.open(path, encoder)
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(128)  # connections made before the server runs wait in the backlog
    server = uvicorn.Server(uvicorn.Config(app(collection, allowed_hosts=LOOPBACK_NAMES), log_level="warning",
                                           access_log=False, lifespan="off"))
    threading.Thread(target=lambda: (sys.stdin.read(), setattr(server, "should_exit", True)), daemon=True).start()
    print(sock.getsockname()[1], flush=True)
    server.run(sockets=[sock])
    collection.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path")
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--fresh-connections", action="store_true", help="one TCP connection per request "
                        "(Connection: close) instead of one kept alive per client thread")
    parser.add_argument("--tiny", type=int, metavar="N", help="serve with the tests' tiny encoder; make N documents "
                        "at PATH first if it does not exist")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.path, args.tiny is not None)

    import httpx

    path = pathlib.Path(args.path)
    if args.tiny is not None and not path.exists():
        started = time.perf_counter()
        make_tiny(path, args.tiny)
        print(f"made {args.tiny} tiny-encoder documents at {path} in {time.perf_counter() - started:.1f} s")
    command = [sys.executable, __file__, str(path), "--child"] + (["--tiny", str(args.tiny)] if args.tiny else [])
    server = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        url = f"http://127.0.0.1:{port}/search"
        local = threading.local()

        def one(i: int) -> float:
            client = getattr(local, "client", None)
            if client is None:
                client = local.client = httpx.Client(timeout=60)
            started = time.perf_counter()
            response = client.get(url, params={"q": QUERIES[i % len(QUERIES)], "k": str(args.k)},
                                  headers={"Connection": "close"} if args.fresh_connections else None)
            elapsed = time.perf_counter() - started
            response.raise_for_status()
            if len(response.json()["hits"]) == 0:
                raise RuntimeError(f"no hits for {QUERIES[i % len(QUERIES)]!r}")
            return elapsed

        with concurrent.futures.ThreadPoolExecutor(args.clients) as pool:
            list(pool.map(one, range(2 * args.clients)))  # warm up: connections, threads, caches
            started = time.perf_counter()
            latencies = sorted(pool.map(one, range(args.requests)))
            wall = time.perf_counter() - started
    finally:
        server.stdin.close()
        server.wait(30)
    quantiles = statistics.quantiles(latencies, n=100, method="inclusive")
    print(f"{args.requests} requests, {args.clients} client threads, k={args.k}, {len(QUERIES)} queries, "
          f"{'a connection per request' if args.fresh_connections else 'kept-alive connections'}: "
          f"p50 {quantiles[49] * 1000:.1f} ms, p99 {quantiles[98] * 1000:.1f} ms, "
          f"max {latencies[-1] * 1000:.1f} ms, {args.requests / wall:.1f} requests/s")


if __name__ == "__main__":
    main()
