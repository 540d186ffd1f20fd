// Windows implementation of the platform calls: only Windows code lives here.
#include <locale.h>
#include <windows.h>
// After windows.h, which it relies on.
#include <tlhelp32.h>

#include <algorithm>
#include <optional>
#include <string>

#include "platform.h"

// msvcrt's wide split of the command line, by the rules of its narrow one; no public header has it.
struct QmStartInfo {
    int new_mode;
};
extern "C" __declspec(dllimport) int __cdecl __wgetmainargs(int* count, wchar_t*** arguments,
                                                            wchar_t*** environment, int expand_wildcards,
                                                            QmStartInfo* start_info);

namespace platform {

namespace {

std::optional<std::wstring> widen(const std::string& text, UINT code_page) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), size);
    return wide;
}

// The code page that file names are read in, asked afresh each time since the run-time's locale
// and the file API setting belong to the process and may change.
UINT file_code_page() {
    if (___lc_codepage_func() == CP_UTF8) return CP_UTF8;
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

// The full path of a name that would take its plain form to MAX_PATH or beyond, in the form that
// has no such limit ("\\?\C:\...", "\\?\UNC\server\share\..."): without LongPathsEnabled, off by
// default, Windows refuses the plain form. Any other name stays as given.
std::wstring unlimited(const std::wstring& name) {
    const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size < MAX_PATH) return name;  // the size counts the terminating NUL
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(name.c_str(), size, full.data(), nullptr));
    if (full.size() < MAX_PATH || full.size() >= size) return name;
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// A path as the file system sees it; nothing when it is no valid text in the file code page.
std::optional<std::wstring> file_path(const std::string& path) {
    std::optional<std::wstring> name = widen(path, file_code_page());
    if (name) *name = unlimited(*name);
    return name;
}

// The name to start a program by. CreateProcessW takes no name of MAX_PATH or more, in either form:
// a long one is started by its short name, where its volume keeps short names.
std::optional<std::wstring> launch_name(const std::string& path) {
    const std::optional<std::wstring> name = widen(path, file_code_page());
    if (!name) return std::nullopt;
    const std::wstring full = unlimited(*name);
    if (full == *name) return name;
    std::wstring short_name(full.size() + 1, L'\0');
    const DWORD length =
        GetShortPathNameW(full.c_str(), short_name.data(), static_cast<DWORD>(short_name.size()));
    if (length == 0 || length >= short_name.size()) return name;
    short_name.resize(length);
    // Back to the plain form, which is all CreateProcessW takes.
    if (short_name.starts_with(L"\\\\?\\UNC\\"))
        short_name.replace(0, 8, L"\\\\");
    else if (short_name.starts_with(L"\\\\?\\"))
        short_name.erase(0, 4);
    return short_name.size() < MAX_PATH ? short_name : *name;
}

// Narrow text in the ANSI code page that holds every character of `wide` as itself; nothing when a
// character would be replaced by another, or by "?".
std::optional<std::string> narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const bool utf8 = GetACP() == CP_UTF8;  // holds everything, and takes neither flag nor default
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL replaced = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                         0, nullptr, utf8 ? nullptr : &replaced);
    if (size <= 0 || replaced) return std::nullopt;
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                        nullptr);
    return text;
}

// Notice texts are in the ANSI code page, like the arguments and the system's wording. A byte
// that does not convert keeps its Latin-1 value, so a notice is always shown.
std::wstring notice_text(const std::string& text) {
    if (std::optional<std::wstring> whole = widen(text, CP_ACP)) return *whole;
    std::wstring wide;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        std::optional<std::wstring> character;
        for (; length <= 4 && at + length <= text.size(); ++length) {
            if ((character = widen(text.substr(at, length), CP_ACP))) break;
        }
        if (character) {
            wide += *character;
            at += length;
        } else {
            wide += static_cast<wchar_t>(static_cast<unsigned char>(text[at]));
            at += 1;
        }
    }
    return wide;
}

// The last error of a call that failed, never 0: a failure must never read as success, or as a
// notice with "(0)", even where the system left no code behind.
DWORD last_error() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

FileStatus verdict(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_NAME:
            return {Presence::absent, 0};
        default:
            return {Presence::unknown, error};
    }
}

}  // namespace

void prepare_process() {
    // Windows shows the busy cursor after it starts a GUI program until the program first asks for
    // its messages. A look at the empty queue, taking nothing, asks once; the updater has no window.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);

    // A DLL planted beside the updater (uxtheme.dll, dwmapi.dll: both loaded when the themed box
    // appears) must never be loaded: only System32 is searched. The call is looked up because a
    // Windows 7 without the update that brings it lacks it.
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
        if (const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesCall>(
                reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")))) {
            set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
            return;
        }
    }
    // Where it is missing, the current directory at least leaves the search. Children inherit this
    // setting, so start_process undoes it.
    SetDllDirectoryW(L"");
}

std::uint32_t check_given_path(const std::string& given_path) {
    // The run-time's narrow arguments are the wide command line in the ANSI code page, converted
    // with best fit: unless that code page is UTF-8, "Tool-ł.exe~" arrives as "Tool-l.exe~",
    // another file's name. Only a path that reads back as what was passed is that file's. Globbing
    // is off, as for the narrow arguments.
    int count = 0;
    wchar_t** arguments = nullptr;
    wchar_t** environment = nullptr;
    QmStartInfo start_info{0};
    if (__wgetmainargs(&count, &arguments, &environment, 0, &start_info) < 0 || count < 2 || !arguments)
        return ERROR_NO_UNICODE_TRANSLATION;
    const std::optional<std::wstring> name = widen(given_path, file_code_page());
    return name && *name == arguments[1] ? 0 : ERROR_NO_UNICODE_TRANSLATION;
}

