// The POSIX platform calls on real files: verdicts of the existence test and the copying move,
// including moves that are killed, raced, or made across file systems and owners; and the hand-over
// library's POSIX side.
#include "../platform/posix.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <random>
#include <set>
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

TEST(PosixHandOver, ACopyFromAnotherFileSystemTakesThePendingNameOnlyWholeByARename) {
    e2e::Scratch scratch;
    const std::optional<fs::path> elsewhere = elsewhere_than(scratch.path);
    if (!elsewhere)
        GTEST_SKIP() << "no second file system here: /dev/shm and " << scratch.path << " are one device";
    const std::string content((1 << 20) + 3, 'n');  // more than one buffer
    e2e::write_file(*elsewhere / "download", content);
    e2e::write_file(scratch.path / "Tool", "old");
    fs::permissions(scratch.path / "Tool",
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_NE(::inotify_add_watch(watch, scratch.path.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO), -1);

    EXPECT_EQ(quillmoor_hand_over_file("/bin/true", (scratch.path / "Tool").c_str(),
                                       (*elsewhere / "download").c_str()),
              0);

    // A copy written under the pending name would be a partial one there, were the writer killed.
    std::uint32_t seen = 0;
    alignas(inotify_event) char events[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (ssize_t got; (got = ::read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0 && std::string(event->name) == "Tool~") seen |= event->mask;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::close(watch);
    EXPECT_EQ(seen, static_cast<std::uint32_t>(IN_MOVED_TO));
    EXPECT_EQ(e2e::read_file(scratch.path / "Tool~"), content);
    EXPECT_EQ(fs::status(scratch.path / "Tool~").permissions(),
              fs::status(scratch.path / "Tool").permissions());
    EXPECT_EQ(e2e::read_file(*elsewhere / "download"), content);
    EXPECT_EQ(entries(scratch.path), (std::vector<std::string>{"Tool", "Tool~"}));
    fs::remove_all(*elsewhere);
}
