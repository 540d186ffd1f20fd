// The program's entry: hands the command line to the update run.
#include <string>
#include <vector>

#include "../platform/platform.h"
#include "update.h"

int main(int argc, char** argv) {
    platform::prepare_process();
    // Nothing is reported through the exit status. Nothing is caught here either: the Windows build
    // has no exceptions, and where the run-time cannot go on (memory run out), the platform ends the
    // run with status 0 (prepare_process, platform/win32_runtime.cpp).
    return quillmoor::run_update(std::vector<std::string>(argv, argv + (argc > 0 ? argc : 0)));
}
