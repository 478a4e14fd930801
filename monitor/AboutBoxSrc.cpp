#include "monitor/AboutBoxSrc.h"

#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "common/SharedGlobals.h"
#include "monitor/AboutPicture.h"
#include "monitor/MonitorLink.h"
#include "platform/JpegDecoder.h"

namespace tov {

TFormMain* FormMain = nullptr;

namespace {

// The picture as libjpeg decodes it; a null pixmap (and a log line) when it
// cannot be read.
QPixmap ProgramPicture() {
  BitmapPixels pixels = DecodeJpeg(AboutPictureJpeg());
  if (pixels.width <= 0 || pixels.height <= 0) {
    TryWriteErrorLog("The about box's picture cannot be decoded");
    return {};
  }
  QImage image(pixels.rgb.data(), pixels.width, pixels.height, pixels.width * 3, QImage::Format_RGB888);
  return QPixmap::fromImage(image);  // a deep copy: pixels go with this frame
}

}  // namespace

TFormMain::TFormMain() {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("About"));
  setFixedSize(298, 213);
  FormMain = this;

  auto* column = new QVBoxLayout(this);
  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  // A raised inner bevel in a lowered outer one.
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Panel1->setMidLineWidth(0);
  auto* inner = new QFrame(Panel1);
  inner->setFrameStyle(QFrame::Panel | QFrame::Raised);
  auto* outer_box = new QVBoxLayout(Panel1);
  outer_box->setContentsMargins(2, 2, 2, 2);
  outer_box->addWidget(inner);

  auto* grid = new QGridLayout(inner);
  ProgramIcon = new QLabel(inner);
  ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
  ProgramIcon->setFixedSize(65, 57);
  ProgramIcon->setScaledContents(true);
  ProgramIcon->setPixmap(ProgramPicture());
  ProductName = new QLabel(QStringLiteral("Tovwatch, the Tovrane crawler monitor"), inner);
  ProductName->setObjectName(QStringLiteral("ProductName"));
  ProductName->setWordWrap(true);
  QFont bold = ProductName->font();
  bold.setBold(true);
  ProductName->setFont(bold);
  LabelVersion = new QLabel(QStringLiteral("Version: "), inner);
  LabelVersion->setObjectName(QStringLiteral("LabelVersion"));
  Version = new QLabel(inner);
  Version->setObjectName(QStringLiteral("Version"));
  Label1 = new QLabel(QStringLiteral("This software is based in part on the work of the Independent JPEG Group "
                                     "(libjpeg-turbo decodes this picture)."),
                      inner);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setWordWrap(true);

  auto* version_row = new QHBoxLayout;
  version_row->addWidget(LabelVersion);
  version_row->addWidget(Version);
  version_row->addStretch(1);
  grid->addWidget(ProgramIcon, 0, 0, 2, 1, Qt::AlignTop);
  grid->addWidget(ProductName, 0, 1);
  grid->addLayout(version_row, 1, 1);
  grid->addWidget(Label1, 2, 0, 1, 2);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(2, 1);
  column->addWidget(Panel1, 1);

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setDefault(true);
  column->addWidget(OKButton, 0, Qt::AlignHCenter);
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });

  FormCreate();
}

TFormMain::~TFormMain() {
  if (FormMain == this) FormMain = nullptr;
}

void TFormMain::FormCreate() { Version->setText(QString::fromLatin1(AppVersionText)); }

// The modal result OK.
void TFormMain::OKButtonClick() { accept(); }

void TFormMain::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

}  // namespace tov
