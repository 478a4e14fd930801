#include "crawler/UrlServerExchange.h"

#include <memory>

#include "common/SharedGlobals.h"
#include "platform/MessageBox.h"
#include "crawler/UrlQueue.h"
#include "crawler/UrlServerReply.h"
#include "platform/ClientSocket.h"
#include "toolkit/XmlDom.h"

namespace tov {

namespace {

constexpr uint32_t kIdleMs = 5000;
constexpr uint32_t kFailureMs = 1000;
constexpr uint32_t kAfterSendMs = 50;
constexpr uint32_t kReadPollMs = 100;
constexpr int kPrefixMissLimit = 50;  // the 52nd read that brings nothing ends the wait
constexpr int kBodyMissLimit = 200;   // the 201st
// The most a read takes in all: the prefix and the largest reply accepted,
// and one byte more, which shows that a reply is too large.
constexpr size_t kReceiveCap = UrlReplyPrefixSize + static_cast<size_t>(MaxUrlServerReplySize) + 1;

// Log texts in the 8-bit character set of the log (ø = F8, å = E5).
const std::string kTrying = "Pr\xF8" "ver \xE5" " henter inn ";
const std::string kNoPrefix = "Har n\xE5" " pr\xF8" "vd \xE5" " f\xE5" " lengde nokk ganger";
const std::string kNoBody = "Har n\xE5" " pr\xF8" "vd \xE5" " send data nokk ganger";
const std::string kCloseFailed = "Feil oppstod n\xE5" "r vi pr\xF8" "vde \xE5" " close socket";
const std::string kExchangeFailed = "Feil oppstod n\xE5" "r vi pr\xF8" "vde \xE5" " f\xE5" " data fra urlserveren";

std::string Num(int64_t v) { return std::to_string(v); }

void LogBoth(const std::string& line) {
  CallErrorLogProc(line);
  CallLogProc(line);
}

[[noreturn]] void Refuse(const std::string& why) {
  const std::string line = "URL server reply refused: " + why;
  LogBoth(line);
  throw EUrlServerError(line);
}

// Reads the ten-character prefix, and whatever came with it. Raises when the
// connection is gone or stays silent for 52 reads.
std::string ReadPrefix(TClientSocket& socket) {
  std::string prefix;
  int misses = 0;
  while (prefix.size() < UrlReplyPrefixSize) {
    const size_t before = prefix.size();
    if (!socket.Active()) throw Exception("Klient ble ikke aktiv");
    prefix += socket.ReceiveText(kReceiveCap - prefix.size());
    LogVerbose("lengde:--" + Num(static_cast<int64_t>(prefix.size())) + "-----" + "10" + "-----");
    EngineSleep(kReadPollMs);
    if (prefix.size() == before) {
      if (misses > kPrefixMissLimit) throw Exception(kNoPrefix);
      ++misses;
    }
  }
  return prefix;
}

// Reads until body holds at least expected bytes. Raises when the connection
// is gone or 201 reads in all bring nothing.
void ReadBody(TClientSocket& socket, std::string& body, int64_t expected) {
  const size_t cap = static_cast<size_t>(MaxUrlServerReplySize) + 1;
  int misses = 0;
  while (static_cast<int64_t>(body.size()) < expected) {
    const size_t before = body.size();
    if (!socket.Active()) throw Exception("Sokketen er ikke lenger activ");
    body += socket.ReceiveText(cap - body.size());
    LogVerbose("-----" + Num(static_cast<int64_t>(body.size())) + "-----" + Num(expected) + "-----");
    EngineSleep(kReadPollMs);
    if (body.size() == before) {
      ++misses;
      if (misses > kBodyMissLimit) throw Exception(kNoBody);
    }
  }
}

// Connects, sends the frame, reads the reply and hands it over. Raises on
// every failure; the caller closes and frees the socket.
void Converse(TClientSocket& socket, bool& opened, const std::string& frame) {
  socket.SetHost(UrlServerHost);
  socket.SetPort(UrlServerPort);
  LogVerbose("Client.Open begin");
  try {
    socket.Open();
    opened = true;
    LogVerbose("Client.Open end");
  } catch (...) {
    // Goes on: the send does nothing and the first read fails.
    LogBoth("Kunne ikke koble til urlserveren " + std::string(UrlServerHost) + ":" + Num(UrlServerPort) + " : " +
            CurrentExceptionClassName());
  }
  LogVerbose("Starting to send recuest for urls");
  socket.SendBuf(frame.data(), frame.size());
  LogVerbose("end recuest");
  EngineSleep(kAfterSendMs);
  LogVerbose("Reading size of transmission");

  const std::string prefix = ReadPrefix(socket);
  if (VerboseLog) LogVerbose("XML_siderlengde: " + prefix);
  LogVerbose("Geting DataSize");
  const int64_t expected = static_cast<int64_t>(DecodeUrlReplyLength(prefix)) - 10;
  LogVerbose("Skal mota " + Num(expected) + " bytes.");
  // Safeguard: reply bounds. A reply too large is refused before it is read.
  if (expected > MaxUrlServerReplySize) {
    Refuse("it announces " + Num(expected) + " bytes, more than the limit of " + Num(MaxUrlServerReplySize));
  }
  std::string body;
  if (prefix.size() > UrlReplyPrefixSize) {
    LogVerbose("Copying owerflow data");
    body = prefix.substr(UrlReplyPrefixSize);
  }
  LogVerbose("End reading size of transmission");
  ReadBody(socket, body, expected);
  if (body.size() > static_cast<size_t>(MaxUrlServerReplySize)) {
    Refuse("more than " + Num(MaxUrlServerReplySize) + " bytes arrived");
  }
  if (VerboseLog) LogVerbose("Motok: " + body);
  // Everything received goes on, also bytes beyond the announced length.
  ParseUrlServerReply(body);
}

// The frame of this turn's request, from the account as it stands now.
std::string BuildRequestFrame() {
  const TUserInfo user = CurrentUserInfo();
  const std::string xml = BuildUrlRequestXml(AppVersion, user.UserName, user.UserPassword);
  // Safeguard: frame too long. A request its frame cannot hold is not sent.
  if (xml.size() > UrlRequestXmlLimit) {
    const std::string line = "Request for urls not sent: its XML is " + Num(static_cast<int64_t>(xml.size())) +
                             " characters, more than the " + Num(UrlRequestXmlLimit) + " its frame holds";
    LogBoth(line);
    throw EUrlServerError(line);
  }
  return EncodeUrlRequestFrame(xml);
}

// One request and its reply. A failure of the connection or the reply is
// logged here and followed by a pause of one second; one while the frame is
// built is left to the main loop.
void RunExchange() {
  bool opened = false;
  ResivingInProgres = true;
  CallLogProc(kTrying + Num(UrlBatchSize) + " urler");
  const std::string frame = BuildRequestFrame();
  try {
    auto socket = std::make_unique<TClientSocket>();
    auto clean_up = [&] {
      if (opened) {
        try {
          socket->Close();
        } catch (...) {
          LogBoth(kCloseFailed);
        }
      }
      socket.reset();
    };
    try {
      Converse(*socket, opened, frame);
    } catch (...) {
      clean_up();
      throw;
    }
    clean_up();
  } catch (...) {
    CallLogProc("Unknown Error: " + CurrentExceptionClassName());
    CallLogProc(kExchangeFailed);
    EngineSleep(kFailureMs);
  }
  ResivingInProgres = false;
}

}  // namespace

std::string BuildUrlRequestXml(std::string_view version, std::string_view userName, std::string_view password) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xml><komando>get_sider_for_integrert_nedlasting</komando>"
      "<applicationversion>";
  xml += version;
  xml += "</applicationversion><user>";
  xml += EncodeXmlText(userName);
  xml += "</user><password>";
  xml += EncodeXmlText(password);
  xml += "</password><data><antall>";
  xml += Num(UrlBatchSize);
  xml += "</antall></data></xml>";
  return xml;
}

