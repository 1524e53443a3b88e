// The main window's controls as the flash code sees them: addressed by control id,
// callable from any thread, always executed on the user-interface thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace controls {

// One dialog's controls. Every call may come from any thread; it runs on the
// user-interface thread and returns once it has run there (a call made on the
// user-interface thread runs directly). Implementations: the headless dialog
// (vornic-cli, tests) and the Qt window.
class Port {
  public:
    virtual ~Port() = default;

    // Window text of a control (edit box, button caption, static text).
    virtual std::string GetText(int id) = 0;
    virtual void SetText(int id, std::string_view text) = 0;

    // Check boxes: 1 when ticked, 0 otherwise.
    virtual int IsChecked(int id) = 0;
    virtual void SetChecked(int id, bool checked) = 0;

    // Combo boxes: the selected index, -1 for none.
    virtual int GetSelection(int id) = 0;
    virtual void SetSelection(int id, int index) = 0;

    // Puts the caret behind the last character, inserts the text there and
    // leaves the caret behind it again (edit controls).
    virtual void AppendText(int id, std::string_view text) = 0;

    // Moves the caret to the end of an edit control and scrolls it into view.
    virtual void MoveCaretToEnd(int id) = 0;

    // Shows a bitmap resource (by resource number) in a static control.
    virtual void ShowBitmap(int id, int resourceId) = 0;

    // Sends a click to a button: its handler runs to completion on the
    // user-interface thread before this returns.
    virtual void Click(int id) = 0;

    // Runs any function on the user-interface thread and waits for it.
    virtual void Invoke(const std::function<void()>& fn) = 0;

    // True when called on the user-interface thread.
    virtual bool OnUiThread() const = 0;
};

// The process-wide main dialog (the flash code's window handle). Set once by
// the front end before any flash code runs; null until then.
void SetMainDialog(Port* port);
Port* MainDialog();

}  // namespace controls
