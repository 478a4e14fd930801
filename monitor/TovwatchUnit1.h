// The monitor's main window: the charts, the counters, the thread-count track
// bar, the buttons that show and hide the crawler's window, the main menu and
// the tray icon with its pop-up menu. The link side lives in TMonitorLink;
// this class wires the controls to it and does the window work that the link
// thread posts over.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

#include "monitor/LineChart.h"
#include "monitor/MonitorLink.h"
#include "monitor/Supervision.h"

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QTimer;

namespace tov {

TOV_DECLARE_EXCEPTION(EMonitorStartError, Exception);

class TTovwatchMainForm : public QMainWindow {
 public:
  // The messages the window posts to itself (as events of type QEvent::User
  // plus the value).
  static constexpr int WM_STATUSTEXT = 0x0402;
  static constexpr int WM_CLIENTSCHANGED = 0x0403;
  static constexpr int WM_UNKNOWNKIND = 0x0405;

  // Builds the controls; nothing runs until FormCreate.
  TTovwatchMainForm();
  ~TTovwatchMainForm() override;

  // Reads the settings, starts the link monitor and the crawler. Raises
  // EMonitorStartError with a text for the user when the settings cannot be
  // read or the link monitor cannot be started; nothing after that step runs.
  void FormCreate();
  // Removes the tray icon and frees the link monitor (also run on destruction).
  void FormDestroy();

  void CreateMonitor();
  void FreeMonitor();
  void StartCrawler();
  void SendExit();
  void SendClientFlags();
  TMonitorLink& Link() { return link_; }
  // The tick's state, which the window draws.
  const TSupervision& Supervision() const { return supervision_; }

  // Whether the desktop has a notification area for the tray icon.
  bool TrayAvailable() const { return tray_available_; }

  // The windows that the Tools and Help items open; empty until those
  // windows exist.
  std::function<void()> ShowOptionsDialog;  // modal
  std::function<void()> ShowMemInfo;        // not modal
  std::function<void()> ShowAbout;          // modal

  // Handlers.
  void TrackBar1Change();
  void ShowUrldownloadeClick();
  void HideUrldownloadeClick();
  void miExitClick();
  void miOptionsClick();
  void miAboutClick();
  void miMemInfoClick();
  void mi3dGraphsClick();
  void Hide1Click();
  void Exit2Click();
  void Open1Click();
  void ClientMenuClick(QAction* item);
  // The once-a-second supervision tick and what only it uses.
  void Timer1Timer();
  void DrawBandwidthChart();
  void DrawUrlChart();
  void CheckIdleMode(int32_t idle);
  void WMStatusText();
  void WMClientsChanged();
  void WMTrayIcon(QSystemTrayIcon::ActivationReason reason);

  // Controls.
  QGroupBox* GroupBox3;
  TLineChart* Chart1;
  QLabel* Label1;
  QLabel* trafficIn;
  QLabel* Label2;
  QLabel* trafficOut;
  QGroupBox* GroupBox2;
  TLineChart* Chart2;
  QLabel* Label4;
  QLabel* LableAverageDownloaded;
  QGroupBox* GroupBox1;
  QSlider* TrackBar1;
  QLabel* DesiredNrOfCrawlers;
  QLabel* Label5;
  QLabel* LableNrOfCrawlers;
  QGroupBox* GroupBox4;
  QLabel* Label6;
  QLabel* URLsOk;
  QLabel* Label9;
  QLabel* URLsInError;
  QLabel* Label10;
  QLabel* Robotstxt;
  QLabel* Label12;
  QLabel* IdleTime;
  QLabel* LabelMistHartBips;
  QPushButton* ShowUrldownloade;
  QPushButton* HideUrldownloade;
  QLabel* StatusBar;  // the status bar's one text
  QTimer* Timer1;

  QMenu* miFile;
  QAction* miExit;
  QMenu* miTools;
  QAction* miOptions;
  QAction* mi3dGraphs;
  QAction* miMemInfo;
  QMenu* miClients;
  QMenu* miHelp;
  QAction* miAbout;

  QMenu* PopupMenu1;
  QAction* Hide1;
  QAction* Exit2;
  QAction* Open1;
  QSystemTrayIcon* TrayIcon;

 protected:
  bool event(QEvent* e) override;
  void changeEvent(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

  bool tray_available_ = false;

 private:
  void BuildControls();
  void BuildMenus();
  void Post(int message);
  void ShowFromTray();
  // Reads the interface counters; a tick's reading also shows them.
  void SampleInterfaces(bool init);
  // The restart's second half, once the old crawlers are gone: a new link
  // monitor and a new crawler.
  void RestartCrawler();

  TMonitorLink link_;
  TSupervision supervision_;
  TRestartActions restart_;
  bool unknown_kind_shown_ = false;
  bool destroyed_ = false;
};

// The one main window, from its construction to its destruction.
extern TTovwatchMainForm* TovwatchMainForm;

}  // namespace tov
