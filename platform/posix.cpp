// POSIX implementation of the platform calls: only POSIX code lives here.
#include "posix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "platform.h"

extern char** environ;

namespace platform {

namespace {

// Retries a call that a signal interrupted.
template <typename Call>
auto retry_interrupted(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = retry_interrupted([&] { return ::write(fd, data, size); });
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a rename inside `directory` survive a power cut; a failure here changes nothing.
void sync_directory(const std::string& directory) {
    const int fd =
        retry_interrupted([&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd == -1) return;
    ::fsync(fd);
    ::close(fd);
}

// Copies `from` fully to a new file beside `to`, with the same permission bits, flushed to disk.
// Returns 0 and the new file's name, or errno with nothing left behind.
int copy_beside(const std::string& from, const std::string& to, std::string& copy_path) {
    const int source = retry_interrupted([&] { return ::open(from.c_str(), O_RDONLY | O_CLOEXEC); });
    if (source == -1) return errno;
    struct stat source_status {};
    if (::fstat(source, &source_status) != 0) {
        const int error = errno;
        ::close(source);
        return error;
    }

    copy_path = directory_of(to) + "/." + to.substr(to.find_last_of('/') + 1) + ".XXXXXX";
    const int copy = ::mkostemp(copy_path.data(), O_CLOEXEC);
    if (copy == -1) {
        const int error = errno;
        ::close(source);
        return error;
    }

    int error = 0;
    if (::fchmod(copy, source_status.st_mode & 07777) != 0) error = errno;
    char buffer[64 * 1024];
    while (error == 0) {
        const ssize_t got = retry_interrupted([&] { return ::read(source, buffer, sizeof buffer); });
        if (got == 0) break;
        if (got < 0 || !write_all(copy, buffer, static_cast<std::size_t>(got))) error = errno ? errno : EIO;
    }
    if (error == 0 && ::fsync(copy) != 0) error = errno;
    if (::close(copy) != 0 && error == 0) error = errno;
    ::close(source);
    if (error != 0) ::unlink(copy_path.c_str());
    return error;
}

// Writes to standard error without letting a pipe whose reader has gone end the program: SIGPIPE
// is held back for the write and a SIGPIPE that it raised is taken away. Nothing process-wide
// changes, so the restarted application inherits the dispositions that the updater was given.
void write_notice(const std::string& notice) {
    sigset_t pipe_signal, earlier_mask, pending;
    ::sigemptyset(&pipe_signal);
    ::sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &earlier_mask);
    ::sigpending(&pending);
    const bool was_pending = ::sigismember(&pending, SIGPIPE) == 1;

    write_all(STDERR_FILENO, notice.data(), notice.size());

    ::sigpending(&pending);
    if (!was_pending && ::sigismember(&pending, SIGPIPE) == 1) {
        const timespec now{};
        while (::sigtimedwait(&pipe_signal, nullptr, &now) == -1 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &earlier_mask, nullptr);
}

}  // namespace

void prepare_process() {
    // Nothing to settle: the one signal that could end the run early is handled where it arises.
}

std::uint32_t move_by_copy(const std::string& from, const std::string& to) {
    std::string copy_path;
    if (const int error = copy_beside(from, to, copy_path); error != 0)
        return static_cast<std::uint32_t>(error);
    if (::rename(copy_path.c_str(), to.c_str()) != 0) {
        const int error = errno;
        ::unlink(copy_path.c_str());
        return static_cast<std::uint32_t>(error);
    }
    sync_directory(directory_of(to));
    // The target is complete now; a pending file left behind is stale but harmless.
    ::unlink(from.c_str());
    return 0;
}

FileStatus query_file(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) return {Presence::present, 0};
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return {Presence::absent, 0};
    return {Presence::unknown, static_cast<std::uint32_t>(error)};
}

std::uint32_t move_over(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) {
        sync_directory(directory_of(to));
        return 0;
    }
    const int error = errno;
    // Another file system: reached by copying, as a move across volumes is elsewhere.
    return error == EXDEV ? move_by_copy(from, to) : static_cast<std::uint32_t>(error);
}

std::string system_error_text(std::uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

void start_process(const std::string& path) {
    // The path itself, never a search of PATH: a bare name means the file in the current directory.
    std::string name = path;
    char* const arguments[] = {name.data(), nullptr};
    pid_t child = 0;
    ::posix_spawn(&child, name.c_str(), nullptr, nullptr, arguments, environ);
}

void show_message_box(const std::string& caption, const std::string& text) {
    write_notice(caption + ": " + text + "\n");
}

void pause(std::chrono::milliseconds duration) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto total_ns = deadline.tv_nsec + std::chrono::nanoseconds(duration).count();
    deadline.tv_sec += static_cast<time_t>(total_ns / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(total_ns % 1'000'000'000);
    // An absolute deadline keeps the pause exact even when a signal interrupts it.
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace platform