FileStatus query_file(const std::string& path) {
    const std::optional<std::wstring> name = file_path(path);
    if (!name) return {Presence::unknown, ERROR_NO_UNICODE_TRANSLATION};

    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(name->c_str(), GetFileExInfoStandard, &attributes)) return verdict(last_error());
    if (!(attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return {Presence::present, 0};

    // A link or junction: what counts is the object behind it.
    const HANDLE behind = CreateFileW(name->c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (behind == INVALID_HANDLE_VALUE) return verdict(last_error());
    FILE_BASIC_INFO info{};
    const bool read = GetFileInformationByHandleEx(behind, FileBasicInfo, &info, sizeof info);
    const DWORD read_error = read ? 0 : last_error();
    const bool closed = CloseHandle(behind);
    if (!read) return verdict(read_error);
    if (!closed) return verdict(last_error());
    return {Presence::present, 0};
}

std::uint32_t move_over(const std::string& from, const std::string& to) {
    const std::optional<std::wstring> existing = file_path(from);
    const std::optional<std::wstring> replaced = file_path(to);
    if (!existing || !replaced) return ERROR_NO_UNICODE_TRANSLATION;
    if (MoveFileExW(existing->c_str(), replaced->c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return 0;
    }
    return last_error();
}

std::string system_error_text(std::uint32_t code) {
    // The display language's wording may not fit the ANSI code page that notices are in (Russian on
    // 1252 would read as a row of "?"): then English, and where even that is missing, nothing.
    for (const DWORD language : {DWORD{0}, DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}}) {
        wchar_t* buffer = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        const std::optional<std::string> text =
            (length > 0 && buffer) ? narrow(std::wstring(buffer, length)) : std::nullopt;
        if (buffer) LocalFree(buffer);
        if (text) return *text;
    }
    return {};
}

void start_process(const std::string& path) {
    // Converted like the file operations, so the file started is the file that was renamed.
    const std::optional<std::wstring> name = launch_name(path);
    if (!name) return;
    // Without a command line Windows passes the bare name as one, and a name with a space would
    // reach the program as several arguments. No file name can hold a quote, so quoting is exact.
    std::wstring command_line = L"\"" + *name + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68);
    PROCESS_INFORMATION process{};
    // The program starts with the DLL search that any other start would give it, and with Ctrl+C
    // handled: an application that started us in a process group of our own made us ignore it, and
    // that is inherited.
    SetDllDirectoryW(nullptr);
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (CreateProcessW(name->c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        // The right to come to the front, which the application handed to the updater as it left,
        // goes on to its new copy.
        AllowSetForegroundWindow(process.dwProcessId);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// The box asks for the front: it comes seconds after the application left, when another window
// usually has it, and a box behind would wait there unseen.
void show_message_box(const std::string& caption, const std::string& text) {
    MessageBoxW(nullptr, notice_text(text).c_str(), notice_text(caption).c_str(),
                MB_ICONERROR | MB_OK | MB_SETFOREGROUND);
}

void pause(std::chrono::milliseconds duration) {
    // Counted on the system's tick, which a change of the clock does not move; std::this_thread's
    // sleep would bring in the run-time's exception machinery.
    Sleep(static_cast<DWORD>(duration.count()));
}

Starter hold_starter() {
    // The parent's id is in this process's own entry of the system's list of processes.
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return no_starter;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL found = Process32FirstW(snapshot, &entry); found && !parent;
         found = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    const HANDLE starter =
        parent ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent) : nullptr;
    if (!starter) return no_starter;
    // Once a process has gone its id is free for another, which a parent that is really ours cannot
    // be: that one was created before us.
    FILETIME created{}, own_created{}, unused{};
    if (!GetProcessTimes(starter, &created, &unused, &unused, &unused) ||
        !GetProcessTimes(GetCurrentProcess(), &own_created, &unused, &unused, &unused) ||
        CompareFileTime(&created, &own_created) > 0) {
        CloseHandle(starter);
        return no_starter;
    }
    return reinterpret_cast<Starter>(starter);
}

std::chrono::milliseconds pause_until_exit(Starter starter, std::chrono::milliseconds duration) {
    if (starter == no_starter) {
        pause(duration);
        return std::chrono::milliseconds::zero();
    }
    const ULONGLONG begun = GetTickCount64();
    const DWORD waited =
        WaitForSingleObject(reinterpret_cast<HANDLE>(starter), static_cast<DWORD>(duration.count()));
    const auto passed = std::min(duration, std::chrono::milliseconds(GetTickCount64() - begun));
    if (waited == WAIT_OBJECT_0) return duration - passed;
    // A wait that failed leaves the plain pause, or what is left of it.
    if (waited != WAIT_TIMEOUT) pause(duration - passed);
    return std::chrono::milliseconds::zero();
}

void let_go(Starter starter) {
    if (starter != no_starter) CloseHandle(reinterpret_cast<HANDLE>(starter));
}

}  // namespace platform
