#include "monitor/TovwatchUnit1.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "common/Config.h"
#include "common/MessageKinds.h"
#include "common/SharedGlobals.h"
#include "monitor/InterfaceStats.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"

namespace tov {

TTovwatchMainForm* TovwatchMainForm = nullptr;

namespace {

// Texts are Windows-1252 bytes; they become Qt strings only here.
QString Ansi(const std::string& text) { return AnsiToQString(text); }

QEvent::Type MessageType(int message) { return static_cast<QEvent::Type>(QEvent::User + message); }

// Redraws a chart from its samples, oldest first: blue, unlabelled.
void Draw(TLineChart* chart, const std::vector<double>& samples) {
  chart->Clear();
  for (double value : samples) chart->Add(value, "", clBlue);
}

QLabel* MakeLabel(const char* name, const char* caption, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

// The program's icon: a white T on a blue disc.
QIcon ApplicationIcon() {
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x5f, 0xbf));
  painter.drawEllipse(2, 2, 60, 60);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(44);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("T"));
  return QIcon(pixmap);
}

}  // namespace

TTovwatchMainForm::TTovwatchMainForm()
    : link_({[this] { Post(WM_STATUSTEXT); }, [this] { Post(WM_CLIENTSCHANGED); }, [this](int32_t) { Post(WM_UNKNOWNKIND); }}),
      supervision_(MissedHeartbeats) {
  setObjectName(QStringLiteral("TovwatchMainForm"));
  TovwatchMainForm = this;
  setWindowIcon(ApplicationIcon());
  resize(266, 661);
  BuildControls();
  BuildMenus();

  TrayIcon = new QSystemTrayIcon(windowIcon(), this);
  TrayIcon->setToolTip(QString::fromStdString(TApplication::Title()).left(63));
  TrayIcon->setContextMenu(PopupMenu1);  // the platform pops it up at the cursor on a right click
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) { WMTrayIcon(r); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  restart_.EndCrawlers = [] {
    TryWriteErrorLog(kCrawlerNotResponding);
    return KillCrawlerProcesses();
  };
  // Safeguard: old crawler gone first. A killed crawler holds its lock file and the
  // link until its last thread ends, which may be long after its first.
  restart_.Running = &ProcessThreadsLeft;
  restart_.StartCrawler = [this] { RestartCrawler(); };
}

TTovwatchMainForm::~TTovwatchMainForm() {
  link_.DetachWindow();
  FormDestroy();
  if (TovwatchMainForm == this) TovwatchMainForm = nullptr;
}

