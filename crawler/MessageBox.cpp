#include "crawler/MessageBox.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace tov {

namespace {

std::mutex g_proc_lock;
// Shared, so a box being shown keeps its function alive while another thread
// installs a new one.
std::shared_ptr<const TMessageBoxProc> g_proc;

TMessageBoxAnswer WriteToStandardError(const std::string& text, const std::string& title) {
  std::string line = title + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return TMessageBoxAnswer::None;
}

}  // namespace

void SetMessageBoxProc(TMessageBoxProc proc) {
  auto next = proc ? std::make_shared<const TMessageBoxProc>(std::move(proc)) : nullptr;
  std::lock_guard<std::mutex> lock(g_proc_lock);
  g_proc = std::move(next);
}

TMessageBoxAnswer ShowErrorMessageBox(const std::string& text, const std::string& title) {
  std::shared_ptr<const TMessageBoxProc> proc;
  {
    std::lock_guard<std::mutex> lock(g_proc_lock);
    proc = g_proc;
  }
  return proc ? (*proc)(text, title) : WriteToStandardError(text, title);
}

}  // namespace tov
