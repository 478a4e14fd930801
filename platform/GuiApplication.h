// The window toolkit's application object for both programs. It picks Qt's
// offscreen platform when there is no display to use, runs the synchronised
// call and message boxes on the window thread, hands exceptions that escape an
// event handler to the application exception hook, and turns SIGTERM and
// SIGINT into a close request on the window thread (the way Linux asks a
// program without a visible window to close).
#pragma once

#include <QApplication>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QSocketNotifier;

namespace tov {

class TApplication : public QApplication {
 public:
  // Must be the first Qt object of the process; the calling thread becomes the
  // window thread (the main thread of the synchronised call).
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // True when no real display is in use (offscreen or minimal platform).
  static bool Headless();
  // The program's file name without its extension, every letter after the first
  // in lower case ("Tovfetch" for Tovfetch).
  static std::string Title();

  // Called on the window thread for each SIGTERM or SIGINT.
  void OnTerminationRequest(std::function<void()> handler);

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  std::function<void()> termination_handler_;
  std::unique_ptr<QSocketNotifier> signal_notifier_;
};

// Sets QT_QPA_PLATFORM so that a process without a usable display falls back to
// the offscreen platform instead of aborting. Called by TApplication; exposed
// for programs that make their own application object.
void PrepareQtPlatform();

// The programs' texts are Windows-1252 bytes; these convert at the Qt boundary.
// A character that Windows-1252 lacks becomes "?".
QString AnsiToQString(std::string_view text);
std::string QStringToAnsi(const QString& text);

}  // namespace tov
