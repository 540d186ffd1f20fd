// Positional "{}" substitution for the texts the user sees.
#pragma once

#include <concepts>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quillmoor {

// Replaces each "{}" in `pattern`, in order, by the next of `values`; a "{}" with no value left
// stays as it is.
std::string substitute(std::string_view pattern, std::initializer_list<std::string_view> values);

inline std::string plain_form(std::string_view text) {
    return std::string(text);
}

template <std::integral Number>
std::string plain_form(Number number) {
    return std::to_string(number);
}

// Each argument takes its plain form: strings as they are, integers in decimal. The forms live
// until the end of the full expression, so the views handed to substitute stay valid.
template <typename... Args>
std::string format_text(std::string_view pattern, const Args&... args) {
    return substitute(pattern, {std::string_view(plain_form(args))...});
}

}  // namespace quillmoor
