// A scripted platform with a virtual clock: every call is recorded with the time it happened.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "../platform/platform.h"

namespace fake {

struct Event {
    std::chrono::milliseconds at;
    std::string what;  // "query P", "move A > B", "start P", "notice CAPTION|TEXT"
    bool operator==(const Event&) const = default;
};
// How a test's failure shows an event.
inline void PrintTo(const Event& event, std::ostream* out) {
    *out << event.at.count() << " ms: " << event.what;
}

struct Script {
    std::uint32_t given_path_error = 0;
    platform::FileStatus status{platform::Presence::present, 0};
    std::deque<std::uint32_t> move_results;  // taken in order; 0 (success) once used up
    std::map<std::uint32_t, std::string> wordings;
    std::optional<std::chrono::milliseconds> starter_exit;  // when the process that started it exits
};

// Starts a new scene: clock at zero, no events, the given answers.
void reset(Script script = {});
const std::vector<Event>& events();
std::chrono::milliseconds now();

}  // namespace fake
