"""Prints each repaired wheel's policy tag, size and files, and checks that its
only outside dependencies are NumPy, the scipy-openblas32 wheel, faiss-cpu
(quillmark.ann's index, pure Python use) and the C and C++ runtimes a
manylinux policy allows.

The BLAS is never grafted into the wheel: libquillmark_native.so finds it in the
installed scipy-openblas32 package through its RUNPATH, and the extension
module finds libquillmark_native.so beside itself.
"""

import io
import re
import sys
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

RUNTIMES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6", "ld-linux-x86-64.so.2",
            "libpthread.so.0", "libdl.so.2", "librt.so.1"}
EXPECTED = {
    # file name pattern: (libraries it may need besides the runtimes, its RUNPATH)
    r"quillmark/_native\.cpython-[^/]+\.so": ({"libquillmark_native.so"}, "$ORIGIN"),
    r"quillmark/libquillmark_native\.so": ({"libscipy_openblas.so"}, "$ORIGIN/../scipy_openblas32/lib"),
}
REQUIREMENTS = {"numpy", "scipy-openblas32", "faiss-cpu"}


def dynamic(data: bytes) -> tuple[set[str], str]:
    elf = ELFFile(io.BytesIO(data))
    needed, runpath = set(), ""
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    needed.add(tag.needed)
                elif tag.entry.d_tag in ("DT_RUNPATH", "DT_RPATH"):
                    runpath = tag.runpath if tag.entry.d_tag == "DT_RUNPATH" else tag.rpath
    return needed, runpath


def check(path: Path) -> list[str]:
    errors = []
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        meta = next(n for n in names if n.endswith(".dist-info/WHEEL"))
        tags = [line.split(": ", 1)[1] for line in wheel.read(meta).decode().splitlines() if line.startswith("Tag: ")]
        metadata = wheel.read(meta.replace("/WHEEL", "/METADATA")).decode()
        requires = {re.split(r"[ <>=!;\[]", line.split(": ", 1)[1], maxsplit=1)[0].lower()
                    for line in metadata.splitlines() if line.startswith("Requires-Dist: ") and "extra ==" not in line}
        print(f"{path.name}")
        print(f"  policy tag: {', '.join(tags)}")
        print(f"  size: {path.stat().st_size} bytes ({path.stat().st_size / 1024:.0f} KiB)")
        print(f"  requires: {', '.join(sorted(requires))}")
        if not tags or not all("manylinux" in tag for tag in tags):
            errors.append(f"not a manylinux wheel: {tags}")
        if requires != REQUIREMENTS:
            errors.append(f"runtime requirements {sorted(requires)}, expected {sorted(REQUIREMENTS)}")
        libraries = [n for n in names if n.endswith(".so") or ".so." in n]
        for name in names:
            print(f"  {name}")
            if ".libs/" in name:
                errors.append(f"grafted library: {name}")
        for pattern, (allowed, want_runpath) in EXPECTED.items():
            matches = [n for n in libraries if re.fullmatch(pattern, n)]
            if len(matches) != 1:
                errors.append(f"expected one file matching {pattern}, found {matches}")
        for name in libraries:
            rule = next((rule for pattern, rule in EXPECTED.items() if re.fullmatch(pattern, name)), None)
            if rule is None:
                errors.append(f"unexpected shared library: {name}")
                continue
            allowed, want_runpath = rule
            needed, runpath = dynamic(wheel.read(name))
            print(f"    {name}: needs {', '.join(sorted(needed))}; runpath {runpath}")
            if extra := needed - RUNTIMES - allowed:
                errors.append(f"{name} needs {sorted(extra)} from outside the wheel")
            if runpath != want_runpath:
                errors.append(f"{name} has runpath {runpath!r}, expected {want_runpath!r}")
    return errors


def main(paths: list[str]) -> int:
    failed = False
    for path in map(Path, paths):
        for error in check(path):
            print(f"ERROR: {error}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
