// The POSIX platform calls on real files: verdicts of the existence test and the copying move,
// including moves that are killed, raced, or made across file systems and owners; and the hand-over
// library's POSIX side.
#include "../platform/posix.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "../platform/platform.h"
#include "process.h"
#include "quillmoor/handover.h"

namespace fs = std::filesystem;
using platform::Presence;

TEST(PosixQuery, VerdictsFollowLinksAndSeparateAbsenceFromTrouble) {
    e2e::Scratch scratch;
    e2e::write_file(scratch.path / "file", "x");
    fs::create_symlink("file", scratch.path / "link");
    fs::create_symlink("nowhere", scratch.path / "dangling");

    EXPECT_EQ(platform::query_file((scratch.path / "file").string()).presence, Presence::present);
    EXPECT_EQ(platform::query_file((scratch.path / "link").string()).presence, Presence::present);
    EXPECT_EQ(platform::query_file(scratch.path.string()).presence, Presence::present);
    EXPECT_EQ(platform::query_file((scratch.path / "dangling").string()).presence, Presence::absent);
    EXPECT_EQ(platform::query_file((scratch.path / "none").string()).presence, Presence::absent);
    EXPECT_EQ(platform::query_file((scratch.path / "file" / "below").string()).presence, Presence::absent);

    const platform::FileStatus too_long = platform::query_file(std::string(300, 'x'));
    EXPECT_EQ(too_long.presence, Presence::unknown);
    EXPECT_EQ(too_long.error, static_cast<std::uint32_t>(ENAMETOOLONG));
}

TEST(PosixMove, CopyingReplacesTheTargetWholeAndOnlyThenRemovesThePendingFile) {
    e2e::Scratch scratch;
    fs::create_directory(scratch.path / "other");
    const fs::path pending = scratch.path / "Tool~";
    const fs::path target = scratch.path / "other" / "Tool";
    const std::string content(300 * 1024 + 7, 'n');  // more than one buffer
    e2e::write_file(pending, content);
    fs::permissions(pending, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec);
    e2e::write_file(target, "old");

    EXPECT_EQ(platform::move_by_copy(pending.string(), target.string()), 0u);

    EXPECT_EQ(e2e::read_file(target), content);
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec);
    EXPECT_FALSE(fs::exists(pending));
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path / "other"), fs::directory_iterator()), 1)
        << "no temporary copy is left beside the target";
}

TEST(PosixMove, AFailedCopyLeavesBothFilesAsTheyWere) {
    e2e::Scratch scratch;
    const fs::path pending = scratch.path / "Tool~";
    e2e::write_file(pending, "new");

    EXPECT_EQ(platform::move_by_copy(pending.string(), (scratch.path / "missing" / "Tool").string()),
              static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(e2e::read_file(pending), "new");

    fs::create_directories(scratch.path / "Tool" / "occupied");
    EXPECT_EQ(platform::move_by_copy(pending.string(), (scratch.path / "Tool").string()),
              static_cast<std::uint32_t>(EISDIR));
    EXPECT_EQ(e2e::read_file(pending), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path), fs::directory_iterator()), 2)
        << "the temporary copy was removed";
}

namespace {

// Runs `work` in a child process and returns the child's pid; its result becomes the exit status.
template <typename Work>
pid_t in_child(Work work) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(work());
    return child;
}

int exit_status(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A folder for the test on another file system than `scratch`, or nothing where there is none.
std::optional<fs::path> elsewhere_than(const fs::path& scratch) {
    struct stat here {
    }, there{};
    if (::stat("/dev/shm", &there) != 0 || ::stat(scratch.c_str(), &here) != 0 || here.st_dev == there.st_dev)
        return std::nullopt;
    fs::create_directory(fs::path("/dev/shm") / scratch.filename());
    return fs::path("/dev/shm") / scratch.filename();
}

std::uint32_t copy_in_child(const fs::path& pending, const fs::path& target) {
    return static_cast<std::uint32_t>(
        exit_status(in_child([&] { return static_cast<int>(platform::move_by_copy(pending, target)); })));
}

}  // namespace

TEST(PosixMove, AMoveAcrossFileSystemsCopiesBesideTheTarget) {
    e2e::Scratch scratch;
    const std::optional<fs::path> elsewhere = elsewhere_than(scratch.path);
    if (!elsewhere)
        GTEST_SKIP() << "no second file system here: /dev/shm and " << scratch.path << " are one device";
    e2e::write_file(*elsewhere / "Tool~", "new");
    e2e::write_file(scratch.path / "Tool", "old");

    EXPECT_EQ(platform::move_over(*elsewhere / "Tool~", scratch.path / "Tool"), 0u);

    EXPECT_EQ(e2e::read_file(scratch.path / "Tool"), "new");
    EXPECT_EQ(entries(scratch.path), std::vector<std::string>{"Tool"});
    EXPECT_TRUE(fs::is_empty(*elsewhere)) << "the pending file is gone and no copy was made beside it";
    fs::remove_all(*elsewhere);
}

TEST(PosixMove, AnyTargetNameThatFitsCanBeReachedByCopying) {
    e2e::Scratch scratch;
    const std::string longest(255, 'n');
    e2e::write_file(scratch.path / "pending", "new");
    EXPECT_EQ(platform::move_by_copy(scratch.path / "pending", scratch.path / longest), 0u);
    EXPECT_EQ(entries(scratch.path), std::vector<std::string>{longest});
}

