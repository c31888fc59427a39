// The main window on Windows: dialog template 117 (app/wayloom.rc) run as a
// modeless dialog with the program's own message loop, so that F1, F2 and Esc
// reach the window whichever control has the focus.
//
// The client area is laid out like the terminal window: "Exit" at the bottom
// left and "Start" at the bottom right, and above them the status log and the
// about box where the template puts them, scaled to the area. The window
// model's listener runs on whatever thread changed the model and only posts a
// message; this thread then reads the model and updates the controls.
//
// Divisions: state; layout; the model's changes; the dialog procedure; keys;
// the message loop.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "app/frontend.hpp"
#include "app/mainwindow.hpp"
#include "platform/process.hpp"
#include "status/statuslog.hpp"
#include "status/strings.hpp"
#include "status/window.hpp"

constexpr int dialogTemplate = 117;
constexpr int aboutTextControl = 106;
constexpr int aboutFrameControl = 107;
constexpr UINT modelChangedMessage = WM_APP + 1;
constexpr int buttonWidthUnits = 50;
constexpr int buttonHeightUnits = 14;
constexpr int marginUnits = 2;

// ---- State

struct DialogFrontEnd {
    HWND window;                     // null until the dialog exists; the window thread's own
    std::atomic<HWND> changeTarget;  // where other threads post the model's changes, once it exists
    std::array<wchar_t, controlTextCapacity> logText;
    std::array<wchar_t, 128> aboutText;
};

static DialogFrontEnd dialog;

// ---- Layout

static RECT dialogUnits(int width, int height) {
    RECT rect{0, 0, width, height};
    MapDialogRect(dialog.window, &rect);
    return rect;
}

static void place(int control, int x, int y, int width, int height) {
    SetWindowPos(GetDlgItem(dialog.window, control), nullptr, x, y, std::max(width, 0), std::max(height, 0),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

static void placeScaled(int control, DialogRect rect, int width, int height) {
    const CellRect scaled = scaleDialogRect(rect, width, height);
    place(control, scaled.column, scaled.row, scaled.columns, scaled.rows);
}

static void layoutWindow() {
    RECT client{};
    GetClientRect(dialog.window, &client);
    const int width = static_cast<int>(client.right);
    const RECT buttonRect = dialogUnits(buttonWidthUnits, buttonHeightUnits);
    const RECT marginRect = dialogUnits(marginUnits, marginUnits);
    const int buttonWidth = static_cast<int>(buttonRect.right);
    const int buttonHeight = static_cast<int>(buttonRect.bottom);
    const int margin = static_cast<int>(marginRect.bottom);
    const int buttonTop = static_cast<int>(client.bottom) - buttonHeight - margin;
    place(exitCommand, margin, buttonTop, buttonWidth, buttonHeight);
    place(startCommand, width - margin - buttonWidth, buttonTop, buttonWidth, buttonHeight);
    // The template's rectangles end above its buttons' row at any size.
    const int height = static_cast<int>(client.bottom);
    placeScaled(statusLogControl, statusLogRect, width, height);
    placeScaled(aboutFrameControl, aboutFrameRect, width, height);
    placeScaled(aboutTextControl, aboutTextRect, width, height);
    InvalidateRect(dialog.window, nullptr, TRUE);
}

// ---- The model's changes

static void postModelChange(const WindowChange&, void*) {
    if (HWND target = dialog.changeTarget.load(); target != nullptr) {
        PostMessageW(target, modelChangedMessage, 0, 0);
    }
}

static void showModel() {
    getWindowText(statusLogControl, dialog.logText);
    SetDlgItemTextW(dialog.window, statusLogControl, dialog.logText.data());
    EnableWindow(GetDlgItem(dialog.window, startCommand), commandEnabled(startCommand) ? TRUE : FALSE);
}

static void setLabels() {
    std::array<wchar_t, messageTextCapacity> label{};
    loadString(messageExit, label);
    SetDlgItemTextW(dialog.window, exitCommand, label.data());
    loadString(messageStart, label);
    SetDlgItemTextW(dialog.window, startCommand, label.data());
    // The about lines, CR LF between them, and the caption, each zero-terminated.
    std::size_t length = 0;
    const auto append = [&](std::wstring_view text) {
        const std::size_t count = std::min(text.size(), dialog.aboutText.size() - 1 - length);
        std::copy_n(text.begin(), count, dialog.aboutText.begin() + static_cast<std::ptrdiff_t>(length));
        length += count;
        dialog.aboutText[length] = L'\0';
    };
    for (std::size_t i = 0; i < aboutLines.size(); ++i) {
        if (i > 0) append(L"\r\n");
        append(aboutLines[i]);
    }
    SetDlgItemTextW(dialog.window, aboutTextControl, dialog.aboutText.data());
    length = 0;
    append(mainWindow.caption);
    SetWindowTextW(dialog.window, dialog.aboutText.data());
}

// ---- The dialog procedure

static void endIfEnded() {
    if (!mainWindow.ended) return;
    DestroyWindow(dialog.window);
    // The report cycle and reader threads are abandoned, as closing the
    // window on the handheld does.
    endProcess(mainWindow.result);
}

static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
    dialog.window = window;
    switch (message) {
        case WM_INITDIALOG:
            setLabels();
            layoutWindow();
            showModel();
            return TRUE;
        case WM_SIZE:
            layoutWindow();
            return TRUE;
        case WM_COMMAND:
            // The status log takes the focus for its sideways scrolling, but
            // being read-only it shows no text caret (the edit control makes
            // one with every focus).
            if (HIWORD(wParam) == EN_SETFOCUS && LOWORD(wParam) == statusLogControl) {
                DestroyCaret();
                return TRUE;
            }
            // The Enter key's IDOK and Esc's IDCANCEL are not handled: they change nothing.
            if (HIWORD(wParam) == BN_CLICKED && onCommand(LOWORD(wParam))) {
                endIfEnded();
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            onClose();
            endIfEnded();
            return TRUE;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) {
                onActivate();
                SetFocus(GetDlgItem(window, statusLogControl));
            }
            return TRUE;
        case modelChangedMessage:
            showModel();
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- Keys

// F1 and F2 are the soft keys and Esc the Back key, whichever control has the
// focus; true when the key was taken.
static bool takeKey(const MSG& message) {
    if (message.message != WM_KEYDOWN && message.message != WM_SYSKEYDOWN) return false;
    if (message.hwnd != dialog.window && !IsChild(dialog.window, message.hwnd)) return false;
    switch (message.wParam) {
        case VK_F1:
            onKey(WindowKey::leftSoftKey, 0, 0);
            break;
        case VK_F2:
            onKey(WindowKey::rightSoftKey, 0, 0);
            break;
        case VK_ESCAPE:
            onKey(WindowKey::back, 0, 0);
            break;
        default:
            return false;
    }
    endIfEnded();
    return true;
}

// ---- The message loop

int runWindowFrontEnd(InstanceLock&) {
    // The controls of common controls 6, which the manifest asks for, in the
    // look of the running Windows.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    setWindowChangeListener(postModelChange, nullptr);
    if (!initMainWindow()) return -1;
    const HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialogTemplate),
                                           nullptr, dialogProcedure, 0);
    if (window == nullptr) return -1;
    dialog.changeTarget.store(window);
    showModel();  // changes made before the window existed
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (takeKey(message)) continue;
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return mainWindow.result;
}
