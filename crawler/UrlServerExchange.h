// The URL-fetch thread: whenever fetching is enabled, few side-file entries
// wait and fewer than 500 pages are queued, it asks the URL server for 500
// pages over a new TCP connection (one fixed 2048-byte request frame), reads
// the length-prefixed XML reply and hands it to the reply handling, which
// queues the pages. One connection per batch; nothing carries over.
//
// Wire formats. Request frame: bytes 0-9 the decimal text of (XML length + 10),
// left-aligned and zero-filled; from byte 10 the request XML (at most 1014
// bytes); blanks up to byte 1023; zero bytes from 1024 to 2047. Reply: ten
// characters holding the total length (prefix included) as an integer text,
// then the reply XML.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crawler/CrawlerEngine.h"
#include "platform/Threads.h"

namespace tov {

constexpr int32_t UrlBatchSize = 500;
constexpr size_t UrlRequestFrameSize = 2048;
constexpr size_t UrlRequestXmlLimit = 1014;  // the XML must end by byte 1023
constexpr size_t UrlReplyPrefixSize = 10;
// A request is made only while at most this many side-file entries wait ...
constexpr int32_t UrlFetchMaxPendingSideFiles = 1500;
// ... and fewer than this many pages are queued.
constexpr int32_t UrlFetchQueueLow = 500;

// The request XML for one batch. In user name and password only "&", "<" and
// ">" become references, so no setting can end their elements early or add
// others, and every other character goes as typed, as in the storage header.
std::string BuildUrlRequestXml(std::string_view version, std::string_view userName, std::string_view password);
// The 2048-byte request frame around xml; EUrlServerError when xml is longer
// than UrlRequestXmlLimit.
std::string EncodeUrlRequestFrame(std::string_view xml);
// The reply's announced total: the class library's integer conversion of the
// first ten characters (EConvertError when they are not an integer).
int32_t DecodeUrlReplyLength(std::string_view prefix);

// The reply handling bound to the engine: pages into the page queue, lines to
// LogProc (refusals also to ErrorLogProc), verbose lines through LogVerbose,
// pauses through EngineSleep and texts for the user in the error message box.
void ParseUrlServerReply(const std::string& text);

class THentUrlerFraUrlserverThread : public TThread {
 public:
  ~THentUrlerFraUrlserverThread() override;

 protected:
  // Runs until it sees StopCrawling at the top of a turn; an exchange in
  // progress (its reads, its pause, a wait for room in the queue) ends first.
  void Execute() override;
};

// The running URL-fetch thread; cleared when it has ended and freed itself.
extern std::atomic<THentUrlerFraUrlserverThread*>& HentUrlerFraUrlserver;

}  // namespace tov
