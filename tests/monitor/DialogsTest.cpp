// The Options and Create User dialogs, the memory-information window and the
// about box on Qt's offscreen platform; the stand-in account server plays the
// account server inside the test's private network namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Config.h"
#include "monitor/AboutBoxSrc.h"
#include "monitor/AboutPicture.h"
#include "monitor/CreateUserSrc.h"
#include "monitor/MonitorDialogs.h"
#include "monitor/Options.h"
#include "monitor/TovwatchUnit1.h"
#include "monitor/meminfoSrc.h"
#include "platform/GuiApplication.h"
#include "platform/JpegDecoder.h"
#include "platform/MessageBox.h"
#include "platform/Threads.h"
#include "tests/monitor/AccountServerStandIn.h"
#include "tests/monitor/SettingsSample.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

char kName[] = "monitor_dialog_tests";
char* kArgv[] = {kName, nullptr};

const std::string kBoxPrefix =
    "Sorry, cant`t connect to the Tovrane server. Please check that you are connectet to the internet. "
    "Error returnd: ";

using Pairs = std::vector<std::pair<std::string, std::string>>;

ConfigData Stored() { return test::SampleSettings(); }

std::string Text(const QLineEdit* e) { return QStringToAnsi(e->text()); }
std::string Text(const QLabel* l) { return QStringToAnsi(l->text()); }

// What the Options controls show, as the record they would store.
ConfigData Shown(const TFormOptions& o) {
  return ConfigData{.UserName = Text(o.UserName),
                    .UserPassword = Text(o.UserPassword),
                    .StartAtStart = o.StartAtStart->isChecked(),
                    .CrawlWhenUse = o.UpDownWhenUse->value(),
                    .CrawlWhenIdle = o.UpDownWhenIdle->value(),
                    .IdleTimeToChange = o.UpDownIdleTimeToChange->value() * 60,
                    .MinimizeToStatusBar = o.MinimizeToStatusBar->isChecked(),
                    .MaxCrawlers = o.UpDownMaxsCrawlers->value(),
                    .CrawlerRestartTime = o.UpDownCrawlerrestarttime->value(),
                    .DedicatedServer = o.CheckDedicatedServer->isChecked(),
                    .DedicatedServerName = Text(o.EditDedicatedServer),
                    .TeamName = Text(o.EditGroup)};
}

std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
  std::vector<std::string> lines;
  for (const QString& l : memo->toPlainText().split(QLatin1Char('\n'))) lines.push_back(l.toStdString());
  return lines;
}

// Runs action on the window thread as soon as the window shows (a modal one
// runs its own loop meanwhile).
void OnceVisible(QWidget* window, std::function<void()> action) {
  auto* timer = new QTimer(window);
  QObject::connect(timer, &QTimer::timeout, window, [window, timer, action] {
    if (!window->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    action();
  });
  timer->start(1);
}

class DialogsTest : public ::testing::Test {
 protected:
  DialogsTest() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = std::make_unique<TApplication>(argc_, kArgv);
    SetMessageBoxHandler([this](const TMessageBoxRequest& r) {
      boxes_.push_back(r.Text);
      return mbOK;
    });
    Config = Stored();
    WriteStoredFile();
  }
  ~DialogsTest() override {
    options_.reset();
    create_user_.reset();
    SetApplicationExceptionHook(nullptr);
    app_.reset();
  }

  void WriteStoredFile() {
    auto bytes = EncodeConfig(Config);
    test::WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
  }
  static std::string FileRecord() { return test::ReadFileBytes("Config.bin"); }
  static std::string Record(const ConfigData& c) {
    auto bytes = EncodeConfig(c);
    return std::string(bytes.begin(), bytes.end());
  }
  TFormOptions& Options() {
    create_user_ = std::make_unique<TCreateUser>();
    options_ = std::make_unique<TFormOptions>();
    return *options_;
  }
  bool ServerPlayable() const { return test::StandInAccountServer::Playable(); }

  test::ScopedWorkDir dir_;
  int argc_ = 1;
  std::unique_ptr<TApplication> app_;
  std::unique_ptr<TCreateUser> create_user_;
  std::unique_ptr<TFormOptions> options_;
  std::vector<std::string> boxes_;
};

// ---- Options: loading and storing ----

