// Plays the target program in the end-to-end tests. It appends one line to the file named by
// QM_PROBE_LOG: the tag that its executable carries at its end (so a test can tell an old copy
// from a new one), its argument count and its working directory. With QM_PROBE_HOLD_MS it then
// stays alive that long, holding its own file the way a running application does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

std::FILE* open_self() {
    return std::fopen("/proc/self/exe", "rb");
}

std::string working_directory() {
    char directory[4096] = {};
    return getcwd(directory, sizeof directory) ? directory : "?";
}

void hold(long milliseconds) {
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

// A copy made by a test ends in "\nQMTAG=<tag>\n"; a plain build carries no tag.
std::string own_tag() {
    std::FILE* self = open_self();
    if (!self) return "unreadable";
    char tail[64] = {};
    std::size_t got = 0;
    if (std::fseek(self, -static_cast<long>(sizeof tail), SEEK_END) == 0)
        got = std::fread(tail, 1, sizeof tail, self);
    std::fclose(self);
    const std::string text(tail, got);
    const std::size_t at = text.rfind("QMTAG=");
    if (at == std::string::npos) return "none";
    return text.substr(at + 6, text.find('\n', at) - at - 6);
}

}  // namespace

int main(int argc, char**) {
    if (const char* log = std::getenv("QM_PROBE_LOG")) {
        if (std::FILE* out = std::fopen(log, "ab")) {
            std::fprintf(out, "tag=%s args=%d cwd=%s\n", own_tag().c_str(), argc - 1,
                         working_directory().c_str());
            std::fclose(out);
        }
    }
    if (const char* hold_ms = std::getenv("QM_PROBE_HOLD_MS")) {
        hold(std::atol(hold_ms));
    }
    return 0;
}
