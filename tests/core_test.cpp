// The update run against the fake platform: order, timing and texts of everything it does.
#include <gtest/gtest.h>

#include "../driver/text_format.h"
#include "../driver/update.h"
#include "fake_platform.h"

using namespace std::chrono_literals;
using fake::Event;
using platform::Presence;

namespace {

int run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "quillmoor-updater");
    return quillmoor::run_update(arguments);
}

std::string notice(const std::string& text) {
    return "notice Quillmoor Updater|" + text;
}

constexpr std::uint32_t access_denied = 5;
constexpr std::uint32_t sharing_violation = 32;

fake::Script found(Presence presence, std::uint32_t error = 0) {
    fake::Script script;
    script.status = {presence, error};
    script.wordings = {{access_denied, "Access is denied.\r\n"}};
    return script;
}

fake::Script failing_moves(std::deque<std::uint32_t> results) {
    fake::Script script;
    script.move_results = std::move(results);
    script.wordings = {{access_denied, "Access is denied.\r\n"}, {sharing_violation, "In use.\r\n"}};
    return script;
}

}  // namespace

TEST(Arguments, MissingOrEmptyPathEndsAtOnceAndSilently) {
    for (const auto& arguments : {std::vector<std::string>{}, std::vector<std::string>{""},
                                  std::vector<std::string>{"", "Tool.exe~"}}) {
        fake::reset();
        EXPECT_EQ(run(arguments), 0);
        EXPECT_TRUE(fake::events().empty());
        EXPECT_EQ(fake::now(), 0ms);
    }
    fake::reset();
    EXPECT_EQ(quillmoor::run_update({}), 0);
    EXPECT_TRUE(fake::events().empty());
}

TEST(Arguments, OnlyTheFirstIsUsed) {
    fake::reset();
    run({"Tool.exe", "Other.exe~", "--flag"});
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query Tool.exe"}, {0ms, "start Tool.exe"}}));
}

TEST(Launch, AFileWithoutTheMarkIsStartedAsItIsThenTheRunLingers) {
    fake::reset();
    EXPECT_EQ(run({"dir/Tool.exe"}), 0);
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query dir/Tool.exe"}, {0ms, "start dir/Tool.exe"}}));
    EXPECT_EQ(fake::now(), 3s);
}

TEST(Verdicts, AMissingFileIsNamedExactlyAsGivenAndNothingHappens) {
    fake::reset(found(Presence::absent));
    EXPECT_EQ(run({"C:\\Apps\\Tool.exe~"}), 0);
    EXPECT_EQ(fake::events(),
              (std::vector<Event>{{0ms, "query C:\\Apps\\Tool.exe~"},
                                  {0ms, notice("File C:\\Apps\\Tool.exe~ does not exist.")}}));
    EXPECT_EQ(fake::now(), 0ms);
}

TEST(Verdicts, AFileThatCannotBeQueriedIsReportedAndLeftAlone) {
    fake::reset(found(Presence::unknown, access_denied));
    EXPECT_EQ(run({"Tool.exe~"}), 0);
    EXPECT_EQ(fake::events(),
              (std::vector<Event>{{0ms, "query Tool.exe~"},
                                  {0ms, notice("Cannot access file Tool.exe~.\n\nAccess is denied. (5)")}}));

    // A code the system has no words for, shown signed as the system shows it.
    fake::reset(found(Presence::unknown, 0x80070005u));
    run({"Tool.exe"});
    EXPECT_EQ(fake::events().back().what,
              notice("Cannot access file Tool.exe.\n\nunknown error (-2147024891)"));
    EXPECT_EQ(fake::events().size(), 2u);
}

TEST(Verdicts, APathAlteredOnItsWayInIsReportedAndNoFileIsTouched) {
    fake::Script script = found(Presence::present);
    script.given_path_error = 1113;
    script.wordings[1113] = "No mapping for the Unicode character exists.\r\n";
    fake::reset(script);
    EXPECT_EQ(run({"Tool-l.exe~"}), 0);
    EXPECT_EQ(fake::events(),
              (std::vector<Event>{{0ms, notice("Cannot access file Tool-l.exe~.\n\n"
                                               "No mapping for the Unicode character exists. (1113)")}}));
}

TEST(Replacement, ATargetThatCanBeReplacedIsReplacedAtOnceAndStarted) {
    fake::reset();
    EXPECT_EQ(run({"dir/Tool.exe~"}), 0);
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query dir/Tool.exe~"},
                                                  {0ms, "move dir/Tool.exe~ > dir/Tool.exe"},
                                                  {0ms, "start dir/Tool.exe"}}));
    EXPECT_EQ(fake::now(), 3s);
}

TEST(Replacement, RetriesTwoSecondsApartUntilTheRenameSucceeds) {
    fake::reset(failing_moves({access_denied, sharing_violation}));
    EXPECT_EQ(run({"Tool.exe~"}), 0);
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query Tool.exe~"},
                                                  {0ms, "move Tool.exe~ > Tool.exe"},
                                                  {2s, "move Tool.exe~ > Tool.exe"},
                                                  {4s, "move Tool.exe~ > Tool.exe"},
                                                  {4s, "start Tool.exe"}}));
    EXPECT_EQ(fake::now(), 7s);
}