std::string EncodeUrlRequestFrame(std::string_view xml) {
  if (xml.size() > UrlRequestXmlLimit) {
    throw EUrlServerError("Request XML of " + Num(static_cast<int64_t>(xml.size())) + " bytes does not fit its frame");
  }
  std::string frame(UrlRequestFrameSize, '\0');
  frame.replace(0, 1024, 1024, ' ');
  const std::string length = Num(static_cast<int64_t>(xml.size() + UrlReplyPrefixSize));
  frame.replace(0, UrlReplyPrefixSize, UrlReplyPrefixSize, '\0');
  frame.replace(0, length.size(), length);
  frame.replace(UrlReplyPrefixSize, xml.size(), xml);
  return frame;
}

int32_t DecodeUrlReplyLength(std::string_view prefix) { return StrToInt(prefix.substr(0, UrlReplyPrefixSize)); }

void ParseUrlServerReply(const std::string& text) {
  TUrlReplyActions actions;
  actions.PutUrl = [](const UrlInfo& page) { PutUrl(page); };
  actions.Log = CallLogProc;
  actions.ErrorLog = CallErrorLogProc;
  actions.LogVerbose = LogVerbose;
  actions.Sleep = EngineSleep;
  actions.ShowMessage = [](const std::string& message) {
    ShowMessageBox({message, "Error", TMsgDlgType::mtError, mbAbort | mbRetry});  // the answer is not used
  };
  HandleUrlServerReply(text, actions);
}

THentUrlerFraUrlserverThread::~THentUrlerFraUrlserverThread() {
  THentUrlerFraUrlserverThread* self = this;
  HentUrlerFraUrlserver.compare_exchange_strong(self, nullptr);
}

void THentUrlerFraUrlserverThread::Execute() {
  while (!StopCrawling) {
    try {
      if (FetchEnabled && PendingSideFileCount() <= UrlFetchMaxPendingSideFiles && QueuedUrlCount() < UrlFetchQueueLow) {
        RunExchange();
      } else {
        EngineSleep(kIdleMs);
      }
    } catch (...) {
      CallLogProc("Noe feil skjede i main loopen");
      // Safeguard: main loop pause. A failure that comes back every turn pauses instead of
      // spinning, and the shut-down does not wait for an exchange that ended.
      ResivingInProgres = false;
      EngineSleep(kFailureMs);
    }
  }
}

}  // namespace tov
