// Win32 side of the suite: files, processes, the error box read back, and the probe role. The entry
// is here too: a tagged copy of the suite plays the probe, the suite itself runs the tests.
#include "harness.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillmoor/handover.h"

namespace e2e {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), size,
                        nullptr, nullptr);
    return converted;
}

std::wstring own_path() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring own_folder() {
    const std::wstring path = own_path();
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring updater_path() {
    return own_folder() + L"\\quillmoor-updater.exe";
}

namespace {

std::wstring window_text(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void remove_tree(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(long_form(path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(long_form(child).c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                DeleteFileW(long_form(child).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(long_form(path).c_str());
}

std::wstring environment_variable(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

}  // namespace

Scratch::Scratch() {
    static unsigned count = 0;
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path = std::wstring(temp) + L"qm-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++count);
    remove_tree(path);
    make_folder(path);
}

Scratch::~Scratch() {
    // Programs that a test started may take a moment to let go of their folders.
    for (int attempt = 0; attempt < 50 && exists(path); ++attempt) {
        remove_tree(path);
        if (exists(path)) Sleep(100);
    }
}

std::wstring long_form(const std::wstring& path) {
    return path.size() >= MAX_PATH - 12 && path[1] == L':' ? L"\\\\?\\" + path : path;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_folder(const std::wstring& path) {
    CreateDirectoryW(long_form(path).c_str(), nullptr);
}

std::string read_file(const std::wstring& path) {
    const HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(file);
    return content;
}

void write_file(const std::wstring& path, const std::string& content) {
    const HANDLE file =
        CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << utf8(path) << ": error " << GetLastError();
    DWORD written = 0;
    const bool wrote = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(wrote && written == content.size()) << utf8(path);
}

void place_probe(const std::wstring& path, const std::string& tag) {
    write_file(path, read_file(own_path()) + "\nQMTAG=" + tag + "\n");
}

std::string file_identity(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return "?";
    char identity[32];
    std::snprintf(identity, sizeof identity, "%08lx:%08lx%08lx", info.dwVolumeSerialNumber,
                  info.nFileIndexHigh, info.nFileIndexLow);
    return identity;
}

Held::Held(const std::wstring& path)
    : handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr)) {
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << utf8(path) << ": error " << GetLastError();
}

void Held::release() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

namespace {

// This program's import address slot for `function` from `dll`, found by name.
void** import_slot(const char* dll, const char* function) {
    auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* const headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name; ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) == 0)
                return reinterpret_cast<void**>(&slot->u1.Function);
        }
    }
    return nullptr;
}

void* exchange_slot(void** slot, void* value) {
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    void* const previous = *slot;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof *slot);
    return previous;
}

}  // namespace

Redirect::Redirect(const char* dll, const char* function, void* replacement)
    : slot(import_slot(dll, function)), original(nullptr) {
    EXPECT_TRUE(slot) << "this program imports no " << function << " from " << dll;
    if (slot) original = exchange_slot(slot, replacement);
}

Redirect::~Redirect() {
    if (slot) exchange_slot(slot, original);
}

Process start(const std::wstring& program, const std::optional<std::wstring>& argument,
              const std::wstring& folder, const Environment& environment, bool inherit, DWORD flags) {
    // The child copies the environment when it is created, so it is set here only around the call.
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> previous;
    for (const auto& [name, value] : environment) {
        const DWORD length = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
        previous.emplace_back(name,
                              length ? std::optional(environment_variable(name.c_str())) : std::nullopt);
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    }
    std::wstring command_line = L"\"" + program + L"\"";
    if (argument) command_line += L" \"" + *argument + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    Process process;
    process.started_ms = GetTickCount64();
    const bool started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, inherit,
                                        flags, nullptr, folder.c_str(), &startup, &created);
    const DWORD error = GetLastError();
    for (auto it = previous.rbegin(); it != previous.rend(); ++it) {
        SetEnvironmentVariableW(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
    }
    EXPECT_TRUE(started) << "cannot start " << utf8(program) << ": error " << error;
    if (started) {
        CloseHandle(created.hThread);
        process.handle = created.hProcess;
        process.id = created.dwProcessId;
    }
    return process;
}

DWORD finish(Process& process, DWORD limit_ms) {
    DWORD status = 0xFFFFFFFF;
    if (!process.handle) return status;
    if (WaitForSingleObject(process.handle, limit_ms) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "process " << process.id << " still running after " << limit_ms << " ms: ended";
        TerminateProcess(process.handle, 0xDEAD);
        WaitForSingleObject(process.handle, 5000);
    }
    GetExitCodeProcess(process.handle, &status);
    CloseHandle(process.handle);
    process.handle = nullptr;
    return status;
}

namespace {

struct ChildSearch {
    const wchar_t* class_name;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_child(HWND child, LPARAM data) {
    auto* search = reinterpret_cast<ChildSearch*>(data);
    wchar_t name[64] = {};
    GetClassNameW(child, name, 64);
    if (IsWindowVisible(child) && lstrcmpiW(name, search->class_name) == 0) search->found.push_back(child);
    return TRUE;
}

std::vector<HWND> visible_children(HWND parent, const wchar_t* class_name) {
    ChildSearch search{class_name, {}};
    EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string button_names(HWND box) {
    const struct {
        int id;
        const char* name;
    } known[] = {{IDOK, "ok"},         {IDCANCEL, "cancel"}, {IDABORT, "abort"}, {IDRETRY, "retry"},
                 {IDIGNORE, "ignore"}, {IDYES, "yes"},       {IDNO, "no"}};
    std::string names;
    for (HWND button : visible_children(box, L"Button")) {
        std::string name = "id" + std::to_string(GetDlgCtrlID(button));
        for (const auto& k : known) {
            if (k.id == GetDlgCtrlID(button)) name = k.name;
        }
        names += (names.empty() ? "" : ",") + name;
    }
    return names;
}

// The pixels of a window as it appears on screen, top row first, one COLORREF-like value each.
std::vector<DWORD> pixels_of(HDC source, int x, int y, int width, int height) {
    const HDC memory = CreateCompatibleDC(source);
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(memory, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
    GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                              static_cast<const DWORD*>(bits) + width * height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return pixels;
}

std::vector<DWORD> drawn_icon(LPCWSTR which, DWORD background, int width, int height) {
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    const HBRUSH brush = CreateSolidBrush(background);
    const RECT all{0, 0, width, height};
    FillRect(memory, &all, brush);
    DrawIconEx(memory, 0, 0, LoadIconW(nullptr, which), width, height, 0, nullptr, DI_NORMAL);
    std::vector<DWORD> pixels = pixels_of(memory, 0, 0, width, height);
    SelectObject(memory, previous);
    DeleteObject(brush);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

std::size_t differences(const std::vector<DWORD>& one, const std::vector<DWORD>& other) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < one.size() && i < other.size(); ++i)
        count += ((one[i] ^ other[i]) & 0xFFFFFF) != 0;
    return count + (one.size() > other.size() ? one.size() - other.size() : other.size() - one.size());
}

// Whether the box shows the system's error icon. An icon handle of another process cannot be read,
// so the icon's pixels on screen are compared with the four standard icons drawn here: the error
// icon must be the nearest.
bool shows_error_icon(HWND box) {
    for (HWND control : visible_children(box, L"Static")) {
        if ((GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
        if (!SendMessageW(control, STM_GETICON, 0, 0)) return false;
        // Above everything else on screen, so that nothing hides the icon.
        SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        RECT area{}, on_screen{};
        GetClientRect(control, &area);
        GetWindowRect(control, &on_screen);
        std::vector<DWORD> shown;
        // Until the box has painted itself, its area is one flat colour.
        for (int wait = 0; wait < 60; ++wait, Sleep(50)) {
            const HDC screen = GetDC(nullptr);
            shown = pixels_of(screen, on_screen.left, on_screen.top, area.right, area.bottom);
            ReleaseDC(nullptr, screen);
            if (std::any_of(shown.begin(), shown.end(), [&](DWORD pixel) { return pixel != shown[0]; }))
                break;
        }
        if (shown.empty()) return false;
        const DWORD corner = shown[0];
        const COLORREF background = RGB((corner >> 16) & 0xFF, (corner >> 8) & 0xFF, corner & 0xFF);
        const std::size_t error =
            differences(shown, drawn_icon(IDI_ERROR, background, area.right, area.bottom));
        for (LPCWSTR other : {IDI_WARNING, IDI_INFORMATION, IDI_QUESTION}) {
            if (differences(shown, drawn_icon(other, background, area.right, area.bottom)) <= error)
                return false;
        }
        return true;
    }
    return false;
}

}  // namespace

std::optional<Box> read_box(const Process& process, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    HWND box = nullptr;
    while (!box) {
        for (HWND found = FindWindowExW(nullptr, nullptr, L"#32770", L"Quillmoor Updater"); found && !box;
             found = FindWindowExW(nullptr, found, L"#32770", L"Quillmoor Updater")) {
            DWORD owner_process = 0;
            GetWindowThreadProcessId(found, &owner_process);
            if ((!process.id || owner_process == process.id) && IsWindowVisible(found)) box = found;
        }
        if (box) break;
        if (!process.handle) Sleep(50);
        if (GetTickCount64() > deadline ||
            (process.handle && WaitForSingleObject(process.handle, 50) == WAIT_OBJECT_0)) {
            return std::nullopt;
        }
    }
    Box read;
    read.seconds = static_cast<double>(GetTickCount64() - process.started_ms) / 1000.0;
    read.caption = utf8(window_text(box));
    if (const HWND text = GetDlgItem(box, 0xFFFF)) read.text = utf8(window_text(text));
    read.buttons = button_names(box);
    read.owned = GetWindow(box, GW_OWNER) != nullptr;
    read.error_icon = shows_error_icon(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    // Gone before the next box is read: boxes open at the same place on screen.
    for (int wait = 0; wait < 100 && IsWindow(box); ++wait) Sleep(50);
    return read;
}

std::string await_lines(const std::wstring& log, std::size_t lines, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        std::string content = read_file(log);
        if (content == "<missing>") content.clear();
        if (static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) >= lines ||
            GetTickCount64() > deadline) {
            return content;
        }
        Sleep(50);
    }
}

namespace {

// A copy placed by a test ends in "\nQMTAG=<tag>\n"; the suite itself carries none.
std::optional<std::string> own_tag() {
    const HANDLE self = CreateFileW(own_path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (self == INVALID_HANDLE_VALUE) return std::nullopt;
    char tail[64] = {};
    DWORD got = 0;
    if (SetFilePointer(self, -static_cast<LONG>(sizeof tail), nullptr, FILE_END) !=
        INVALID_SET_FILE_POINTER) {
        ReadFile(self, tail, sizeof tail, &got, nullptr);
    }
    CloseHandle(self);
    const std::string text(tail, got);
    const std::size_t at = text.rfind("\nQMTAG=");
    if (at == std::string::npos || text.back() != '\n') return std::nullopt;
    return text.substr(at + 7, text.size() - at - 8);
}

// How many of this process's handles refer to the given file: handles are small multiples of 4.
int handles_to(const std::string& identity) {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x4000; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        if (GetFileType(handle) == FILE_TYPE_DISK && file_identity(handle) == identity) ++count;
    }
    return count;
}

void append_to_log(const std::string& line) {
    const std::wstring log = environment_variable(L"QM_PROBE_LOG");
    if (log.empty()) return;
    const HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

bool run_as_probe(int* status) {
    const std::optional<std::string> tag = own_tag();
    if (!tag) return false;
    *status = 0;

    // Playing an application in a job of its own, which lets the processes it starts break away or not.
    if (const std::wstring job = environment_variable(L"QM_PROBE_JOB"); !job.empty()) {
        SetEnvironmentVariableW(L"QM_PROBE_JOB", nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = job == L"breakaway" ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0;
        const HANDLE object = CreateJobObjectW(nullptr, nullptr);
        SetInformationJobObject(object, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        AssignProcessToJobObject(object, GetCurrentProcess());
    }
    BOOL in_job = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
    // Whether it ignores Ctrl+C, as a process group of its own or SetConsoleCtrlHandler(nullptr, TRUE)
    // make it, and its children after it: the process parameters' ConsoleFlags, after the console.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"  // GCC 12 takes the TEB's segment read for an array
    const auto* parameters = NtCurrentTeb()->ProcessEnvironmentBlock->ProcessParameters;
#pragma GCC diagnostic pop
    ULONG console_flags = 0;
    std::memcpy(&console_flags, &parameters->Reserved2[1], sizeof console_flags);

    // Its own file: the pending copy that was renamed into place.
    const HANDLE self = CreateFileW(own_path().c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    const std::string identity = file_identity(self);
    CloseHandle(self);

    // A handle the suite passed on: this copy proves it valid by writing through it.
    std::string inherited = "none";
    if (const std::wstring value = environment_variable(L"QM_PROBE_HANDLE"); !value.empty()) {
        const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoul(value)));
        const std::string line = "written by " + *tag + "\n";
        DWORD written = 0;
        inherited = WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)
                        ? "written"
                        : "invalid";
    }

    // Its arguments as the C run-time split them, and as CommandLineToArgvW does; "|" can be in no
    // file name, nor a tab, which separates the fields.
    auto joined = [](wchar_t** arguments, int count) {
        std::string all;
        for (int i = 0; i < count; ++i) all.append(i ? "|" : "").append(utf8(arguments[i]));
        return all;
    };
    const std::string crt_arguments = joined(__wargv, __argc);
    int count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::string shell_arguments = split ? joined(split, count) : "?";
    LocalFree(split);

    wchar_t directory[32768] = {};
    GetCurrentDirectoryW(32768, directory);
    const std::string record =
        "tag=" + *tag + "\tcwd=" + utf8(directory) + "\thandle=" + inherited +
        "\thandles-to-self=" + std::to_string(handles_to(identity)) + "\tjob=" + (in_job ? "yes" : "no") +
        "\tctrl-c=" + (console_flags & 1 ? "ignored" : "handled") + "\targv=" + crt_arguments +
        "\tshell-argv=" + shell_arguments + "\tat=" + std::to_string(GetTickCount64()) +
        "\tcmdline=" + utf8(GetCommandLineW()) + "\n";
    append_to_log(record);
    // Held long, it says when it ends, so a test can tell what started after.
    const std::wstring hold = environment_variable(L"QM_PROBE_HOLD_MS");
    // Playing the application: it hands its pending copy, staged already, to that updater through the
    // library, and ends with the call's result.
    if (const std::wstring updater = environment_variable(L"QM_PROBE_HAND_OVER"); !updater.empty()) {
        SetEnvironmentVariableW(L"QM_PROBE_HAND_OVER", nullptr);
        SetEnvironmentVariableW(L"QM_PROBE_HOLD_MS", nullptr);
        *status = quillmoor_hand_over_file(utf8(updater).c_str(), utf8(own_path()).c_str(),
                                           utf8(own_path() + L"~").c_str());
    }
    if (!hold.empty()) {
        Sleep(static_cast<DWORD>(std::stoul(hold)));
        append_to_log("tag=" + *tag + " ended\n");
    }
    return true;
}

}  // namespace e2e

int wmain(int argc, wchar_t** argv) {
    if (int status = 0; e2e::run_as_probe(&status)) return status;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
