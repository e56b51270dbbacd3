"""Four reader processes loop views and fetches while a writer process
appends, deletes, compacts and commits: every view must be one whole commit
with exactly its vectors, and the readers' resident memory must stay flat.

QUILLMARK_READERS_SECONDS sets how long the readers run (make crash: 600).
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

from quillmark import VectorStoreWriter
from quillmark.representation import Representation

HERE = pathlib.Path(__file__).parent
SECONDS = float(os.environ.get("QUILLMARK_READERS_SECONDS", "2"))
READERS = 4
# Growth of a reader's resident memory from the end of its first quarter to
# its end that counts as flat (allocator noise and mapped pages).
RSS_SLACK_KIB = 8 * 1024
# AddressSanitizer's quarantine holds freed memory on purpose (make sanitize
# preloads it): there resident memory is not a measure of leaks.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

READER = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from quillmark import VectorStore
import writer_workload

def rss_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])

store = VectorStore(sys.argv[2])
seconds = float(sys.argv[3])
start = time.monotonic()
views = retried = 0
commits = set()
warm = None
while time.monotonic() - start < seconds:
    try:
        view = store.view()
        writer_workload.check_view(view)  # AssertionError on a mixed view or a wrong vector
    except FileNotFoundError:
        # The view read a manifest whose files a later commit removed:
        # readers reread the manifest.
        retried += 1
        continue
    views += 1
    commits.add(view.commit)
    if warm is None and time.monotonic() - start > seconds / 4:
        warm = rss_kib()
print(json.dumps({"views": views, "retried": retried, "commits": len(commits),
                  "rss_warm": warm or rss_kib(), "rss_end": rss_kib()}))
"""


def test_readers_under_load(tmp_path):
    path = tmp_path / "s"
    VectorStoreWriter.create(path, "docs", Representation(
        encoder="enc", encoder_revision="r1", dimension=4, normalized=False, query_template="",
        document_template=""))
    writer = subprocess.Popen([sys.executable, str(HERE / "writer_workload.py"), str(path), str(10**9)],
                              stdout=subprocess.DEVNULL, env=os.environ)
    try:
        readers = [subprocess.Popen([sys.executable, "-c", READER, str(HERE), str(path), str(SECONDS)],
                                    stdout=subprocess.PIPE, text=True, env=os.environ) for _ in range(READERS)]
        results = []
        for reader in readers:
            out, _ = reader.communicate(timeout=SECONDS + 120)
            assert reader.returncode == 0
            results.append(json.loads(out))
    finally:
        writer.kill()
        writer.wait()
    for r in results:
        print(f"\nreader: {r['views']} whole views of {r['commits']} commits, {r['retried']} rereads, "
              f"RSS {r['rss_warm']} -> {r['rss_end']} KiB")
        assert r["views"] > 0 and r["commits"] >= 2
        if not SANITIZED:
            assert r["rss_end"] - r["rss_warm"] <= RSS_SLACK_KIB
