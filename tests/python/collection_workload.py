"""The writer of the collection crash test: random additions, replacements
and deletions, committed one batch at a time. Before each commit it prints
the contents that commit publishes ("COMMITTING"), after it returns the same
again ("ACK"), so that whoever kills it knows what may and what must be there."""

import json
import random
import sys

from quillmark import Collection
from tiny_encoder import WORDS, tiny_encoder

POOL = [f"doc-{n:02d}" for n in range(24)] + ["é-accent", "space id", "x\u0085y"]


def main(path: str, seed: int, commits: int) -> None:
    rng = random.Random(seed)
    try:
        collection = Collection.open(path, tiny_encoder())
    except FileNotFoundError:
        collection = Collection.create(path, tiny_encoder())
    state = {i: [text, meta] for i, (text, meta) in collection.get().items()}
    for n in range(commits):
        for _ in range(rng.randint(1, 3)):
            ids = rng.sample(POOL, rng.randint(1, 5))
            if rng.random() < 0.75:
                # Up to 60 words: some texts exceed the tiny model's window.
                texts = [" ".join(rng.choices(WORDS, k=rng.randint(1, 60))) for _ in ids]
                metadata = [rng.choice([None, {"seed": seed, "n": n, "k": rng.randint(0, 9)}]) for _ in ids]
                collection.add(ids, texts, metadata)
                state.update({i: [t, m] for i, t, m in zip(ids, texts, metadata)})
            else:
                collection.delete(ids)
                for i in ids:
                    state.pop(i, None)
        print("COMMITTING", json.dumps(state), flush=True)
        collection.commit()
        print("ACK", json.dumps(state), flush=True)
    collection.close()


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
