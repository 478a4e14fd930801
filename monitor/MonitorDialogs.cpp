#include "monitor/MonitorDialogs.h"

#include "monitor/AboutBoxSrc.h"
#include "monitor/CreateUserSrc.h"
#include "monitor/Options.h"
#include "monitor/TovwatchUnit1.h"
#include "monitor/meminfoSrc.h"

namespace tov {

TMonitorDialogs::TMonitorDialogs(TTovwatchMainForm& main)
    : main_(main),
      about_(std::make_unique<TFormMain>()),
      options_(std::make_unique<TFormOptions>()),
      mem_info_(std::make_unique<TFormMemInfo>()),
      create_user_(std::make_unique<TCreateUser>()) {
  main_.ShowOptionsDialog = [this] { options_->exec(); };
  main_.ShowMemInfo = [this] {
    mem_info_->show();
    mem_info_->raise();
    mem_info_->activateWindow();
  };
  main_.ShowAbout = [this] { about_->exec(); };
}

TMonitorDialogs::~TMonitorDialogs() {
  main_.ShowOptionsDialog = nullptr;
  main_.ShowMemInfo = nullptr;
  main_.ShowAbout = nullptr;
}

}  // namespace tov
