#include "monitor/Options.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/Config.h"
#include "monitor/AccountRequest.h"
#include "monitor/ConfigWriter.h"
#include "monitor/CreateUserSrc.h"
#include "platform/GuiApplication.h"
#include "platform/Threads.h"

namespace tov {

TFormOptions* FormOptions = nullptr;

namespace {

template <typename T>
T* Named(T* object, const char* name) {
  object->setObjectName(QString::fromLatin1(name));
  return object;
}

QLabel* WrappedLabel(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setWordWrap(true);
  return label;
}

// A number edit with its up-down: 0 to 100, the control's default range.
QSpinBox* UpDown(const char* name, QWidget* parent) {
  auto* box = Named(new QSpinBox(parent), name);
  box->setRange(0, 100);
  return box;
}

// An up-down position takes the low 16 bits of a record value (signed);
// the control then holds it to its range.
void SetPosition(QSpinBox* box, int32_t value) {
  box->setValue(static_cast<int16_t>(static_cast<uint32_t>(value) & 0xFFFFu));
}

std::string Text(const QLineEdit* edit) { return QStringToAnsi(edit->text()); }

std::string FirstChars(std::string text, size_t n) {
  if (text.size() > n) text.resize(n);
  return text;
}

// An exception that leaves a click is the class library's to report.
template <typename Handler>
void Guarded(QObject* sender, Handler handler) {
  try {
    handler();
  } catch (...) {
    HandleApplicationException(sender);
  }
}

}  // namespace

TFormOptions::TFormOptions() {
  setObjectName(QStringLiteral("FormOptions"));
  setWindowTitle(QStringLiteral("Options"));
  resize(349, 450);
  FormOptions = this;

  auto* column = new QVBoxLayout(this);
  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  column->addWidget(PageControl1, 1);
  BuildUserInfo();
  BuildStartup();
  BuildCrawlingMode();
  BuildDedicatedServer();

  auto* buttons = new QHBoxLayout;
  Ok = Named(new QPushButton(QStringLiteral("Ok"), this), "Ok");
  Cancel = Named(new QPushButton(QStringLiteral("Cancel"), this), "Cancel");
  buttons->addStretch(1);
  buttons->addWidget(Ok);
  buttons->addWidget(Cancel);
  column->addLayout(buttons);
  // Wide enough that all four page tabs show, whatever the font.
  resize(std::max(width(), PageControl1->tabBar()->sizeHint().width() + 2 * column->contentsMargins().left() + 8),
         height());
  connect(Ok, &QPushButton::clicked, this, [this] { Guarded(this, [this] { OkClick(); }); });
  connect(Cancel, &QPushButton::clicked, this, [this] { Guarded(this, [this] { CancelClick(); }); });

  FormCreate();
}

TFormOptions::~TFormOptions() {
  if (FormOptions == this) FormOptions = nullptr;
}

void TFormOptions::BuildUserInfo() {
  UserInfo = Named(new QWidget, "UserInfo");
  auto* form = new QFormLayout(UserInfo);
  UserName = Named(new QLineEdit(UserInfo), "UserName");
  UserPassword = Named(new QLineEdit(UserInfo), "UserPassword");
  UserPassword->setEchoMode(QLineEdit::Password);
  UserPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"
  Button1 = Named(new QPushButton(QStringLiteral("Create User"), UserInfo), "Button1");
  EditGroup = Named(new QLineEdit(UserInfo), "EditGroup");
  EditGroup->setMaxLength(20);
  form->addRow(QStringLiteral("UserName"), UserName);
  form->addRow(QStringLiteral("UserPassword"), UserPassword);
  form->addRow(QString(), Button1);
  form->addRow(QStringLiteral("Team"), EditGroup);
  connect(Button1, &QPushButton::clicked, this, [this] { Guarded(this, [this] { Button1Click(); }); });
  PageControl1->addTab(UserInfo, QStringLiteral("UserInfo"));
}

void TFormOptions::BuildStartup() {
  Startup = Named(new QWidget, "Startup");
  auto* column = new QVBoxLayout(Startup);
  StartAtStart = Named(new QCheckBox(QStringLiteral("Start crawling at program start"), Startup), "StartAtStart");
  MinimizeToStatusBar = Named(new QCheckBox(QStringLiteral("Minimize to statusbar"), Startup), "MinimizeToStatusBar");
  column->addWidget(StartAtStart);
  column->addSpacing(8);
  column->addWidget(MinimizeToStatusBar);
  column->addWidget(WrappedLabel("When minimized, do not show on the taskbar, only at the statusbar (the bar with "
                                 "small icon left of the clock).",
                                 Startup));
  column->addSpacing(8);
  auto* row = new QHBoxLayout;
  UpDownCrawlerrestarttime = UpDown("UpDownCrawlerrestarttime", Startup);
  row->addWidget(new QLabel(QStringLiteral("Crawler restart time"), Startup));
  row->addWidget(UpDownCrawlerrestarttime);
  row->addStretch(1);
  column->addLayout(row);
  column->addStretch(1);
  PageControl1->addTab(Startup, QStringLiteral("Startup"));
}

void TFormOptions::BuildCrawlingMode() {
  CrawlingMode = Named(new QWidget, "CrawlingMode");
  auto* column = new QVBoxLayout(CrawlingMode);
  column->addWidget(WrappedLabel("To crawl efficient a crawler should try to download more then one webpage at ones. "
                                 "The more webpages one trys to download simultaneous, the more bandwidth and "
                                 "processor power the application will use.",
                                 CrawlingMode));
  column->addWidget(WrappedLabel("To prevent the use of processor power to slow down your computer when you are "
                                 "using it, the crawler can run few or none download when the computer is in use, "
                                 "and then increase the number when the is not in use.",
                                 CrawlingMode));
  auto add = [&](const char* label, QSpinBox* box) {
    auto* row = new QHBoxLayout;
    row->addWidget(WrappedLabel(label, CrawlingMode), 1);
    row->addWidget(box, 0, Qt::AlignTop);
    column->addLayout(row);
  };
  UpDownWhenUse = UpDown("UpDownWhenUse", CrawlingMode);
  UpDownWhenIdle = UpDown("UpDownWhenIdle", CrawlingMode);
  UpDownIdleTimeToChange = UpDown("UpDownIdleTimeToChange", CrawlingMode);
  UpDownMaxsCrawlers = UpDown("UpDownMaxsCrawlers", CrawlingMode);
  add("Define the number of simultaneous crawler downloads to run when the computer is in use here.", UpDownWhenUse);
  add("Define the number of simultaneous crawler downloads to run when the computer has not been used for a while.",
      UpDownWhenIdle);
  add("Minutes without use before the crawler switches to the \"computer not in use\" mode.",
      UpDownIdleTimeToChange);
  add("Maxs crawlers on can use", UpDownMaxsCrawlers);
  column->addStretch(1);
  PageControl1->addTab(CrawlingMode, QStringLiteral("Crawling Mode"));
}

void TFormOptions::BuildDedicatedServer() {
  TabDedicatedServer = Named(new QWidget, "TabDedicatedServer");
  auto* column = new QVBoxLayout(TabDedicatedServer);
  CheckDedicatedServer =
      Named(new QCheckBox(QStringLiteral("Act as a dedicated server"), TabDedicatedServer), "CheckDedicatedServer");
  column->addWidget(CheckDedicatedServer);
  auto* row = new QHBoxLayout;
  LabelServerName = new QLabel(QStringLiteral("Server name"), TabDedicatedServer);
  EditDedicatedServer = Named(new QLineEdit(TabDedicatedServer), "EditDedicatedServer");
  EditDedicatedServer->setMaxLength(10);
  row->addWidget(LabelServerName);
  row->addWidget(EditDedicatedServer, 1);
  column->addLayout(row);
  column->addStretch(1);
  LabelServerName->hide();
  EditDedicatedServer->hide();
  connect(CheckDedicatedServer, &QCheckBox::toggled, this, [this] { CheckDedicatedServerClick(); });
  PageControl1->addTab(TabDedicatedServer, QStringLiteral("Dedicated Server"));
}

void TFormOptions::FormCreate() {
  LoadToForm();
  PageControl1->setCurrentWidget(UserInfo);
}

void TFormOptions::LoadToForm() {
  StartAtStart->setChecked(Config.StartAtStart);
  UserName->setText(AnsiToQString(Config.UserName));
  UserPassword->setText(AnsiToQString(Config.UserPassword));
  SetPosition(UpDownWhenUse, Config.CrawlWhenUse);
  SetPosition(UpDownWhenIdle, Config.CrawlWhenIdle);
  SetPosition(UpDownIdleTimeToChange, Config.IdleTimeToChange / 60);
  MinimizeToStatusBar->setChecked(Config.MinimizeToStatusBar);
  SetPosition(UpDownMaxsCrawlers, Config.MaxCrawlers);
  SetPosition(UpDownCrawlerrestarttime, Config.CrawlerRestartTime);
  CheckDedicatedServer->setChecked(Config.DedicatedServer);
  CheckDedicatedServerClick();  // also when the tick did not change
  EditDedicatedServer->setText(AnsiToQString(Config.DedicatedServerName));
  EditGroup->setText(AnsiToQString(Config.TeamName));
}

void TFormOptions::OkClick() {
  const std::string team = Text(EditGroup);
  if (team != Config.TeamName && !team.empty()) {
    if (SendAccountRequest(AddToGroupQuery(team, Text(UserName)))) Config.TeamName = FirstChars(team, 20);
  }
  Config.UserName = FirstChars(Text(UserName), 60);
  Config.UserPassword = FirstChars(Text(UserPassword), 60);
  Config.StartAtStart = StartAtStart->isChecked();
  Config.CrawlWhenUse = UpDownWhenUse->value();
  Config.CrawlWhenIdle = UpDownWhenIdle->value();
  Config.IdleTimeToChange = UpDownIdleTimeToChange->value() * 60;
  Config.MinimizeToStatusBar = MinimizeToStatusBar->isChecked();
  Config.MaxCrawlers = UpDownMaxsCrawlers->value();
  Config.CrawlerRestartTime = UpDownCrawlerrestarttime->value();
  Config.DedicatedServer = CheckDedicatedServer->isChecked();
  Config.DedicatedServerName = FirstChars(Text(EditDedicatedServer), 10);
  WriteConfig();
  accept();
}

void TFormOptions::CancelClick() { reject(); }

void TFormOptions::reject() {
  // Safeguard: cancel on escape. Edits left by Escape or the close box are never saved by a later Ok.
  LoadToForm();
  QDialog::reject();
}

void TFormOptions::Button1Click() {
  if (CreateUser == nullptr) return;
  CreateUser->exec();
  if (CreateUser->username->text().isEmpty()) return;
  UserName->setText(CreateUser->username->text());
  UserPassword->setText(CreateUser->password->text());
}

void TFormOptions::CheckDedicatedServerClick() {
  // Safeguard: server name label. The label goes with its edit box: alone it
  // would name a box that is not there.
  const bool ticked = CheckDedicatedServer->isChecked();
  LabelServerName->setVisible(ticked);
  EditDedicatedServer->setVisible(ticked);
}

}  // namespace tov
