#include "kit/run_lock.h"

#include "kit/file_trust.h"
#include "kit/key_access.h"
#include "kit/snapshot_file.h"

namespace mf::kit {

namespace {

using win32::UniqueKernelHandle;

constexpr const wchar_t* kGuardedFolder = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// The state folder, made for administrators and the system only when missing; one that is
// there must be a plain folder that an administrator or the system owns.
int PrepareStateFolder(const std::wstring& dir, bool create, Problems& problems) {
    if (create) {
        const LocalSecurity security(kGuardedFolder);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
        if (CreateDirectoryW(dir.c_str(), &attributes)) {
            return kOk;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            problems.push_back(dir + L": cannot create (" +
                               ErrorText(static_cast<LONG>(GetLastError())) + L")");
            return kFailed;
        }
    }
    const UniqueKernelHandle folder = OpenAsIs(dir, READ_CONTROL | FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION information{};
    if (folder.get() == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandle(folder.get(), &information)) {
        problems.push_back(dir + L": cannot open (" + ErrorText(static_cast<LONG>(GetLastError())) +
                           L")");
        return kFailed;
    }
    // Wine shows a Unix link by its path only, not through a handle.
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if ((information.dwFileAttributes | attributes) & FILE_ATTRIBUTE_REPARSE_POINT) {
        problems.push_back(dir + L": a link (reparse point), not followed; refused");
        return kRefused;
    }
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problems.push_back(dir + L": not a folder; refused");
        return kRefused;
    }
    if (const std::optional<std::wstring> untrusted =
            Untrusted(folder.get(), OwnerStandIn(ParentOf(dir)))) {
        problems.push_back(dir + L": made by someone else: it is " + *untrusted + L"; refused");
        return kRefused;
    }
    return kOk;
}

constexpr const char* kLockHeader = "kit_guard lock 1";

std::optional<RunOwner> ParseLock(const std::string& text) {
    const std::string head = std::string(kLockHeader) + "\n";
    if (text.size() <= head.size() || text.compare(0, head.size(), head) != 0 ||
        text.back() != '\n') {
        return std::nullopt;
    }
    const std::vector<std::string> fields =
        Fields(text.substr(head.size(), text.size() - head.size() - 1));
    if (fields.size() != 2) {
        return std::nullopt;
    }
    const std::optional<unsigned long> pid = ParseNumber(fields[0]);
    const std::optional<std::vector<BYTE>> created = ParseHex(fields[1]);
    if (!pid || !created || created->size() != 8) {
        return std::nullopt;
    }
    RunOwner owner{static_cast<DWORD>(*pid), 0};
    for (const BYTE byte : *created) {
        owner.created = owner.created << 8 | byte;
    }
    return owner;
}

std::string LockText(const RunOwner& owner) {
    BYTE created[8];
    for (int index = 0; index < 8; ++index) {
        created[index] = static_cast<BYTE>(owner.created >> (56 - 8 * index));
    }
    return std::string(kLockHeader) + "\n" + std::to_string(owner.pid) + " " + Hex(created, 8) +
           "\n";
}

// The run that the lock's text names, while it is still under way.
std::optional<RunOwner> LiveHolderOf(const std::optional<std::string>& text) {
    const std::optional<RunOwner> holder = text ? ParseLock(*text) : std::nullopt;
    if (!holder) {
        return std::nullopt;
    }
    const std::optional<RunOwner> now = LiveProcess(holder->pid);
    // A creation time that cannot be read counts as the same: better a refused run than two.
    if (!now || (now->created != 0 && now->created != holder->created)) {
        return std::nullopt;
    }
    return holder;
}

std::optional<RunOwner> LiveHolder(const std::wstring& lock) {
    return LiveHolderOf(ReadFileBytes(lock));
}

std::optional<RunOwner> LiveHolder(HANDLE lock) {
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(lock, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return LiveHolderOf(bytes);
}

bool SameOwner(const RunOwner& a, const RunOwner& b) {
    return a.pid == b.pid && a.created == b.created;
}

}  // namespace

std::optional<RunOwner> LiveProcess(DWORD pid) {
    const UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process) {
        // No such process; any other refusal means it is there but closed to us.
        if (GetLastError() == ERROR_INVALID_PARAMETER) {
            return std::nullopt;
        }
        return RunOwner{pid, 0};
    }
    // A process that ended lingers while anything holds a handle to it.
    if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
        return std::nullopt;
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        return RunOwner{pid, 0};
    }
    return RunOwner{pid, std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime};
}

