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


# A layered core: each file includes its own layer and layers it rests on,
# some by the path from src/, some beside; a header's own source file
# includes it.
LAYERED = {
    "base/error.h": [],
    "runtime/threads.h": ["base/error.h"],
    "kernel/kernel.h": ["base/error.h"],
    "kernel/kernel.cpp": ["kernel.h", "runtime/threads.h"],
    "search/source.h": ["base/error.h"],
    "search/maxsim.h": ["source.h"],
    "search/maxsim.cpp": ["search/maxsim.h", "kernel/kernel.h", "missing_generated.h"],
    "storage/io/file.h": ["base/error.h"],
    "storage/format/npy.h": ["storage/io/file.h", "runtime/threads.h"],
    "storage/store.h": ["search/source.h", "format/npy.h"],
    "storage/store.cpp": ["store.h", "kernel/kernel.h"],
}


@pytest.mark.parametrize(
    "extra, expected",
    [
        ({}, None),
        ({"search/pipeline.cpp": ["storage/store.h"]},
         "search includes storage: search/pipeline.cpp -> storage/store.h"),
        # Beside resolution counts, and so do headers.
        ({"kernel/bridge.h": ["../search/source.h"]}, "kernel includes search: kernel/bridge.h -> search/source.h"),
        ({"storage/format/json.h": [], "storage/io/file.cpp": ["file.h", "storage/format/json.h"]},
         "storage/io includes storage/format: storage/io/file.cpp -> storage/format/json.h"),
        ({"base/text.h": ["runtime/threads.h"]}, "base includes runtime: base/text.h -> runtime/threads.h"),
        ({"helpers.h": ["base/error.h"]}, "outside every layer: helpers.h"),
        ({"search/extra/x.h": []}, "outside every layer: search/extra/x.h"),
        # A header and the other's source file: a mutual include of modules.
        ({"search/source.cpp": ["source.h", "maxsim.h"]},
         "include cycle between modules: search/maxsim, search/source"),
        ({"base/a.h": ["b.h"], "base/b.h": ["c.h"], "base/c.h": [], "base/c.cpp": ["c.h", "a.h"]},
         "include cycle between modules: base/a, base/b, base/c"),
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
