// The restarted program in the benchmark: it proves that it is running by opening the FIFO
// "started.fifo" in its working directory, which releases the shell that waits on the other end.
// Built with LINK_USER32 it also loads the Windows user-interface library, as the updater does.
// Built with HAND_OVER (Windows) it can also play the application that hands over to the updater.
#include <cstdio>
#include <cstdlib>

#if defined(LINK_USER32) || defined(HAND_OVER)
#include <windows.h>

#include <string>
#endif

#ifdef HAND_OVER
namespace {

// Milliseconds since 1970 on the host's clock, which the benchmark reads too.
long long now_ms() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<long long>(
        (ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart - 116444736000000000ull) / 10000);
}

void write_moments(const char* file, long long first, long long second) {
    if (std::FILE* out = std::fopen(file, "w")) {
        std::fprintf(out, "%lld %lld\n", first, second);
        std::fclose(out);
    }
}

// "started --hand-over UPDATER MS": starts UPDATER on its own pending copy, then exits MS later,
// writing the moments of the hand-over and of its exit to exit.txt. With MS -1 it never gives up its
// file: it waits for the updater's error box, writes when it appeared to box.txt and dismisses it.
int hand_over(const char* updater, int exit_after_ms) {
    std::string own(MAX_PATH, '\0');
    own.resize(GetModuleFileNameA(nullptr, own.data(), MAX_PATH));
    std::string command_line = "\"" + std::string(updater) + "\" \"" + own + "~\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(updater, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return 1;
    const long long handed = now_ms();
    CloseHandle(process.hThread);
    if (exit_after_ms >= 0) {
        CloseHandle(process.hProcess);
        Sleep(static_cast<DWORD>(exit_after_ms));
        write_moments("exit.txt", handed, now_ms());
        return 0;
    }
    // This updater's box, once shown; dismissed, and the updater seen to end, so that no box is left
    // for the next run to find.
    for (int wait = 0; wait < 6000; ++wait, Sleep(5)) {
        for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", L"Quillmoor Updater"); box;
             box = FindWindowExW(nullptr, box, L"#32770", L"Quillmoor Updater")) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (owner != process.dwProcessId || !IsWindowVisible(box)) continue;
            write_moments("box.txt", handed, now_ms());
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
            CloseHandle(process.hProcess);
            return ended ? 0 : 1;
        }
    }
    CloseHandle(process.hProcess);
    return 1;
}

}  // namespace

#endif

int main([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
#ifdef HAND_OVER
    if (argc == 4 && std::string(argv[1]) == "--hand-over") return hand_over(argv[2], std::atoi(argv[3]));
#endif
#ifdef LINK_USER32
    // Never shown: the reference alone makes the loader bring in user32.
    if (argc > 99) MessageBoxW(nullptr, L"", L"", MB_OK);
#endif
    if (std::FILE* fifo = std::fopen("started.fifo", "wb")) {
        std::fputs("started\n", fifo);
        std::fclose(fifo);
    }
    return 0;
}
