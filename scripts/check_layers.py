#!/usr/bin/env python3
"""Refuses an include that points up or sideways across the library's layers.

Usage: check_layers.py ROOT STAMP RULE...

Each RULE is "DIR=ALLOWED,ALLOWED,..." (DIR relative to ROOT): files under DIR may include the
headers of DIR itself and of the ALLOWED folders under src/, and no other folder of src/.
Includes are read from #include "..." and #include <...> lines; a path is taken as a folder of
src/ when its first component names one, or when it resolves (relative to the including file)
into one. On success STAMP is touched; on failure every bad include is listed with its line and
the exit status is 1.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")


def src_folder_of(path, src_root):
    """The folder of src/ that an absolute path lies in, or None."""
    relative = os.path.relpath(path, src_root)
    if relative.startswith(".."):
        return None
    parts = relative.split(os.sep)
    return parts[0] if len(parts) > 1 else None


def included_folder(name, including_file, src_root, src_folders):
    """The folder of src/ an include refers to, or None for anything else."""
    first = name.split("/")[0]
    if first in src_folders and "/" in name:
        return first
    resolved = os.path.normpath(os.path.join(os.path.dirname(including_file), name))
    if os.path.exists(resolved):
        return src_folder_of(resolved, src_root)
    return None


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    root, stamp, rules = argv[0], argv[1], argv[2:]
    src_root = os.path.join(root, "src")
    src_folders = {d for d in os.listdir(src_root) if os.path.isdir(os.path.join(src_root, d))}
    problems = []
    for rule in rules:
        directory, _, allowed = rule.partition("=")
        allowed = {a for a in allowed.split(",") if a}
        own = src_folder_of(os.path.join(root, directory, "x"), src_root)
        if own:
            allowed.add(own)
        base = os.path.join(root, directory)
        for current, _, files in os.walk(base):
            for file_name in sorted(files):
                if not file_name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(current, file_name)
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        folder = included_folder(match.group(1), path, src_root, src_folders)
                        if folder and folder not in allowed:
                            problems.append(
                                f"{os.path.relpath(path, root)}:{number}: includes "
                                f'"{match.group(1)}", but {directory} may include only '
                                f"{', '.join(sorted(allowed)) or 'nothing'} of src/")
    if problems:
        print("Layer check failed (the layer table is in CMakeLists.txt):", file=sys.stderr)
        for problem in problems:
            print("  " + problem, file=sys.stderr)
        return 1
    with open(stamp, "w", encoding="utf-8"):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
