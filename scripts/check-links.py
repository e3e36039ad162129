#!/usr/bin/env python3
"""Fails on a relative link in the project's Markdown that points at no file or no anchor.

Reads README.md and every docs/**/*.md (or the files and folders given), finds inline links
and images, [text](target) and ![alt](target), and reference definitions, [name]: target,
outside code, and checks that each relative target exists, taken from the linking file's
folder (from the project's top for one that starts with /). An anchor, in the same file
(#name) or after a Markdown file's name (page.md#name), must be one of that page's: a
heading's slug as GitHub makes it, or an explicit <a id="name"> or <a name="name">. Web and
mail addresses are not checked.

Given no arguments, it also holds docs/assumptions.md's "relied on in" column to the project's
files (git ls-files): each file or folder a row names mentions the row's id, and each file that
mentions an id (A<n>, or a link to assumptions.md#a<n>) is named in that row, or lies in a
folder it names; every row's anchor is a row read, every mentioned id has a row and every path
a row names (a code span outside parentheses, or one with a slash) is there. Exit code 0 when
all holds, 1 naming each fault.
"""
import os
import pathlib
import re
import subprocess
import sys
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(\S+)")
FENCE = re.compile(r"^ {0,3}(```|~~~)")
HEADING = re.compile(r"^ {0,3}#{1,6}\s+(.*?)(?:\s+#+)?\s*$")
EXPLICIT = re.compile(r"""<a\s[^>]*\b(?:id|name)\s*=\s*["']([^"']+)["']""", re.IGNORECASE)


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


def outside_fences(path):
    in_fence = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            in_fence = not in_fence
            continue
        if not in_fence:
            yield number, line


def slug(heading):
    """The anchor GitHub gives a heading: its text lowercased, punctuation dropped, spaces
    made hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link keeps its text
    text = re.sub(r"<[^>]+>", "", text).replace("`", "").replace("*", "")
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


_anchors = {}


def anchors(path):
    """Every anchor a page has; a repeated heading's later slugs end in -1, -2..."""
    if path not in _anchors:
        found, seen = set(), {}
        for _, line in outside_fences(path):
            found.update(EXPLICIT.findall(line))
            heading = HEADING.match(line)
            if heading:
                name = slug(heading.group(1))
                found.add(f"{name}-{seen[name]}" if name in seen else name)
                seen[name] = seen.get(name, 0) + 1
        _anchors[path] = found
    return _anchors[path]


def targets(path):
    for number, line in outside_fences(path):
        line = without_code_spans(line)
        reference = REFERENCE.match(line)
        if reference:
            yield number, reference.group(1).strip("<>")
        for target in inline_targets(line):
            yield number, target


def problem(path, target):
    """What is wrong with a link's target, or None."""
    if SCHEME.match(target):
        return None
    file_part, _, anchor = target.partition("#")
    file_part = urllib.parse.unquote(file_part.split("?", 1)[0])
    linked = path
    if file_part:
        base = ROOT if file_part.startswith("/") else path.parent
        linked = base / file_part.lstrip("/")
        if not linked.exists():
            return "no such file"
    if anchor and linked.suffix == ".md" and linked.is_file():
        if urllib.parse.unquote(anchor) not in anchors(linked.resolve()):
            return f"no anchor #{anchor} in {shown(linked)}"
    return None


ASSUMPTIONS = "docs/assumptions.md"
ROW = re.compile(r'^\| <a id="a(\d+)"></a>A\1 \|')
# A row's id as a word (hex such as 0xA5 holds none), or a link to its anchor.
MENTION = re.compile(r"\bA(\d+)\b|assumptions\.md#a(\d+)\b")


def cells(line):
    """A table row's cells; a | inside a code span is text."""
    found, cell, in_code = [], "", False
    for character in line.strip().strip("|"):
        if character == "`":
            in_code = not in_code
        if character == "|" and not in_code:
            found.append(cell.strip())
            cell = ""
        else:
            cell += character
    return found + [cell.strip()]


def named_paths(cell):
    """The paths a "relied on in" cell names: its code spans outside parentheses, which hold
    notes, and any with a slash."""
    names, depth = [], 0
    for span, bracket in re.findall(r"`([^`]+)`|([()])", cell):
        depth += {"(": 1, ")": -1}.get(bracket, 0)
        if span and (depth == 0 or "/" in span):
            names.append(span.rstrip("/"))
    return names


def covers(named, path):
    """Whether a file or folder that a row names is, or holds, the file at `path`."""
    return path == named or path.startswith(named + "/")


def reliance_faults():
    """Where the table's "relied on in" column and the files' mentions of its ids disagree."""
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True)
    if listed.returncode != 0:
        return [f"{ASSUMPTIONS}: cannot list the project's files (git ls-files failed)"]
    files = [name for name in listed.stdout.decode().split("\0") if name]
    named, anchored, faults, unknown = {}, 0, [], []
    for _, line in outside_fences(ROOT / ASSUMPTIONS):
        if line.lstrip().startswith("|"):
            anchored += sum(1 for name in EXPLICIT.findall(line) if re.fullmatch(r"a\d+", name))
        row = ROW.match(line)
        if row:
            named[row.group(1)] = named_paths(cells(line)[2])
    if len(named) != anchored:
        # A row the pattern misses would drop out of every check below.
        faults.append(f"the table has {anchored} row anchors, but {len(named)} rows read as "
                      '| <a id="aN"></a>AN | ... |')
    mentions = {}
    for name in files:
        try:
            text = (ROOT / name).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue  # a binary file mentions nothing
        for mention in MENTION.finditer(text):
            row = mention.group(1) or mention.group(2)
            if row not in named:
                line = text.count("\n", 0, mention.start()) + 1
                unknown.append(f"{name}:{line}: mentions A{row}, which has no row in {ASSUMPTIONS}")
            elif name != ASSUMPTIONS:
                mentions.setdefault(row, set()).add(name)
    for row, names in named.items():
        mentioning = mentions.get(row, set())
        for name in names:
            if not any(covers(name, path) for path in files):
                faults.append(f"A{row} names {name}, which is no file or folder here")
            elif not any(covers(name, path) for path in mentioning):
                faults.append(f"A{row} names {name}, which does not mention A{row}")
        for path in sorted(mentioning):
            if not any(covers(name, path) for name in names):
                faults.append(f"{path} mentions A{row}, but the row does not name it")
    return unknown + [f"{ASSUMPTIONS}: {fault}" for fault in faults]


def main(arguments):
    broken = [] if arguments else reliance_faults()
    for path in markdown_files(arguments):
        if not path.is_file():
            broken.append(f"{shown(path)}: no such Markdown file to check")
            continue
        for number, target in targets(path):
            what = problem(path, target)
            if what:
                broken.append(f"{shown(path)}:{number}: {target}: {what}")
    for line in broken:
        print(f"check-links: {line}", file=sys.stderr)
    if broken:
        print(f"check-links: {len(broken)} fault(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
