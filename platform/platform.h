// The operating-system calls the update run relies on; each build links exactly one implementation.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace platform {

// What the existence test can conclude about a path.
enum class Presence { present, absent, unknown };

struct FileStatus {
    Presence presence;
    std::uint32_t error;  // the system error code when the presence is unknown, else 0
};

// Settles process-wide settings before the run begins: which libraries may be loaded, how signals
// are handled, how a run ends that the C++ run-time cannot continue (with status 0, like every
// other). Nothing it does reaches a process that the run starts.
void prepare_process();

// 0 when `given_path` is the first command-line argument exactly as it was passed; else the system
// error code that says why it is not. (Where the run-time hands over arguments in a code page that
// cannot hold every name, a name may arrive altered, and then names another file or none.)
std::uint32_t check_given_path(const std::string& given_path);

// File status of `path`, following symbolic links.
FileStatus query_file(const std::string& path);

// Moves `from` over `to`, replacing it (across volumes by copying). Returns 0 on success,
// else the system error code.
std::uint32_t move_over(const std::string& from, const std::string& to);

// The system's own wording of an error code, untrimmed; empty when it has none.
std::string system_error_text(std::uint32_t code);

// Starts `path` as a new process with no arguments; it is not waited for and a failure is ignored.
void start_process(const std::string& path);

// Shows `text` to the user under `caption` as an error and returns once it has been dismissed.
void show_message_box(const std::string& caption, const std::string& text);

// Blocks the calling thread for `duration` on a monotonic clock.
void pause(std::chrono::milliseconds duration);

// The process that started this one, held so that its exit can be awaited even when it comes before
// the wait; no_starter where it cannot be found or held (nothing to wait for, as on POSIX).
using Starter = std::uintptr_t;
inline constexpr Starter no_starter = 0;
Starter hold_starter();

// Blocks like `pause`, but ends early once `starter` has exited (at once if it already has). Returns
// what was left of `duration` then; zero when it was waited out.
std::chrono::milliseconds pause_until_exit(Starter starter, std::chrono::milliseconds duration);

// Gives back what hold_starter holds; nothing for no_starter.
void let_go(Starter starter);

}  // namespace platform
