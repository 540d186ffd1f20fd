// A stand-in for a system DLL (uxtheme.dll, dwmapi.dll) planted beside the updater: whoever loads it
// leaves a file "planted-dll-loaded" in its folder, and the load then fails so nothing of it stays.
#include <windows.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    std::wstring mark(path, length);
    mark = mark.substr(0, mark.find_last_of(L'\\') + 1) + L"planted-dll-loaded";
    const HANDLE file = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return FALSE;
}
