// Reads the updater's error box back for the Wine tests: waits for a box with the updater's
// caption, writes what it shows to a file in UTF-8, and dismisses it with OK.
// Usage: qm-boxreader OUTPUT_FILE [TIMEOUT_MS]; exits 1 when no box appeared in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), size,
                        nullptr, nullptr);
    return converted;
}

std::wstring window_text(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The buttons a box offers, by their command ids.
std::string buttons(HWND box) {
    std::string found;
    const struct {
        int id;
        const char* name;
    } known[] = {{IDOK, "ok"}, {IDCANCEL, "cancel"}, {IDYES, "yes"}, {IDNO, "no"}, {IDRETRY, "retry"}};
    for (const auto& button : known) {
        if (GetDlgItem(box, button.id)) found += found.empty() ? button.name : std::string(",") + button.name;
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const DWORD timeout = argc > 2 ? static_cast<DWORD>(std::atol(argv[2])) : 20000;
    const DWORD start = GetTickCount();
    HWND box = nullptr;
    while (!(box = FindWindowW(L"#32770", L"Quillmoor Updater"))) {
        if (GetTickCount() - start > timeout) return 1;
        Sleep(50);
    }
    // The box is built before it is shown; read it once its text is in place.
    Sleep(200);
    const HWND text_control = GetDlgItem(box, 0xFFFF);
    const std::string record = "caption=" + utf8(window_text(box)) + "\nbuttons=" + buttons(box) +
                               "\nowner=" + (GetWindow(box, GW_OWNER) ? "some" : "none") +
                               "\ntext=" + (text_control ? utf8(window_text(text_control)) : "?");
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) return 3;
    std::fwrite(record.data(), 1, record.size(), out);
    std::fclose(out);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
}
