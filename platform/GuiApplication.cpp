#include "platform/GuiApplication.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cstdlib>

#include "platform/Cp1252.h"
#include "platform/MessageBox.h"
#include "platform/Threads.h"

namespace tov {

namespace {

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  ssize_t ignored = ::write(g_signal_pipe[1], &byte, 1);
  (void)ignored;
}

int& PrepareAndPass(int& argc) {
  PrepareQtPlatform();
  return argc;
}

QMessageBox::Icon IconOf(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::mtWarning: return QMessageBox::Warning;
    case TMsgDlgType::mtError: return QMessageBox::Critical;
    case TMsgDlgType::mtInformation: return QMessageBox::Information;
    case TMsgDlgType::mtConfirmation: return QMessageBox::Question;
    case TMsgDlgType::mtCustom: return QMessageBox::NoIcon;
  }
  return QMessageBox::NoIcon;
}

struct ButtonMap {
  TMsgDlgBtn ours;
  QMessageBox::StandardButton qt;
};
constexpr ButtonMap kButtons[] = {
    {mbYes, QMessageBox::Yes},     {mbNo, QMessageBox::No},       {mbOK, QMessageBox::Ok},
    {mbCancel, QMessageBox::Cancel}, {mbAbort, QMessageBox::Abort}, {mbRetry, QMessageBox::Retry},
    {mbIgnore, QMessageBox::Ignore},
};

TMsgDlgBtn ShowQtMessageBox(const TMessageBoxRequest& request) {
  if (TApplication::Headless()) return MessageBoxToStderr(request);
  TMsgDlgBtn answer = FirstButton(request.Buttons);
  RunOnMainThread([&] {
    QMessageBox::StandardButtons buttons;
    for (const auto& b : kButtons) {
      if (request.Buttons & b.ours) buttons |= b.qt;
    }
    std::string caption = request.Caption.empty() ? TApplication::Title() : request.Caption;
    QMessageBox box(IconOf(request.Type), AnsiToQString(caption), AnsiToQString(request.Text), buttons);
    int pressed = box.exec();
    for (const auto& b : kButtons) {
      if (pressed == b.qt) answer = b.ours;
    }
  });
  return answer;
}

}  // namespace

QString AnsiToQString(std::string_view text) {
  std::string utf8 = Cp1252ToUtf8(text);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string QStringToAnsi(const QString& text) {
  std::string out;
  for (char32_t cp : text.toUcs4()) {
    uint8_t byte = '?';
    if (!UnicodeToCp1252(cp, byte)) byte = '?';
    out.push_back(static_cast<char>(byte));
  }
  return out;
}

void PrepareQtPlatform() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  if (chosen && *chosen) return;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  std::string platforms;
  if (wayland && *wayland) platforms += "wayland;";
  if (x11 && *x11) platforms += "xcb;";
  platforms += "offscreen";  // the last resort: never abort for want of a display
  ::setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(PrepareAndPass(argc), argv) {
  SetMainThread();
  SetSynchronizeWakeup([this] { QMetaObject::invokeMethod(this, [] { CheckSynchronize(0); }, Qt::QueuedConnection); });
  SetMessageBoxHandler(&ShowQtMessageBox);
  setQuitOnLastWindowClosed(false);
}

TApplication::~TApplication() {
  SetMessageBoxHandler(nullptr);
  SetSynchronizeWakeup(nullptr);
}

bool TApplication::Headless() {
  QString name = QGuiApplication::platformName();
  return name == "offscreen" || name == "minimal";
}

std::string TApplication::Title() {
  QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  if (base.isEmpty()) return {};
  return (base.left(1) + base.mid(1).toLower()).toStdString();
}

void TApplication::OnTerminationRequest(std::function<void()> handler) {
  termination_handler_ = std::move(handler);
  if (signal_notifier_) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_pipe) != 0) return;
  signal_notifier_ = std::make_unique<QSocketNotifier>(g_signal_pipe[0], QSocketNotifier::Read);
  QObject::connect(signal_notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    if (::read(g_signal_pipe[0], &byte, 1) > 0 && termination_handler_) termination_handler_();
  });
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleApplicationException(receiver);
    return false;
  }
}

}  // namespace tov
