// The native program on real files: what it renames, what it starts, what it tells the user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "process.h"

namespace fs = std::filesystem;
using e2e::read_file;

namespace {

const std::string updater = QM_UPDATER;

void place_probe(const fs::path& path, const std::string& tag) {
    e2e::place_probe(QM_PROBE, path, tag);
}

std::string probe_line(const std::string& tag, const fs::path& directory) {
    return "tag=" + tag + " args=0 cwd=" + directory.string() + "\n";
}

struct NativeUpdate : ::testing::Test {
    e2e::Scratch scratch;
    fs::path log = scratch.path / "probe.log";
    std::vector<std::string> environment{"QM_PROBE_LOG=" + log.string()};

    e2e::Finished update(const std::string& given_path) {
        return e2e::run({updater, given_path}, scratch.path, environment);
    }
};

}  // namespace

TEST_F(NativeUpdate, APendingCopyReplacesItsTargetWhichIsStartedWithoutArguments) {
    place_probe(scratch.path / "Tool", "v1");
    place_probe(scratch.path / "Tool~", "v2");
    const std::string v2 = read_file(scratch.path / "Tool~");

    const e2e::Finished finished = update("Tool~");  // relative: resolved against the updater's directory

    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.error_output, "");
    EXPECT_EQ(read_file(scratch.path / "Tool"), v2);
    EXPECT_FALSE(fs::exists(scratch.path / "Tool~"));
    EXPECT_EQ(e2e::await_lines(log, 1), probe_line("v2", scratch.path));
    EXPECT_GE(finished.seconds, 2.5) << "the updater lingers after the launch";
}

TEST_F(NativeUpdate, APendingCopyWithoutATargetBecomesTheTarget) {
    place_probe(scratch.path / "new tool ünï~", "v2");
    const fs::path given = scratch.path / "new tool ünï~";

    EXPECT_EQ(update(given.string()).status, 0);
    EXPECT_TRUE(fs::exists(scratch.path / "new tool ünï"));
    EXPECT_FALSE(fs::exists(given));
    EXPECT_EQ(e2e::await_lines(log, 1), probe_line("v2", scratch.path));
}

TEST_F(NativeUpdate, AFileWithoutTheMarkIsOnlyStarted) {
    place_probe(scratch.path / "Tool", "v1");
    place_probe(scratch.path / "Tool~", "v2");

    EXPECT_EQ(update("./Tool").status, 0);
    EXPECT_EQ(e2e::await_lines(log, 1), probe_line("v1", scratch.path));
    EXPECT_TRUE(fs::exists(scratch.path / "Tool~")) << "a pending copy is left alone unless named";
}

TEST_F(NativeUpdate, ATargetWhoseNameBeginsWithADashIsStartedAsAFile) {
    // A script's name reaches its interpreter as an argument, where "-app" would read as options.
    // Only such a name is changed: a dash anywhere else, in a folder's name or an absolute path,
    // leaves the path as given. Each script records the name that it was started by.
    struct Case {
        fs::path file;           // the target, beside its pending copy
        std::string given;       // as the updater is given it
        fs::path from;           // the updater's working directory
        std::string started_as;  // the name that the new copy sees as its own
    };
    fs::create_directory(scratch.path / "my-dir");
    fs::create_directory(scratch.path / "other-dir");
    const fs::path absolute = scratch.path / "other-dir" / "app";
    const Case cases[] = {
        {scratch.path / "-app", "-app~", scratch.path, "./-app"},
        {scratch.path / "my-dir" / "app", "my-dir/app~", scratch.path, "my-dir/app"},
        // From /, where even a mangled absolute path would find the file.
        {absolute, absolute.string() + "~", "/", absolute.string()},
    };

    std::vector<e2e::Started> runs;
    for (const Case& c : cases) {
        const std::string record = (c.file.parent_path() / "ran.txt").string();
        for (const std::string version : {"v1", "v2"}) {
            const fs::path file = version == "v1" ? c.file : fs::path(c.file.string() + "~");
            e2e::write_file(file, "#!/bin/sh\necho \"" + version + " $0\" > '" + record + "'\n");
            fs::permissions(file, fs::perms::owner_all);
        }
        runs.push_back(e2e::start({updater, c.given}, c.from, environment));
    }

    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Case& c = cases[i];
        const e2e::Finished finished = e2e::wait(runs[i]);
        EXPECT_EQ(finished.status, 0) << c.given;
        EXPECT_EQ(finished.error_output, "") << c.given;
        EXPECT_FALSE(fs::exists(c.file.string() + "~")) << c.given;
        EXPECT_EQ(e2e::await_lines(c.file.parent_path() / "ran.txt", 1), "v2 " + c.started_as + "\n")
            << c.given;
    }
}