TEST_F(DialogsTest, OptionsShowTheRecordOnFourPages) {
  TFormOptions& o = Options();
  EXPECT_EQ(o.windowTitle().toStdString(), "Options");
  ASSERT_EQ(o.PageControl1->count(), 4);
  const char* captions[] = {"UserInfo", "Startup", "Crawling Mode", "Dedicated Server"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(o.PageControl1->tabText(i).toStdString(), captions[i]);
  EXPECT_EQ(o.PageControl1->currentWidget(), o.UserInfo);

  EXPECT_EQ(Shown(o), Stored());
  EXPECT_EQ(o.UpDownIdleTimeToChange->value(), 10);  // 600 seconds
  EXPECT_EQ(o.UserPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(o.EditGroup->maxLength(), 20);
  EXPECT_EQ(o.EditDedicatedServer->maxLength(), 10);
  EXPECT_TRUE(o.EditDedicatedServer->isHidden());
}

TEST_F(DialogsTest, NumbersShowTheirLow16BitsWithinTheUpDownsRange) {
  TFormOptions& o = Options();
  struct Case {
    int32_t stored;
    int shown;
  };
  const Case counts[] = {{0, 0}, {7, 7}, {100, 100}, {101, 100}, {65536 + 7, 7}, {-1, 0}, {65535, 0}};
  for (const Case& c : counts) {
    Config.MaxCrawlers = c.stored;
    o.LoadToForm();
    EXPECT_EQ(o.UpDownMaxsCrawlers->value(), c.shown) << c.stored;
  }
  // Seconds in the record, whole minutes in the dialog.
  const Case idle[] = {{0, 0}, {59, 0}, {60, 1}, {299, 4}, {300, 5}, {6000, 100}, {6060, 100}, {-120, 0}};
  for (const Case& c : idle) {
    Config.IdleTimeToChange = c.stored;
    o.LoadToForm();
    EXPECT_EQ(o.UpDownIdleTimeToChange->value(), c.shown) << c.stored;
  }
}

TEST_F(DialogsTest, OkStoresEveryControlAndWritesTheRecord) {
  TFormOptions& o = Options();
  o.UserName->setText(QString(70, QLatin1Char('u')));
  o.UserPassword->setText(QString::fromLatin1("p\xE6ss"));
  o.StartAtStart->setChecked(false);
  o.MinimizeToStatusBar->setChecked(true);
  o.UpDownCrawlerrestarttime->setValue(0);
  o.UpDownWhenUse->setValue(3);
  o.UpDownWhenIdle->setValue(30);
  o.UpDownIdleTimeToChange->setValue(5);
  o.UpDownMaxsCrawlers->setValue(60);
  o.CheckDedicatedServer->setChecked(true);
  o.EditDedicatedServer->setText(QStringLiteral("srv"));
  o.show();
  o.OkClick();

  ConfigData want = Stored();
  want.UserName = std::string(60, 'u');
  want.UserPassword = "p\xE6ss";
  want.StartAtStart = false;
  want.MinimizeToStatusBar = true;
  want.CrawlerRestartTime = 0;
  want.CrawlWhenUse = 3;
  want.CrawlWhenIdle = 30;
  want.IdleTimeToChange = 300;  // 5 minutes
  want.MaxCrawlers = 60;
  want.DedicatedServer = true;
  want.DedicatedServerName = "srv";
  EXPECT_EQ(Config, want);
  EXPECT_EQ(FileRecord(), Record(want));
  EXPECT_EQ(o.result(), QDialog::Accepted);
  EXPECT_FALSE(o.isVisible());
  EXPECT_TRUE(boxes_.empty());  // the team did not change: no request
}

TEST_F(DialogsTest, TheServerNameEditShowsWhileTheBoxIsTickedAndTheNameIsKept) {
  TFormOptions& o = Options();
  // Its label comes and goes with it.
  EXPECT_TRUE(o.LabelServerName->isHidden());
  o.CheckDedicatedServer->setChecked(true);
  EXPECT_FALSE(o.EditDedicatedServer->isHidden());
  EXPECT_FALSE(o.LabelServerName->isHidden());
  EXPECT_EQ(Text(o.LabelServerName), "Server name");
  o.EditDedicatedServer->setText(QStringLiteral("kept"));
  o.CheckDedicatedServer->setChecked(false);
  EXPECT_TRUE(o.EditDedicatedServer->isHidden());
  EXPECT_TRUE(o.LabelServerName->isHidden());
  o.OkClick();
  EXPECT_FALSE(Config.DedicatedServer);
  EXPECT_EQ(Config.DedicatedServerName, "kept");
  Config.DedicatedServer = true;
  o.LoadToForm();
  EXPECT_FALSE(o.EditDedicatedServer->isHidden());
  EXPECT_FALSE(o.LabelServerName->isHidden());
}

// Every control changed from the stored record.
void EditEveryControl(TFormOptions& o) {
  o.UserName->setText(QStringLiteral("bob"));
  o.UserPassword->setText(QStringLiteral("pw"));
  o.EditGroup->setText(QStringLiteral("Beta"));
  o.StartAtStart->setChecked(false);
  o.MinimizeToStatusBar->setChecked(true);
  for (QSpinBox* box : {o.UpDownCrawlerrestarttime, o.UpDownWhenUse, o.UpDownWhenIdle, o.UpDownIdleTimeToChange,
                        o.UpDownMaxsCrawlers}) {
    box->setValue(77);
  }
  o.CheckDedicatedServer->setChecked(true);
  o.EditDedicatedServer->setText(QStringLiteral("other"));
}

TEST_F(DialogsTest, CancelRestoresEveryControlAndWritesNothing) {
  TFormOptions& o = Options();
  const std::string before = FileRecord();
  EditEveryControl(o);
  o.show();
  o.CancelClick();

  EXPECT_EQ(o.result(), QDialog::Rejected);
  EXPECT_EQ(Config, Stored());
  EXPECT_EQ(FileRecord(), before);
  EXPECT_EQ(Shown(o), Stored());
  EXPECT_TRUE(o.EditDedicatedServer->isHidden());
}

// Escape and the window's close box leave the modal dialog as Cancel does:
// the edits are gone, also from a later Ok.
TEST_F(DialogsTest, EscapeAndTheCloseBoxDiscardTheEditsAsCancelDoes) {
  const std::function<void(TFormOptions&)> ways[] = {
      [](TFormOptions& o) {
        // To the control with the focus, which leaves the key to the dialog.
        QWidget* target = o.focusWidget() != nullptr ? o.focusWidget() : &o;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
      },
      // What the window manager's close box sends.
      [](TFormOptions& o) { o.windowHandle()->close(); },
  };
  for (const auto& leave : ways) {
    Config = Stored();
    WriteStoredFile();
    TFormOptions& o = Options();
    const std::string before = FileRecord();
    EditEveryControl(o);
    OnceVisible(&o, [&] { leave(o); });
    EXPECT_EQ(o.exec(), QDialog::Rejected);
    EXPECT_FALSE(o.isVisible());
    EXPECT_EQ(Shown(o), Stored());
    EXPECT_TRUE(o.EditDedicatedServer->isHidden());
    EXPECT_EQ(Config, Stored());
    EXPECT_EQ(FileRecord(), before);

    o.OkClick();
    EXPECT_EQ(Config, Stored());
    EXPECT_EQ(FileRecord(), Record(Stored()));
  }
  EXPECT_TRUE(boxes_.empty());  // the team did not change: no request
}

TEST_F(DialogsTest, AFailedWriteKeepsTheDialogOpenAndTheOldFile) {
  TFormOptions& o = Options();
  std::vector<int> codes;
  SetApplicationExceptionHook([&](void*, std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const EInOutError& e) {
      codes.push_back(e.ErrorCode());
    } catch (...) {
      codes.push_back(-1);
    }
  });
  const std::string before = FileRecord();
  ::chmod("Config.bin", 0444);
  o.UserName->setText(QStringLiteral("bob"));
  o.show();
  o.Ok->click();
  EXPECT_EQ(codes, std::vector<int>{5});  // "File access denied", reported by the class library's hook
  EXPECT_EQ(Config.UserName, "bob");      // the record in memory holds the new values
  EXPECT_EQ(FileRecord(), before);
  EXPECT_TRUE(o.isVisible());
}

// ---- Options: the team ----

TEST_F(DialogsTest, TheJoinTeamRequestGoesOnlyForAChangedTeamAndStoresItOnlyOnSuccess) {
  if (!ServerPlayable()) GTEST_SKIP() << "AccountServerURL is not on loopback";
  struct Case {
    std::string typed;
    bool sent;
    std::string stored;  // the team afterwards
  };
  // The server answers the requests in turn: two successes, then a failure.
  test::StandInAccountServer server({R"({"body": "joined"})", R"({"body": "joined"})",
                                     R"({"status": 500, "reason": "Internal Server Error"})"});
  ASSERT_TRUE(server.Ready());
  const Case cases[] = {
      {"Alpha", false, "Alpha"},                  // unchanged
      {"", false, "Alpha"},                       // cleared: no request, the team stays
      {"alpha", true, "alpha"},                   // another letter case is a change
      {"Beta & Co=1+#", true, "Beta & Co=1+#"},   // reaches the server as typed
      {"Gamma", true, "Beta & Co=1+#"},           // the server failed: unchanged
  };
  TFormOptions& o = Options();
  size_t requests = 0;
  for (const Case& c : cases) {
    boxes_.clear();
    o.LoadToForm();
    o.UserName->setText(QStringLiteral("new name"));  // the edit's text goes, not the stored one
    o.EditGroup->setText(AnsiToQString(c.typed));
    o.OkClick();
    SCOPED_TRACE(c.typed);
    auto seen = server.Requests();
    ASSERT_EQ(seen.size(), requests + (c.sent ? 1 : 0));
    if (c.sent) {
      EXPECT_EQ(seen.back().Pairs(), (Pairs{{"query", "addtogroup"}, {"groupname", c.typed}, {"username", "new name"}}));
      ++requests;
    }
    EXPECT_EQ(Config.TeamName, c.stored);
    EXPECT_EQ(Config.UserName, "new name");  // the other fields are saved whatever the request did
    EXPECT_EQ(FileRecord(), Record(Config));
  }
  EXPECT_EQ(boxes_, std::vector<std::string>{kBoxPrefix + "HTTP/1.1 500 Internal Server Error"});
}

TEST_F(DialogsTest, AnUnreachableServerLeavesTheTeamAndSavesTheRest) {
  if (!ServerPlayable()) GTEST_SKIP() << "AccountServerURL is not on loopback";
  TFormOptions& o = Options();  // nothing listens in this network namespace
  o.EditGroup->setText(QStringLiteral("Delta"));
  o.UpDownWhenUse->setValue(9);
  o.OkClick();
  EXPECT_EQ(boxes_, std::vector<std::string>{kBoxPrefix});
  EXPECT_EQ(Config.TeamName, "Alpha");
  EXPECT_EQ(Config.CrawlWhenUse, 9);
  EXPECT_EQ(FileRecord(), Record(Config));
}

// ---- Create User ----

TEST_F(DialogsTest, CreateUserTextsReachTheOptionsAlsoAfterCancel) {
  TFormOptions& o = Options();
  TCreateUser& dialog = *CreateUser;
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Create User");
  EXPECT_EQ(dialog.password->echoMode(), QLineEdit::Password);
  OnceVisible(&dialog, [&] {
    dialog.username->setText(QStringLiteral("newuser"));
    dialog.email->setText(QStringLiteral("n@host.org"));
    dialog.password->setText(QStringLiteral("pw"));
    dialog.Cancel->click();
  });
  o.Button1Click();
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(Text(o.UserName), "newuser");
  EXPECT_EQ(Text(o.UserPassword), "pw");

  // An empty user name takes nothing over.
  o.LoadToForm();
  OnceVisible(&dialog, [&] {
    dialog.username->clear();
    dialog.password->setText(QStringLiteral("other"));
    dialog.Cancel->click();
  });
  o.Button1Click();
  EXPECT_EQ(Text(o.UserName), "alice");
  EXPECT_EQ(Text(o.UserPassword), "secret");
}

TEST_F(DialogsTest, CreateSendsTheAccountRequestAndClosesWhateverTheAnswer) {
  if (!ServerPlayable()) GTEST_SKIP() << "AccountServerURL is not on loopback";
  test::StandInAccountServer server({R"({"body": "created"})", R"({"status": 503, "reason": "Busy"})"});
  ASSERT_TRUE(server.Ready());
  create_user_ = std::make_unique<TCreateUser>();
  TCreateUser& dialog = *create_user_;
  for (const char* answer : {"created", "HTTP/1.1 503 Busy"}) {
    SCOPED_TRACE(answer);
    OnceVisible(&dialog, [&] {
      dialog.username->setText(QStringLiteral("bj\u00f8rn&x=1"));
      dialog.email->setText(QStringLiteral("b@host.org"));
      dialog.password->setText(QStringLiteral("p w"));
      dialog.Create->click();
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
  }
  auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& r : seen) {
    EXPECT_EQ(r.Pairs(), (Pairs{{"query", "adduser"}, {"username", "bj\xF8rn&x=1"}, {"email", "b@host.org"},
                                {"password", "p w"}}));
  }
  EXPECT_EQ(boxes_, std::vector<std::string>{kBoxPrefix + "HTTP/1.1 503 Busy"});
}

// ---- Memory information ----

TEST_F(DialogsTest, MemInfoShowsTwelveLinesOnEachRefresh) {
  TFormMemInfo window;
  EXPECT_EQ(window.windowTitle().toStdString(), "FormMemInfo");
  EXPECT_EQ(MemoLines(window.Memo1), std::vector<std::string>{"Click refresh"});
  const char* labels[] = {"TotalAddrSpace ", "TotalUncommitted ", "TotalCommitted ", "TotalAllocated ",
                          "TotalFree ",      "FreeSmall ",        "FreeBig ",        "Unused ",
                          "Overhead ",       "HeapErrorCode ",    "AllocMemSize ",   "AllocMemCount "};
  for (int refresh = 0; refresh < 2; ++refresh) {
    window.Refresh->click();
    std::vector<std::string> lines = MemoLines(window.Memo1);
    ASSERT_EQ(lines.size(), 12u) << "refresh " << refresh;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].rfind(labels[i], 0), 0u) << lines[i];
      const std::string figure = lines[i].substr(std::string(labels[i]).size());
      EXPECT_FALSE(figure.empty());
      EXPECT_EQ(figure.find_first_not_of("0123456789"), std::string::npos) << lines[i];
    }
  }
}

