// A desktop idle monitor for the idle-time tests: takes a name on the bus at
// the given address and answers the idle-time calls of GNOME's Mutter or
// KDE's screen saver with a fixed number, or never answers them.
//
//   fake_idle_monitor <address> mutter <ms>    GetIdletime answers <ms> (uint64)
//   fake_idle_monitor <address> kde <value>    GetSessionIdleTime answers <value> (uint32)
//   fake_idle_monitor <address> silent         both names taken, no call answered
//
// Prints "ready" once its names are taken; ends on SIGTERM.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <cstdio>
#include <string>

namespace {

class IdleObject : public QDBusVirtualObject {
 public:
  IdleObject(QString method, QVariant answer, bool silent)
      : method_(std::move(method)), answer_(std::move(answer)), silent_(silent) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (silent_) return true;  // taken, never answered
    if (message.member() != method_) return false;
    connection.send(message.createReply(answer_));
    return true;
  }

 private:
  QString method_;
  QVariant answer_;
  bool silent_;
};

bool Serve(QDBusConnection& bus, const char* service, const char* path, IdleObject* object) {
  return bus.registerService(QString::fromLatin1(service)) &&
         bus.registerVirtualObject(QString::fromLatin1(path), object, QDBusConnection::SingleNode);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: fake_idle_monitor <address> mutter <ms> | kde <value> | silent\n");
    return 2;
  }
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLatin1(argv[1]), QStringLiteral("fake"));
  if (!bus.isConnected()) {
    std::fprintf(stderr, "cannot connect to %s\n", argv[1]);
    return 1;
  }
  const std::string mode = argv[2];
  const unsigned long long value = argc > 3 ? std::stoull(argv[3]) : 0;
  IdleObject mutter(QStringLiteral("GetIdletime"), QVariant::fromValue<qulonglong>(value), mode == "silent");
  IdleObject kde(QStringLiteral("GetSessionIdleTime"), QVariant::fromValue<uint>(static_cast<uint>(value)),
                 mode == "silent");
  bool ok = true;
  if (mode == "mutter" || mode == "silent") {
    ok = ok && Serve(bus, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core", &mutter);
  }
  if (mode == "kde" || mode == "silent") {
    ok = ok && Serve(bus, "org.freedesktop.ScreenSaver", "/ScreenSaver", &kde);
  }
  if (!ok) {
    std::fprintf(stderr, "cannot take the names\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
