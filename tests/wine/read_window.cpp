// Reads the running Wayloom window from outside, as the end-to-end test under
// Wine checks it: prints "start enabled" or "start disabled", then the status
// log's lines (UTF-8). With the argument "caret", prints instead which control
// of the window shows a text caret: "caret in log", "caret elsewhere" or "no
// caret". Exits 1 when no window is found.
#include <windows.h>

#include <array>
#include <cstdio>
#include <string_view>

// Which control of window holds the caret of its thread.
static const char* caretPlace(HWND window, HWND log) {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread)) return "unknown";
    if (thread.hwndCaret == nullptr) return "no caret";
    return thread.hwndCaret == log ? "caret in log" : "caret elsewhere";
}

int main(int argc, char** argv) {
    const HWND window = FindWindowW(L"#32770", L"Wayloom");
    if (window == nullptr) return 1;
    const HWND log = GetDlgItem(window, 105);
    const HWND start = GetDlgItem(window, 101);
    if (log == nullptr || start == nullptr) return 1;
    if (argc > 1 && std::string_view(argv[1]) == "caret") {
        std::printf("%s\n", caretPlace(window, log));
        return 0;
    }
    std::printf("start %s\n", IsWindowEnabled(start) ? "enabled" : "disabled");
    std::array<wchar_t, 1024> text{};
    const auto length = SendMessageW(log, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    std::array<char, 4096> bytes{};
    const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(length), bytes.data(),
                                          static_cast<int>(bytes.size()), nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
        if (bytes[static_cast<std::size_t>(i)] != '\r') std::putchar(bytes[static_cast<std::size_t>(i)]);
    }
    if (count > 0) std::putchar('\n');
    return 0;
}