void TTovwatchMainForm::BuildControls() {
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(6, 6, 6, 6);
  column->setSpacing(6);

  GroupBox3 = new QGroupBox(QStringLiteral("Bandwidth (Kilobytes per second)"), central);
  GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
  {
    auto* box = new QVBoxLayout(GroupBox3);
    Chart1 = new TLineChart(GroupBox3);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    Chart1->SetBackWallColor(Qt::white);
    TLineChart::TView3D look;
    look.Orthogonal = false;
    look.Elevation = 315;
    look.Rotation = 360;
    Chart1->SetView3DLook(look);
    box->addWidget(Chart1, 1);
    auto* row = new QHBoxLayout;
    Label1 = MakeLabel("Label1", "In", GroupBox3);
    trafficIn = MakeLabel("trafficIn", "trafficIn", GroupBox3);
    Label2 = MakeLabel("Label2", "Out", GroupBox3);
    trafficOut = MakeLabel("trafficOut", "trafficOut", GroupBox3);
    row->addWidget(Label1);
    row->addWidget(trafficIn);
    row->addStretch(1);
    row->addWidget(Label2);
    row->addWidget(trafficOut);
    box->addLayout(row);
  }
  column->addWidget(GroupBox3, 1);

  GroupBox2 = new QGroupBox(QStringLiteral("URLs pr second "), central);
  GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
  {
    auto* box = new QVBoxLayout(GroupBox2);
    Chart2 = new TLineChart(GroupBox2);
    Chart2->setObjectName(QStringLiteral("Chart2"));
    Chart2->SetBackWallColor(Qt::transparent);
    box->addWidget(Chart2, 1);
    auto* row = new QHBoxLayout;
    Label4 = MakeLabel("Label4", "AverageDownloaded", GroupBox2);
    LableAverageDownloaded = MakeLabel("LableAverageDownloaded", "-", GroupBox2);
    row->addWidget(Label4);
    row->addStretch(1);
    row->addWidget(LableAverageDownloaded);
    box->addLayout(row);
  }
  column->addWidget(GroupBox2, 1);

  GroupBox1 = new QGroupBox(QStringLiteral("Run Nr of crawlers"), central);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  {
    auto* box = new QVBoxLayout(GroupBox1);
    TrackBar1 = new QSlider(Qt::Horizontal, GroupBox1);
    TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
    TrackBar1->setRange(0, 30);
    TrackBar1->setValue(0);
    TrackBar1->setSingleStep(1);
    TrackBar1->setPageStep(2);
    TrackBar1->setTickInterval(1);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    connect(TrackBar1, &QSlider::valueChanged, this, [this](int) { TrackBar1Change(); });
    box->addWidget(TrackBar1);
    auto* row = new QHBoxLayout;
    DesiredNrOfCrawlers = MakeLabel("DesiredNrOfCrawlers", "0", GroupBox1);
    Label5 = MakeLabel("Label5", "/", GroupBox1);
    LableNrOfCrawlers = MakeLabel("LableNrOfCrawlers", "0", GroupBox1);
    row->addStretch(1);
    row->addWidget(DesiredNrOfCrawlers);
    row->addWidget(Label5);
    row->addWidget(LableNrOfCrawlers);
    row->addStretch(1);
    box->addLayout(row);
  }
  column->addWidget(GroupBox1);

  GroupBox4 = new QGroupBox(QStringLiteral("URL status"), central);
  GroupBox4->setObjectName(QStringLiteral("GroupBox4"));
  {
    auto* grid = new QGridLayout(GroupBox4);
    Label6 = MakeLabel("Label6", "URLs Ok", GroupBox4);
    URLsOk = MakeLabel("URLsOk", "0", GroupBox4);
    Label9 = MakeLabel("Label9", "URLsInError", GroupBox4);
    URLsInError = MakeLabel("URLsInError", "0", GroupBox4);
    Label10 = MakeLabel("Label10", "Robots.txt", GroupBox4);
    Robotstxt = MakeLabel("Robotstxt", "0", GroupBox4);
    Label12 = MakeLabel("Label12", "IdleTime", GroupBox4);
    IdleTime = MakeLabel("IdleTime", "0", GroupBox4);
    LabelMistHartBips = MakeLabel("LabelMistHartBips", "-", GroupBox4);
    QLabel* rows[][2] = {{Label6, URLsOk}, {Label9, URLsInError}, {Label10, Robotstxt}, {Label12, IdleTime}};
    int r = 0;
    for (auto& pair : rows) {
      grid->addWidget(pair[0], r, 0);
      grid->addWidget(pair[1], r, 1, Qt::AlignRight);
      ++r;
    }
    grid->addWidget(LabelMistHartBips, r, 1, Qt::AlignRight);
  }
  column->addWidget(GroupBox4);

  // The two buttons share one place; exactly one of them is visible.
  auto* buttons = new QGridLayout;
  ShowUrldownloade = new QPushButton(QStringLiteral("Show Url downloade"), central);
  ShowUrldownloade->setObjectName(QStringLiteral("ShowUrldownloade"));
  HideUrldownloade = new QPushButton(QStringLiteral("Hide Url downloade"), central);
  HideUrldownloade->setObjectName(QStringLiteral("HideUrldownloade"));
  HideUrldownloade->hide();
  buttons->addWidget(ShowUrldownloade, 0, 0);
  buttons->addWidget(HideUrldownloade, 0, 0);
  connect(ShowUrldownloade, &QPushButton::clicked, this, [this] { ShowUrldownloadeClick(); });
  connect(HideUrldownloade, &QPushButton::clicked, this, [this] { HideUrldownloadeClick(); });
  column->addLayout(buttons);

  setCentralWidget(central);

  StatusBar = new QLabel(this);
  StatusBar->setObjectName(QStringLiteral("StatusBar"));
  statusBar()->addWidget(StatusBar, 1);
}

