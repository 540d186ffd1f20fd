// Windows implementation of the platform calls: only Windows code lives here.
#include <locale.h>
#include <windows.h>

#include <optional>
#include <string>

#include "platform.h"

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

// A path as the file system sees it; nothing when it is no valid text in the file code page.
std::optional<std::wstring> file_path(const std::string& path) {
    return widen(path, file_code_page());
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
    // A DLL planted beside the updater (uxtheme.dll, dwmapi.dll: both loaded when the themed box
    // appears) must never be loaded: only System32 is searched. The call is looked up because a
    // Windows 7 without the update that brings it lacks it.
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
        if (const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesCall>(
                reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")))) {
            set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
    }
    // And the current directory is out of the search even where that call is missing.
    SetDllDirectoryW(L"");
}

FileStatus query_file(const std::string& path) {
    const std::optional<std::wstring> name = file_path(path);
    if (!name) return {Presence::unknown, ERROR_NO_UNICODE_TRANSLATION};

    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(name->c_str(), GetFileExInfoStandard, &attributes))
        return verdict(GetLastError());
    if (!(attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return {Presence::present, 0};

    // A link or junction: what counts is the object behind it.
    const HANDLE behind = CreateFileW(name->c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (behind == INVALID_HANDLE_VALUE) return verdict(GetLastError());
    FILE_BASIC_INFO info{};
    const bool read = GetFileInformationByHandleEx(behind, FileBasicInfo, &info, sizeof info);
    const DWORD read_error = GetLastError();
    const bool closed = CloseHandle(behind);
    if (!read) return verdict(read_error);
    if (!closed) return verdict(GetLastError());
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
    // A failure must never read as success, even if the system left no code behind.
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

std::string system_error_text(std::uint32_t code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = (length > 0 && buffer) ? std::string(buffer, length) : std::string();
    if (buffer) LocalFree(buffer);
    return text;
}

void start_process(const std::string& path) {
    // Converted like the file operations, so the file started is the file that was renamed.
    const std::optional<std::wstring> name = file_path(path);
    if (!name) return;
    // Without a command line Windows passes the bare name as one, and a name with a space would
    // reach the program as several arguments. No file name can hold a quote, so quoting is exact.
    std::wstring command_line = L"\"" + *name + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68);
    PROCESS_INFORMATION process{};
    if (CreateProcessW(name->c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

void show_message_box(const std::string& caption, const std::string& text) {
    MessageBoxW(nullptr, notice_text(text).c_str(), notice_text(caption).c_str(), MB_ICONERROR | MB_OK);
}

void pause(std::chrono::milliseconds duration) {
    // Counted on the system's tick, which a change of the clock does not move; std::this_thread's
    // sleep would bring in the run-time's exception machinery.
    Sleep(static_cast<DWORD>(duration.count()));
}

}  // namespace platform