TEST_F(NativeUpdate, AMissingFileIsReportedAndNothingChanges) {
    place_probe(scratch.path / "Tool", "v1");
    const std::string v1 = read_file(scratch.path / "Tool");

    const e2e::Finished finished = update("Tool~");

    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.error_output, "Quillmoor Updater: File Tool~ does not exist.\n");
    EXPECT_LT(finished.seconds, 2.0) << "no retries and no linger for a missing file";
    EXPECT_EQ(read_file(scratch.path / "Tool"), v1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(log)) << "nothing was started";
}

TEST_F(NativeUpdate, NoPathOrAnEmptyPathEndsAtOnceAndSilently) {
    for (const auto& arguments : {std::vector<std::string>{updater}, std::vector<std::string>{updater, ""}}) {
        const e2e::Finished finished = e2e::run(arguments, scratch.path, environment);
        EXPECT_EQ(finished.status, 0);
        EXPECT_EQ(finished.error_output, "");
        EXPECT_LT(finished.seconds, 2.0);
    }
}

TEST_F(NativeUpdate, APathThatCannotBeQueriedIsReportedAndLeftAlone) {
    const std::string too_long(300, 'x');
    const e2e::Finished finished = update(too_long + "~");
    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.error_output,
              "Quillmoor Updater: Cannot access file " + too_long + "~.\n\nFile name too long (36)\n");
}

TEST_F(NativeUpdate, ARenameThatKeepsFailingLeavesThePendingCopyAndReportsWhy) {
    place_probe(scratch.path / "Tool~", "v2");
    const std::string v2 = read_file(scratch.path / "Tool~");
    fs::create_directories(scratch.path / "Tool" / "occupied");  // a file cannot replace a directory
    const fs::path given = scratch.path / "Tool~";

    const e2e::Finished finished = update(given.string());

    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.error_output, "Quillmoor Updater: Failed to Update '" +
                                         (scratch.path / "Tool").string() + "'.\n\nIs a directory (21)\n");
    EXPECT_GE(finished.seconds, 7.5) << "five attempts over eight seconds";
    EXPECT_LT(finished.seconds, 10.5) << "and no linger after the failure";
    EXPECT_EQ(read_file(given), v2);
    EXPECT_FALSE(fs::exists(log)) << "nothing was started";
}

TEST_F(NativeUpdate, ARenameThatFailsAtFirstLandsOnceTheObstacleGoes) {
    place_probe(scratch.path / "Tool~", "v2");
    fs::create_directories(scratch.path / "Tool" / "occupied");

    const e2e::Started started = e2e::start({updater, "Tool~"}, scratch.path, environment);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // between the second and third attempts
    fs::remove_all(scratch.path / "Tool");
    const e2e::Finished finished = e2e::wait(started);

    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.error_output, "");
    EXPECT_EQ(e2e::await_lines(log, 1), probe_line("v2", scratch.path));
    EXPECT_FALSE(fs::exists(scratch.path / "Tool~"));
}

TEST_F(NativeUpdate, ADirectoryIsFoundButItsLaunchFailsSilently) {
    fs::create_directory(scratch.path / "folder");
    const e2e::Finished finished = update("folder");
    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.error_output, "");
    EXPECT_TRUE(fs::is_directory(scratch.path / "folder"));
}

