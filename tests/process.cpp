// POSIX side of the end-to-end test support.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Started start(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
              const std::vector<std::string>& extra_environment) {
    static int counter = 0;
    Started started;
    started.error_file = std::filesystem::temp_directory_path() /
                         ("qm-stderr-" + std::to_string(getpid()) + "-" + std::to_string(counter++));

    std::vector<std::string> environment(extra_environment);
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> owned(arguments);
    std::vector<char*> argv;
    for (auto& argument : owned) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, started.error_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    started.started_at = seconds_now();
    const int failed = posix_spawn(&started.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) throw std::runtime_error("cannot start " + arguments[0]);
    return started;
}

Finished wait(const Started& started, double limit_seconds) {
    Finished finished;
    int status = 0;
    while (waitpid(started.pid, &status, WNOHANG) == 0) {
        if (seconds_now() - started.started_at > limit_seconds) {
            kill(started.pid, SIGKILL);
            waitpid(started.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finished.seconds = seconds_now() - started.started_at;
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    finished.error_output = read_file(started.error_file);
    std::filesystem::remove(started.error_file);
    return finished;
}

Scratch::Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qm-e2e-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
    path = pattern;
}

Scratch::~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void place_probe(const std::filesystem::path& probe, const std::filesystem::path& path,
                 const std::string& tag) {
    write_file(path, read_file(probe) + "\nQMTAG=" + tag + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
}

std::string await_lines(const std::filesystem::path& log, std::size_t lines, double seconds) {
    const double until = seconds_now() + seconds;
    std::string content = read_file(log);
    while (static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) < lines &&
           seconds_now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        content = read_file(log);
    }
    return content;
}

}  // namespace e2e