void TTovwatchMainForm::BuildMenus() {
  auto named = [](auto* object, const char* name) {
    object->setObjectName(QString::fromLatin1(name));
    return object;
  };
  miFile = named(menuBar()->addMenu(QStringLiteral("File")), "miFile");
  miExit = named(miFile->addAction(QStringLiteral("Exit")), "miExit");
  connect(miExit, &QAction::triggered, this, [this] { miExitClick(); });

  miTools = named(menuBar()->addMenu(QStringLiteral("Tools")), "miTools");
  miOptions = named(miTools->addAction(QStringLiteral("Options")), "miOptions");
  connect(miOptions, &QAction::triggered, this, [this] { miOptionsClick(); });
  mi3dGraphs = named(miTools->addAction(QStringLiteral("3d Graphs")), "mi3dGraphs");
  // A radio item of its own group that a click may also unmark.
  auto* graphs = new QActionGroup(this);
  graphs->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  mi3dGraphs->setCheckable(true);
  mi3dGraphs->setActionGroup(graphs);
  connect(mi3dGraphs, &QAction::triggered, this, [this] {
    // The click has toggled the mark already; mi3dGraphsClick does that itself.
    mi3dGraphs->setChecked(!mi3dGraphs->isChecked());
    mi3dGraphsClick();
  });
  miMemInfo = named(miTools->addAction(QStringLiteral("Mem info")), "miMemInfo");
  connect(miMemInfo, &QAction::triggered, this, [this] { miMemInfoClick(); });

  miClients = named(menuBar()->addMenu(QStringLiteral("Crawlers")), "miClients");
  named(miClients->addAction(QStringLiteral("PlaceHolder1")), "PlaceHolder1");
  named(miClients->addAction(QStringLiteral("PlaceHolder2")), "PlaceHolder2");

  miHelp = named(menuBar()->addMenu(QStringLiteral("Help")), "miHelp");
  miAbout = named(miHelp->addAction(QStringLiteral("About")), "miAbout");
  connect(miAbout, &QAction::triggered, this, [this] { miAboutClick(); });

  PopupMenu1 = named(new QMenu(this), "PopupMenu1");
  Hide1 = named(PopupMenu1->addAction(QStringLiteral("Hide")), "Hide1");
  Exit2 = named(PopupMenu1->addAction(QStringLiteral("Show")), "Exit2");
  Open1 = named(PopupMenu1->addAction(QStringLiteral("Exit")), "Open1");
  connect(Hide1, &QAction::triggered, this, [this] { Hide1Click(); });
  connect(Exit2, &QAction::triggered, this, [this] { Exit2Click(); });
  connect(Open1, &QAction::triggered, this, [this] { Open1Click(); });
}

void TTovwatchMainForm::FormCreate() {
  try {
    ReadConfig();
  } catch (...) {
    throw EMonitorStartError("Tovwatch can't start: " + ConfigReadFailure() + ".");
  }
  setWindowTitle(Ansi(Format("%s (v %s)", {TApplication::Title(), AppVersionText})));
  MissedHeartbeats = 0;
  // A negative maximum would drag the position below 0 with it.
  TrackBar1->setMaximum(std::max(Config.MaxCrawlers, 0));
  ReportedCrawlers = 0;
  try {
    CreateMonitor();
  } catch (const EMonitorActive&) {
    throw EMonitorStartError("Tovwatch can't start: another monitor is already running.");
  } catch (...) {
    throw EMonitorStartError("Tovwatch can't start: the link to the crawler can't be made (" +
                             CurrentExceptionMessage() + ").");
  }
  UrlsOkCount = 0;
  UrlsInErrorCount = 0;
  Exiting = false;
  SampleInterfaces(true);
  WinMajorVersion = OsMajorVersion();
  supervision_.Reset();
  tray_available_ = QSystemTrayIcon::isSystemTrayAvailable();
  if (tray_available_) TrayIcon->show();
  StartCrawler();
  TryWriteErrorLog("Tovwatch Startet");
  // The tick needs all of the above, so it runs only once start-up is through.
  Timer1->start();
}

