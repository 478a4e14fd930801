// The memory-information window: the memory manager's figures, one a line,
// for diagnosis. Not modal; it keeps the last refresh's lines.
#pragma once

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace tov {

class TFormMemInfo : public QWidget {
 public:
  TFormMemInfo();
  ~TFormMemInfo() override;

  // Refills the memo with the twelve lines, each from figures read as it is
  // written (so the lines before it count).
  void RefreshClick();

  QPlainTextEdit* Memo1;
  QPushButton* Refresh;
};

// The one memory-information window, from its construction to its destruction.
extern TFormMemInfo* FormMemInfo;

}  // namespace tov