// ---- About box ----

TEST_F(DialogsTest, AboutBoxShowsPictureVersionAndCreditAndClosesWithOk) {
  TFormMain about;
  EXPECT_EQ(about.windowTitle().toStdString(), "About");
  EXPECT_EQ(Text(about.LabelVersion), "Version: ");
  EXPECT_EQ(Text(about.Version), "0.82");
  EXPECT_FALSE(Text(about.Label1).empty());
  EXPECT_TRUE(about.OKButton->isDefault());

  // The picture as libjpeg decodes it: the white T on the blue globe.
  BitmapPixels pixels = DecodeJpeg(AboutPictureJpeg());
  ASSERT_EQ(pixels.width, 130);
  ASSERT_EQ(pixels.height, 114);
  const uint8_t* centre = &pixels.rgb[(57 * 130 + 65) * 3];
  EXPECT_GT(centre[0] + centre[1] + centre[2], 3 * 230);
  const uint8_t* globe = &pixels.rgb[(57 * 130 + 30) * 3];
  EXPECT_GT(globe[2], globe[0] + 50);  // blue
  ASSERT_FALSE(about.ProgramIcon->pixmap().isNull());
  EXPECT_EQ(about.ProgramIcon->pixmap().size(), QSize(130, 114));
  EXPECT_EQ(about.ProgramIcon->size(), QSize(65, 57));  // stretched into its place
  EXPECT_TRUE(about.ProgramIcon->hasScaledContents());

  OnceVisible(&about, [&] { about.OKButton->click(); });
  EXPECT_EQ(about.exec(), QDialog::Accepted);
}

// ---- The main window's items open them ----

TEST_F(DialogsTest, TheMenuItemsOpenTheWindows) {
  TTovwatchMainForm main;
  TMonitorDialogs dialogs(main);
  ASSERT_NE(FormMain, nullptr);
  ASSERT_NE(FormOptions, nullptr);
  ASSERT_NE(FormMemInfo, nullptr);
  ASSERT_NE(CreateUser, nullptr);

  main.miMemInfoClick();
  EXPECT_TRUE(FormMemInfo->isVisible());  // not modal: the call returned with it open

  bool about_shown = false;
  OnceVisible(FormMain, [&] {
    about_shown = true;
    FormMain->OKButton->click();
  });
  main.miAboutClick();
  EXPECT_TRUE(about_shown);

  bool options_shown = false;
  OnceVisible(FormOptions, [&] {
    options_shown = FormOptions->isModal();
    FormOptions->Cancel->click();
  });
  main.miOptionsClick();
  EXPECT_TRUE(options_shown);
  EXPECT_FALSE(main.ShowUrldownloade->isHidden());
}

}  // namespace
}  // namespace tov
