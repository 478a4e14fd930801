// The crawler program: the application, its one hidden window, the message loop.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "crawler/TovfetchMain.h"
#include "platform/GuiApplication.h"

int main(int argc, char** argv) {
  // Safeguard: big blocks returned. Page bodies of megabytes come and go in up to 100 download threads.
  // Blocks of 1 MiB and more are mapped and unmapped on their own, so no
  // thread's heap keeps the largest page it ever held (glibc would raise
  // this threshold to the largest block freed and keep such blocks).
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
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
