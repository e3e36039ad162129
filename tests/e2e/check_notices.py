#!/usr/bin/env python3
"""Checks in a Wine +relay trace what the real tool passes to the shell and to its error box
while chosen end-to-end tests drive it: in the tool's own process, every SHChangeNotify is
(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL), one per file type finished, and every
MessageBoxW is MB_OK | MB_ICONERROR. Relay is limited to the two calls by
HKCU\\Software\\Wine\\Debug\\RelayInclude, set for the run and removed afterwards, also when
it fails or is stopped (the value would limit any later +relay trace in the prefix).

Usage: check_notices.py E2E_TESTS_EXE TOOL_NAME [WINE]   (WINEPREFIX and DISPLAY set by the caller)
"""
import collections
import os
import re
import signal
import subprocess
import sys

DEBUG_KEY = r"HKCU\Software\Wine\Debug"
# (test, notices, error boxes)
CASES = [
    ("ToolTest.RegallWritesAllHundredAndTwelveValuesAndExitsQuietly", 22, 0),
    ("ToolTest.RefusedTableTypeIsPassedOverInSilence", 21, 0),
    ("Words/CommandLines.RegisterWhatTheWordAsksFor/regfolder", 0, 0),
    ("ToolTest.RefusedCueSheetShowsTheErrorAndSkipsTheVerb", 21, 1),
    ("ToolTest.RefusedVerbKeyCreationIsReportedWithAFullStop", 0, 1),
]
# Arguments print in hex, as wide as the value needs (16 digits for a 64-bit pointer); a
# string argument is followed by its text. The pid leads each line (+pid).
NOTICE = re.compile(r"^([0-9a-f]+):[0-9a-f]+:Call shell32\.SHChangeNotify\((\w+),(\w+),(\w+),"
                    r"(\w+)\) ret=")
BOX = re.compile(r"^([0-9a-f]+):[0-9a-f]+:Call user32\.MessageBoxW\(.*,(\w+)\) ret=\w+$")
STARTED = re.compile(r'trace:process:NtCreateUserProcess L"([^"]*)" pid ([0-9a-f]+) ')


def reg(wine, *arguments):
    return subprocess.run([wine, "reg", *arguments, "/f"], capture_output=True, timeout=120,
                          env=dict(os.environ, WINEDEBUG="-all")).returncode == 0


def check(e2e, tool_name, wine, test, notices, boxes):
    run = subprocess.run([wine, e2e, f"--gtest_filter={test}"], capture_output=True, text=True,
                         errors="replace", timeout=300,
                         env=dict(os.environ, WINEDEBUG="+relay,+pid,+process"))
    failures = [] if run.returncode == 0 and "[  PASSED  ] 1 test." in run.stdout else [
        f"the test did not pass alone (exit code {run.returncode})"]
    # The tool's process, as the test started it: the trace of the start gives its pid.
    tools = {pid for path, pid in STARTED.findall(run.stderr)
             if re.split(r"\\+", path)[-1].lower() == tool_name.lower()}
    if len(tools) != 1:
        return failures + [f"{len(tools)} starts of {tool_name} traced, not one"]
    tool = int(tools.pop(), 16)
    calls = collections.Counter()
    for line in run.stderr.splitlines():
        if (match := NOTICE.match(line)) and int(match[1], 16) == tool:
            arguments = ", ".join(hex(int(value, 16)) for value in match.groups()[1:])
            calls[f"SHChangeNotify({arguments})"] += 1
        elif (match := BOX.match(line)) and int(match[1], 16) == tool:
            calls[f"MessageBoxW(..., {int(match[2], 16):#x})"] += 1
    expected = collections.Counter({"SHChangeNotify(0x8000000, 0x0, 0x0, 0x0)": notices,
                                    "MessageBoxW(..., 0x10)": boxes})
    print(f"{test}: {dict(calls) or 'no calls'}")
    if +calls != +expected:
        failures.append(f"expected {dict(+expected) or 'no calls'}")
    return failures


def main(e2e, tool_name, wine="wine"):
    # ctest stops a test that runs too long with SIGTERM: the value still goes.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    failed = 0
    try:
        if not reg(wine, "add", DEBUG_KEY, "/v", "RelayInclude", "/t", "REG_SZ",
                   "/d", "shell32.SHChangeNotify;user32.MessageBoxW"):
            print("FAIL: RelayInclude could not be set")
            return 1
        for case in CASES:
            failures = check(e2e, tool_name, wine, *case)
            for failure in failures:
                print(f"FAIL {case[0]}: {failure}")
            failed += bool(failures)
    finally:
        removed = reg(wine, "delete", DEBUG_KEY, "/v", "RelayInclude")
        if not removed:
            print("FAIL: RelayInclude could not be removed")
    print(f"calls of the real tool: {len(CASES) - failed} runs passed, {failed} failed")
    return 1 if failed or not removed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
