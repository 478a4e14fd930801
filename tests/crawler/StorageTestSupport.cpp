#include "tests/crawler/StorageTestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace tov::test {

namespace {

std::string Trimmed(std::string_view v) {
  size_t end = v.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view() : v.substr(0, end + 1));
}

}  // namespace

StorageUpload DecodeStorageUpload(const std::string& bytes) {
  constexpr size_t kHeader = 81;
  StorageUpload up;
  if (bytes.size() < kHeader) {
    up.Body = bytes;
    return up;
  }
  std::string_view h(bytes.data(), kHeader);
  up.Header = std::string(h);
  int32_t total = 0;
  up.Total = TryStrToInt(Trimmed(h.substr(0, 8)), total) ? total : -1;
  up.Number = Trimmed(h.substr(8, 2));
  up.Command = Trimmed(h.substr(10, 10));
  up.Version = Trimmed(h.substr(20, 6));
  up.UserName = Trimmed(h.substr(26, 12));
  up.UserPassword = Trimmed(h.substr(38, 12));
  up.DedicatedFlag = std::string(h.substr(50, 1));
  up.DedicatedServerName = Trimmed(h.substr(51, 10));
  up.TeamName = Trimmed(h.substr(61, 20));
  up.Body = bytes.substr(kHeader);
  up.Entries = DecodeSideFileEntries(up.Body);
  return up;
}

StandInStorageServer::StandInStorageServer(const std::string& dir, std::vector<std::string> addresses, int reset,
                                           int read_rate)
    : process_("storage_server.py", dir, Arguments(addresses, reset, read_rate)) {}

std::vector<std::string> StandInStorageServer::Arguments(const std::vector<std::string>& addresses, int reset,
                                                         int read_rate) {
  std::vector<std::string> args;
  for (const auto& a : addresses) {
    args.push_back("--addr");
    args.push_back(a);
  }
  if (reset > 0) {
    args.push_back("--reset");
    args.push_back(std::to_string(reset));
  }
  if (read_rate >= 0) {
    args.push_back("--read-rate");
    args.push_back(std::to_string(read_rate));
  }
  return args;
}

std::vector<StorageUpload> StandInStorageServer::Uploads() const {
  std::vector<StorageUpload> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(process_.Dir(), ec)) {
    std::string name = e.path().filename().string();
    if (e.path().extension() != ".bin") continue;
    size_t dash = name.rfind('-');
    if (dash == std::string::npos) continue;
    StorageUpload up = DecodeStorageUpload(ReadFileBytes(e.path().string()));
    up.LocalAddress = name.substr(0, dash);
    up.Sequence = std::atoi(name.c_str() + dash + 1);
    out.push_back(std::move(up));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.Sequence < b.Sequence; });
  return out;
}

std::vector<StorageUpload> StandInStorageServer::UploadsTo(const std::string& address) const {
  std::vector<StorageUpload> out;
  for (auto& up : Uploads()) {
    if (up.LocalAddress == address) out.push_back(std::move(up));
  }
  return out;
}

size_t StandInStorageServer::CountRecords(const std::string& extension, const std::string& address) const {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(process_.Dir(), ec)) {
    if (e.path().extension() != extension) continue;
    if (address.empty() || e.path().filename().string().rfind(address + "-", 0) == 0) ++n;
  }
  return n;
}

ThumbnaleData MakeThumbnaleData(int n, const std::string& storage, size_t html_size, size_t thumbnail_size,
                                std::string* thumbnail_store) {
  ThumbnaleData rec;
  rec.PageType = n % 7 == 0 ? "robottxt" : "crawl";
  rec.DocID = "d" + std::to_string(n);
  rec.Status = n % 5 == 0 ? "404" : "200";
  rec.Url = "http://site" + std::to_string(n % 13) + ".example/page/" + std::to_string(n);
  rec.Storage = storage;
  rec.PeerIP = "10.1.2." + std::to_string(n % 250);
  rec.Html.resize(html_size);
  for (size_t i = 0; i < html_size; ++i) rec.Html[i] = static_cast<char>((i * 31 + static_cast<size_t>(n)) % 251);
  if (thumbnail_size > 0 && thumbnail_store != nullptr) {
    thumbnail_store->assign(thumbnail_size, static_cast<char>(n % 256));
    rec.Thumbnail = reinterpret_cast<const uint8_t*>(thumbnail_store->data());
    rec.ThumbnailSize = static_cast<int32_t>(thumbnail_size);
  }
  return rec;
}

std::string InflatePage(const std::string& stream) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  std::string out;
  char chunk[65536];
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    r = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
  }
  EXPECT_EQ(r, Z_STREAM_END) << "the page's stream is damaged or cut";
  EXPECT_EQ(z.avail_in, 0u) << "bytes behind the page's stream";
  inflateEnd(&z);
  return out;
}

SideFileEntry ExpectedEntry(const ThumbnaleData& rec) {
  SideFileEntry e;
  e.Head.PageType = rec.PageType.str();
  e.Head.DocID = rec.DocID.str().substr(0, 10);
  e.Head.Status = rec.Status.str().substr(0, 3);
  e.Head.Url = rec.Url.str().substr(0, 200);
  e.Head.PeerIP = rec.PeerIP.str().substr(0, 15);
  e.Head.HtmlSize = static_cast<int64_t>(rec.Html.size());
  e.Head.ThumbnailSize = rec.Thumbnail ? rec.ThumbnailSize : 0;
  e.Html = rec.Html;
  if (rec.Thumbnail) e.Thumbnail.assign(reinterpret_cast<const char*>(rec.Thumbnail), static_cast<size_t>(rec.ThumbnailSize));
  return e;
}

bool SameEntry(const SideFileEntry& a, const SideFileEntry& b) {
  return a.Head.PageType == b.Head.PageType && a.Head.DocID == b.Head.DocID && a.Head.Status == b.Head.Status &&
         a.Head.Url == b.Head.Url && a.Head.PeerIP == b.Head.PeerIP && a.Head.HtmlSize == b.Head.HtmlSize &&
         a.Head.ThumbnailSize == b.Head.ThumbnailSize && a.Html == b.Html && a.Thumbnail == b.Thumbnail;
}

::testing::AssertionResult SameEntries(const std::vector<SideFileEntry>& got, const std::vector<SideFileEntry>& want) {
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
    if (!SameEntry(got[i], want[i])) {
      return ::testing::AssertionFailure() << "entry " << i << " differs: got " << got[i].Head.Url << " ("
                                           << got[i].Head.DocID << "), want " << want[i].Head.Url << " ("
                                           << want[i].Head.DocID << ")";
    }
  }
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "got " << got.size() << " entries, want " << want.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tov::test
