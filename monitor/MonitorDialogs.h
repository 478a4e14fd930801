// The monitor's windows besides the main one: the about box, the Options
// dialog, the memory-information window and the Create User dialog, made in
// that order and hooked to the main window's menu items.
#pragma once

#include <memory>

namespace tov {

class TCreateUser;
class TFormMain;
class TFormMemInfo;
class TFormOptions;
class TTovwatchMainForm;

class TMonitorDialogs {
 public:
  // After the main window's FormCreate: the Options dialog loads Config.
  explicit TMonitorDialogs(TTovwatchMainForm& main);
  // Unhooks the menu items, then frees the windows.
  ~TMonitorDialogs();
  TMonitorDialogs(const TMonitorDialogs&) = delete;
  TMonitorDialogs& operator=(const TMonitorDialogs&) = delete;

 private:
  TTovwatchMainForm& main_;
  std::unique_ptr<TFormMain> about_;
  std::unique_ptr<TFormOptions> options_;
  std::unique_ptr<TFormMemInfo> mem_info_;
  std::unique_ptr<TCreateUser> create_user_;
};

}  // namespace tov