int LockCommand(const std::wstring& dir, const RunOwner& owner, Problems& problems) {
    const int prepared = PrepareStateFolder(dir, true, problems);
    if (prepared != kOk) {
        return prepared;
    }
    const std::wstring lock = dir + L"\\run.lock";
    const std::wstring partial = lock + L"." + std::to_wstring(GetCurrentProcessId());
    // Written whole beside it and renamed into place, never over another: of two runs that
    // start together, one takes the lock.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DeleteFileW(partial.c_str());
        {
            const std::string text = LockText(owner);
            const UniqueKernelHandle file = CreateNewFile(partial, kGuardedFile);
            DWORD written = 0;
            if (file.get() == INVALID_HANDLE_VALUE ||
                !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) ||
                written != text.size()) {
                problems.push_back(lock + L": cannot write (" +
                                   ErrorText(static_cast<LONG>(GetLastError())) + L")");
                DeleteFileW(partial.c_str());
                return kFailed;
            }
        }
        if (MoveFileExW(partial.c_str(), lock.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return kOk;
        }
        DeleteFileW(partial.c_str());
        // Opened for nobody else: a lock that another process has open may be being taken
        // over by it, so it counts as live; and the one read here is the one deleted.
        const UniqueKernelHandle held(CreateFileW(lock.c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                                  nullptr));
        if (held.get() == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) {
                continue;
            }
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
                problems.push_back(lock + L": another run has it open");
                return kBusy;
            }
            problems.push_back(lock + L": cannot open (" + ErrorText(static_cast<LONG>(error)) +
                               L")");
            return kFailed;
        }
        const std::optional<RunOwner> holder = LiveHolder(held.get());
        if (holder && SameOwner(*holder, owner)) {
            return kOk;
        }
        if (holder) {
            problems.push_back(L"another run is under way (process " +
                               std::to_wstring(holder->pid) + L")");
            return kBusy;
        }
        // Left by a run that was cut off: deleted as read, then taken over by the rename
        // above, which fails for all but one of the runs that got this far.
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition,
                                        sizeof disposition)) {
            problems.push_back(lock + L": cannot delete the stale lock (" +
                               ErrorText(static_cast<LONG>(GetLastError())) + L")");
            return kFailed;
        }
    }
    problems.push_back(lock + L": cannot take it");
    return kFailed;
}

int UnlockCommand(const std::wstring& dir, const RunOwner& owner, Problems& problems) {
    if (!FileExists(dir)) {
        return kOk;
    }
    const int prepared = PrepareStateFolder(dir, false, problems);
    if (prepared != kOk) {
        return prepared;
    }
    const std::wstring lock = dir + L"\\run.lock";
    const std::optional<RunOwner> holder = LiveHolder(lock);
    if (holder && !SameOwner(*holder, owner)) {
        problems.push_back(L"another run is under way (process " + std::to_wstring(holder->pid) +
                           L"); its lock stays");
        return kBusy;
    }
    if (FileExists(lock) && !DeleteFileW(lock.c_str())) {
        problems.push_back(lock + L": cannot delete (" +
                           ErrorText(static_cast<LONG>(GetLastError())) + L")");
        return kFailed;
    }
    // Kept while it holds anything else: a snapshot that could not be restored.
    RemoveDirectoryW(dir.c_str());
    return kOk;
}

}  // namespace mf::kit
