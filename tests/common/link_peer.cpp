// The link test program: plays the monitor or a client over the real link,
// driven by its command line and by lines on standard input, and prints what
// reaches it as lines on standard output. The link's tests start it, and so
// do the crawler's and the monitor's tests where they need the other side.
//
//   link_peer monitor [id] [name] [--flags N]   id: a number or "pid" (the
//                                               default); name: "Monitor";
//                                               --flags: SignalClientFlags(N)
//                                               on every attach
//   link_peer client <id|pid> <name> [--echo]   --echo: send every record
//                                               received straight back
//   link_peer hold-mutex <name>                 takes the named mutex, prints
//                                               "held" and sleeps until killed
//   link_peer send <event> <eventkind> <id> <kind> [text]
//                                               writes one record into the
//                                               event's block as sender id and
//                                               sets the event; prints "sent"
//
// Numbers may be decimal or hexadecimal ("0x230E", "$230E").
//
// Lines printed while running (each flushed at once):
//   ready | error <class> <message>   after activation; on error the object is
//                                     freed and the program ends with status 1
//   connect 1 | connect 0             the connect handler
//   signal <kind> <flags> <text>      a record delivered to the signal handler
//   directory                         the monitor's directory-update handler
// Commands, one reply line each unless said:
//   signal <kind> [text]   sends a record (SignalClient / SignalMonitor); "done"
//   flood <ms> <kind>      client: sends records of this kind, one every
//                          millisecond, for ms milliseconds; then "done"
//   flags <n>              monitor: SignalClientFlags; "done"
//   switch <id>            monitor: SetCurrentClient; "done"
//   names                  monitor: "names <n>", then n lines "name <id> <text>"
//   current                monitor: "current <id> <name>"
//   state                  "state <n>"
//   count                  "count <n>": clients in the directory
//   monitorid              "monitorid <id>"
//   quit, or end of input  frees the link object, prints "freed", status 0
//   crash                  ends at once, freeing nothing (status 3)
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/IpcThreads.h"
#include "platform/SysUtils.h"
#include "platform/Threads.h"

namespace tov {
namespace {

std::mutex g_print_mutex;

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int32_t ParseId(const std::string& text) { return text == "pid" ? static_cast<int32_t>(::getpid()) : StrToInt(text); }

// The first word of line, and the rest after one blank.
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  size_t blank = line.find(' ');
  if (blank == std::string::npos) return {line, ""};
  return {line.substr(0, blank), line.substr(blank + 1)};
}

TIPCEventData Record(const std::string& args) {
  auto [kind, text] = SplitWord(args);
  TIPCEventData data;
  data.Kind = StrToInt(kind);
  data.Text = text;
  return data;
}

void PrintRecord(const TIPCEventData& data) {
  Print("signal " + IntToStr(data.Kind) + " " + IntToStr(data.Flags) + " " + data.Text.str());
}

template <class Link>
int Serve(Link& link, const std::function<bool(const std::string&, const std::string&)>& command) {
  try {
    link->Activate();
  } catch (...) {
    Print("error " + CurrentExceptionClassName() + " " + CurrentExceptionMessage());
    link.reset();
    return 1;
  }
  Print("ready");
  std::string line;
  while (std::getline(std::cin, line)) {
    auto [word, rest] = SplitWord(line);
    try {
      if (word == "quit") break;
      if (word == "crash") ::_exit(3);
      if (word == "state") {
        Print("state " + IntToStr(link->State()));
      } else if (!command(word, rest)) {
        Print("error unknown command " + word);
      }
    } catch (...) {
      Print("error " + CurrentExceptionClassName() + " " + CurrentExceptionMessage());
    }
  }
  link.reset();
  Print("freed");
  return 0;
}

int RunMonitor(const std::vector<std::string>& args) {
  int32_t id = static_cast<int32_t>(::getpid());
  std::string name = "Monitor";
  bool send_flags = false;
  uint16_t flags = 0;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--flags" && i + 1 < args.size()) {
      send_flags = true;
      flags = static_cast<uint16_t>(StrToInt(args[++i]));
    } else {
      positional.push_back(args[i]);
    }
  }
  if (!positional.empty()) id = ParseId(positional[0]);
  if (positional.size() > 1) name = positional[1];

  auto monitor = TIPCMonitor::Create(id, name);
  TIPCMonitor* m = monitor.get();
  m->SetOnSignal([](TIPCThread*, const TIPCEventData& data) { PrintRecord(data); });
  m->SetOnConnect([=](TIPCThread*, bool connected) {
    Print(connected ? "connect 1" : "connect 0");
    if (connected && send_flags) m->SignalClientFlags(flags);
  });
  m->SetOnDirectoryUpdate([](TIPCThread*) { Print("directory"); });
  return Serve(monitor, [m](const std::string& word, const std::string& rest) {
    if (word == "signal") {
      m->SignalClient(Record(rest));
      Print("done");
    } else if (word == "flags") {
      m->SignalClientFlags(static_cast<uint16_t>(StrToInt(rest)));
      Print("done");
    } else if (word == "switch") {
      m->SetCurrentClient(StrToInt(rest));
      Print("done");
    } else if (word == "names") {
      std::vector<TClientEntry> names;
      m->GetClientNames(names);
      Print("names " + IntToStr(static_cast<int64_t>(names.size())));
      for (const TClientEntry& e : names) Print("name " + IntToStr(e.ID) + " " + e.Name);
    } else if (word == "current") {
      Print("current " + IntToStr(m->CurrentClientID()) + " " + m->CurrentClientName());
    } else if (word == "count" || word == "monitorid") {
      TClientDirectory directory(TIPCThread::kMaxClients);
      Print(word + " " + IntToStr(word == "count" ? directory.Count() : directory.GetMonitorID()));
    } else {
      return false;
    }
    return true;
  });
}

