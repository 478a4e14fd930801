#include "crawler/CrawlerThread.h"

#include <array>

#include "crawler/CrawlerEngine.h"
#include "crawler/SideFileQueue.h"
#include "platform/Files.h"
#include "toolkit/CleanHtml.h"
#include "toolkit/MakeThumpnale.h"
#include "toolkit/ZlibCompress.h"

namespace tov {

struct TCrawlerThread::Tools {
  explicit Tools(std::string name) : WorkFileName(std::move(name)), Maker(WorkFileName) {}

  std::array<uint8_t, ThumbnailBufferSize> Thumbnail{};
  std::string WorkFileName;
  TMakeThumpnale Maker;
  TCleanHtml Cleaner;
};

void ConfigureCrawlerHttp(TIdHTTP& http) {
  http.ProtocolVersion = pv1_1;
  http.Request.Accept = "text/html";
  http.Request.ContentLength = 0;
  http.Request.ContentRangeEnd = 0;
  http.Request.ContentRangeStart = 0;
  http.ReadTimeout = 120000;
  http.ConnectTimeout = 120000;
  // Safeguard: page deadline. A page that trickles cannot hold its thread for ever.
  http.PageDeadline = CrawlerPageDeadlineMs;
  http.AllowCookies = false;
  http.Request.UserAgent = UserAgent;
  http.Request.AcceptLanguage = "en";
}

TCrawlerThread::TCrawlerThread() = default;
TCrawlerThread::~TCrawlerThread() = default;

void TCrawlerThread::HttpConnected(TIdHTTP& sender) { PeerIP = sender.PeerIP(); }

void TCrawlerThread::HttpRedirect(TIdHTTP& /*sender*/, std::string& dest, int& /*redirectCount*/, bool& handled,
                                  std::string& /*method*/) {
  RedirectUrl = dest;
  handled = false;
}

void TCrawlerThread::ShowFatalError() {
  if (HoltErrorProc) HoltErrorProc(ErrorMessage);
}

void TCrawlerThread::Execute() {
  int32_t n;
  {
    std::lock_guard<std::mutex> lock(ThreadCountLock);
    n = RunningThreads.fetch_add(1) + 1;
    ThreadsBeingCreated.fetch_sub(1);
  }
  CallLogProc(std::to_string(n) + " started");
  EngineSleep(200u * static_cast<uint32_t>(n));  // threads started together begin one after another

  std::unique_ptr<Tools> tools;
  try {
    tools = std::make_unique<Tools>(WorkDir + "/tmp/" + std::to_string(ThreadID()) + ".html");
    Http = std::make_unique<TIdHTTP>();
    ConfigureCrawlerHttp(*Http);
    Http->OnRedirect = [this](TIdHTTP& s, std::string& dest, int& count, bool& handled, std::string& method) {
      HttpRedirect(s, dest, count, handled, method);
    };
    Http->OnConnected = [this](TIdHTTP& s) { HttpConnected(s); };
    PageLoop(*tools);
  } catch (...) {
    // The page in hand is lost; the thread still leaves through its exit
    // sequence, and the monitor's next thread count starts a new one.
    CallErrorLogProc("Download thread " + std::to_string(ThreadID()) + " ended by " + CurrentExceptionClassName() +
                     ": " + CurrentExceptionMessage());
  }
  ExitSequence(tools);
}

void TCrawlerThread::PageLoop(Tools& tools) {
  while (!StopCrawling && RunningThreads <= WantedThreads) {
    UrlInfo page;
    if (!GetUrl(page)) break;  // the engine stopped while this thread waited
    ProcessPage(tools, page);
  }
}

void TCrawlerThread::ProcessPage(Tools& tools, const UrlInfo& page) {
  ThumbnaleData rec;
  rec.Thumbnail = tools.Thumbnail.data();
  rec.ThumbnailSize = 0;
  rec.DocID = page.DocID.view();
  rec.Url = page.Url.view();
  rec.Storage = page.Storage.view();
  rec.PageType = page.PageType.view();

  std::string body;
  const int32_t code = Fetch(page, body, rec);
  rec.Status = IntToStr(code);

  if (code == 200 && ContainsText(Http->Response().ContentType, "text")) {
    CallLogProc("Url: " + page.Url.str() + " for " + page.PageType.str() + ": " + IntToStr(code));
    if (body.size() > static_cast<size_t>(MaxHtmlSize)) {
      body.resize(static_cast<size_t>(MaxHtmlSize));
      CallLogProc("Html was to long. Trunkating");
    }
    rec.PeerIP = PeerIP.view();
    if (page.PageType == "robottxt") {
      rec.ThumbnailSize = 0;
      rec.DocID.clear();
    } else if (!page.MakeThumbnale) {
      rec.ThumbnailSize = 0;
    } else if (ContainsText(body, "<frameset")) {
      CallLogProc(page.Url.str() + " have frames, useing frame mode.");
    } else if (ContainsText(body, "file://")) {
      CallLogProc(page.Url.str() + " asked for locale file.");
    } else if (page.PageType != "crawl") {
      body.clear();
    } else {
      rec.ThumbnailSize = MakePageThumbnail(tools, page, body);
    }
  }

  rec.Html = CompressString(body, 2);
  if (!QueueEntry(rec, page)) return;

  if (StatProc) {
    if (page.PageType == "robottxt") {
      StatProc(StatRobotsTxt);
    } else if (page.PageType == "crawl") {
      StatProc(code == 200 ? StatUrlOk : StatUrlError);
    }
  }
  ReportThreadCount();
}

bool TCrawlerThread::QueueEntry(const ThumbnaleData& rec, const UrlInfo& page) {
  std::string failure;
  try {
    AddToSideFileQueue(rec, false);
    return true;
  } catch (const EInOutError& e) {
    failure = e.Message();
  }
  // Safeguard: entry pause. An entry that cannot be written pauses fetching, so no thread fetches pages again
  // and again for nothing.
  // (No sqtemp, no rights, a full disk.) The page waits in hand, and no thread takes a new one meanwhile.
  struct Hold {
    bool first = HoldUrlTaking();
    ~Hold() { ReleaseUrlTaking(); }
  } hold;
  const std::string url = page.Url.str();
  if (hold.first) {
    CallErrorLogProc("cant queue " + url + " for " + page.Storage.str() + ": " + SideFileName(page.Storage.str()) +
                     ": " + failure + "; fetching pauses until its entry can be written");
  }
  CallLogProc("Url: " + url + " waits until its entry can be written");
  for (;;) {
    EngineSleep(EntryRetryMs);
    if (StopCrawling) {
      PutUrl(page);  // to be saved with the rest of the queue
      return false;
    }
    try {
      AddToSideFileQueue(rec, false);
      CallLogProc("Url: " + url + " queued at last, fetching goes on");
      return true;
    } catch (const EInOutError&) {
    }
  }
}

int32_t TCrawlerThread::Fetch(const UrlInfo& page, std::string& body, ThumbnaleData& rec) {
  body.clear();
  // Safeguard: redirect without target. It must not carry the target of an earlier page.
  RedirectUrl.clear();
  const std::string url = page.Url.str();
  const std::string cant_crawl = "Url: " + url + " for " + page.PageType.str() + ", cant crawl: ";
  auto failed = [&](int32_t code, const EIdException& e) {
    CallLogProc(cant_crawl + e.Message());
    rec.ErrorText = LeftStr(e.Message(), 30);
    return code;
  };
  try {
    body = Http->Get(url);
    return Http->ResponseCode();
  } catch (const EIdSocketError& e) {
    return failed(StatusSocketError, e);
  } catch (const EIdConnClosedGracefully& e) {
    return failed(StatusConnectionClosed, e);
  } catch (const EIdConnectException& e) {
    return failed(StatusConnectRefused, e);
  } catch (const EIdHTTPProtocolException& e) {
    const int32_t status = e.ErrorCode();
    if (status == 301 || status == 302) {
      body = RedirectUrl.str();
      CallLogProc("Url: " + url + " Redirects to " + body + " : " + IntToStr(status));
    } else {
      CallLogProc("Url: " + url + " for " + page.PageType.str() + " : " + IntToStr(status));
    }
    return status;
  } catch (const EIdReadTimeout& e) {
    return failed(StatusReadTimeout, e);
  } catch (...) {
    const std::string name = CurrentExceptionClassName();
    CallLogProc("Unknown Error: " + name);
    LogVerbose("kunne ikke laste ned url: " + name);
    body.clear();
    return StatusOtherFailure;
  }
}

int32_t TCrawlerThread::MakePageThumbnail(Tools& tools, const UrlInfo& page, const std::string& body) {
  std::string copy = body;
  try {
    tools.Cleaner.Clean(copy);
  } catch (...) {
    CallErrorLogProc("cant clean html");
  }

  try {
    TFile work = TFile::Create(tools.WorkFileName);
    work.Write("<BASE HREF=\"" + page.Url.str() + "\">\r\n");
    work.Write(copy);
    work.Write("\r\n");
    work.Close();
  } catch (...) {
    // Safeguard: refused work-file name. A name the system refuses (too long, say) costs only the thumbnail.
    CallErrorLogProc("kunne ikke jobbe med html fil " + tools.WorkFileName);
    return 0;
  }

  int32_t size = ThumbnailBufferSize;
  try {
    tools.Maker.MakeThumbnail(tools.Thumbnail.data(), size);
  } catch (const EInvalidOp& e) {
    CallErrorLogProc("EInvalidOp: Kunne ikke lage thumbnale for " + page.DocID.str() + ": " + e.Message());
    return 0;
  } catch (const EInvalidOperation& e) {
    CallErrorLogProc("EInvalidOperation: Kunne ikke lage thumbnale for " + page.DocID.str() + ": " + e.Message());
    return 0;
  } catch (const EAccessViolation& e) {
    CallErrorLogProc("EAccessViolation: Kunne ikke lage thumbnale for " + page.DocID.str() + ": " + e.Message());
    return 0;
  } catch (...) {
    const std::string name = CurrentExceptionClassName();
    CallErrorLogProc("kunne ikke lage thumbnale for " + page.DocID.str() + ": " + name);
    if (CountThumbnailFailure()) {
      ErrorMessage = ThumbnailFatalMessage(name, CurrentExceptionMessage());
      Synchronize([this] { ShowFatalError(); });  // the window closes the crawler; this page goes on
    }
    return 0;
  }
  // Safeguard: no stale thumbnail. A maker that made no picture leaves the size it was given; the buffer
  // then holds no JPEG of this page.
  return size > 0 && size < ThumbnailBufferSize ? size : 0;
}

bool CountThumbnailFailure() {
  if (ThumbnailErrorCount < ThumbnailErrorLimit) {
    std::lock_guard<std::mutex> lock(ThreadCountLock);
    ThumbnailErrorCount.fetch_add(1);
    return false;
  }
  return true;
}

std::string ThumbnailFatalMessage(const std::string& className, const std::string& message) {
  return "Can`t create thumbnails. " + LeftStr(ExceptionDescription(className, message), 255) +
         ". Error type is \"" + className + "\". Try to restart the crawler if it has worked before";
}

void TCrawlerThread::ExitSequence(std::unique_ptr<Tools>& tools) {
  try {
    CallLogProc("prepering to exiting");
    if (tools != nullptr && FileExists(tools->WorkFileName) && !DeleteFile(tools->WorkFileName)) {
      CallErrorLogProc("cant delete crawler temp file");
    }
    CallLogProc("Thread " + std::to_string(ThreadID()) + " exiting");
    Http.reset();
    tools.reset();
  } catch (const EAccessViolation& e) {
    CallErrorLogProc("Feil i finaly i MakeThumbnaleTread. EAccessViolation: " + e.Message());
  } catch (...) {
    CallErrorLogProc("Feil i finaly i MakeThumbnaleTread: " + CurrentExceptionClassName());
  }
  // Safeguard: counted to the end. Last, and whatever failed above: once the count no longer holds this
  // thread, the shut-down may end the process, so nothing may follow.
  std::lock_guard<std::mutex> lock(ThreadCountLock);
  RunningThreads.fetch_sub(1);
}

}  // namespace tov
