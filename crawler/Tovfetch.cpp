// The crawler program: the application, its one hidden window, the message loop.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "crawler/TovfetchMain.h"
#include "platform/GuiApplication.h"

int main(int argc, char** argv) {
  tov::TApplication app(argc, argv);
  auto form = std::make_unique<tov::TMainForm>();
  tov::MainForm = form.get();
  // SIGTERM and SIGINT are a close request like any other.
  app.OnTerminationRequest([] {
    if (tov::TMainForm* f = tov::MainForm) f->PostClose();
  });
  form->FormCreate();
  const int rc = QApplication::exec();
  if (form->EngineStarted()) {
    // Engine threads cannot be stopped from outside; the process must not
    // destroy what they use under them.
    std::fflush(nullptr);
    ::_exit(rc);
  }
  form.reset();
  return rc;
}
