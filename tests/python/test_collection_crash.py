"""A collection's writer killed at random points: the collection always opens
at its last acknowledged commit (or the one being made, if its store commit
landed), every document with its own text and metadata."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("tokenizers", reason="the tiny test encoder needs the tokenizers library")

HERE = pathlib.Path(__file__).resolve().parent


def contents(path) -> dict:
    from quillmark import Collection
    from tiny_encoder import tiny_encoder

    with Collection.open(path, tiny_encoder()) as collection:
        return {i: [text, meta] for i, (text, meta) in collection.get().items()}


def test_a_killed_writer_leaves_an_acknowledged_commit(tmp_path):
    kills = int(os.environ.get("QUILLMARK_COLLECTION_KILLS", "30"))
    path, rng = tmp_path / "collection", random.Random(2024)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(HERE), *sys.path])}
    expected, mid_commit, published = {}, 0, 0
    for kill in range(kills):
        worker = subprocess.Popen([sys.executable, str(HERE / "collection_workload.py"), str(path), str(kill), "1000"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        time.sleep(rng.uniform(0.4, 1.6))
        worker.send_signal(signal.SIGKILL)
        out, err = worker.communicate()
        assert worker.returncode == -signal.SIGKILL, err
        acknowledged, pending = expected, None
        for line in out.split("\n")[:-1]:  # whole lines only: the kill may cut the last one
            word, _, state = line.partition(" ")
            if word == "ACK":
                acknowledged, pending, published = json.loads(state), None, published + 1
            elif word == "COMMITTING":
                pending = json.loads(state)
        if not path.exists() or not (path / "collection.json").exists():
            continue  # killed while creating it: not a collection yet
        found = contents(path)
        if pending is not None:
            mid_commit += 1
            assert found in (acknowledged, pending), f"kill {kill}: neither the acknowledged nor the pending commit"
        else:
            assert found == acknowledged, f"kill {kill}"
        expected = found
    print(f"{kills} kills, {mid_commit} inside a commit, {published} commits acknowledged")
    assert published > 0 and mid_commit > 0
