// The Windows executable run for real under Wine: the boxes it shows, what it renames and starts.
#include <gtest/gtest.h>

#include <thread>

#include "process.h"

namespace fs = std::filesystem;
using e2e::read_file;

namespace {

const std::string wine = QM_WINE;
const std::string updater = QM_WINDOWS_UPDATER;
const std::string boxreader = QM_WINDOWS_BOXREADER;

// Wine sees the Unix file system as drive Z:.
std::string windows_form(const fs::path& path) {
    std::string form = "Z:" + path.string();
    for (char& c : form) c = c == '/' ? '\\' : c;
    return form;
}

void place_probe(const fs::path& path, const std::string& tag) {
    e2e::place_probe(QM_WINDOWS_PROBE, path, tag);
}

struct UnderWine : ::testing::Test {
    e2e::Scratch scratch;
    fs::path log = scratch.path / "probe.log";
    std::vector<std::string> environment{"WINEPREFIX=" QM_WINEPREFIX, "WINEDEBUG=-all",
                                         "WINEDLLOVERRIDES=mscoree,mshtml=", "LC_ALL=C.UTF-8",
                                         "QM_PROBE_LOG=" + log.string()};

    e2e::Started start_updater(const std::string& given_path) {
        return e2e::start({wine, updater, given_path}, scratch.path, environment);
    }

    // What the next error box shows, read from the box itself, which is then dismissed.
    std::string read_box(int timeout_ms) {
        const fs::path record = scratch.path / "box.txt";
        fs::remove(record);
        const e2e::Finished reader = e2e::run(
            {wine, boxreader, windows_form(record), std::to_string(timeout_ms)}, scratch.path, environment);
        return reader.status == 0 ? read_file(record)
                                  : "no box (reader status " + std::to_string(reader.status) + ")";
    }

    std::string probe_line(const std::string& tag) {
        return "tag=" + tag + " args=0 cwd=" + windows_form(scratch.path) + "\n";
    }
};

std::string box(const std::string& text) {
    return "caption=Quillmoor Updater\nbuttons=ok\nowner=none\ntext=" + text;
}

}  // namespace

TEST_F(UnderWine, AMissingFileIsReportedInAnErrorBoxAndNothingChanges) {
    place_probe(scratch.path / "Tool.exe", "v1");
    const std::string v1 = read_file(scratch.path / "Tool.exe");

    const e2e::Started started = start_updater("Tool.exe~");
    EXPECT_EQ(read_box(30000), box("File Tool.exe~ does not exist."));
    const e2e::Finished finished = e2e::wait(started);

    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(read_file(scratch.path / "Tool.exe"), v1);
    EXPECT_FALSE(fs::exists(log)) << "nothing was started";
}

TEST_F(UnderWine, ARunningTargetIsReplacedOnceItExitsAndTheNewCopyStarted) {
    place_probe(scratch.path / "Tool.exe", "v1");
    std::vector<std::string> holding(environment);
    holding.push_back("QM_PROBE_HOLD_MS=4000");
    const e2e::Started old_copy = e2e::start({wine, "Tool.exe"}, scratch.path, holding);
    ASSERT_EQ(e2e::await_lines(log, 1, 30), probe_line("v1")) << "the old copy is running";

    place_probe(scratch.path / "Tool.exe~", "v2");
    const std::string v2 = read_file(scratch.path / "Tool.exe~");
    const e2e::Finished finished = e2e::wait(start_updater("Tool.exe~"));

    EXPECT_EQ(finished.status, 0);
    EXPECT_GE(finished.seconds, 4.5) << "at least one attempt failed while the old copy ran, then the linger";
    EXPECT_EQ(read_file(scratch.path / "Tool.exe"), v2);
    EXPECT_FALSE(fs::exists(scratch.path / "Tool.exe~"));
    EXPECT_EQ(e2e::await_lines(log, 2), probe_line("v1") + probe_line("v2"));
    e2e::wait(old_copy);
}

TEST_F(UnderWine, AnUpdateThatNeverSucceedsIsReportedAndThePendingCopyKept) {
    fs::create_directories(scratch.path / "Tool.exe" / "occupied");
    place_probe(scratch.path / "Tool.exe~", "v2");
    const std::string v2 = read_file(scratch.path / "Tool.exe~");

    const e2e::Started started = start_updater("Tool.exe~");
    const std::string shown = read_box(40000);
    const e2e::Finished finished = e2e::wait(started);

    const std::string expected_start = box("Failed to Update 'Tool.exe'.\n\n");
    EXPECT_EQ(shown.substr(0, expected_start.size()), expected_start);
    EXPECT_TRUE(shown.ends_with(". (5)")) << shown << "\nthe system's wording, then the code";
    EXPECT_EQ(finished.status, 0);
    EXPECT_GE(finished.seconds, 7.5) << "five attempts two seconds apart";
    EXPECT_EQ(read_file(scratch.path / "Tool.exe~"), v2);
    EXPECT_FALSE(fs::exists(log)) << "nothing was started";
}

TEST_F(UnderWine, NamesOutsideTheWesternCodePageAndWithSpacesSurvive) {
    for (const std::string name : {"Новый инструмент.exe", "My Tool ä.exe"}) {
        place_probe(scratch.path / name, "v1");
        place_probe(scratch.path / (name + "~"), "v2");
        const std::string v2 = read_file(scratch.path / (name + "~"));
        fs::remove(log);

        EXPECT_EQ(e2e::wait(start_updater(name + "~")).status, 0);

        EXPECT_EQ(read_file(scratch.path / name), v2) << name;
        EXPECT_FALSE(fs::exists(scratch.path / (name + "~"))) << name;
        EXPECT_EQ(e2e::await_lines(log, 1), probe_line("v2")) << name;
    }
}

TEST_F(UnderWine, AMissingFileWithANonAsciiNameIsNamedExactly) {
    const e2e::Started started = start_updater("Отчёт.exe~");
    EXPECT_EQ(read_box(30000), box("File Отчёт.exe~ does not exist."));
    EXPECT_EQ(e2e::wait(started).status, 0);
}
