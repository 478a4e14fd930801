#include "crawler/SideFileEntry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "crawler/CrawlerEngine.h"
#include "crawler/SideFileQueue.h"
#include "platform/Files.h"

namespace tov {

namespace {

constexpr std::string_view kEntryFormat = "%-10.10s%-10.10s%-3.3s%-200.200s%-15.15s%-10d%-10d%-s";

struct HeadField {
  size_t offset;
  size_t width;
};
constexpr HeadField kPageType{0, 10};
constexpr HeadField kDocID{10, 10};
constexpr HeadField kStatus{20, 3};
constexpr HeadField kUrl{23, 200};
constexpr HeadField kPeerIP{223, 15};
constexpr HeadField kHtmlSize{238, 10};
constexpr HeadField kThumbnailSize{248, 10};

std::string TextField(std::string_view head, HeadField f) {
  std::string_view v = head.substr(f.offset, f.width);
  size_t end = v.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view() : v.substr(0, end + 1));
}

// "%-10d" of a count: digits from the first byte, then blanks only.
std::optional<int64_t> SizeField(std::string_view head, HeadField f) {
  std::string_view v = head.substr(f.offset, f.width);
  size_t i = 0;
  int64_t value = 0;
  while (i < v.size() && v[i] >= '0' && v[i] <= '9') value = value * 10 + (v[i++] - '0');
  if (i == 0) return std::nullopt;
  for (; i < v.size(); ++i) {
    if (v[i] != ' ') return std::nullopt;
  }
  return value;
}

}  // namespace

std::string EncodeSideFileEntry(const ThumbnaleData& rec) {
  const bool has_thumbnail = rec.Thumbnail != nullptr && rec.ThumbnailSize > 0;
  const int64_t thumbnail_size = has_thumbnail ? rec.ThumbnailSize : 0;
  std::string entry = Format(kEntryFormat, {rec.PageType.view(), rec.DocID.view(), rec.Status.view(), rec.Url.view(),
                                            rec.PeerIP.view(), static_cast<int64_t>(rec.Html.size()), thumbnail_size,
                                            std::string_view(rec.Html)});
  if (has_thumbnail) entry.append(reinterpret_cast<const char*>(rec.Thumbnail), static_cast<size_t>(thumbnail_size));
  return entry;
}

std::optional<SideFileEntryHead> DecodeSideFileEntryHead(std::string_view head) {
  if (head.size() < SideFileEntryHeadSize) return std::nullopt;
  auto html = SizeField(head, kHtmlSize);
  auto thumbnail = SizeField(head, kThumbnailSize);
  if (!html || !thumbnail) return std::nullopt;
  SideFileEntryHead h;
  h.PageType = TextField(head, kPageType);
  h.DocID = TextField(head, kDocID);
  h.Status = TextField(head, kStatus);
  h.Url = TextField(head, kUrl);
  h.PeerIP = TextField(head, kPeerIP);
  h.HtmlSize = *html;
  h.ThumbnailSize = *thumbnail;
  if (h.EntrySize() > MaxStorageUploadSize) return std::nullopt;
  return h;
}

DecodedSideFile DecodeSideFileEntries(std::string_view bytes) {
  DecodedSideFile out;
  size_t pos = 0;
  while (pos < bytes.size()) {
    auto head = DecodeSideFileEntryHead(bytes.substr(pos));
    if (!head || static_cast<uint64_t>(head->EntrySize()) > bytes.size() - pos) break;
    SideFileEntry e;
    e.Html = std::string(bytes.substr(pos + SideFileEntryHeadSize, static_cast<size_t>(head->HtmlSize)));
    e.Thumbnail = std::string(
        bytes.substr(pos + SideFileEntryHeadSize + static_cast<size_t>(head->HtmlSize), static_cast<size_t>(head->ThumbnailSize)));
    pos += static_cast<size_t>(head->EntrySize());
    e.Head = std::move(*head);
    out.Entries.push_back(std::move(e));
  }
  out.WholeSize = pos;
  return out;
}

bool IsKeptSideFileName(std::string_view name) {
  const size_t at = name.rfind(KeptSuffix);
  if (at == std::string_view::npos || at == 0) return false;
  std::string_view number = name.substr(at + std::string_view(KeptSuffix).size());
  return !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
}

