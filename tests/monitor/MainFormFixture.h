// The main window's test fixtures, shared by the programs that test it.
//
// MainFormTest: the window on Qt's offscreen platform in a link folder of its
// own, with settings written, the crawler's start counted instead of made and
// message boxes noted instead of shown; the link test program plays the
// crawlers. TickTest adds the supervision tick, with fake interface counters,
// a fake idle source and a fake kill; its tests tick by themselves.
#pragma once

#include <errno.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/MessageKinds.h"
#include "monitor/InterfaceStats.h"
#include "monitor/Supervision.h"
#include "monitor/TovwatchUnit1.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"

namespace tov::test {

inline std::string Text(const QLabel* label) { return label->text().toStdString(); }

class MainFormTest : public ::testing::Test {
 protected:
  MainFormTest() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (auto* counter : {&UrlsOkCount, &UrlsInErrorCount, &RobotsTxtCount, &MissedHeartbeats, &ReportedCrawlers}) {
      *counter = 0;
    }
    Exiting = false;
    app_ = std::make_unique<TApplication>(argc_, argv_);
    SetMessageBoxHandler([this](const TMessageBoxRequest& r) {
      boxes_.push_back(r);
      return mbOK;
    });
    SetCrawlerLauncher([this] {
      ++launches_;
      return TCrawlerStart{launch_result_, "Tovfetch", launch_result_ < 0 ? ENOENT : 0};
    });
    ConfigData config;
    config.MaxCrawlers = 12;
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(config);
    WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
  }
  ~MainFormTest() override {
    form_.reset();
    SetCrawlerLauncher(nullptr);
    app_.reset();
  }

  TTovwatchMainForm& Start() {
    form_ = std::make_unique<TTovwatchMainForm>();
    form_->FormCreate();
    return *form_;
  }
  // Runs the window thread's events until pred holds; false after 10 s.
  static bool Pump(const std::function<bool()>& pred) {
    return WaitUntil(
        [&] {
          QCoreApplication::processEvents();
          return pred();
        },
        10000);
  }
  // A crawler the monitor has attached, with the status bar showing it.
  std::unique_ptr<LinkPeer> AttachedCrawler(int id, const std::string& name = "Tovfetch") {
    auto peer = std::make_unique<LinkPeer>(std::vector<std::string>{"client", std::to_string(id), name});
    EXPECT_EQ(peer->WaitLine("ready"), "ready");
    EXPECT_TRUE(peer->WaitCount("connect 1", 1));
    // On attach the crawler gets the flag word.
    EXPECT_EQ(peer->WaitLine("signal"), SignalLine(KindNone, 0x230E));
    EXPECT_TRUE(Pump([&] { return Text(form_->StatusBar) == name; }));
    return peer;
  }
  static std::vector<std::string> LogLines() { return ReadLines("ErrorLog.txt"); }
  static bool Logged(const std::string& tail) {
    for (const std::string& line : LogLines()) {
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) return true;
    }
    return false;
  }

  PrivateLinkDir dir_;
  int argc_ = 1;
  char* argv_[2] = {program_invocation_name, nullptr};
  std::unique_ptr<TApplication> app_;
  std::unique_ptr<TTovwatchMainForm> form_;
  std::vector<TMessageBoxRequest> boxes_;
  int launches_ = 0;
  int32_t launch_result_ = 4242;
};

class TickTest : public MainFormTest {
 protected:
  TickTest() {
    SetCrawlerKiller([this](const std::string& name) {
      kills_.push_back(name);
      monitor_when_killed_ = form_ && form_->Link().IPCMonitor() != nullptr;
      return ended_;
    });
    SetIdleSource([this] { return idle_ms_; });
    SetInterfaceTableSource([this](TMIBIfArray& table) {
      ++ticks_;
      table = {{"eth0", in_octets_, out_octets_}, {"lo", 0, 0}};
    });
    config_.MaxCrawlers = 20;
    config_.IdleTimeToChange = 300;
    config_.CrawlWhenIdle = 10;
    config_.CrawlWhenUse = 2;
  }
  ~TickTest() override {
    form_.reset();
    SetCrawlerKiller(nullptr);
    SetIdleSource(nullptr);
    SetInterfaceTableSource(nullptr);
  }

  TTovwatchMainForm& Start() {
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(config_);
    WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
    MainFormTest::Start();
    form_->Timer1->stop();  // the test ticks by itself
    return *form_;
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) form_->Timer1Timer();
  }
  static std::vector<double> Values(const TLineChart* chart) {
    std::vector<double> values;
    for (const TLineChart::TPoint& p : chart->Points()) values.push_back(p.Value);
    return values;
  }
  // From now on the first message stays open as a modal one does: it runs the
  // window's events, and so the ticks, until `ticks` more ticks have passed
  // (or 60 s, when the ticks stop). Messages opened meanwhile are answered at
  // once, so that a fault shows as a count rather than as ever deeper loops.
  void HoldTheFirstMessageOpenFor(int ticks) {
    SetMessageBoxHandler([this, ticks](const TMessageBoxRequest& r) {
      boxes_.push_back(r);
      most_open_ = std::max(most_open_, ++open_);
      if (open_ == 1 && boxes_.size() == 1) {
        const int until = ticks_ + ticks;
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
          if (ticks_ >= until) loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_GE(ticks_, until);
        launches_while_open_ = launches_;
        kills_while_open_ = kills_.size();
      }
      --open_;
      return mbOK;
    });
  }

  ConfigData config_;
  std::vector<std::string> kills_;
  std::vector<int32_t> ended_;  // the crawlers the kill reports ended
  bool monitor_when_killed_ = false;
  uint64_t idle_ms_ = 0;
  uint32_t in_octets_ = 0;
  uint32_t out_octets_ = 0;
  int ticks_ = 0;  // interface readings: one a tick
  int open_ = 0;   // messages standing open
  int most_open_ = 0;
  int launches_while_open_ = 0;
  size_t kills_while_open_ = 0;
};

}  // namespace tov::test
