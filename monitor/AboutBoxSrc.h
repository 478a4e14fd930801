// The about box: the program's picture, name and version, and a credit line.
// Shown modally.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace tov {

class TFormMain : public QDialog {
 public:
  // Builds the controls, decodes the picture and runs FormCreate.
  TFormMain();
  ~TFormMain() override;

  // The version label := "0.82".
  void FormCreate();
  void OKButtonClick();

  QFrame* Panel1;
  QLabel* ProgramIcon;  // the picture, stretched to 65 x 57
  QLabel* ProductName;
  QLabel* LabelVersion;
  QLabel* Version;
  QLabel* Label1;  // the credit line
  QPushButton* OKButton;

 protected:
  void showEvent(QShowEvent* e) override;
};

// The one about box, from its construction to its destruction.
extern TFormMain* FormMain;

}  // namespace tov