TEST(PosixMove, AKilledCopyLeavesBothFilesWholeAndAtMostOneCopyBehind) {
    e2e::Scratch scratch;
    fs::create_directory(scratch.path / "from");
    fs::create_directory(scratch.path / "to");
    const fs::path pending = scratch.path / "from" / "Tool~";
    const fs::path target = scratch.path / "to" / "Tool";
    const std::string new_content(16 << 20, 'n'), old_content((16 << 20) + 1, 'o');
    auto lay_out = [&] {
        e2e::write_file(pending, new_content);
        e2e::write_file(target, old_content);
    };

    lay_out();
    // The one name that the copy takes beside the target, as the folder reports it.
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_NE(::inotify_add_watch(watch, (scratch.path / "to").c_str(), IN_CREATE), -1);
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(copy_in_child(pending, target), 0u);
    const auto whole_copy = std::chrono::steady_clock::now() - begun;
    // The copy has ended, so its name has been reported by now or never will be: a mover that
    // never copies fails here rather than leaving the read to wait for good.
    pollfd ready{watch, POLLIN, 0};
    alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
    const ssize_t got = ::poll(&ready, 1, 5000) == 1 ? ::read(watch, event, sizeof event) : -1;
    ::close(watch);
    ASSERT_GT(got, 0) << "no copy appeared in the target's folder: was it reached without copying?";
    const std::string copy_name = reinterpret_cast<const inotify_event*>(event)->name;

    // Kills spread over the whole copy, from before it opens anything to after it has ended.
    std::mt19937 random(std::random_device{}());
    constexpr int kills = 24;
    for (int kill = 0; kill < kills; ++kill) {
        lay_out();
        const auto delay = whole_copy * (kill + std::uniform_real_distribution<>(0, 1)(random)) / kills;
        const pid_t child =
            in_child([&] { return static_cast<int>(platform::move_by_copy(pending, target)); });
        std::this_thread::sleep_for(delay);
        ::kill(child, SIGKILL);
        exit_status(child);

        const std::string now_target = e2e::read_file(target);
        ASSERT_TRUE(now_target == old_content || now_target == new_content) << "kill " << kill;
        if (now_target == old_content || fs::exists(pending)) {
            ASSERT_EQ(e2e::read_file(pending), new_content) << "kill " << kill;
        }
        const std::vector<std::string> left = entries(scratch.path / "to");
        ASSERT_LE(left.size(), 2u) << "kill " << kill;
        if (left.size() == 2) {
            EXPECT_TRUE(left[0].starts_with(".quillmoor-")) << left[0];
        }
    }

    // Whatever the kills left, the next update clears it, even a copy left under its very name.
    e2e::write_file(scratch.path / "to" / copy_name, "left by an interrupted update");
    lay_out();
    EXPECT_EQ(copy_in_child(pending, target), 0u);
    EXPECT_EQ(entries(scratch.path / "to"), std::vector<std::string>{"Tool"}) << "nothing left behind";
    EXPECT_TRUE(e2e::read_file(target) == new_content);
}

TEST(PosixMove, ACopyInProgressHasNoNameAndSparesANewerPendingFile) {
    e2e::Scratch scratch;
    fs::create_directory(scratch.path / "from");
    fs::create_directory(scratch.path / "to");
    const fs::path pending = scratch.path / "from" / "Tool~", target = scratch.path / "to" / "Tool";
    e2e::write_file(pending, std::string(64 << 20, 'n'));
    e2e::write_file(target, "old");

    const pid_t child = in_child([&] { return static_cast<int>(platform::move_by_copy(pending, target)); });
    // Stopped while it holds its copy open in the target's folder, whatever that copy is called.
    const std::string copy_prefix = (scratch.path / "to").string() + "/";
    auto copying = [&] {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(child) + "/fd", error)) {
            if (fs::read_symlink(entry.path(), error).string().starts_with(copy_prefix)) return true;
        }
        return false;
    };
    int status = 0;
    while (!copying()) ASSERT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the copy ended unseen";
    ::kill(child, SIGSTOP);
    EXPECT_EQ(entries(scratch.path / "to"), std::vector<std::string>{"Tool"}) << "the copy has no name yet";
    // Meanwhile the next update's pending file takes the place of this one, which it must outlive.
    e2e::write_file(scratch.path / "next", "next");
    fs::rename(scratch.path / "next", pending);
    ::kill(child, SIGCONT);

    EXPECT_EQ(exit_status(child), 0);
    EXPECT_EQ(entries(scratch.path / "to"), std::vector<std::string>{"Tool"});
    EXPECT_EQ(e2e::read_file(pending), "next");
}

