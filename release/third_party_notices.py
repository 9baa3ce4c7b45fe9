#!/usr/bin/env python3
"""third_party_notices.py OUT LINK.map...: THIRD-PARTY-NOTICES.txt for the exes.

The exes are linked statically, so they carry runtime code of the toolchain
that built them. The linker's map of each names every object file and archive
member that went in; each is traced to the Debian package that installed it, whose
version and copyright file (with the licence terms) go into the notices.
"""
import collections
import os
import re
import subprocess
import sys

INTRO = """\
ondavipci.exe and ondavipci-fleet.exe are linked statically: besides the
programs themselves they contain runtime code from the toolchain that built
them. That code, where it comes
from, and the terms under which it may be distributed in binary form are
listed here. The full copyright files of the toolchain packages follow.
"""

# Components, by the Debian package that installed the linked files.
COMPONENTS = [
    (re.compile(r"^mingw-w64-.*-dev$"), "MinGW-w64 runtime (C runtime start-up, libmingw32, libmingwex, import libraries)",
     "ZPL-2.1 for the most part, with parts in the public domain or under other permissive licences, as the "
     "copyright file below details: redistributions in binary form must reproduce the copyright notices, "
     "conditions and disclaimers."),
    (re.compile(r"^(gcc|g\+\+)-mingw-w64-"), "GCC runtime libraries (libgcc; libstdc++ when the program uses it)",
     "GPL-3.0-or-later WITH GCC-exception-3.1: the GCC Runtime Library Exception lets code compiled with GCC "
     "and linked with these libraries be distributed in binary form under terms of the distributor's choice."),
]


def linked_files(map_path):
    """The object files and archives that contributed to the link."""
    files = set()
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    # Archive members taken in start a line of the map's first section.
    for match in re.finditer(r"^(/\S+?\.a)\(", text, re.MULTILINE):
        files.add(os.path.realpath(match.group(1)))
    for match in re.finditer(r"^LOAD (/\S+\.o)$", text, re.MULTILINE):
        files.add(os.path.realpath(match.group(1)))
    return files


def package_of(path):
    result = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"third_party_notices: no Debian package installed {path}")
    return result.stdout.split(":", 1)[0].strip()


def version_of(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True,
                          check=True).stdout.strip()


def component_of(package):
    for pattern, name, terms in COMPONENTS:
        if pattern.search(package):
            return name, terms
    return package, "as the copyright file below states"


def main():
    out_path, map_paths = sys.argv[1], sys.argv[2:]
    by_package = collections.defaultdict(set)
    for map_path in map_paths:
        for path in linked_files(map_path):
            if path.startswith("/usr/"):
                by_package[package_of(path)].add(os.path.basename(path))

    sections, copyrights = [], []
    for number, package in enumerate(sorted(by_package), 1):
        name, terms = component_of(package)
        names = sorted(by_package[package])
        version = version_of(package)
        sections.append(f"{number}. {name}\n"
                        f"   Version: {version} (Debian package {package})\n"
                        f"   Linked from: {', '.join(names)}\n"
                        f"   Licence: {terms}\n")
        with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8", errors="replace") as f:
            copyrights.append(f"{'=' * 78}\n{package} {version}: /usr/share/doc/{package}/copyright\n{'=' * 78}\n\n"
                              + f.read())
    if not sections:
        sys.exit(f"third_party_notices: {' '.join(map_paths)} name no toolchain files")
    with open(out_path, "w", encoding="utf-8", newline="\r\n") as f:
        f.write(INTRO + "\n" + "\n".join(sections) + "\n" + "\n".join(copyrights))


if __name__ == "__main__":
    main()
