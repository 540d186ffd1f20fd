// Starting and awaiting real programs from the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

struct Finished {
    int status = -1;           // the exit status, or -1 when it did not exit normally or was killed
    std::string error_output;  // what it wrote on standard error
    double seconds = 0;        // from start to exit, as seen from outside
};

struct Started {
    pid_t pid = -1;
    std::filesystem::path error_file;
    double started_at = 0;
};

// Starts `arguments` in `directory` with the test's environment plus `extra_environment`
// ("NAME=value"); standard error goes to a file so that children left running cannot hold it.
Started start(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
              const std::vector<std::string>& extra_environment = {});
// Waits for the program to end; one still running after `limit_seconds` is killed, so that a
// program stuck on a box nobody reads fails its test instead of hanging it.
Finished wait(const Started& started, double limit_seconds = 60);

inline Finished run(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
                    const std::vector<std::string>& extra_environment = {}) {
    return wait(start(arguments, directory, extra_environment));
}

// A fresh directory of its own for one test, removed with everything in it at the end.
struct Scratch {
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::filesystem::path path;
};

std::string read_file(const std::filesystem::path& path);

// Places a copy of the probe program at `path` carrying `tag` at its end, where the probe reads it,
// so that its log can tell which copy ran.
void place_probe(const std::filesystem::path& probe, const std::filesystem::path& path,
                 const std::string& tag);
void write_file(const std::filesystem::path& path, const std::string& content);

// The log's content once it holds `lines` lines, or what it holds when `seconds` have passed.
std::string await_lines(const std::filesystem::path& log, std::size_t lines, double seconds = 10);

}  // namespace e2e
