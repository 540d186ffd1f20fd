// POSIX implementation of the platform calls: only POSIX code lives here.
#include "posix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
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

// The one name that a copy in progress may have beside its target. It is fixed for each target,
// so a copy that an interrupted update left under it is the next update's to remove, and short,
// so it fits in a directory entry whatever the length of the target's name.
std::string copy_name_for(const std::string& to) {
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a of the target's own name
    for (const unsigned char c : to.substr(to.find_last_of('/') + 1)) hash = (hash ^ c) * 0x100000001b3u;
    char name[32];
    std::snprintf(name, sizeof name, ".quillmoor-%016llx", static_cast<unsigned long long>(hash));
    return directory_of(to) + "/" + name;
}

// Whether `path` still names the file that `status` describes.
bool names_file(const std::string& path, const struct stat& status) {
    struct stat now {};
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == status.st_dev && now.st_ino == status.st_ino;
}

// Writes all of `source` into `copy`, gives it the source's owner and permission bits, and flushes
// it to disk. Returns 0 or errno.
int fill_copy(int source, const struct stat& status, int copy) {
    if (::lseek(source, 0, SEEK_SET) == -1) return errno;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = retry_interrupted([&] { return ::read(source, buffer, sizeof buffer); });
        if (got == 0) break;
        if (got < 0 || !write_all(copy, buffer, static_cast<std::size_t>(got))) return errno ? errno : EIO;
    }
    // The owner as a rename would have kept it, where the updater may set it. A set-ID program must
    // never change hands: its set-ID bits go whenever owner or group could not be kept.
    const bool owner_kept = ::fchown(copy, status.st_uid, status.st_gid) == 0;
    if (!owner_kept) ::fchown(copy, static_cast<uid_t>(-1), status.st_gid);
    const mode_t mode = status.st_mode & (owner_kept ? 07777 : 01777);
    if (::fchmod(copy, mode) != 0 || ::fsync(copy) != 0) return errno;
    return 0;
}

// Gives the complete unnamed copy `copy` the name `copy_path`.
bool name_unnamed(int copy, const std::string& copy_path) {
    if (::linkat(copy, "", AT_FDCWD, copy_path.c_str(), AT_EMPTY_PATH) == 0) return true;
    // Without the privilege that the call above needs, through the process's view of its descriptors.
    const std::string self = "/proc/self/fd/" + std::to_string(copy);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, copy_path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Makes a complete copy of `source` at `copy_path`. Where the file system allows, the copy is
// written unnamed and named only once complete, so an interruption leaves nothing behind; elsewhere
// it is written under `copy_path`, which the next update removes. Returns 0 or errno.
int place_copy(int source, const struct stat& status, const std::string& copy_path) {
    ::unlink(copy_path.c_str());  // left by an update that was interrupted
#ifdef O_TMPFILE
    const int unnamed = retry_interrupted(
        [&] { return ::open(directory_of(copy_path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); });
    if (unnamed != -1) {
        const int error = fill_copy(source, status, unnamed);
        const bool named = error == 0 && name_unnamed(unnamed, copy_path);
        ::close(unnamed);
        if (error != 0 || named) return error;
    }
#endif
    const int copy = retry_interrupted([&] {
        return ::open(copy_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    if (copy == -1) return errno;
    int error = fill_copy(source, status, copy);
    if (::close(copy) != 0 && error == 0) error = errno;
    if (error != 0) ::unlink(copy_path.c_str());
    return error;
}

// move_by_copy once `source`, the open pending file, is known.
int move_open_file(int source, const std::string& from, const std::string& to) {
    // One pending file is completed by one updater: another one finds it busy and tries again later,
    // by which time the pending file is gone.
    if (::flock(source, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return EBUSY;
    struct stat status {};
    if (::fstat(source, &status) != 0) return errno;
    // The lock may have come free because another updater has just completed this pending file.
    if (!names_file(from, status)) return ENOENT;

    const std::string copy_path = copy_name_for(to);
    if (const int error = place_copy(source, status, copy_path); error != 0) return error;
    if (::rename(copy_path.c_str(), to.c_str()) != 0) {
        const int error = errno;
        ::unlink(copy_path.c_str());
        return error;
    }
    sync_directory(directory_of(to));
    // The target is complete now. The pending file goes, unless it has been replaced meanwhile by
    // a file that is not this update's to remove.
    if (names_file(from, status)) ::unlink(from.c_str());
    return 0;
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
    // The one signal that could end the run early is handled where it arises. What the C++ run-time
    // cannot go on from (memory run out, an exception that nothing catches) ends the run with the
    // updater's one status, 0, at once, instead of abort's signal; nothing is left to flush.
    std::set_terminate([] { ::_exit(0); });
}

std::uint32_t move_by_copy(const std::string& from, const std::string& to) {
    const int source = retry_interrupted([&] { return ::open(from.c_str(), O_RDONLY | O_CLOEXEC); });
    if (source == -1) return static_cast<std::uint32_t>(errno);
    const int error = move_open_file(source, from, to);
    ::close(source);  // releases the lock, now that the pending file is gone
    return static_cast<std::uint32_t>(error);
}

std::uint32_t check_given_path(const std::string&) {
    // Arguments arrive as the bytes they were passed as.
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
    // Not flushed to disk: a rename is whole either way, and should a power cut undo it, the pending
    // file is still there for the next update. Flushing the folder would only delay the restart.
    if (::rename(from.c_str(), to.c_str()) == 0) return 0;
    const int error = errno;
    // Another file system: reached by copying, as a move across volumes is elsewhere.
    return error == EXDEV ? move_by_copy(from, to) : static_cast<std::uint32_t>(error);
}

std::string system_error_text(std::uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

void start_process(const std::string& path) {
    // The path itself, never a search of PATH: a bare name means the file in the current directory.
    // A script's path reaches its interpreter as an argument, so one that begins with "-" is given
    // as "./-name", which no interpreter can take for options.
    std::string name = path.starts_with('-') ? "./" + path : path;
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

// A rename here replaces a running program's file, so the application's exit is nothing to wait for.
// (A file system that refuses that, such as a share that a Windows server exports, would gain from it.)
Starter hold_starter() {
    return no_starter;
}

std::chrono::milliseconds pause_until_exit(Starter, std::chrono::milliseconds duration) {
    pause(duration);
    return std::chrono::milliseconds::zero();
}

void let_go(Starter) {}

}  // namespace platform
