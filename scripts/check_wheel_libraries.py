"""Checks that a wheel carries every shared library its binaries load.

Unpacks the wheel as pip installs it and resolves each ELF file inside with
the system's dynamic loader (ldd). A library may come from the wheel itself
or be part of the C and C++ runtime that every manylinux system has; anything
else would make the wheel fail on a machine without that library, so the
check names it and exits with status 1.

Usage: python check_wheel_libraries.py WHEEL
"""
from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

# glibc and the GCC runtime: manylinux wheels may take these from the system.
RUNTIME_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0",
    "libstdc++.so.6", "libgcc_s.so.1",
}
# The loader itself and the kernel's vDSO are named per architecture.
RUNTIME_PREFIXES = ("ld-linux", "linux-vdso", "linux-gate")

# "name => /path (0x...)", "name => not found" or "/path/name (0x...)".
LDD_LINE = re.compile(r"^\s*(?P<name>\S+)(?: => (?P<path>.+?))?(?: \(0x[0-9a-f]+\))?$")


def is_elf(path: pathlib.Path) -> bool:
    with path.open("rb") as file:
        return file.read(4) == b"\x7fELF"


def resolved_libraries(binary: pathlib.Path) -> list[tuple[str, str]]:
    """(name, resolved path or 'not found') for every library ldd lists."""
    output = subprocess.run(["ldd", str(binary)], capture_output=True, text=True, check=True).stdout
    libraries = []
    for line in output.splitlines():
        match = LDD_LINE.match(line)
        if match is None:
            raise ValueError(f"unexpected ldd output for {binary}: {line!r}")
        name, path = match["name"], match["path"]
        libraries.append((pathlib.Path(name).name, path if path is not None else name))
    return libraries


def is_runtime(name: str) -> bool:
    return name in RUNTIME_LIBRARIES or name.startswith(RUNTIME_PREFIXES)


def foreign_libraries(root: pathlib.Path, binaries: list[pathlib.Path]) -> list[str]:
    """Libraries that the binaries load from outside root, beyond the runtime."""
    problems = []
    for binary in binaries:
        for name, path in resolved_libraries(binary):
            inside = path.startswith(str(root) + "/")
            if not inside and not is_runtime(name):
                problems.append(f"{binary.relative_to(root)} needs {name} => {path}")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    wheel = pathlib.Path(argv[1])
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch).resolve()
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(root)
        binaries = sorted(p for p in root.rglob("*") if p.is_file() and is_elf(p))
        if not binaries:
            print(f"{wheel.name}: no shared library inside", file=sys.stderr)
            return 1
        problems = foreign_libraries(root, binaries)
    for problem in problems:
        print(f"{wheel.name}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"{wheel.name}: all libraries of {len(binaries)} binaries come from the wheel or the C/C++ runtime")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
