// The fake platform behind the core tests.
#include "fake_platform.h"

#include <algorithm>

namespace fake {

namespace {
Script current;
std::vector<Event> recorded;
std::chrono::milliseconds clock{0};

void record(std::string what) {
    recorded.push_back({clock, std::move(what)});
}
}  // namespace

void reset(Script script) {
    current = std::move(script);
    recorded.clear();
    clock = std::chrono::milliseconds{0};
}

const std::vector<Event>& events() {
    return recorded;
}
std::chrono::milliseconds now() {
    return clock;
}

}  // namespace fake

namespace platform {

void prepare_process() {}

std::uint32_t check_given_path(const std::string&) {
    return fake::current.given_path_error;
}

FileStatus query_file(const std::string& path) {
    fake::record("query " + path);
    return fake::current.status;
}

std::uint32_t move_over(const std::string& from, const std::string& to) {
    fake::record("move " + from + " > " + to);
    if (fake::current.move_results.empty()) return 0;
    const std::uint32_t result = fake::current.move_results.front();
    fake::current.move_results.pop_front();
    return result;
}

std::string system_error_text(std::uint32_t code) {
    const auto found = fake::current.wordings.find(code);
    return found == fake::current.wordings.end() ? std::string() : found->second;
}

void start_process(const std::string& path) {
    fake::record("start " + path);
}

void show_message_box(const std::string& caption, const std::string& text) {
    fake::record("notice " + caption + "|" + text);
}

void pause(std::chrono::milliseconds duration) {
    fake::clock += duration;
}

Starter hold_starter() {
    return fake::current.starter_exit ? 1 : no_starter;
}

std::chrono::milliseconds pause_until_exit(Starter starter, std::chrono::milliseconds duration) {
    const std::chrono::milliseconds end = fake::clock + duration;
    if (!starter || *fake::current.starter_exit >= end) {
        fake::clock = end;
        return std::chrono::milliseconds::zero();
    }
    fake::clock = std::max(fake::clock, *fake::current.starter_exit);
    return end - fake::clock;
}

void let_go(Starter) {}

}  // namespace platform
