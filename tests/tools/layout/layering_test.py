#!/usr/bin/env python3
"""Every include of a tools/ header stays within what its folder's library links.

The build writes one line per folder, "FOLDER: USED-FOLDER ...". A file may include headers of
its own folder and of the folders listed for it; anything else would be a link the build does
not declare, a step against the direction common <- sim, common <- host folders <- app. Files
and folders the list does not name fail too, so a new folder cannot slip past.
"""
import argparse
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"(tools/[^"]+)"', re.M)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="the repository")
    parser.add_argument("--layers", required=True, help="layering.txt from the build")
    args = parser.parse_args()
    root = pathlib.Path(args.root)
    layers = {}
    for line in pathlib.Path(args.layers).read_text().splitlines():
        if line.strip():
            folder, _, uses = line.partition(":")
            layers[folder.strip()] = set(uses.split())
    problems = []
    files = sorted(p for p in (root / "tools").rglob("*") if p.suffix in (".h", ".cpp"))
    for path in files:
        folder = path.parent.relative_to(root).as_posix()
        if folder not in layers:
            problems.append(f"{path.relative_to(root)}: its folder is no library of the build")
            continue
        allowed = layers[folder] | {folder}
        for header in INCLUDE.findall(path.read_text()):
            if pathlib.PurePosixPath(header).parent.as_posix() not in allowed:
                problems.append(f"{path.relative_to(root)} includes {header}, "
                                f"which {folder} does not link")
    for problem in problems:
        print(problem)
    print(f"{len(files)} files checked, {len(problems)} problems")
    return 1 if problems or not files else 0


if __name__ == "__main__":
    sys.exit(main())
