// A download thread: takes page records from the page queue one at a time,
// fetches each page, classifies the outcome into a status, renders a thumbnail
// of a cleaned copy where the URL server asked for one, compresses the page and
// appends the result to its storage server's queue file, then reports the page
// and the running-thread count. Started only by SetCrawlers; it leaves when
// the engine stops or more threads run than are wanted, and frees itself.
//
// Each thread owns its HTTP client, HTML cleaner, thumbnail maker, thumbnail
// buffer and work file <WorkDir>/tmp/<thread id>.html; none is shared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "crawler/SideFileEntry.h"
#include "crawler/UrlQueue.h"
#include "platform/ByteCodec.h"
#include "platform/HttpClient.h"
#include "platform/Threads.h"

namespace tov {

class TCleanHtml;
class TMakeThumpnale;

// The thumbnail buffer's size; a JPEG enters a page's entry only when it is
// smaller than this.
constexpr int32_t ThumbnailBufferSize = 20480;
// How often a download thread tries again to write an entry that could not
// be written, with the page in hand.
constexpr uint32_t EntryRetryMs = 5000;
// Failures of an unexpected class the thumbnail maker may have in one run
// before each further one also stops the crawler with a message.
constexpr int32_t ThumbnailErrorLimit = 10;

// The longest a download thread spends on one page once connected, header
// and body: five minutes, 2.5 times the read time-out, is enough for the
// largest page kept (5 MiB) at 18 KB/s, and it bounds what a server that
// sends a byte now and then can hold a thread. A page cut there gets
// StatusReadTimeout.
constexpr int CrawlerPageDeadlineMs = 300000;

// The HTTP settings every download thread makes on its client.
void ConfigureCrawlerHttp(TIdHTTP& http);

// Counts one thumbnail failure of an unexpected class in ThumbnailErrorCount,
// shared by all download threads and never lowered. False for the first
// ThumbnailErrorLimit failures of the run; true for every later one, which
// must also stop the crawler with ThumbnailFatalMessage.
bool CountThumbnailFailure();
std::string ThumbnailFatalMessage(const std::string& className, const std::string& message);

class TCrawlerThread : public TThread {
 public:
  TCrawlerThread();
  ~TCrawlerThread() override;

  // The client's OnConnected: keeps the address of the server it reached.
  void HttpConnected(TIdHTTP& sender);
  // The client's OnRedirect: keeps the target and refuses to follow it.
  void HttpRedirect(TIdHTTP& sender, std::string& dest, int& redirectCount, bool& handled, std::string& method);

 protected:
  void Execute() override;

 private:
  // What lives for one run of Execute: made at its start, freed at its end
  // however it ends.
  struct Tools;

  void PageLoop(Tools& tools);
  void ProcessPage(Tools& tools, const UrlInfo& page);
  // GETs the page; returns the status code and fills body, whatever failed.
  int32_t Fetch(const UrlInfo& page, std::string& body, ThumbnaleData& rec);
  // Appends the page's entry. While it cannot be written the page is kept
  // and its entry tried again every EntryRetryMs, and no thread takes a new
  // page; false when the engine stopped first, with the page back in the
  // page queue to be saved.
  bool QueueEntry(const ThumbnaleData& rec, const UrlInfo& page);
  // Cleans a copy of body into the work file and renders it; returns the
  // JPEG's length in the buffer, 0 for none.
  int32_t MakePageThumbnail(Tools& tools, const UrlInfo& page, const std::string& body);
  // Runs on the window thread through the synchronised call.
  void ShowFatalError();
  // Logs the exit, deletes the work file, frees what the run made and only
  // then lowers RunningThreads.
  void ExitSequence(std::unique_ptr<Tools>& tools);

  std::unique_ptr<TIdHTTP> Http;
  ShortString<20> PeerIP;
  std::string ErrorMessage;
  ShortString<200> RedirectUrl;
};

}  // namespace tov
