// The error notice: the one way a failure reaches the user.
#pragma once

#include <string>
#include <string_view>

namespace quillmoor {

inline constexpr std::string_view notice_caption = "Quillmoor Updater";

// Shows `text` in a modal error box under the fixed caption; returns once it is dismissed.
void show_error(const std::string& text);

}  // namespace quillmoor
