// One entry of a side-file queue file: a 258-byte blank-padded text head, the
// compressed page and the thumbnail. Queue files are entries back to back with
// no file header and no separators; the sizes in each head are the only way to
// find the next entry, so every reader goes through the checks here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteCodec.h"
#include "platform/Files.h"

namespace tov {

// The download thread's own statuses, for a page that got no HTTP answer;
// every other status in an entry is the web server's.
constexpr int32_t StatusSocketError = 601;       // a socket failure
constexpr int32_t StatusConnectRefused = 602;    // the connection was refused
constexpr int32_t StatusConnectionClosed = 603;  // the server closed the connection
constexpr int32_t StatusReadTimeout = 604;       // the read time-out, or the page's deadline
constexpr int32_t StatusOtherFailure = 605;      // any other failure

// The result of one page as a download thread hands it over.
struct ThumbnaleData {
  const uint8_t* Thumbnail = nullptr;  // the download thread's JPEG buffer, owned by that thread
  int32_t ThumbnailSize = 0;           // JPEG bytes in Thumbnail; 0 for none
  ShortString<12> DocID;
  std::string Html;                    // the page after CompressString; may hold zero bytes
  ShortString<12> PageType;            // "crawl" or "robottxt"
  ShortString<12> Status;              // decimal HTTP status, or StatusSocketError...StatusOtherFailure
  ShortString<201> Url;
  ShortString<20> Storage;             // the storage server that is to receive the page
  ShortString<20> PeerIP;              // the web server that answered
  ShortString<30> ErrorText;           // not written to the queue file
};

constexpr size_t SideFileEntryHeadSize = 258;
// Most queue-file bytes one upload to a storage server carries: its header's
// 8-digit total counts the 81 header characters too. No entry may be larger.
constexpr int64_t MaxStorageUploadSize = 99999918;

// The whole entry, head and bytes, ready to be written with one call.
std::string EncodeSideFileEntry(const ThumbnaleData& rec);

// A head with its text fields as written, trailing blanks removed.
struct SideFileEntryHead {
  std::string PageType;
  std::string DocID;
  std::string Status;
  std::string Url;
  std::string PeerIP;
  int64_t HtmlSize = 0;
  int64_t ThumbnailSize = 0;

  int64_t EntrySize() const { return static_cast<int64_t>(SideFileEntryHeadSize) + HtmlSize + ThumbnailSize; }
};

// Reads the head at the start of `head`; nothing when fewer than 258 bytes are
// given, when a size field is not a left-aligned decimal number, or when the
// entry would be larger than MaxStorageUploadSize.
std::optional<SideFileEntryHead> DecodeSideFileEntryHead(std::string_view head);

struct SideFileEntry {
  SideFileEntryHead Head;
  std::string Html;
  std::string Thumbnail;
};

// The whole entries at the start of `bytes`, in order, and how many bytes they
// span. Bytes behind them (a partial or unreadable entry) are not decoded.
struct DecodedSideFile {
  std::vector<SideFileEntry> Entries;
  size_t WholeSize = 0;
};
DecodedSideFile DecodeSideFileEntries(std::string_view bytes);

// A queue file checked entry by entry: where each whole entry ends, and what
// was cut from its end.
struct SideFileCheck {
  std::vector<int64_t> EntryEnds;
  int64_t WholeSize = 0;
  int64_t CutBytes = 0;
  std::string KeptPath;  // where the cut bytes went
  // Why the file was left as it is (not a regular file, a second name, or no
  // whole entry at its start); empty when it was checked.
  std::string LeftAlone;
  // The checked file, open for reading and writing: what is sent is read
  // through it, never through its name again. Open only when it was checked.
  TFile File;
};
// Checks the file at path and cuts it back to its whole entries, so a
// partial entry left by a crash (or everything from a damaged head on) is
// never sent or appended behind. The cut bytes are moved aside into a kept
// file of their own, and the cut is logged through ErrorLogProc. A file that
// is not a regular one (a link is never followed), that has a second name, or
// that does not begin with a whole entry is not touched at all; the checks
// that decide are made on the open file (OpenSideFileFault). Raises
// EInOutError when the file cannot be opened, read or cut; it is then as it
// was.
SideFileCheck CheckSideFile(const std::string& path);

// Why what stands under a name of the queue folder can be no queue file:
// "not a regular file" (a link is looked at, not followed) or "it has more
// than one name" (a hard link: cutting or appending would change the file
// under its other name too). Empty for a regular file of one name, and when
// nothing can be looked at under the name (the open that follows says why).
// A look at the name only, to say what stands there: what may be written
// is decided on the open file.
std::string SideFileNameFault(const std::string& path);

// Why a regular file opened from under path (never through a link) may not
// be cut, appended to or sent: "it has more than one name", or "it was
// replaced while it was opened" when path no longer names it. Empty for the
// file of one name that path holds. Made on the descriptor, so another
// name planted under path between a look and the open is never written.
std::string OpenSideFileFault(const TFile& file, const std::string& path);

// Kept files hold bytes moved out of the queue: "<address>_kept<n>" beside
// the queue files. No such name can be a storage address or a sending name,
// so they are never taken up or sent.
constexpr const char* KeptSuffix = "_kept";
bool IsKeptSideFileName(std::string_view name);
// Renames a file, link or folder of the queue folder to a kept name of its
// storage address and logs why; returns the kept path. Raises EInOutError
// when it cannot be moved.
std::string MoveSideFileAside(const std::string& path, const std::string& why);

}  // namespace tov
