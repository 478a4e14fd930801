// Message boxes as the engine and the windows ask for them, without a window
// toolkit in the interface. The programs install a handler that shows a real
// box on the window thread; without one (tests, tools, no display) the text
// goes to standard error and the box is answered at once with its first
// button, so nothing headless can hang on a dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tov {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Buttons as a bit set; the answer is the one button pressed.
enum TMsgDlgBtn : uint32_t {
  mbYes = 1u << 0,
  mbNo = 1u << 1,
  mbOK = 1u << 2,
  mbCancel = 1u << 3,
  mbAbort = 1u << 4,
  mbRetry = 1u << 5,
  mbIgnore = 1u << 6,
};
using TMsgDlgButtons = uint32_t;

struct TMessageBoxRequest {
  std::string Text;
  std::string Caption;  // empty: the application title
  TMsgDlgType Type = TMsgDlgType::mtInformation;
  TMsgDlgButtons Buttons = mbOK;
};

using TMessageBoxHandler = std::function<TMsgDlgBtn(const TMessageBoxRequest&)>;

// Shows the box and waits for the answer; safe from any thread.
TMsgDlgBtn ShowMessageBox(const TMessageBoxRequest& request);
// nullptr restores the standard-error fallback.
void SetMessageBoxHandler(TMessageBoxHandler handler);
// What the fallback answers: the first button of the set, in the order above.
TMsgDlgBtn FirstButton(TMsgDlgButtons buttons);
// The fallback itself: writes "<caption>: <text>" to standard error.
TMsgDlgBtn MessageBoxToStderr(const TMessageBoxRequest& request);

}  // namespace tov