TEST(PosixMove, OnePendingFileIsCompletedByOneUpdater) {
    e2e::Scratch scratch;
    const fs::path pending = scratch.path / "Tool~", target = scratch.path / "Tool";
    e2e::write_file(pending, std::string(8 << 20, 'n'));
    auto move = [&] { return static_cast<int>(platform::move_by_copy(pending, target)); };

    const pid_t first = in_child(move), second = in_child(move);
    const std::multiset<int> outcomes{exit_status(first), exit_status(second)};

    EXPECT_EQ(outcomes.count(0), 1u) << "exactly one completes it";
    const int loser = outcomes.count(EBUSY) ? EBUSY : ENOENT;
    EXPECT_EQ(outcomes, (std::multiset<int>{0, loser})) << "the other finds it busy or gone";
    EXPECT_EQ(entries(scratch.path), std::vector<std::string>{"Tool"});

    // Busy means at once, not once the lock comes free: the alarm ends an updater that waits for it.
    e2e::write_file(pending, "n");
    const int holder = ::open(pending.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_EQ(exit_status(in_child([&] {
                  ::alarm(5);
                  return move();
              })),
              EBUSY);
    ::close(holder);
    EXPECT_EQ(entries(scratch.path), (std::vector<std::string>{"Tool", "Tool~"}));
}

TEST(PosixMove, APendingFileReplacedOnceOpenedIsLeftToItsOwnUpdate) {
    e2e::Scratch scratch;
    const fs::path pending = scratch.path / "Tool~", target = scratch.path / "Tool";
    // A FIFO under the pending name holds the mover in its open until a writer comes: long enough
    // for the next update's pending file to take that name, on the same device.
    ASSERT_EQ(::mkfifo((scratch.path / "fifo").c_str(), 0600), 0);
    fs::create_hard_link(scratch.path / "fifo", pending);
    e2e::write_file(target, "old");
    e2e::write_file(scratch.path / "next", "next");

    const pid_t child = in_child([&] { return static_cast<int>(platform::move_by_copy(pending, target)); });
    const std::string in_open = std::to_string(SYS_openat) + " ";
    int status = 0;
    while (!e2e::read_file("/proc/" + std::to_string(child) + "/syscall").starts_with(in_open)) {
        ASSERT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the mover did not wait in its open";
    }
    fs::rename(scratch.path / "next", pending);
    const int writer = ::open((scratch.path / "fifo").c_str(), O_RDWR | O_CLOEXEC);

    EXPECT_EQ(exit_status(child), ENOENT) << "what it opened and locked is no longer the pending file";
    ::close(writer);
    EXPECT_EQ(e2e::read_file(target), "old");
    EXPECT_EQ(e2e::read_file(pending), "next");
}

TEST(PosixMove, TheCopyKeepsItsOwnerOrLosesItsSetIdBits) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    e2e::Scratch scratch;
    constexpr uid_t user = 4242, other_user = 4343;
    constexpr gid_t group = 4244;  // not the user's own, so that owner and group cannot be mixed up
    fs::permissions(scratch.path, fs::perms::all);
    const fs::path pending = scratch.path / "Tool~", target = scratch.path / "Tool";
    auto lay_out = [&] {
        e2e::write_file(pending, "new");
        ASSERT_EQ(::chown(pending.c_str(), user, group), 0);
        ASSERT_EQ(::chmod(pending.c_str(), 04755), 0);
    };
    auto owner_and_mode = [&] {
        struct stat status {};
        ::stat(target.c_str(), &status);
        return std::tuple{status.st_uid, status.st_gid, status.st_mode & 07777};
    };

    lay_out();
    EXPECT_EQ(platform::move_by_copy(pending, target), 0u);
    EXPECT_EQ(owner_and_mode(), std::tuple(user, group, 04755)) << "root keeps the user's file the user's";

    lay_out();
    EXPECT_EQ(exit_status(in_child([&] {
                  if (::setgroups(0, nullptr) != 0 || ::setgid(other_user) != 0 || ::setuid(other_user) != 0)
                      return 99;
                  return static_cast<int>(platform::move_by_copy(pending, target));
              })),
              0);
    EXPECT_EQ(owner_and_mode(), std::tuple(other_user, other_user, 0755))
        << "another user's copy is no set-ID program";

    lay_out();
    EXPECT_EQ(exit_status(in_child([&] {
                  if (::setgroups(1, &group) != 0 || ::setgid(other_user) != 0 || ::setuid(other_user) != 0)
                      return 99;
                  return static_cast<int>(platform::move_by_copy(pending, target));
              })),
              0);
    EXPECT_EQ(owner_and_mode(), std::tuple(other_user, group, 0755))
        << "a member of the file's group keeps the group where the owner cannot be kept";
}

TEST(PosixHandOver, AFailedStartLeavesNothingBesideTheExecutable) {
    // This test program has no updater beside it: the copy is staged, then the start fails.
    e2e::Scratch scratch;
    e2e::write_file(scratch.path / "download", "new");
    const fs::path self = fs::read_symlink("/proc/self/exe");
    // Other tests work in this folder meanwhile: the names that begin with ours are the call's.
    const auto ours = [&] {
        std::vector<std::string> names = entries(self.parent_path());
        std::erase_if(names,
                      [&](const std::string& name) { return !name.starts_with(self.filename().string()); });
        return names;
    };
    const std::vector<std::string> before = ours();

    EXPECT_EQ(quillmoor_hand_over((scratch.path / "download").c_str()), ENOENT);
    EXPECT_EQ(ours(), before);
    EXPECT_EQ(e2e::read_file(scratch.path / "download"), "new");
}