TEST(Replacement, FiveFailuresReportTheLastErrorAndStartNothing) {
    fake::reset(failing_moves(
        {sharing_violation, sharing_violation, sharing_violation, sharing_violation, access_denied, 0}));
    EXPECT_EQ(run({"Tool.exe~"}), 0);
    const std::string move = "move Tool.exe~ > Tool.exe";
    EXPECT_EQ(fake::events(),
              (std::vector<Event>{{0ms, "query Tool.exe~"},
                                  {0ms, move},
                                  {2s, move},
                                  {4s, move},
                                  {6s, move},
                                  {8s, move},
                                  {8s, notice("Failed to Update 'Tool.exe'.\n\nAccess is denied. (5)")}}));
    EXPECT_EQ(fake::now(), 8s) << "no pause after the fifth attempt, no linger without a launch";

    // A code the system has no words for, shown signed as the system shows it.
    fake::reset(failing_moves(std::deque<std::uint32_t>(5, 0x80070005u)));
    run({"Tool.exe~"});
    EXPECT_EQ(fake::events().back().what,
              notice("Failed to Update 'Tool.exe'.\n\nunknown error (-2147024891)"));
}

TEST(Replacement, TheStartersExitBringsOneAttemptAtOnceAndTheScheduleKeepsItsTimes) {
    const std::string move = "move Tool.exe~ > Tool.exe";
    auto scene = [](std::chrono::milliseconds exit, std::deque<std::uint32_t> results) {
        fake::Script script = failing_moves(std::move(results));
        script.starter_exit = exit;
        fake::reset(script);
        EXPECT_EQ(run({"Tool.exe~"}), 0);
    };
    // Exiting during a pause: an attempt at that moment, which here succeeds.
    scene(5s, {access_denied, access_denied, access_denied});
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query Tool.exe~"}, {0ms, move}, {2s, move},
                                                  {4s, move}, {5s, move}, {5s, "start Tool.exe"}}));

    // A file still held after the exit: the pause runs out, and the scheduled attempts keep their times.
    scene(200ms, std::deque<std::uint32_t>(5, sharing_violation));
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query Tool.exe~"}, {0ms, move}, {200ms, move},
                                                  {2s, move}, {4s, move}, {6s, move}, {8s, move},
                                                  {8s, "start Tool.exe"}}));

    // Held for good: still five scheduled attempts, and the notice carries the last one's code.
    scene(200ms, {sharing_violation, sharing_violation, sharing_violation, sharing_violation,
                  sharing_violation, access_denied});
    EXPECT_EQ(fake::events().size(), 8u);
    EXPECT_EQ(fake::events().back(),
              (Event{8s, notice("Failed to Update 'Tool.exe'.\n\nAccess is denied. (5)")}));
}

TEST(Replacement, OnlyTheLastMarkIsRemoved) {
    fake::reset();
    auto target = quillmoor::replace_pending_file("Tool.exe~~");
    EXPECT_EQ(target, "Tool.exe~");
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "move Tool.exe~~ > Tool.exe~"}}));

    // Short names and folders carry a "~" of their own, which must stay.
    fake::reset();
    run({"C:\\PROGRA~1\\v~2\\Tool.exe~"});
    EXPECT_EQ(fake::events(),
              (std::vector<Event>{{0ms, "query C:\\PROGRA~1\\v~2\\Tool.exe~"},
                                  {0ms, "move C:\\PROGRA~1\\v~2\\Tool.exe~ > C:\\PROGRA~1\\v~2\\Tool.exe"},
                                  {0ms, "start C:\\PROGRA~1\\v~2\\Tool.exe"}}));

    // A mark that is not the last character makes no pending file.
    fake::reset();
    run({"v~2/Tool.exe"});
    EXPECT_EQ(fake::events(), (std::vector<Event>{{0ms, "query v~2/Tool.exe"}, {0ms, "start v~2/Tool.exe"}}));
}

TEST(Texts, SystemWordingIsTrimmedAtTheEndOnly) {
    fake::Script script;
    script.wordings = {{1, std::string("Bad\tthing.\r\n \t\0\0", 16)},
                       {2, " \r\n\t"},
                       {3, "  Kept  "},
                       {5, "First line.\r\nSecond line.\r\n"}};
    fake::reset(script);
    EXPECT_EQ(quillmoor::error_wording(1), "Bad\tthing.");
    EXPECT_EQ(quillmoor::error_wording(2), "unknown error");
    EXPECT_EQ(quillmoor::error_wording(3), "  Kept");
    EXPECT_EQ(quillmoor::error_wording(4), "unknown error");
    EXPECT_EQ(quillmoor::error_wording(5), "First line.\r\nSecond line.") << "inner breaks stay";
}

TEST(Texts, SubstitutionIsPositionalAndNeverRescansValues) {
    using quillmoor::format_text;
    EXPECT_EQ(format_text("{} and {}", "a{}", 7), "a{} and 7");
    EXPECT_EQ(format_text("{}-{}-{}", -1), "-1-{}-{}");
    EXPECT_EQ(format_text("no holes", "x"), "no holes");
    EXPECT_EQ(format_text("{}{}", std::string("x"), std::int32_t{-2147483647 - 1}), "x-2147483648");
}

TEST(Texts, APathWithBracesIsShownAsTyped) {
    fake::reset(found(Presence::absent));
    run({"odd {} name~"});
    EXPECT_EQ(fake::events().back().what, notice("File odd {} name~ does not exist."));
}
