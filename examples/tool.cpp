// A tiny application that updates itself with the updater. The build makes it twice: version 1
// finds a downloaded update beside itself, writes it as "<own name>~", hands that to the updater and
// exits; whichever version runs records it in update-demo.log beside itself.
//
// Usage: Tool            run (and install a waiting update, if any)
//        Tool --version  print the version and do nothing else
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#endif

#ifndef APP_VERSION
#error "the build defines APP_VERSION (1 or 2)"
#endif

namespace {

constexpr int app_version = APP_VERSION;

// The updater must meet this copy still running, as it does in the field, where the application
// takes a moment to shut down; it gives us about 8 seconds.
constexpr std::chrono::milliseconds shutdown_delay{1500};

#ifdef _WIN32
constexpr const char* updater_name = "quillmoor-updater.exe";
constexpr char separator = '\\';

// Our own path at any length: a full buffer may have cut it short, so it grows and we ask again.
std::string self_path() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// Writes the whole new copy and closes it: the updater must never see a partial file.
bool write_pending_copy(const std::vector<char>& bytes, const std::string& pending) {
    HANDLE file = CreateFileA(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    ok = FlushFileBuffers(file) && ok;
    ok = CloseHandle(file) && ok;
    if (!ok) DeleteFileA(pending.c_str());
    return ok;
}

// Starts the updater on its own: no handles of ours, no console, no busy cursor, not waited for.
bool start_updater(const std::string& updater, const std::string& pending) {
    std::string command_line = "\"" + updater + "\" \"" + pending + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(updater.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    // Our right to the front goes to the updater: for its error box, or for the new copy it starts.
    AllowSetForegroundWindow(process.dwProcessId);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

unsigned long process_id() {
    return GetCurrentProcessId();
}

void remove_file(const std::string& path) {
    DeleteFileA(path.c_str());
}
#else
extern "C" char** environ;

constexpr const char* updater_name = "quillmoor-updater";
constexpr char separator = '/';

std::string self_path() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// Writes the whole new copy, flushed to disk, executable, and closes it: the updater must never
// see a partial file, and the rename that follows must not land before the data.
bool write_pending_copy(const std::vector<char>& bytes, const std::string& pending) {
    const int fd = open(pending.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd == -1) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        ok = written > 0;
        if (ok) done += static_cast<std::size_t>(written);
    }
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok) unlink(pending.c_str());
    return ok;
}

// Starts the updater in a session of its own, so closing our terminal does not end it halfway.
bool start_updater(const std::string& updater, const std::string& pending) {
    std::string program = updater;
    std::string argument = pending;
    char* const arguments[] = {program.data(), argument.data(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int error = posix_spawn(&child, program.c_str(), nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    return error == 0;
}

unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
}

void remove_file(const std::string& path) {
    unlink(path.c_str());
}
#endif

std::string directory_of(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// Appends one line, stamped with the wall-clock time in seconds, so that a reader can line up the
// records of two processes.
void record(const std::string& log, const std::string& what) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    if (std::FILE* out = std::fopen(log.c_str(), "ab")) {
        std::fprintf(out, "%lld.%03lld version %d pid %lu %s\n", static_cast<long long>(now.count() / 1000),
                     static_cast<long long>(now.count() % 1000), app_version, process_id(), what.c_str());
        std::fclose(out);
    }
}

// Stands in for a download: the bytes of the new version, already received in full.
bool read_download(const std::string& path, std::vector<char>& bytes) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    char buffer[64 * 1024];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    const bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--version") {
        std::printf("Tool version %d\n", app_version);
        return 0;
    }

    const std::string self = self_path();
    const std::string directory = directory_of(self);
    const std::string log = directory + separator + "update-demo.log";
    record(log, "started");

    const std::string download = self + ".download";
    std::vector<char> new_version;
    if (!read_download(download, new_version)) return 0;  // no update waiting

    // The pending copy sits beside us, in the same directory: the updater only renames.
    const std::string pending = self + "~";
    if (!write_pending_copy(new_version, pending)) {
        record(log, "could not write " + pending);
        return 1;
    }
    remove_file(download);

    const std::string updater = directory + separator + updater_name;
    if (!start_updater(updater, pending)) {
        remove_file(pending);
        record(log, "could not start " + updater);
        return 1;
    }
    record(log, "handed " + pending + " to the updater");

    std::this_thread::sleep_for(shutdown_delay);
    record(log, "exiting");
    return 0;
}