namespace {

constexpr int kMaxKeptNumber = 100000;

// "<folder>/<address>_kept<n>" for n = 1, 2, ...: the first name that
// `claim` manages to take (it fails on a name in use).
template <typename Claim>
std::string TakeKeptName(const std::string& path, Claim claim) {
  const size_t slash = path.rfind('/');
  std::string base = path.substr(0, slash == std::string::npos ? 0 : slash + 1);
  std::string_view name = std::string_view(path).substr(base.size());
  const std::string_view sending = SendingSuffix;
  if (name.size() > sending.size() && name.ends_with(sending)) name.remove_suffix(sending.size());
  base.append(name).append(KeptSuffix);
  for (int n = 1; n <= kMaxKeptNumber; ++n) {
    std::string kept = base + std::to_string(n);
    if (claim(kept)) return kept;
  }
  throw EInOutError(IoCodeFromErrno(EEXIST));
}

// Copies the bytes from `from` to the end of `file` into a new kept file.
std::string CopyTailAside(TFile& file, const std::string& path, int64_t from, int64_t size) {
  TFile kept;
  const std::string kept_path = TakeKeptName(path, [&](const std::string& name) {
    try {
      kept = TFile::CreateNew(name);
      return true;
    } catch (const EInOutError& e) {
      if (e.ErrorCode() == IoCodeFromErrno(EEXIST)) return false;
      throw;
    }
  });
  try {
    std::string buffer(64 * 1024, '\0');
    file.Seek(from);
    for (int64_t pos = from; pos < size;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), size - pos));
      file.ReadExact(buffer.data(), n);
      kept.Write(buffer.data(), n);
      pos += static_cast<int64_t>(n);
    }
    kept.Close();
  } catch (...) {
    kept = TFile();
    DeleteFile(kept_path);
    throw;
  }
  return kept_path;
}

}  // namespace

std::string MoveSideFileAside(const std::string& path, const std::string& why) {
  const std::string kept = TakeKeptName(path, [&](const std::string& name) {
    if (RenameNoReplace(path, name)) return true;
    if (errno == EEXIST) return false;
    RaiseIoErrorFromErrno(errno);
  });
  CallErrorLogProc("Side file " + path + " moved aside to " + kept + ": " + why);
  return kept;
}

std::string SideFileNameFault(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  // Safeguard: take-up destroys nothing. A link planted in the queue folder is never followed, and a FIFO
  // never waited on.
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  // Safeguard: one name only. The bytes of a file with a second name belong to that name too.
  if (st.st_nlink > 1) return "it has more than one name";
  return {};
}

std::string OpenSideFileFault(const TFile& file, const std::string& path) {
  // Safeguard: one name only. The count first, then the name: a file that had one name and is the one the
  // name holds afterwards is no other name's file.
  if (file.NameCount() != 1) return "it has more than one name";
  if (!file.IsFileAt(path)) return "it was replaced while it was opened";
  return {};
}

SideFileCheck CheckSideFile(const std::string& path) {
  SideFileCheck check;
  check.LeftAlone = SideFileNameFault(path);
  if (!check.LeftAlone.empty()) return check;
  TFile file = TFile::OpenRegular(path, TFile::Mode::ReadWrite);
  check.LeftAlone = OpenSideFileFault(file, path);
  if (!check.LeftAlone.empty()) return check;
  const int64_t size = file.Size();
  std::string head(SideFileEntryHeadSize, '\0');
  int64_t pos = 0;
  while (pos < size) {
    if (size - pos < static_cast<int64_t>(SideFileEntryHeadSize)) break;
    file.Seek(pos);
    file.ReadExact(head.data(), head.size());
    auto h = DecodeSideFileEntryHead(head);
    if (!h || h->EntrySize() > size - pos) break;
    pos += h->EntrySize();
    check.EntryEnds.push_back(pos);
  }
  // Safeguard: take-up destroys nothing. A file that is no queue file (a user's notes, say) is not cut to
  // nothing.
  if (pos == 0 && size > 0) {
    check.LeftAlone = "no whole entry at its start";
    return check;
  }
  check.WholeSize = pos;
  check.CutBytes = size - pos;
  if (check.CutBytes > 0) {
    // Safeguard: cut bytes kept. Bytes cut from a queue file are kept in a file of their own, never destroyed.
    check.KeptPath = CopyTailAside(file, path, pos, size);
    file.Truncate(pos);
    CallErrorLogProc("Side file " + path + ": cut " + std::to_string(check.CutBytes) +
                     " bytes of a partial or unreadable entry behind its " + std::to_string(check.EntryEnds.size()) +
                     " whole entries; they are kept in " + check.KeptPath);
  }
  check.File = std::move(file);
  return check;
}

}  // namespace tov