void TTovwatchMainForm::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  Timer1->stop();
  TrayIcon->hide();
  FreeMonitor();
}

void TTovwatchMainForm::CreateMonitor() { link_.CreateMonitor(); }

void TTovwatchMainForm::FreeMonitor() { link_.FreeMonitor(); }

void TTovwatchMainForm::StartCrawler() { link_.StartCrawler(); }

void TTovwatchMainForm::SendExit() { link_.SendExit(TrackBar1->value()); }

void TTovwatchMainForm::SendClientFlags() { link_.SendClientFlags(); }

void TTovwatchMainForm::Post(int message) { QCoreApplication::postEvent(this, new QEvent(MessageType(message))); }

bool TTovwatchMainForm::event(QEvent* e) {
  if (e->type() == MessageType(WM_STATUSTEXT)) {
    WMStatusText();
    return true;
  }
  if (e->type() == MessageType(WM_CLIENTSCHANGED)) {
    WMClientsChanged();
    return true;
  }
  if (e->type() == MessageType(WM_UNKNOWNKIND)) {
    // One box at a time: a crawler that keeps sending unknown kinds must not
    // stack up modal boxes.
    if (!unknown_kind_shown_) {
      unknown_kind_shown_ = true;
      ShowMessageBox({"ukjent flag", "", TMsgDlgType::mtCustom, mbOK});
      unknown_kind_shown_ = false;
    }
    return true;
  }
  return QMainWindow::event(e);
}

void TTovwatchMainForm::WMStatusText() { StatusBar->setText(Ansi(link_.StatusText())); }

void TTovwatchMainForm::WMClientsChanged() {
  miClients->clear();
  // Safeguard: crawler radio items.
  // The client items are radio items of one group, which lives as long as
  // the menu; none of them is ever marked.
  auto* group = miClients->findChild<QActionGroup*>(QStringLiteral("ClientItems"), Qt::FindDirectChildrenOnly);
  if (group == nullptr) {
    group = new QActionGroup(miClients);
    group->setObjectName(QStringLiteral("ClientItems"));
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  }
  for (const TClientMenuItem& item : link_.ClientMenu()) {
    QAction* action = miClients->addAction(Ansi(item.Caption));
    action->setEnabled(item.Enabled);
    if (!item.Enabled) continue;
    action->setData(item.Tag);
    action->setCheckable(true);
    action->setActionGroup(group);
    connect(action, &QAction::triggered, this, [this, action] {
      action->setChecked(false);  // the click marked it
      ClientMenuClick(action);
    });
  }
}

void TTovwatchMainForm::ClientMenuClick(QAction* item) { link_.ClientMenuClick(item->data().toInt()); }

void TTovwatchMainForm::TrackBar1Change() {
  std::string position = IntToStr(TrackBar1->value());
  DesiredNrOfCrawlers->setText(Ansi(position));
  link_.Send(KindSetCrawlers, position);
}

void TTovwatchMainForm::ShowUrldownloadeClick() {
  link_.Send(KindShowForm);
  ShowUrldownloade->hide();
  HideUrldownloade->show();
}

void TTovwatchMainForm::HideUrldownloadeClick() {
  link_.Send(KindHideForm);
  ShowUrldownloade->show();
  HideUrldownloade->hide();
}

void TTovwatchMainForm::miExitClick() {
  Exiting = true;
  SendExit();
  // Closing the main window ends the message loop and the program; the
  // monitor does not wait for the crawler.
  hide();
  QCoreApplication::quit();
}

void TTovwatchMainForm::miOptionsClick() {
  if (ShowOptionsDialog) ShowOptionsDialog();
  link_.Send(KindSetUserInfo);
  ShowUrldownloade->show();
  HideUrldownloade->hide();
}

void TTovwatchMainForm::miAboutClick() {
  if (ShowAbout) ShowAbout();
}

void TTovwatchMainForm::miMemInfoClick() {
  if (ShowMemInfo) ShowMemInfo();
}

