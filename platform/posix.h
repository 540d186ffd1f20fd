// POSIX-only pieces that the tests reach directly.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Moves `from` over `to` by copying, for when they lie on different file systems: the target
// is replaced by a complete copy in one rename, and only then is `from` removed, so a failure
// at any point leaves both as they were. Returns 0 or errno.
std::uint32_t move_by_copy(const std::string& from, const std::string& to);

}  // namespace platform