TEST_F(NativeUpdate, OnlyTheLastMarkComesOffThroughAFolderWithAMarkOfItsOwn) {
    fs::create_directory(scratch.path / "v~2");
    place_probe(scratch.path / "v~2" / "Tool", "v1");
    place_probe(scratch.path / "v~2" / "Tool~", "v2");
    const std::string v2 = read_file(scratch.path / "v~2" / "Tool~");

    EXPECT_EQ(update("v~2/Tool~").status, 0);

    EXPECT_EQ(read_file(scratch.path / "v~2" / "Tool"), v2);
    EXPECT_FALSE(fs::exists(scratch.path / "v~2" / "Tool~"));
    EXPECT_EQ(e2e::await_lines(log, 1), probe_line("v2", scratch.path));

    // Without a mark at the end, the one in the folder's name makes no pending file.
    EXPECT_EQ(update("v~2/Tool").status, 0);
    EXPECT_EQ(e2e::await_lines(log, 2), probe_line("v2", scratch.path) + probe_line("v2", scratch.path));
    EXPECT_TRUE(fs::exists(scratch.path / "v~2" / "Tool")) << "nothing was renamed";
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path / "v~2"), fs::directory_iterator()), 1);
}

namespace {

// Runs the updater with standard error a pipe whose reader has gone, and SIGPIPE at its default, as
// it is when the application that started the updater has closed its end. Returns the raw status.
int run_with_broken_stderr(const std::vector<std::string>& arguments, const fs::path& directory) {
    int ends[2];
    if (::pipe(ends) != 0) return -1;
    ::close(ends[0]);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(ends[1], STDERR_FILENO);
        if (::chdir(directory.c_str()) != 0) ::_exit(127);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(ends[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

}  // namespace

TEST_F(NativeUpdate, ANoticeToABrokenPipeEndsNormallyAndTheApplicationKeepsDefaultSignals) {
    int status = run_with_broken_stderr({updater, "Tool~"}, scratch.path);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The restarted application records which signals it was started with ignored.
    e2e::write_file(scratch.path / "app", "#!/bin/sh\ngrep SigIgn /proc/$$/status > ignored.txt\n");
    fs::permissions(scratch.path / "app", fs::perms::owner_all);
    status = run_with_broken_stderr({updater, "app"}, scratch.path);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string ignored = e2e::await_lines(scratch.path / "ignored.txt", 1);
    ASSERT_EQ(ignored.substr(0, 7), "SigIgn:");
    EXPECT_EQ(std::stoull(ignored.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u)
        << "SIGPIPE reaches the application at its default";
}

TEST_F(NativeUpdate, RunningOutOfMemoryEndsWithStatusZeroAndLosesNoFile) {
    place_probe(scratch.path / "Tool", "v1");
    place_probe(scratch.path / "Tool~", "v2");
    const std::string v1 = read_file(scratch.path / "Tool"), v2 = read_file(scratch.path / "Tool~");
    // The heap held to 512 KiB (util-linux's prlimit sets the limit, then starts the updater).
    auto limited = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"/usr/bin/prlimit", "--data=524288", updater});
        return e2e::run(arguments, scratch.path, environment);
    };

    const e2e::Finished fits = limited({"missing~"});
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(fits.error_output, "Quillmoor Updater: File missing~ does not exist.\n") << "room for a run";

    // 1 MiB of further arguments, which the updater copies before it does anything else.
    std::vector<std::string> arguments{"Tool~"};
    arguments.insert(arguments.end(), 16, std::string(64 * 1024, 'x'));
    const e2e::Finished finished = limited(arguments);

    EXPECT_EQ(finished.status, 0) << "not ended by abort's signal";
    EXPECT_EQ(finished.error_output, "");
    EXPECT_EQ(read_file(scratch.path / "Tool"), v1);
    EXPECT_EQ(read_file(scratch.path / "Tool~"), v2);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(log)) << "nothing was started";
}