int RunClient(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    Print("error usage client <id> <name> [--echo]");
    return 2;
  }
  bool echo = args.size() > 2 && args[2] == "--echo";
  auto client = TIPCThread::Create<TIPCClient>(ParseId(args[0]), args[1]);
  TIPCClient* c = client.get();
  c->SetOnSignal([=](TIPCThread*, const TIPCEventData& data) {
    PrintRecord(data);
    if (echo) c->SignalMonitor(data);
  });
  c->SetOnConnect([](TIPCThread*, bool connected) { Print(connected ? "connect 1" : "connect 0"); });
  return Serve(client, [c](const std::string& word, const std::string& rest) {
    if (word == "signal") {
      c->SignalMonitor(Record(rest));
      Print("done");
    } else if (word == "flood") {
      auto [ms, kind] = SplitWord(rest);
      const TIPCEventData record = Record(kind);
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(StrToInt(ms));
      while (std::chrono::steady_clock::now() < end) {
        c->SignalMonitor(record);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      Print("done");
    } else if (word == "count") {
      Print("count " + IntToStr(c->ClientCount()));
    } else if (word == "monitorid") {
      TClientDirectory directory(TIPCThread::kMaxClients);
      Print("monitorid " + IntToStr(directory.GetMonitorID()));
    } else {
      return false;
    }
    return true;
  });
}

int HoldMutex(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  TMutex mutex(args[0]);
  if (!mutex.Get(kInfinite)) {
    Print("error not had");
    return 1;
  }
  Print("held");
  for (;;) ::pause();
}

int SendRaw(const std::vector<std::string>& args) {
  if (args.size() < 4) return 2;
  TIPCEvent event(nullptr, args[0], args[0] == "CONNECT_EVENT");
  TIPCEventData data;
  data.Kind = StrToInt(args[3]);
  if (args.size() > 4) data.Text = args[4];
  event.SignalData(StrToInt(args[1]), ParseId(args[2]), data);
  Print("sent");
  return 0;
}

int Main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) {
    Print("error usage link_peer monitor|client|hold-mutex|send ...");
    return 2;
  }
  std::string role = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (role == "monitor") return RunMonitor(args);
    if (role == "client") return RunClient(args);
    if (role == "hold-mutex") return HoldMutex(args);
    if (role == "send") return SendRaw(args);
  } catch (...) {
    Print("error " + CurrentExceptionClassName() + " " + CurrentExceptionMessage());
    return 1;
  }
  Print("error unknown role " + role);
  return 2;
}

}  // namespace
}  // namespace tov

int main(int argc, char** argv) { return tov::Main(argc, argv); }
