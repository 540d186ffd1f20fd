// Plays the target program in the end-to-end tests. It appends one line to the file named by
// QM_PROBE_LOG: the tag that its executable carries at its end (so a test can tell an old copy
// from a new one), its argument count and its working directory. With QM_PROBE_HOLD_MS it then
// stays alive that long, holding its own file the way a running application does. With
// QM_PROBE_STATE it plays the updater that the hand-over library starts, and writes to that file
// what it was started with: its first argument, its session, its blocked and ignored signals and
// its open descriptors.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

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

// "SigBlk: 0000000000000000" and the like, from the kernel's account of this process.
std::string status_field(const std::string& name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(name + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return "?";
}

std::string open_descriptors() {
    std::string found;
    DIR* listing = opendir("/proc/self/fd");
    for (dirent* entry; listing && (entry = readdir(listing));) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(listing)) continue;
        if (!found.empty()) found += ',';
        found += entry->d_name;
    }
    if (listing) closedir(listing);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* state = std::getenv("QM_PROBE_STATE")) {
        const std::string descriptors = open_descriptors();  // before the file below is open
        std::ofstream(state) << "argument=" << (argc > 1 ? argv[1] : "") << " session=" << getsid(0)
                             << " blocked=" << status_field("SigBlk") << " ignored=" << status_field("SigIgn")
                             << " descriptors=" << descriptors << "\n";
        return 0;
    }
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
