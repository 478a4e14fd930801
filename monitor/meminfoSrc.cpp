#include "monitor/meminfoSrc.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "monitor/MemInfoLines.h"
#include "platform/GuiApplication.h"

namespace tov {

TFormMemInfo* FormMemInfo = nullptr;

TFormMemInfo::TFormMemInfo() : QWidget(nullptr, Qt::Window) {
  setObjectName(QStringLiteral("FormMemInfo"));
  setWindowTitle(QStringLiteral("FormMemInfo"));
  resize(272, 407);
  FormMemInfo = this;

  auto* column = new QVBoxLayout(this);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setPlainText(QStringLiteral("Click refresh"));
  Refresh = new QPushButton(QStringLiteral("Refresh"), this);
  Refresh->setObjectName(QStringLiteral("Refresh"));
  column->addWidget(Memo1, 1);
  column->addWidget(Refresh);
  connect(Refresh, &QPushButton::clicked, this, [this] { RefreshClick(); });
}

TFormMemInfo::~TFormMemInfo() {
  if (FormMemInfo == this) FormMemInfo = nullptr;
}

void TFormMemInfo::RefreshClick() {
  Memo1->clear();
  for (int i = 0; i < kMemInfoLineCount; ++i) Memo1->appendPlainText(AnsiToQString(MemInfoLine(i)));
}

}  // namespace tov
