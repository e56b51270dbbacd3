"""A process that takes one snapshot: prints "ready COMMIT" once it holds the
view, then "done" once the snapshot returned. Killed at random moments by
test_store_snapshot.py."""

import sys

from quillmark import VectorStore


def main(store: str, destination: str, link: str) -> None:
    view = VectorStore(store).view()
    print("ready", view.commit, flush=True)
    view.snapshot(destination, link=link == "link")
    print("done", flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
