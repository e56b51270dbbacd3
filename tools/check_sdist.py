"""Prints an sdist's file list and fails if it holds anything but sources.

The sdist must build the package from itself: the build files and the sources
of the core, the binding and the Python package. Tests and their data,
benchmarks, build trees, virtual environments and compiled objects stay out.
"""

import sys
import tarfile
from pathlib import PurePosixPath

REQUIRED = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "python/quillmark/__init__.py"}
FORBIDDEN_DIRS = {"tests", "bench", "tools", "dist", ".git", "__pycache__", ".pytest_cache", ".hypothesis"}
FORBIDDEN_DIR_PREFIXES = ("build", ".venv")
FORBIDDEN_SUFFIXES = {".so", ".o", ".a", ".whl", ".npy", ".npz", ".pyc"}


def problems(names: list[str]) -> list[str]:
    tops = {PurePosixPath(name).parts[0] for name in names}
    if len(tops) != 1:
        return [f"expected one top-level directory, found {sorted(tops)}"]
    found = []
    inner = {str(PurePosixPath(*PurePosixPath(name).parts[1:])) for name in names}
    for missing in sorted(REQUIRED - inner):
        found.append(f"missing {missing}")
    for name in sorted(inner):
        path = PurePosixPath(name)
        dirs = path.parts[:-1]
        if any(d in FORBIDDEN_DIRS or d.startswith(FORBIDDEN_DIR_PREFIXES) for d in dirs):
            found.append(f"not a source: {name}")
        elif path.suffix in FORBIDDEN_SUFFIXES:
            found.append(f"build output or data: {name}")
    return found


def main(paths: list[str]) -> int:
    failed = False
    for path in paths:
        with tarfile.open(path) as archive:
            names = [member.name for member in archive.getmembers() if member.isfile()]
        print(f"{path}: {len(names)} files")
        for name in sorted(names):
            print(f"  {name}")
        for problem in problems(names):
            print(f"ERROR: {problem}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
