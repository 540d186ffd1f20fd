// The update run and the pending-file replacement: all the policy, none of the system calls.
#include "update.h"

#include "../notify/notice.h"
#include "../platform/platform.h"
#include "text_format.h"

#include <utility>

namespace quillmoor {

namespace {

// Codes are shown the way the system's own tools show them: as signed 32-bit numbers.
std::int32_t as_shown(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

}  // namespace

std::string error_wording(std::uint32_t code) {
    std::string wording = platform::system_error_text(code);
    const std::size_t kept = wording.find_last_not_of(std::string_view("\0\t\n\r ", 5));
    wording.erase(kept == std::string::npos ? 0 : kept + 1);
    return wording.empty() ? std::string(unknown_error_text) : wording;
}

std::optional<std::string> replace_pending_file(const std::string& given_path) {
    const std::string target_path = given_path.substr(0, given_path.size() - 1);
    // The application that handed over usually still runs at the first attempt and holds its file:
    // the moment it exits is worth one attempt of its own, whenever in the schedule it comes.
    platform::Starter starter = platform::hold_starter();
    std::uint32_t error = platform::move_over(given_path, target_path);
    for (int attempt = 2; error != 0 && attempt <= attempt_count; ++attempt) {
        const std::chrono::milliseconds left = platform::pause_until_exit(starter, retry_pause);
        if (left > std::chrono::milliseconds::zero()) {
            // Once per run. Should the file still be held (a scanner may look at it after the exit),
            // the rest of the pause is kept, so that no scheduled attempt moves.
            platform::let_go(std::exchange(starter, platform::no_starter));
            if ((error = platform::move_over(given_path, target_path)) == 0) break;
            platform::pause(left);
        }
        error = platform::move_over(given_path, target_path);
    }
    platform::let_go(starter);
    if (error == 0) return target_path;
    show_error(format_text(failed_update_text, target_path, error_wording(error), as_shown(error)));
    return std::nullopt;
}

int run_update(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2 || arguments[1].empty()) return 0;
    const std::string& given_path = arguments[1];

    // A name altered on its way in may be another file's: it is reported, and nothing is touched.
    const std::uint32_t altered = platform::check_given_path(given_path);
    const platform::FileStatus status = altered ? platform::FileStatus{platform::Presence::unknown, altered}
                                                : platform::query_file(given_path);
    if (status.presence == platform::Presence::absent) {
        show_error(format_text(missing_file_text, given_path));
        return 0;
    }
    if (status.presence == platform::Presence::unknown) {
        // Neither present nor absent: touching the file now could lose it, so only report.
        show_error(
            format_text(cannot_access_text, given_path, error_wording(status.error), as_shown(status.error)));
        return 0;
    }

    std::string target_path = given_path;
    if (given_path.back() == pending_mark) {
        std::optional<std::string> replaced = replace_pending_file(given_path);
        if (!replaced) return 0;
        target_path = std::move(*replaced);
    }
    platform::start_process(target_path);
    platform::pause(linger);
    return 0;
}

}  // namespace quillmoor