void TTovwatchMainForm::mi3dGraphsClick() {
  bool three_d = !mi3dGraphs->isChecked();
  mi3dGraphs->setChecked(three_d);
  Chart1->SetView3D(three_d);
  Chart2->SetView3D(three_d);
}

void TTovwatchMainForm::Hide1Click() { hide(); }

void TTovwatchMainForm::Exit2Click() { ShowFromTray(); }

void TTovwatchMainForm::Open1Click() { miExitClick(); }

void TTovwatchMainForm::SampleInterfaces(bool init) {
  std::optional<TTrafficTexts> texts = tov::SampleInterfaces(init);
  if (!texts) return;
  trafficIn->setText(Ansi(texts->In));
  trafficOut->setText(Ansi(texts->Out));
}

void TTovwatchMainForm::Timer1Timer() {
  // The next tick comes one interval after the counters were read.
  Timer1->stop();
  SampleInterfaces(false);
  Timer1->start();

  supervision_.TakeSamples(BandwidthSample, {UrlsOkCount, UrlsInErrorCount, RobotsTxtCount});
  DrawBandwidthChart();
  DrawUrlChart();
  LableAverageDownloaded->setText(Ansi(supervision_.AverageUrlRateText()));

  const TUrlCounters& counters = supervision_.Counters();
  URLsOk->setText(Ansi(IntToStr(counters.UrlsOk)));
  URLsInError->setText(Ansi(IntToStr(counters.UrlsInError)));
  Robotstxt->setText(Ansi(IntToStr(counters.RobotsTxt)));

  const uint16_t idle = IdleSeconds();
  IdleTime->setText(Ansi(IntToStr(idle)));
  CheckIdleMode(idle);

  LabelMistHartBips->setText(Ansi(IntToStr(supervision_.MissedHeartbeats())));
  supervision_.WatchHeartbeat(restart_);

  LableNrOfCrawlers->setText(Ansi(IntToStr(ReportedCrawlers)));
  // Sent again every tick until a heartbeat reports the wanted count.
  if (TrackBar1->value() != ReportedCrawlers) link_.Send(KindSetCrawlers, IntToStr(TrackBar1->value()));
}

void TTovwatchMainForm::RestartCrawler() {
  // The old link monitor goes only once the crawlers are gone, so the link's
  // shared objects can start afresh for the new one.
  FreeMonitor();
  try {
    CreateMonitor();
  } catch (...) {
    // The next restart tries again; until then nothing reaches a crawler.
    TryWriteErrorLog("The link monitor could not be made again: " + CurrentExceptionMessage());
  }
  StartCrawler();
}

void TTovwatchMainForm::DrawBandwidthChart() { Draw(Chart1, supervision_.BandwidthPoints()); }

void TTovwatchMainForm::DrawUrlChart() { Draw(Chart2, supervision_.UrlRatePoints()); }

void TTovwatchMainForm::CheckIdleMode(int32_t idle) {
  // Setting the position runs TrackBar1Change when it changes, which sends it.
  if (std::optional<int32_t> position = supervision_.CheckIdleMode(idle, TrackBar1->value(), Config)) {
    TrackBar1->setValue(*position);
  }
}

void TTovwatchMainForm::ShowFromTray() {
  showNormal();
  raise();
  activateWindow();
}

void TTovwatchMainForm::WMTrayIcon(QSystemTrayIcon::ActivationReason reason) {
  // A right click (Context) opens PopupMenu1, which the platform does itself.
  if (reason != QSystemTrayIcon::Trigger) return;
  if (isVisible()) {
    hide();
  } else {
    ShowFromTray();
  }
}

void TTovwatchMainForm::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  if (e->type() != QEvent::WindowStateChange || !isMinimized()) return;
  // Hidden only where the tray icon can bring it back.
  if (Config.MinimizeToStatusBar && tray_available_) {
    QMetaObject::invokeMethod(this, [this] { hide(); }, Qt::QueuedConnection);
  }
}

void TTovwatchMainForm::closeEvent(QCloseEvent* e) {
  // The close box and Alt+F4 exit the program.
  if (!Exiting) miExitClick();
  e->accept();
}

}  // namespace tov
