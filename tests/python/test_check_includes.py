"""tools/check_includes.py: the core's include layering check, on small trees."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "check_includes.py"


def run(src: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SCRIPT), str(src)], capture_output=True, text=True, check=False)


def write_tree(src: Path, files: dict[str, list[str]]) -> None:
    for name, includes in files.items():
        path = src / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(f'#include "{i}"\n' for i in includes) + "#include <vector>\n")


# A layered core: storage includes search headers, search includes only
# neutral ones; a header's own source file includes it.
LAYERED = {
    "error.h": [],
    "source.h": ["error.h"],
    "maxsim.h": ["source.h"],
    "maxsim.cpp": ["maxsim.h", "kernel.h"],
    "kernel.h": ["error.h"],
    "query.h": ["error.h", "missing_generated.h"],
    "storage/store.h": ["source.h", "error.h"],
    "storage/store.cpp": ["store.h", "storage/store.h", "maxsim.h"],
}


@pytest.mark.parametrize(
    "extra, expected",
    [
        ({}, None),
        ({"pipeline.cpp": ["storage/store.h"]}, "search side reaches storage: pipeline.cpp -> storage/store.h"),
        # Through a neutral header, and from a header.
        ({"bridge.h": ["storage/store.h"], "ranking.h": ["bridge.h"]},
         "search side reaches storage: ranking.h -> bridge.h -> storage/store.h"),
        ({"maxsim_gather.h": ["storage/store.h"]}, "search side reaches storage: maxsim_gather.h -> storage/store.h"),
        # A header and the other's source file: a mutual include of modules.
        ({"kernel.cpp": ["kernel.h", "maxsim.h"]}, "include cycle between modules: kernel, maxsim"),
        ({"a.h": ["b.h"], "b.h": ["c.h"], "c.h": [], "c.cpp": ["c.h", "a.h"]}, "include cycle between modules: a, b, c"),
        ({"storage/store_stats.h": ["store.h"], "storage/store.cpp": ["store_stats.h"]},
         "include cycle between modules: storage/store, storage/store_stats"),
    ],
)
def test_flags_exactly_the_violations(tmp_path: Path, extra: dict, expected: str | None):
    write_tree(tmp_path, {**LAYERED, **extra})
    result = run(tmp_path)
    if expected is None:
        assert result.returncode == 0, result.stdout
        assert result.stdout.startswith("includes of ")
    else:
        assert result.returncode == 1
        assert result.stdout.splitlines() == [expected]


def test_the_core_is_layered():
    result = run(ROOT / "src")
    assert result.returncode == 0, result.stdout
