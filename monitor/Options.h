// The Options dialog: the only editor of the participant's settings. It shows
// Config on four pages, opens the Create User dialog, asks the account server
// to join a team when the team name changes, and writes Config.bin.
#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace tov {

class TFormOptions : public QDialog {
 public:
  // Builds the controls and runs FormCreate, so Config must be read first.
  TFormOptions();
  ~TFormOptions() override;

  // LoadToForm, then the page UserInfo in front.
  void FormCreate();
  // Config into the controls. A number shows its low 16 bits, held to the
  // up-downs' 0 to 100; the idle time shows as whole minutes.
  void LoadToForm();
  // Sends the join-team request when the team text changed and is not
  // empty (the team is stored only when the request went through), stores
  // every control's value in Config, writes Config.bin and closes. Raises
  // EInOutError when Config.bin cannot be written: Config then already holds
  // the new values and the dialog stays open.
  void OkClick();
  // Discards the edits (LoadToForm) and closes.
  void CancelClick();
  // Escape and the window's close box come here: they act as Cancel.
  void reject() override;
  // The Create User dialog, modal; its user name and password are taken over
  // when its user-name edit is not empty, whichever button closed it.
  void Button1Click();
  // The server-name edit and its label are visible exactly while the check
  // box is ticked.
  void CheckDedicatedServerClick();

  QTabWidget* PageControl1;
  QWidget* UserInfo;
  QWidget* Startup;
  QWidget* CrawlingMode;
  QWidget* TabDedicatedServer;

  QLineEdit* UserName;
  QLineEdit* UserPassword;
  QPushButton* Button1;
  QLineEdit* EditGroup;

  QCheckBox* StartAtStart;
  QCheckBox* MinimizeToStatusBar;
  // Each number edit and its up-down are one spin box, named after the
  // up-down whose position it holds.
  QSpinBox* UpDownCrawlerrestarttime;

  QSpinBox* UpDownWhenUse;
  QSpinBox* UpDownWhenIdle;
  QSpinBox* UpDownIdleTimeToChange;  // minutes
  QSpinBox* UpDownMaxsCrawlers;

  QCheckBox* CheckDedicatedServer;
  QLabel* LabelServerName;
  QLineEdit* EditDedicatedServer;

  QPushButton* Ok;
  QPushButton* Cancel;

 private:
  void BuildUserInfo();
  void BuildStartup();
  void BuildCrawlingMode();
  void BuildDedicatedServer();
};

// The one Options dialog, from its construction to its destruction.
extern TFormOptions* FormOptions;

}  // namespace tov
