// The restarted program in the benchmark: it proves that it is running by opening the FIFO
// "started.fifo" in its working directory, which releases the shell that waits on the other end.
// Built with LINK_USER32 it also loads the Windows user-interface library, as the updater does.
#include <cstdio>

#ifdef LINK_USER32
#include <windows.h>
#endif

int main(int argc, char**) {
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
