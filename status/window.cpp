// The model of the main window's controls: the status log's text and the
// state of the two menu bar commands. One mutex serialises every call, the way
// the window system of a handheld serialises calls from the window thread and
// the report cycle thread; the single listener hears of each change on the
// thread that made it, while the mutex is still held, so changes reach it in
// the order they were made.
#include "status/window.hpp"

#include <algorithm>
#include <array>
#include <mutex>

namespace {

struct ControlText {
    int id;
    std::array<wchar_t, controlTextCapacity> text;  // zero-terminated
    std::size_t length;
};

struct CommandState {
    int id;
    bool enabled;
};

struct WindowModel {
    std::mutex mutex;
    std::array<ControlText, 1> controls{{{statusLogControl, {}, 0}}};
    std::array<CommandState, 2> commands{{{startCommand, true}, {exitCommand, true}}};
    WindowChangeListener listener = nullptr;
    void* listenerContext = nullptr;
};

WindowModel model;

ControlText* findControl(int id) {
    for (ControlText& control : model.controls) {
        if (control.id == id) return &control;
    }
    return nullptr;
}

CommandState* findCommand(int id) {
    for (CommandState& command : model.commands) {
        if (command.id == id) return &command;
    }
    return nullptr;
}

// Called with the mutex held.
void notifyChange(const WindowChange& change) {
    if (model.listener != nullptr) model.listener(change, model.listenerContext);
}

// Called with the mutex held.
void storeText(ControlText& control, std::wstring_view text) {
    control.length = std::min(text.size(), control.text.size() - 1);
    std::copy_n(text.begin(), control.length, control.text.begin());
    control.text[control.length] = L'\0';
    notifyChange({control.id, {control.text.data(), control.length}, true});
}

// Called with the mutex held.
void storeEnabled(CommandState& command, bool enabled) {
    command.enabled = enabled;
    notifyChange({command.id, {}, enabled});
}

}  // namespace

std::size_t getWindowText(int control, std::span<wchar_t> buffer) {
    if (buffer.empty()) return 0;
    const std::lock_guard lock(model.mutex);
    const ControlText* found = findControl(control);
    const std::size_t count = found ? std::min(found->length, buffer.size() - 1) : 0;
    if (found) std::copy_n(found->text.begin(), count, buffer.begin());
    buffer[count] = L'\0';
    return count;
}

void setWindowText(int control, std::wstring_view text) {
    const std::lock_guard lock(model.mutex);
    if (ControlText* found = findControl(control)) storeText(*found, text);
}

void enableCommand(int command, bool enabled) {
    const std::lock_guard lock(model.mutex);
    if (CommandState* found = findCommand(command)) storeEnabled(*found, enabled);
}

bool commandEnabled(int command) {
    const std::lock_guard lock(model.mutex);
    const CommandState* found = findCommand(command);
    return found != nullptr && found->enabled;
}

void setWindowChangeListener(WindowChangeListener listener, void* context) {
    const std::lock_guard lock(model.mutex);
    model.listener = listener;
    model.listenerContext = context;
}

void resetWindowModel() {
    const std::lock_guard lock(model.mutex);
    for (ControlText& control : model.controls) storeText(control, {});
    for (CommandState& command : model.commands) storeEnabled(command, true);
}
