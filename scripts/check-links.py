#!/usr/bin/env python3
"""Fails on a relative link in the project's Markdown that points at no file.

Reads README.md and every docs/**/*.md (or the files and folders given), finds inline links
and images, [text](target) and ![alt](target), and reference definitions, [name]: target,
outside code, and checks that each relative target exists, taken from the linking file's
folder (from the project's top for one that starts with /). Web and mail addresses, and
links to an anchor in the same file, are not checked; an anchor after a file name is dropped.
Exit code 0 when every target exists, 1 naming each one that does not.
"""
import os
import pathlib
import re
import sys
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(\S+)")
FENCE = re.compile(r"^ {0,3}(```|~~~)")


def markdown_files(arguments):
    for argument in arguments or ["README.md", "docs"]:
        path = ROOT / argument
        if path.is_dir():
            yield from sorted(path.rglob("*.md"))
        else:
            yield path


def shown(path):
    return os.path.relpath(path, ROOT)


def without_code_spans(line):
    # An inline code span may hold "](" as text; blank it out, keeping the columns.
    return re.sub(r"(`+)(.+?)\1", lambda span: " " * len(span.group(0)), line)


def inline_targets(line):
    """The target of each [text](target) in the line; parentheses inside it may nest."""
    start = line.find("](")
    while start != -1:
        at = start + 2
        depth = 1
        while at < len(line) and depth:
            depth += {"(": 1, ")": -1}.get(line[at], 0)
            at += 1
        if depth == 0:
            inside = line[start + 2:at - 1].strip()
            if inside.startswith("<") and ">" in inside:
                yield inside[1:inside.index(">")]
            elif inside:
                # A title may follow the target: [text](target "title").
                yield inside.split()[0]
        start = line.find("](", at if depth == 0 else start + 2)


def targets(path):
    in_fence = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            in_fence = not in_fence
            continue
        if in_fence:
            continue
        line = without_code_spans(line)
        reference = REFERENCE.match(line)
        if reference:
            yield number, reference.group(1).strip("<>")
        for target in inline_targets(line):
            yield number, target


def missing(path, target):
    if SCHEME.match(target) or target.startswith("#"):
        return False
    file_part = urllib.parse.unquote(target.split("#", 1)[0].split("?", 1)[0])
    if not file_part:
        return False
    base = ROOT if file_part.startswith("/") else path.parent
    return not (base / file_part.lstrip("/")).exists()


def main(arguments):
    broken = []
    for path in markdown_files(arguments):
        if not path.is_file():
            broken.append(f"{shown(path)}: no such Markdown file to check")
            continue
        for number, target in targets(path):
            if missing(path, target):
                broken.append(f"{shown(path)}:{number}: {target}: no such file")
    for line in broken:
        print(f"check-links: {line}", file=sys.stderr)
    if broken:
        print(f"check-links: {len(broken)} broken relative link(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
