// The engine's one message box: an error box (stop icon, buttons Abort and
// Retry) that blocks the calling thread until it is answered. The engine does
// not show it itself: the crawler's window installs a function that does, and
// until one is installed the text goes to standard error and is answered at
// once, so nothing headless can hang on a box.
#pragma once

#include <functional>
#include <string>

namespace tov {

enum class TMessageBoxAnswer { None, Abort, Retry };

// Shows text under title and returns the button pressed. May be called from
// any engine thread; it must not call back into the engine.
using TMessageBoxProc = std::function<TMessageBoxAnswer(const std::string& text, const std::string& title)>;

// Installs how boxes are shown; an empty function restores the default.
void SetMessageBoxProc(TMessageBoxProc proc);

// Shows the error box through the installed function and waits for it.
TMessageBoxAnswer ShowErrorMessageBox(const std::string& text, const std::string& title);

}  // namespace tov
