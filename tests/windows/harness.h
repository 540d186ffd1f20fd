// What the Windows-hosted suite needs from Windows: folders and files, processes, the error box read
// back, and the probe, the role that tagged copies of the suite play as the program being updated.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

std::string utf8(const std::wstring& text);

// The folder that holds quillmoor-e2e.exe, where quillmoor-updater.exe is expected too.
std::wstring own_folder();
std::wstring own_path();
std::wstring updater_path();

// A fresh folder under %TEMP% for one test, removed with everything in it at the end.
struct Scratch {
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::wstring path;  // without a trailing backslash
};

// The form of an absolute path that Windows takes at any length, for the suite's own file calls.
std::wstring long_form(const std::wstring& path);

bool exists(const std::wstring& path);
void make_folder(const std::wstring& path);
// The whole content, or "<missing>" when the file cannot be read.
std::string read_file(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& content);
// A copy of this suite that plays the probe, carrying `tag` at its end so its log says which copy ran.
void place_probe(const std::wstring& path, const std::string& tag);

// The file's volume and index: the same for every name and handle of one file.
std::string file_identity(HANDLE file);

// Holds a file open for reading without delete sharing, as a virus scanner or a viewer may.
struct Held {
    explicit Held(const std::wstring& path);
    ~Held() { release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    void release();
    HANDLE handle;
};

// Sends this program's own calls of `function`, imported from `dll`, to `replacement` for the
// object's life: what the Windows platform calls linked in here hand to Windows can then be seen,
// where Windows and Wine would act alike on it. `original` is the function replaced.
struct Redirect {
    Redirect(const char* dll, const char* function, void* replacement);
    ~Redirect();
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;
    void** slot;
    void* original;
};

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    ULONGLONG started_ms = 0;
};

// Starts `program` with `argument` (quoted) in `folder`, with this process's environment plus
// `environment`. `inherit` passes this process's inheritable handles on; `flags` go to CreateProcessW.
Process start(const std::wstring& program, const std::optional<std::wstring>& argument,
              const std::wstring& folder, const Environment& environment = {}, bool inherit = false,
              DWORD flags = 0);
// Waits for the end and gives the exit status; a process still running after `limit_ms` is ended,
// so that a box nobody reads fails its test instead of hanging the suite.
DWORD finish(Process& process, DWORD limit_ms = 60000);

// What an error box of the updater shows, read from the box itself.
struct Box {
    std::string caption;
    std::string text;
    std::string buttons;      // the visible buttons' command names, e.g. "ok"
    bool owned = true;        // whether some window owns it
    bool error_icon = false;  // whether the icon it shows is the system's error icon
    double seconds = 0;       // from the process's start until the box was found
};

// Waits up to `timeout_ms` for a box captioned "Quillmoor Updater" from `process` (from any, where
// its id is 0), reads it and dismisses it with OK; nothing when none appeared.
std::optional<Box> read_box(const Process& process, DWORD timeout_ms);

// The content of a log once it holds `lines` lines, or whatever it holds after `timeout_ms`.
std::string await_lines(const std::wstring& log, std::size_t lines, DWORD timeout_ms = 15000);

// Plays the probe when this copy carries a tag; returns false for the suite itself.
bool run_as_probe(int* status);

}  // namespace e2e
