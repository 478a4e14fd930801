// Reading a URL server's XML reply: every page element becomes a page record,
// and the server's error instructions are carried out (a pause before the next
// request, or a text shown to the user).
//
// The reading is kept apart from the engine: what it does with a page, a log
// line, a pause or a box goes through TUrlReplyActions, so it can be driven on
// its own (tests, the fuzz target). ParseUrlServerReply in UrlServerExchange.h
// binds it to the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "crawler/UrlQueue.h"
#include "platform/SysUtils.h"

namespace tov {

// A reply the crawler refuses: too large, or too many nodes.
TOV_DECLARE_EXCEPTION(EUrlServerError, Exception);

// Bytes of reply XML accepted from the URL server. A reply of 500 pages with
// every field at its longest is about 190 KB; a larger one is refused whole.
// The tree of an accepted reply can take many times its size (one tag of a
// million one-letter attributes, say), so the limit is not set higher.
constexpr int32_t MaxUrlServerReplySize = 2097152;
// Nodes (elements, comments and other markup) one reply may hold; a reply of
// 500 pages has about 3000. This keeps the tree of the largest reply accepted
// small even when it is nothing but tiny elements.
constexpr int MaxUrlServerReplyNodes = 100000;
// The longest pause a general error can ask for, in seconds: the most whose
// milliseconds fit in a signed 32-bit count (about 24.8 days). A request below
// 0 pauses 0 seconds.
constexpr int32_t MaxUrlServerSleepSeconds = 2147483;

struct TUrlReplyActions {
  std::function<void(const UrlInfo& page)> PutUrl;  // may wait for room
  std::function<void(const std::string& line)> Log;
  std::function<void(const std::string& line)> ErrorLog;  // refusals go here first, then to Log
  std::function<void(const std::string& line)> LogVerbose;
  std::function<void(uint32_t ms)> Sleep;
  std::function<void(const std::string& text)> ShowMessage;  // an error box; its answer is not used
};

// Handles one reply text (everything after the length prefix) through the
// actions. Raises what the XML reader raises, EConvertError for a sleep value
// that is not an integer, and EUrlServerError for a reply above the limits
// (logged first). Pages handled before a failure stay handed over; a reply
// that cannot be read hands over none.
void HandleUrlServerReply(std::string_view text, const TUrlReplyActions& actions);

}  // namespace tov