namespace {

// Where the hand-over writes its copy: unnamed until it is complete, or, on a file system that has
// no unnamed files, under a name of its own. An unnamed copy is named by a link that needs a
// privilege on older kernels, else through /proc; where neither can be had it goes the named road.
enum class Road { unnamed, named, unprivileged, without_proc };

// Refuses this process and what it starts the calls a road lacks, each as the kernel would: `flags`,
// the bits of argument `argument` that make a call of number `call` refused with `error`.
struct Refusal {
    int call, argument;
    std::uint32_t flags;
    int error;
};
bool refuse(std::initializer_list<Refusal> refusals) {
    std::vector<sock_filter> filter;
    for (const Refusal& r : refusals) {
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(r.call), 0, 3));
        const auto argument = offsetof(seccomp_data, args) + sizeof(std::uint64_t) * static_cast<unsigned>(r.argument);
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(argument)));
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, r.flags, 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(r.error)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool take_road(Road road) {
    constexpr std::uint32_t any_link = AT_EMPTY_PATH | AT_SYMLINK_FOLLOW;
    switch (road) {
        case Road::unnamed:
            return true;
        case Road::named:  // a file system without unnamed files
            return refuse({{SYS_openat, 2, O_TMPFILE & ~O_DIRECTORY, EOPNOTSUPP}});
        case Road::unprivileged:  // and the named road shut, so that only /proc can name the copy
            return refuse({{SYS_linkat, 4, AT_EMPTY_PATH, ENOENT}, {SYS_openat, 2, O_EXCL, EACCES}});
        case Road::without_proc:
            return refuse({{SYS_linkat, 4, any_link, ENOENT}});
    }
    return false;
}

// An exit status holds 8 bits: a child tells the library's own codes as these.
constexpr int mismatch_status = 200, signature_status = 201;

// Runs `work` in a child process on `road`; its result, an error code, becomes the exit status.
template <typename Work>
pid_t on_road(Road road, Work work) {
    return in_child([&] {
        const int error = take_road(road) ? work() : 99;
        return error == QUILLMOOR_DIGEST_MISMATCH    ? mismatch_status
               : error == QUILLMOOR_SIGNATURE_INVALID ? signature_status
                                                      : error;
    });
}

const char* road_name(Road road) {
    return road == Road::named ? "named" : road == Road::unnamed ? "unnamed" : road == Road::unprivileged ? "unprivileged" : "without /proc";
}

// The name that a copy in progress has on the named road.
std::string partial_name(const std::string& pending_name) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const unsigned char c : pending_name) hash = (hash ^ c) * 0x100000001b3u;
    char name[48];
    std::snprintf(name, sizeof name, ".quillmoor-%016llx.partial", static_cast<unsigned long long>(hash));
    return name;
}

