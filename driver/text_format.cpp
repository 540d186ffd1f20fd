// Positional "{}" substitution for the texts the user sees.
#include "text_format.h"

namespace quillmoor {

std::string substitute(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string text;
    text.reserve(pattern.size());
    const std::string_view* next = values.begin();
    std::size_t at = 0;
    for (std::size_t hole = pattern.find("{}"); hole != std::string_view::npos && next != values.end();
         hole = pattern.find("{}", at)) {
        text.append(pattern, at, hole - at);
        text.append(*next++);
        at = hole + 2;
    }
    text.append(pattern, at);
    return text;
}

}  // namespace quillmoor
