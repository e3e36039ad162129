#!/usr/bin/env python3
"""Fails where docs/windows-kit.md says other than the kit does.

Codes: the exit codes in the page's table are exactly those run-tests.cmd can end with (its
`exit /b N` lines and the range it passes through). Situations: each `expect_status CODE KEY`
of scripts/kit-check.sh names a row of the table, and the row gives CODE; the kit check then
proves CODE against the real kit. Messages: each of the kit's words the page quotes (below) is
found in the kit's sources, its fixed parts word for word; `…` and the suites' names stand for
what varies. Exit code 0, or 1 naming each fault.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
KIT = ROOT / "tests/kit"
page = (ROOT / "docs/windows-kit.md").read_text(encoding="utf-8")
cmd = (KIT / "run-tests.cmd").read_text(encoding="utf-8")
faults = []

# The table: | key | situation | exit code |, "\|" standing for a bar inside a cell.
rows = {}
for line in page.splitlines():
    cells = [c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", line)[1:-1]]
    if len(cells) == 3 and re.fullmatch(r"[a-z-]+", cells[0]) and cells[2].isdigit():
        if cells[0] in rows:
            faults.append(f"the key {cells[0]} is in the table twice")
        rows[cells[0]] = (int(cells[2]), cells[1])
if not rows:
    sys.exit("check-kit-page: no table of exit codes found in docs/windows-kit.md")

ends = {int(code) for code in re.findall(r"(?im)^\s*(?:if .*)?exit /b (\d+)\s*$", cmd)}
for low, high in re.findall(r"(?i)geq (\d+) if %\w+% leq (\d+) exit /b %\w+%", cmd):
    ends |= set(range(int(low), int(high) + 1))
page_codes = {code for code, _ in rows.values()}
for code in sorted(page_codes - ends):
    faults.append(f"the table gives {code}, which run-tests.cmd never ends with")
for code in sorted(ends - page_codes):
    faults.append(f"run-tests.cmd can end with {code}, which the table does not give")

kit_check = (ROOT / "scripts/kit-check.sh").read_text(encoding="utf-8")
expected = re.findall(r"expect_status (\d+) ([a-z-]+)", kit_check)
if not expected or len(expected) != kit_check.count("expect_status "):
    faults.append("kit-check.sh's expect_status calls are not all read as: expect_status CODE KEY")
for code, key in expected:
    if key not in rows:
        faults.append(f"kit-check.sh expects {code} for {key}, which is no row of the table")
    elif rows[key][0] != int(code):
        faults.append(f"kit-check.sh expects {code} for {key}; the table gives {rows[key][0]}")


def unescape(literal):
    return re.sub(r"\\(.)", r"\1", literal)


# What the kit can print: each C++ source's string literals in order, and cmd's echo lines;
# between two pieces that are not one literal lies what varies (NUL).
streams = []
for source in sorted(KIT.glob("*.cpp")):
    if not source.name.endswith("_test.cpp"):
        text = re.sub(r'(?<!\\)"\s*\+?\s*L"', "", source.read_text(encoding="utf-8"))
        streams.append("\0".join(unescape(l) for l in re.findall(r'L"((?:[^"\\]|\\.)*)"', text)))
streams.append("\0".join(re.sub(r"%\w+%", "\0", l) for l in re.findall(r"(?im)^.*\becho (.*)$", cmd)))
suites = re.findall(r'L"(\w+_tests)"', (KIT / "run.cpp").read_text())


def found(quote, stream):
    # A number is the source's own, or stands where the source puts a value made at run time.
    parts = filter(str.strip, re.split("|".join(["…"] + suites), quote))
    fixed = lambda piece: f"(?:{piece}|\0)" if piece.isdigit() else re.escape(piece)
    return all(re.search("".join(map(fixed, re.split(r"(\d+)", part))), stream) for part in parts)


# The kit's words: a `code` quote with a space in the table's situation column (without, it
# names a file or option), one that begins run-tests:, kit_guard: or usage:, a run's output.
prose = re.sub(r"(?m)^    .*$", "", page)  # indented blocks are read line by line below
quotes = [q.replace("\\|", "|") for q in re.findall(r"`([^`\n]+)`", prose)]
quotes = [q for q in quotes if re.match(r"(run-tests|kit_guard|usage): ", q)]
quotes += [q for _, cell in rows.values() for q in re.findall(r"`([^`]+)`", cell) if " " in q]
quotes += [l.strip() for l in page.splitlines() if re.match(r"^ {4,}run-tests: ", l)]
for quote in dict.fromkeys(quotes):
    body = re.sub(r"^(run-tests|kit_guard): ", "", quote)
    if not any(found(body, s) for s in streams) and not found(quote, streams[-1]):
        faults.append(f"the page quotes a message the kit does not give: {quote}")

for fault in faults:
    print(f"check-kit-page: {fault}", file=sys.stderr)
sys.exit(1 if faults else 0)
