// The update run: one execution of the program from its argument to its exit status.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmoor {

inline constexpr char pending_mark = '~';
inline constexpr int attempt_count = 5;
inline constexpr std::chrono::milliseconds retry_pause{2000};
inline constexpr std::chrono::milliseconds linger{3000};

inline constexpr std::string_view missing_file_text = "File {} does not exist.";
inline constexpr std::string_view cannot_access_text = "Cannot access file {}.\n\n{} ({})";
inline constexpr std::string_view failed_update_text = "Failed to Update '{}'.\n\n{} ({})";
inline constexpr std::string_view unknown_error_text = "unknown error";

// The system's wording of `code`, without trailing NUL, tab, line feed, carriage return or
// blank; "unknown error" when nothing is left.
std::string error_wording(std::uint32_t code);

// Renames the pending file `given_path` over its target (the same path less its last "~"),
// retrying while that fails: on schedule, and once more the moment the process that started the
// updater exits. Returns the target path once renamed; after the last failed scheduled attempt
// it shows the failed-update notice and returns nothing.
std::optional<std::string> replace_pending_file(const std::string& given_path);

// The whole run over the command-line arguments (element 0 is the program's own name).
// Returns the exit status, which is 0 in every outcome.
int run_update(const std::vector<std::string>& arguments);

}  // namespace quillmoor
