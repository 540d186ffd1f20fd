// POSIX-only pieces that the tests reach directly.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Moves `from` over `to` by copying, for when they lie on different file systems: the target
// is replaced by a complete copy in one rename, and only then is `from` removed, so a failure
// or an interruption at any point leaves both whole. The copy keeps the owner where it may (else
// loses its set-ID bits), and only one updater at a time completes a pending file: another one is
// told EBUSY. Returns 0 or errno.
std::uint32_t move_by_copy(const std::string& from, const std::string& to);

}  // namespace platform
