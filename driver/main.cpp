// The program's entry: hands the command line to the update run.
#include <string>
#include <vector>

#include "../platform/platform.h"
#include "update.h"

int main(int argc, char** argv) {
    platform::prepare_process();
    // Nothing is reported through the exit status, and no exception may end the run abnormally.
    try {
        return quillmoor::run_update(std::vector<std::string>(argv, argv + (argc > 0 ? argc : 0)));
    } catch (...) {
        return 0;
    }
}
