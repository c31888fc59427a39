// The status log, the fixed messages and the run state.
//
// The log has no storage of its own: every append reads the status log
// control's text back, adds a line and writes the whole text again. Each
// append, clear and toggle holds shellMutex for its whole read-modify-write,
// so a line appended from the report cycle thread and one from the window
// thread can never overwrite each other.
#include "status/statuslog.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <mutex>

#include "status/strings.hpp"
#include "status/window.hpp"

std::atomic<int> runState{1};

namespace {

std::mutex shellMutex;

// The part of text an append uses: up to its first zero, at most 110
// characters, so a longer text is cut rather than written past the buffer.
std::wstring_view statusLineText(std::wstring_view text) {
    text = text.substr(0, std::min(text.find(L'\0'), text.size()));
    return text.substr(0, statusLineMaxLength);
}

}  // namespace

// At most 399 characters read back, CR LF and 110 characters make 511: the
// 512-character buffer always holds the new text and its terminator.
static_assert(logReadBackCapacity - 1 + 2 + statusLineMaxLength < logBufferCapacity);

void appendStatusLine(std::wstring_view text) {
    const std::wstring_view line = statusLineText(text);
    std::array<wchar_t, logBufferCapacity> buffer;
    const std::lock_guard lock(shellMutex);
    std::size_t length =
        getWindowText(statusLogControl, std::span<wchar_t>(buffer).first(logReadBackCapacity));
    if (length > 0) {
        buffer[length++] = L'\r';
        buffer[length++] = L'\n';
    }
    length = static_cast<std::size_t>(std::copy(line.begin(), line.end(), buffer.begin() + length) -
                                      buffer.begin());
    buffer[length] = L'\0';
    setWindowText(statusLogControl, {buffer.data(), length});
}

void showMessage(std::uint16_t id) {
    std::array<wchar_t, messageTextCapacity> text;
    const std::size_t length = loadString(id, text);
    appendStatusLine({text.data(), length});
}

void showCountMessage(std::uint16_t id, std::int64_t count) {
    std::array<wchar_t, messageTextCapacity> text;
    const std::wstring_view pattern(text.data(), loadString(id, text));
    const std::size_t mark = pattern.find(L"%1");
    std::array<char, 24> digits;  // the longest 64-bit number and its sign
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), count).ptr;
    std::array<wchar_t, messageTextCapacity + 24> line{};
    std::size_t length = 0;
    const auto put = [&](wchar_t c) {
        if (length < line.size() - 1) line[length++] = c;
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (i == mark) {
            for (const char* digit = digits.data(); digit != end; ++digit) put(static_cast<wchar_t>(*digit));
            ++i;
        } else {
            put(pattern[i]);
        }
    }
    appendStatusLine({line.data(), length});
}

void clearStatusLog() {
    const std::lock_guard lock(shellMutex);
    setWindowText(statusLogControl, {});
}

void toggleRunState() {
    const std::lock_guard lock(shellMutex);
    const int next = runState.load() == 0 ? 1 : 0;
    runState.store(next);
    enableCommand(startCommand, next == 1);
}
