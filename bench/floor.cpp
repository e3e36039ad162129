// The floor for the benchmark: a bare Win32 program that makes exactly the registry calls
// and the 22 shell notices a "regall" needs, in the same order, and nothing else: no window,
// no command-line cutting, no error handling beyond stopping. "--no-notify" leaves out the
// notices, so that their share can be measured.
#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

namespace {

const wchar_t* const kTypes[] = {L".wav", L".mp3", L".ogg", L".flac", L".wma", L".ape",
                                 L".mpc", L".m4a", L".aac", L".m4b",  L".wv",  L".alac",
                                 L".ac3", L".mod", L".mo3", L".mp1",  L".mp2", L".mp4",
                                 L".aif", L".ofr", L".tta", L".cue"};
const wchar_t kExe[] = L"C:\\Program Files\\P\\player.exe";

void Write(HKEY key, const std::wstring& value) {
    RegSetValueExW(key, L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void CreateAndWrite(const std::wstring& path, const std::wstring& value) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, &disposition) == ERROR_SUCCESS) {
        Write(key, value);
        RegCloseKey(key);
    }
}

bool Exists(HKEY base, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(base, path, 0, KEY_READ & ~KEY_NOTIFY, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void Create(HKEY base, const wchar_t* path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(base, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) ==
        ERROR_SUCCESS) {
        RegCloseKey(key);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    const bool notify = std::wcsstr(commandLine, L"--no-notify") == nullptr;
    const std::wstring command = L"\"" + std::wstring(kExe) + L"\" \"%1\"";
    for (const wchar_t* type : kTypes) {
        const std::wstring progId = std::wstring(L"Marblefinch") + type;
        CreateAndWrite(type, progId);
        CreateAndWrite(progId, L"");
        CreateAndWrite(progId + L"\\DefaultIcon", std::wstring(kExe) + L",0");
        CreateAndWrite(progId + L"\\Shell\\Open", L"&Open");
        CreateAndWrite(progId + L"\\Shell\\Open\\Command", command);
        if (notify) {
            SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
        }
    }

    HKEY shell = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Directory\\shell", 0, KEY_ALL_ACCESS, &shell) ==
        ERROR_SUCCESS) {
        if (!Exists(shell, L"Marblefinch.Play")) {
            Create(shell, L"Marblefinch.Play");
        }
        RegCloseKey(shell);
    }
    HKEY verb = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play", 0, KEY_ALL_ACCESS,
                      &verb) == ERROR_SUCCESS) {
        Write(verb, L"Play with Marblefinch");
        if (!Exists(verb, L"command")) {
            Create(verb, L"command");
        }
        RegCloseKey(verb);
    }
    CreateAndWrite(L"Directory\\shell\\Marblefinch.Play\\command", command);
    return 0;
}
