// A model of the main window's controls: the text of each control and the
// enabled state of each menu bar command. The report cycle thread and the
// window thread both use it; a mutex serialises every call, as the window
// system does on a handheld. A front end draws what the model holds and is
// told of every change through a listener.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

constexpr int statusLogControl = 105;
constexpr int startCommand = 101;
constexpr int exitCommand = 102;
constexpr std::size_t controlTextCapacity = 512;  // characters a control holds, terminator included

struct WindowChange {
    int id;                  // the control or command that changed
    std::wstring_view text;  // a control's new text (empty for a command)
    bool enabled;            // a command's new state (true for a control)
};

// Called after every change, on the thread that made it, while the model is
// still locked: it must be short and must not call back into the model (nor
// into the status log, which holds its own lock around its calls). The text
// of change is valid only during the call.
using WindowChangeListener = void (*)(const WindowChange& change, void* context);

// Copies the control's text into buffer, at most buffer.size() - 1 characters
// and a terminator; returns the number of characters copied (0 for a control
// the window does not have, and nothing is written into an empty buffer).
std::size_t getWindowText(int control, std::span<wchar_t> buffer);

// Replaces the control's text; text longer than the control holds (511
// characters) is cut. A control the window does not have is ignored.
void setWindowText(int control, std::wstring_view text);

// Enables or disables a menu bar command.
void enableCommand(int command, bool enabled);
bool commandEnabled(int command);

// Installs the single listener (null removes it).
void setWindowChangeListener(WindowChangeListener listener, void* context);

// Empties every control and enables every command, telling the listener of
// each; for tests and start-up.
void resetWindowModel();
