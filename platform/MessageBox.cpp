#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace tov {

namespace {
std::mutex g_handler_lock;
TMessageBoxHandler& Handler() {
  static TMessageBoxHandler* handler = new TMessageBoxHandler;
  return *handler;
}
}  // namespace

TMsgDlgBtn FirstButton(TMsgDlgButtons buttons) {
  for (uint32_t bit = 1; bit <= mbIgnore; bit <<= 1) {
    if (buttons & bit) return static_cast<TMsgDlgBtn>(bit);
  }
  return mbOK;
}

TMsgDlgBtn MessageBoxToStderr(const TMessageBoxRequest& request) {
  std::string caption = request.Caption.empty() ? "Message" : request.Caption;
  std::string line = caption + ": " + request.Text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return FirstButton(request.Buttons);
}

TMsgDlgBtn ShowMessageBox(const TMessageBoxRequest& request) {
  TMessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_handler_lock);
    handler = Handler();
  }
  return handler ? handler(request) : MessageBoxToStderr(request);
}

void SetMessageBoxHandler(TMessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(g_handler_lock);
  Handler() = std::move(handler);
}

}  // namespace tov