// Every name that appeared in the watched folder, with what happened to it.
std::map<std::string, std::uint32_t> names_seen(int watch) {
    std::map<std::string, std::uint32_t> seen;
    alignas(inotify_event) char events[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (ssize_t got; (got = ::read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            // An unnamed file is reported as "#<inode>": it has no name in the folder.
            if (event->len > 0 && event->name[0] != '#') seen[event->name] |= event->mask;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return seen;
}

mode_t current_umask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

}  // namespace

// Where a test sets it, the next start of a program runs this first and fails with what it returns:
// the test's link hands the library's posix_spawn to the wrapper below.
std::function<int()> during_start;

// Where a test sets it, the next flush runs this first (the test's link hands the library's fsync to
// the wrapper below): a copy is then complete and still held under the name it is written at.
std::function<void()> during_flush;

extern "C" int __real_fsync(int file);
extern "C" int __wrap_fsync(int file) {
    if (const auto run = std::exchange(during_flush, nullptr)) run();
    return __real_fsync(file);
}

extern "C" int __real_posix_spawn(pid_t* child, const char* path, const posix_spawn_file_actions_t* actions,
                                  const posix_spawnattr_t* attributes, char* const arguments[],
                                  char* const environment[]);
extern "C" int __wrap_posix_spawn(pid_t* child, const char* path, const posix_spawn_file_actions_t* actions,
                                  const posix_spawnattr_t* attributes, char* const arguments[],
                                  char* const environment[]) {
    if (const auto run = std::exchange(during_start, nullptr)) return run();
    return __real_posix_spawn(child, path, actions, attributes, arguments, environment);
}

TEST(PosixHandOver, ACallWhoseUpdaterCannotStartRemovesOnlyTheCopyItMadeFromAnotherFile) {
    for (const Road road : {Road::unnamed, Road::named}) {
        SCOPED_TRACE(road_name(road));
        e2e::Scratch scratch;
        const fs::path target = scratch.path / "Tool";
        e2e::write_file(scratch.path / "first", "first");
        e2e::write_file(scratch.path / "second", "second");
        const auto hand_over = [&](const fs::path& download) {
            return quillmoor_hand_over_file("/bin/true", target.c_str(), download.c_str());
        };
        // A second caller hands over while the first starts its updater, which fails: the second's copy
        // stays, for the updater it started.
        EXPECT_EQ(exit_status(on_road(road,
                                      [&] {
                                          during_start = [&] {
                                              return hand_over(scratch.path / "second") == 0 ? ENOEXEC : 98;
                                          };
                                          return hand_over(scratch.path / "first");
                                      })),
                  ENOEXEC);
        EXPECT_EQ(e2e::read_file(target.string() + "~"), "second");
        // A copy staged from the pending copy that the application saved holds its only download.
        EXPECT_EQ(exit_status(on_road(road,
                                      [&] {
                                          during_start = [] { return ENOEXEC; };
                                          return hand_over(target.string() + "~");
                                      })),
                  ENOEXEC);
        EXPECT_EQ(e2e::read_file(target.string() + "~"), "second");
        EXPECT_EQ(entries(scratch.path), (std::vector<std::string>{"Tool~", "first", "second"}));
    }
}

TEST(PosixHandOver, TheCopyTakesThePendingNameOnlyWholeAndTheUpdaterStartsAfresh) {
    // A new program without a target yet, and the longest name that leaves room for the mark, with
    // a target whose bits the copy takes and an earlier update's pending copy; the download on
    // another file system where there is one.
    for (const Road road : {Road::unnamed, Road::named}) {
        for (const std::string& name : {std::string("Tool"), std::string(254, 't')}) {
            SCOPED_TRACE(std::string(road_name(road)) + " road, name of " + std::to_string(name.size()));
            e2e::Scratch scratch, outside;
            const std::optional<fs::path> elsewhere = elsewhere_than(outside.path);
            const fs::path download = elsewhere.value_or(outside.path) / "download";
            const fs::path state = outside.path / "state", target = scratch.path / name;
            const std::string content((1 << 20) + 3, 'n');  // more than one buffer
            e2e::write_file(download, content);
            fs::perms bits = static_cast<fs::perms>(0755 & ~current_umask());
            if (name != "Tool") {
                e2e::write_file(target, "old");
                e2e::write_file(target.string() + "~", "left by an earlier update");
                bits = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
                fs::permissions(target, bits);
            }
            const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            ASSERT_NE(::inotify_add_watch(watch, scratch.path.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO),
                      -1);

            EXPECT_EQ(exit_status(on_road(road,
                                          [&] {
                                              // What an application may have: signals blocked and ignored,
                                              // and a file open without close-on-exec.
                                              sigset_t all;
                                              ::sigfillset(&all);
                                              ::sigprocmask(SIG_BLOCK, &all, nullptr);
                                              ::signal(SIGTERM, SIG_IGN);
                                              ::open(download.c_str(), O_RDONLY);
                                              ::setenv("QM_PROBE_STATE", state.c_str(), 1);
                                              return quillmoor_hand_over_file(QM_PROBE, target.c_str(),
                                                                              download.c_str());
                                          })),
                      0);

            // No partial copy ever carries the pending name: it appears once, whole.
            std::map<std::string, std::uint32_t> seen = names_seen(watch);
            ::close(watch);
            const std::string pending = name + "~";
            EXPECT_EQ(seen[pending] & IN_MODIFY, 0u);
            if (road == Road::named) {
                EXPECT_EQ(seen[pending], static_cast<std::uint32_t>(IN_MOVED_TO));
                EXPECT_NE(seen.erase(partial_name(pending)), 0u) << "the named road's copy";
            }
            EXPECT_EQ(seen.size(), 1u) << "no other name appeared: " << seen.begin()->first;
            EXPECT_TRUE(e2e::read_file(scratch.path / pending) == content);
            EXPECT_EQ(fs::status(scratch.path / pending).permissions(), bits);
            EXPECT_TRUE(e2e::read_file(download) == content);
            if (elsewhere) fs::remove_all(*elsewhere);

            // The updater starts on the pending copy in a session of its own, so that closing the
            // application's terminal does not end it halfway, with no signal blocked or ignored
            // (but the C library's own two) and nothing open beyond standard input, output and error.
            const std::string started = e2e::await_lines(state, 1);
            const std::string expected = "argument=" + (scratch.path / pending).string() + " session=";
            ASSERT_TRUE(started.starts_with(expected)) << started;
            std::istringstream fields(started.substr(expected.size()));
            pid_t session = 0;
            std::string blocked, ignored, descriptors;
            fields >> session >> blocked >> ignored >> descriptors;
            EXPECT_NE(session, ::getsid(0));
            EXPECT_EQ(blocked, "blocked=0000000000000000");
            EXPECT_EQ(std::stoull(ignored.substr(8), nullptr, 16) & ~(3ull << 31), 0u) << ignored;
            EXPECT_EQ(descriptors, "descriptors=0,1,2");
        }
    }
}

TEST(PosixHandOver, ACallKilledAnywhereLeavesNoCopyBehindThatTheNextDoesNotClear) {
    for (const Road road : {Road::unnamed, Road::named}) {
        SCOPED_TRACE(road_name(road));
        e2e::Scratch scratch;
        const fs::path app = scratch.path / "app", target = app / "Tool";
        fs::create_directory(app);
        e2e::write_file(target, "old");
        const std::string content(16 << 20, 'n');
        e2e::write_file(scratch.path / "download", content);
        auto hand_over = [&] {
            return on_road(road, [&] {
                return quillmoor_hand_over_file("/bin/true", target.c_str(),
                                                (scratch.path / "download").c_str());
            });
        };
        const auto begun = std::chrono::steady_clock::now();
        ASSERT_EQ(exit_status(hand_over()), 0);
        const auto whole_call = std::chrono::steady_clock::now() - begun;
        fs::remove(app / "Tool~");

        // Kills spread over the whole call, from before it opens anything to after it has ended.
        std::mt19937 random(std::random_device{}());
        constexpr int kills = 16;
        for (int kill = 0; kill < kills; ++kill) {
            const pid_t child = hand_over();
            std::this_thread::sleep_for(whole_call * (kill + std::uniform_real_distribution<>(0, 1)(random)) /
                                        kills);
            ::kill(child, SIGKILL);
            exit_status(child);
            std::vector<std::string> left = entries(app);
            if (fs::exists(app / "Tool~")) {
                ASSERT_TRUE(e2e::read_file(app / "Tool~") == content) << "kill " << kill;
                std::erase(left, "Tool~");
            }
            if (road == Road::named) std::erase(left, partial_name("Tool~"));
            ASSERT_EQ(left, std::vector<std::string>{"Tool"}) << "kill " << kill;
        }
        ASSERT_EQ(exit_status(hand_over()), 0);
        EXPECT_EQ(entries(app), (std::vector<std::string>{"Tool", "Tool~"})) << "nothing left behind";
        EXPECT_TRUE(e2e::read_file(app / "Tool~") == content);
    }
}

TEST(PosixHandOver, AFolderThatCanBeWrittenButNotReadTakesTheCopyAllTheSame) {
    e2e::Scratch scratch;
    constexpr uid_t user = 4242;
    const fs::path app = scratch.path / "app";
    fs::permissions(scratch.path, fs::perms::owner_all | fs::perms::others_exec);
    fs::create_directory(app);
    e2e::write_file(scratch.path / "download", "new");
    fs::permissions(scratch.path / "download", fs::perms::owner_read | fs::perms::others_read);
    // Root reads any folder: the call runs as another user, who owns the folder.
    const bool as_root = ::geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(::chown(app.c_str(), user, user), 0);
    }
    fs::permissions(app, fs::perms::owner_write | fs::perms::owner_exec);
    for (const Road road : {Road::unnamed, Road::named}) {
        SCOPED_TRACE(road_name(road));
        EXPECT_EQ(exit_status(on_road(road,
                                      [&] {
                                          if (as_root && (::setgroups(0, nullptr) != 0 ||
                                                          ::setgid(user) != 0 || ::setuid(user) != 0))
                                              return 98;
                                          return quillmoor_hand_over_file(
                                              "/bin/true", (app / "Tool").c_str(),
                                              (scratch.path / "download").c_str());
                                      })),
                  0);
        fs::permissions(app, fs::perms::owner_all);
        EXPECT_EQ(e2e::read_file(app / "Tool~"), "new");
        fs::remove(app / "Tool~");
        fs::permissions(app, fs::perms::owner_write | fs::perms::owner_exec);
    }
    fs::permissions(app, fs::perms::owner_all);
}

TEST(PosixHandOver, ACallFromAnExecutableWhoseFileWasReplacedTouchesNothing) {
    // A copy of this test program plays the application. Once running, it waits until its own file
    // has been replaced (by another instance's update, or a package manager), then hands over.
    if (const char* download = std::getenv("QM_HAND_OVER_DOWNLOAD")) {
        const fs::path folder = fs::path(download).parent_path();
        e2e::write_file(folder / "ready", "");
        for (int wait = 0; wait < 1000 && !fs::exists(folder / "go"); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::_exit(quillmoor_hand_over(download));
    }
    for (const bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "removed" : "renamed over");
        e2e::Scratch scratch;
        fs::copy_file("/proc/self/exe", scratch.path / "Tool");
        fs::permissions(scratch.path / "Tool", fs::perms::owner_all);
        fs::copy_file("/bin/true", scratch.path / "quillmoor-updater");
        e2e::write_file(scratch.path / "download", "new");
        const e2e::Started application = e2e::start(
            {(scratch.path / "Tool").string(),
             "--gtest_filter=PosixHandOver.ACallFromAnExecutableWhoseFileWasReplacedTouchesNothing"},
            scratch.path, {"QM_HAND_OVER_DOWNLOAD=" + (scratch.path / "download").string()});
        for (int wait = 0; wait < 1000 && !fs::exists(scratch.path / "ready"); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (removed) {
            fs::remove(scratch.path / "Tool");
        } else {
            e2e::write_file(scratch.path / "newer", "newer");
            fs::rename(scratch.path / "newer", scratch.path / "Tool");
        }
        e2e::write_file(scratch.path / "go", "");
        EXPECT_EQ(e2e::wait(application, 20).status, ESTALE);
        std::vector<std::string> expected{"download", "go", "quillmoor-updater", "ready"};
        if (!removed) expected.insert(expected.begin(), "Tool");
        EXPECT_EQ(entries(scratch.path), expected) << "nothing staged under any name";
    }
}

TEST(PosixHandOver, WithoutUnnamedFilesACallerMeetingAnotherCallersCopyIsToldBusy) {
    e2e::Scratch scratch;
    const fs::path app = scratch.path / "app", target = app / "Tool";
    fs::create_directory(app);
    e2e::write_file(scratch.path / "first", "1");
    e2e::write_file(scratch.path / "second", "2");
    const auto hand_over = [&](const char* download) {
        return quillmoor_hand_over_file("/bin/true", target.c_str(), (scratch.path / download).c_str());
    };
    // The second caller comes while the first flushes its copy under the named road's name.
    EXPECT_EQ(exit_status(on_road(Road::named,
                                  [&] {
                                      int second = -1;
                                      during_flush = [&] { second = hand_over("second"); };
                                      const int first = hand_over("first");
                                      return second == EBUSY ? first : 90 + second;
                                  })),
              0)
        << "never into, nor in place of, another's copy (90 and the second caller's code)";
    EXPECT_EQ(entries(app), (std::vector<std::string>{"Tool~"}));
    EXPECT_EQ(e2e::read_file(app / "Tool~"), "1");
}

TEST(PosixHandOver, EachCallStagesWhatItMayOrSaysWhyAndLeavesTheFolderAsItWas) {
    e2e::Scratch scratch;
    const fs::path app = scratch.path / "app", target = app / "Tool", download = scratch.path / "download";
    const fs::path in_place = app / "Tool~", state = scratch.path / "state", keys = scratch.path / "keys";
    fs::create_directory(app);
    e2e::write_file(target, "old");
    fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::create_directory(scratch.path / "folder");
    fs::create_directory(keys);
    ASSERT_EQ(::mkfifo((scratch.path / "pipe").c_str(), 0600), 0);
    // The new copy kept where the named road writes its own: never removed, never written into.
    const fs::path kept = app / partial_name("Tool~");
    // Known answers: the empty file, "abc", and a million bytes, fifteen whole reads and a partial one.
    const std::string million(1000000, 'a'),
        empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        of_million = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    std::string upper = abc, too_long = abc + "0", not_hexadecimal = abc, last_digit = abc;
    std::transform(abc.begin(), abc.end(), upper.begin(), ::toupper);
    not_hexadecimal[7] = 'g';
    last_digit[63] = 'c';
    // Keys made here by openssl: two on P-256 and one RSA-2048 that sign, and kinds and sizes refused.
    const auto openssl = [&](const std::string& arguments) {
        return std::system(("cd " + keys.string() + " && openssl " + arguments + " 2>/dev/null").c_str()) == 0;
    };
    for (const auto& [name, kind] : std::map<std::string, std::string>{
             {"p256", "EC -pkeyopt ec_paramgen_curve:P-256"}, {"other", "EC -pkeyopt ec_paramgen_curve:P-256"},
             {"rsa2048", "RSA -pkeyopt rsa_keygen_bits:2048"}, {"rsa1024", "RSA -pkeyopt rsa_keygen_bits:1024"},
             {"p384", "EC -pkeyopt ec_paramgen_curve:P-384"}, {"ed25519", "ED25519"}}) {
        ASSERT_TRUE(openssl("genpkey -algorithm " + kind + " -out " + name + ".pem") &&
                    openssl("pkey -in " + name + ".pem -pubout -out " + name + ".pub"));
    }
    const auto ring = [&](std::initializer_list<const char*> names) {
        std::string pem;
        for (const char* name : names) pem += e2e::read_file(keys / (std::string(name) + ".pub"));
        return pem;
    };
    // What a publisher's pipeline gives: the base64 of the DER signature over the file's SHA-256 digest.
    const auto signature = [&](const char* key, const std::string& content) {
        e2e::write_file(keys / "signed", content);
        return openssl("dgst -sha256 -sign " + std::string(key) + ".pem signed | openssl base64 -A >signature")
                   ? e2e::read_file(keys / "signature")
                   : std::string("<failed>");
    };
    using Call = std::function<int(const char* updater, const char* target, const char* new_copy)>;
    const auto checked = [](const char* sha256) -> Call {
        return [sha256](auto updater, auto target, auto new_copy) {
            return quillmoor_hand_over_file_checked(updater, target, new_copy, sha256);
        };
    };
    const auto signed_by = [](std::string signature, std::string keys) -> Call {
        return [=](auto updater, auto target, auto new_copy) {
            return quillmoor_hand_over_file_signed(updater, target, new_copy, signature.c_str(), keys.c_str());
        };
    };
    const std::string by_p256 = signature("p256", "new"), by_rsa = signature("rsa2048", "new");
    const struct {
        const char* what;
        std::string target, new_copy;
        std::optional<std::string> content;  // written to the new copy first, where there is one
        Call call;                           // where set, the call made instead of the unchecked one
        int unnamed, named;                  // the error on the road of unnamed copies, and the named one
    } cases[] = {
        {"a folder as the new copy", target, scratch.path / "folder", {}, {}, EISDIR, EISDIR},
        {"a pipe as the new copy, with no writer", target, scratch.path / "pipe", {}, {}, EINVAL, EINVAL},
        {"a new copy that can't be read", target, "/proc/self/mem", {}, {}, EIO, EIO},
        {"no new copy", target, scratch.path / "none", {}, {}, ENOENT, ENOENT},
        {"a folder as the target", app, download, "new", {}, EISDIR, EISDIR},
        {"a target that ends in a separator", target.string() + "/", download, "new", {}, EINVAL, EINVAL},
        {"an empty target", "", download, "new", {}, EINVAL, EINVAL},
        {"the new copy under the named road's name", target, kept, "kept", {}, 0, EINVAL},
        {"the pending copy itself, as the application saved it", target, in_place, "mine", {}, 0, 0},
        {"checked: the empty file", target, download, "", checked(empty.c_str()), 0, 0},
        {"checked: upper-case digits", target, download, "abc", checked(upper.c_str()), 0, 0},
        {"checked: a million bytes", target, download, million, checked(of_million.c_str()), 0, 0},
        {"checked: bytes changed after the digest was taken", target, download, million + "b",
         checked(of_million.c_str()), mismatch_status, mismatch_status},
        {"checked: the last digit wrong", target, download, "abc", checked(last_digit.c_str()), mismatch_status,
         mismatch_status},
        {"checked: the pending copy itself", target, in_place, million, checked(of_million.c_str()), 0, 0},
        {"checked: the pending copy itself, changed", target, in_place, "abd", checked(abc.c_str()),
         mismatch_status, mismatch_status},
        {"checked: a digit short", target, download, "abc", checked(abc.c_str() + 1), EINVAL, EINVAL},
        {"checked: a digit too many", target, download, "abc", checked(too_long.c_str()), EINVAL, EINVAL},
        {"checked: no hexadecimal digit", target, download, "abc", checked(not_hexadecimal.c_str()), EINVAL,
         EINVAL},
        {"checked: no digest", target, download, "abc", checked(nullptr), EINVAL, EINVAL},
        {"signed: P-256", target, download, "new", signed_by(by_p256, ring({"p256"})), 0, 0},
        {"signed: RSA-2048", target, download, "new", signed_by(by_rsa, ring({"rsa2048"})), 0, 0},
        {"signed: by the last key of a ring", target, in_place, "new",
         signed_by(by_p256, ring({"other", "rsa2048", "p256"})), 0, 0},
        {"signed: by a key outside the ring", target, download, "new", signed_by(by_p256, ring({"other"})),
         signature_status, signature_status},
        {"signed: other bytes", target, download, "new", signed_by(signature("p256", "old"), ring({"p256"})),
         signature_status, signature_status},
        {"signed: a byte changed after signing", target, download, million + "b",
         signed_by(signature("rsa2048", million + "c"), ring({"rsa2048"})), signature_status, signature_status},
        {"signed: no base64", target, download, "new", signed_by("not base64!", ring({"p256"})), EINVAL, EINVAL},
        {"signed: no signature of that form", target, download, "new", signed_by(by_rsa, ring({"p256"})), EINVAL,
         EINVAL},
        {"signed: a ring with no key", target, download, "new", signed_by(by_p256, "no key here"), EINVAL, EINVAL},
        {"signed: an Ed25519 key", target, download, "new", signed_by(by_p256, ring({"ed25519"})), EINVAL, EINVAL},
        {"signed: a P-384 key", target, download, "new", signed_by(by_p256, ring({"p384"})), EINVAL, EINVAL},
        {"signed: an RSA-1024 key beside the signing one", target, download, "new",
         signed_by(by_p256, ring({"p256", "rsa1024"})), EINVAL, EINVAL},
        {"same publisher: Windows' alone", target, download, "new",
         [](auto updater, auto target, auto new_copy) {
             return quillmoor_hand_over_file_same_publisher(updater, target, new_copy);
         },
         ENOTSUP, ENOTSUP},
    };
    for (const Road road : {Road::unnamed, Road::named, Road::unprivileged, Road::without_proc}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " on the " + road_name(road) + " road");
            if (c.content) e2e::write_file(c.new_copy, *c.content);
            struct stat given {};
            ::stat(c.new_copy.c_str(), &given);
            const std::vector<std::string> before = entries(app);
            const int expected = road == Road::named || road == Road::without_proc ? c.named : c.unnamed;
            EXPECT_EQ(exit_status(on_road(road,
                                          [&] {
                                              ::alarm(5);  // a call held for good ends here
                                              ::setenv("QM_PROBE_STATE", state.c_str(), 1);
                                              return c.call ? c.call(QM_PROBE, c.target.c_str(), c.new_copy.c_str())
                                                            : quillmoor_hand_over_file(QM_PROBE, c.target.c_str(),
                                                                                       c.new_copy.c_str());
                                          })),
                      expected);
            if (c.content && (expected != 0 || c.new_copy != in_place)) {
                EXPECT_TRUE(e2e::read_file(c.new_copy) == *c.content) << "the new copy was changed";
            }
            if (expected == 0) {
                // A copy of its own, written and checked by the call, with the bits to be started by.
                struct stat staged {};
                ::stat(in_place.c_str(), &staged);
                EXPECT_TRUE(e2e::read_file(in_place) == *c.content);
                EXPECT_NE(staged.st_ino, given.st_ino) << "the caller's file itself was installed";
                EXPECT_EQ(staged.st_mode & 0777, 0750u) << "the executable's bits";
                EXPECT_NE(e2e::await_lines(state, 1), "") << "the updater started";
            } else {
                EXPECT_EQ(entries(app), before) << "nothing left behind";
                EXPECT_FALSE(fs::exists(state)) << "the updater was started";
            }
            for (const fs::path& made : {in_place, kept, state}) fs::remove(made);
        }
    }
    EXPECT_EQ(e2e::read_file(target), "old");
}
