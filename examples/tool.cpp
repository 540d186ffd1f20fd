// A tiny application that updates itself with the updater. The build makes it twice: version 1
// finds a downloaded update beside itself with the signature that its publisher made of it, hands it
// over with one signed call (which writes it as "<own name>~" only if that signature verifies with
// the public key compiled in here, and starts the updater) and exits; whichever version runs records
// it in update-demo.log beside itself.
//
// Usage: Tool            run (and install a waiting update, if any)
//        Tool --version  print the version and do nothing else
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "quillmoor/handover.h"
#include "release_key.h"

#ifndef APP_VERSION
#error "the build defines APP_VERSION (1 or 2)"
#endif

namespace {

constexpr int app_version = APP_VERSION;

// The updater must meet this copy still running, as it does in the field, where the application
// takes a moment to shut down. On Windows it starts the new copy the moment this one has exited,
// and it gives us 8 seconds at the most.
constexpr std::chrono::milliseconds shutdown_delay{1500};

#ifdef _WIN32
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

unsigned long process_id() {
    return GetCurrentProcessId();
}
#else
constexpr char separator = '/';

std::string self_path() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
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

    // The signature that came with the download, in the update feed: base64 text. The public key to
    // verify it with is our own, compiled in, so whoever runs the update server cannot forge one.
    std::string signature;
    if (std::FILE* in = std::fopen((self + ".download.sig").c_str(), "rb")) {
        char piece[512];
        for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, in)) > 0;) signature.append(piece, got);
        std::fclose(in);
    }

    // The download is claimed under a name of our own first: the new version may start before the
    // call returns (on Linux the updater's first rename succeeds at once) and must find no update.
    const std::string download = self + ".download", claimed = self + ".installing";
    std::remove(claimed.c_str());
    if (std::rename(download.c_str(), claimed.c_str()) != 0) return 0;  // no update waiting

    // The demo runs in folders of plain ASCII, which the ANSI code page and the call's UTF-8 spell alike.
    if (const int error = quillmoor_hand_over_signed(claimed.c_str(), signature.c_str(), release_public_key)) {
        std::rename(claimed.c_str(), download.c_str());  // for the next start
        record(log, "could not hand over " + claimed + ": error " + std::to_string(error));
        return 1;
    }
    std::remove(claimed.c_str());
    record(log, "handed " + self + "~, its signature verified with the key this version holds, to the updater");

    std::this_thread::sleep_for(shutdown_delay);
    record(log, "exiting");
    return 0;
}
