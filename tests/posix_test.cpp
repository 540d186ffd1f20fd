// The POSIX platform calls on real files: verdicts of the existence test and the copying move.
#include "../platform/posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../platform/platform.h"
#include "process.h"

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
