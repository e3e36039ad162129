// The kit's whole run in one process: the save, the suites and the restore, so that only a
// killed process or a power cut can leave a machine in its test state.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "kit/snapshot.h"

namespace mf::kit {

// Saving or restoring the keys failed, or the kit is incomplete.
inline constexpr int kSaveOrRestoreFailed = 3;
// A start that found a cut-off run's snapshot, changed nothing and says what differs.
inline constexpr int kLeftover = 5;
// Far beyond what a suite takes (minutes at most): one still running is taken to hang. A
// caller whose own time is limited passes less, so that the run ends first and names the suite.
inline constexpr DWORD kSuiteLimitSeconds = 30 * 60;

// One line to the standard output or error: wide text to a console, UTF-8 to a file or pipe.
void PrintLine(DWORD stream, const std::wstring& text);

// Runs `command` holding the run's lock: kBusy, and `command` not run, while a run is under way.
int UnderTheRunLock(const std::function<int()>& command, Problems& problems);

// Runs the suites of the kit that holds this program (its tests\ folder), between a save and
// a restore of what they touch. A snapshot left by a cut-off run stops a plain start, which
// lists what differs from it and changes nothing; `restoreLeftover` puts it back and stops.
// A suite still running after `suiteLimitSeconds` is ended and fails. A kit that anyone but
// administrators and SYSTEM may change is refused.
int RunCommand(bool restoreLeftover, DWORD suiteLimitSeconds);

}  // namespace mf::kit
