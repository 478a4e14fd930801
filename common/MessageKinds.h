// The application kinds of the link's message record (TIPCEventData::Kind).
// Where a number travels, the record's text holds it in decimal.
#pragma once

#include <cstdint>

namespace tov {

// No kind: the record of a block nothing was sent through yet (the monitor
// sends it again with its flags on every attach), and a client's answer when
// its attach failed.
constexpr int32_t KindNone = 0;
// The client's answer to the monitor's attach request; the monitor takes
// only this kind as attached.
constexpr int32_t KindAttachOk = 4;

// Monitor to crawler.
constexpr int32_t KindSetUserInfo = 5;  // settings changed: re-read the user settings
constexpr int32_t KindShowForm = 6;     // show the crawler's window
constexpr int32_t KindHideForm = 7;     // hide the crawler's window
constexpr int32_t KindSetCrawlers = 11; // run this many download threads
constexpr int32_t KindExit = 12;        // end the crawler

// Crawler to monitor.
constexpr int32_t KindUrlOk = 8;        // a page fetched
constexpr int32_t KindUrlError = 9;     // a page failed
constexpr int32_t KindRobotsTxt = 10;   // a robots.txt fetched
constexpr int32_t KindThreadCount = 13; // heartbeat: running download threads

}  // namespace tov
