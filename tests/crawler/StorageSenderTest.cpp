// The real sender thread against the stand-in storage server, inside a
// private network namespace (every 127.0.0.x is ours).
#include "crawler/StorageSender.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "crawler/CrawlerEngine.h"
#include "crawler/EngineState.h"
#include "crawler/SideFileQueue.h"
#include "platform/Files.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/crawler/StorageTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::ExpectedEntry;
using test::MakeThumbnaleData;
using test::ReadFileBytes;
using test::SameEntries;
using test::StandInStorageServer;
using test::StorageUpload;
using test::WaitUntil;

constexpr int kWaitMs = 60000;

std::string Padded(const std::string& s, size_t width) {
  std::string out = s.substr(0, width);
  out.resize(width, ' ');
  return out;
}

std::vector<SideFileEntry> EntriesOf(const std::vector<StorageUpload>& uploads) {
  std::vector<SideFileEntry> out;
  for (const auto& up : uploads) {
    EXPECT_EQ(up.Entries.WholeSize, up.Body.size()) << "trailing bytes in upload " << up.Sequence;
    out.insert(out.end(), up.Entries.Entries.begin(), up.Entries.Entries.end());
  }
  return out;
}

class StorageSenderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir("sqtemp", 0755), 0); }
  void TearDown() override { EXPECT_TRUE(test::StopTestEngine(log, kWaitMs)); }
  void Start(bool dedicated = false, const std::string& dedicated_name = "") {
    StartCrawler(
        log.Proc(), "0.82", [](const std::string&) {}, nullptr, [](uint8_t) {}, errors.Proc(), [] {}, [] {},
        dedicated, dedicated_name);
  }
  static std::string QueueFile(const std::string& storage) { return PathJoin(PathJoin(WorkDir.empty() ? GetCurrentDir() : WorkDir, "sqtemp"), storage); }
  std::string Dir(const std::string& name) const { return PathJoin(dir.Path(), name); }

  // Appends n entries for storage and remembers them.
  void Append(int n, const std::string& storage, size_t html_size = 200, size_t thumbnail_size = 0) {
    std::string thumb;
    for (int i = 0; i < n; ++i) {
      auto rec = MakeThumbnaleData(next_++, storage, html_size, thumbnail_size, &thumb);
      AddToSideFileQueue(rec);
      appended[storage].push_back(ExpectedEntry(rec));
    }
  }
  // Writes a file of n entries into sqtemp before the engine starts, as an
  // earlier run would have left it; returns its entries.
  std::vector<SideFileEntry> LeaveFile(const std::string& name, int n, size_t html_size, const std::string& tail = "") {
    std::vector<SideFileEntry> entries;
    std::string bytes;
    for (int i = 0; i < n; ++i) {
      auto rec = MakeThumbnaleData(next_++, "x", html_size, 0, nullptr);
      bytes += EncodeSideFileEntry(rec);
      entries.push_back(ExpectedEntry(rec));
    }
    test::WriteFileBytes(PathJoin(PathJoin(GetCurrentDir(), "sqtemp"), name), bytes + tail);
    return entries;
  }
  // The log lines from the first that equals `first` up to the first "Data sent" after it.
  std::vector<std::string> LogFrom(const std::string& first) const {
    std::vector<std::string> out;
    for (const auto& l : log.Lines()) {
      if (out.empty() && l != first) continue;
      out.push_back(l);
      if (l == "Data sent") break;
    }
    return out;
  }
  // The servers the sender turned to from memo line `from` on, in order: a
  // "Trying to send" or a failed connect each, a server's lines in a row once.
  std::vector<std::string> ServersTried(size_t from) const {
    const std::vector<std::string> prefixes = {"Can`t conect to server ", " bytes to server "};
    std::vector<std::string> out;
    const auto lines = log.Lines();
    for (size_t i = from; i < lines.size(); ++i) {
      for (const std::string& p : prefixes) {
        const size_t at = lines[i].find(p);
        if (at == std::string::npos || (p[0] == ' ' && lines[i].rfind("Trying to send ", 0) != 0)) continue;
        const std::string server = lines[i].substr(at + p.size());
        if (out.empty() || out.back() != server) out.push_back(server);
      }
    }
    return out;
  }
  size_t LogSize() const { return log.Lines().size(); }
  bool SqtempEmpty() const { return std::filesystem::is_empty(PathJoin(dir.Path(), "sqtemp")); }
  std::set<std::string> SqtempNames() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(PathJoin(dir.Path(), "sqtemp"))) {
      names.insert(e.path().filename().string());
    }
    return names;
  }

  test::FreshEngineState engine_state;
  test::ScopedWorkDir dir;
  test::FastSleep fast;
  test::EngineLog log;
  test::EngineLog errors;
  std::map<std::string, std::vector<SideFileEntry>> appended;
  int next_ = 1;
};

struct HeaderCase {
  bool dedicated;
  std::string dedicated_name;
};

class StorageHeaderTest : public StorageSenderTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(StorageHeaderTest, MoreThan500PendingEntriesGoOutBehindTheHeader) {
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  Start(GetParam().dedicated, GetParam().dedicated_name);
  SetUserInfo("fifteen-chars-x", "secretpass", "The Team");
  EXPECT_EQ(log.CountPrefix("Creating thread SentTilLagringserver as id: "), 1);

  std::string thumb;
  Append(250, "127.0.0.2", 300);
  Append(250, "127.0.0.2", 150, 60);
  // With 500 waiting the sender keeps polling and sends nothing.
  const uint64_t slept = test::FastSleep::RequestedMs();
  ASSERT_TRUE(WaitUntil([&] { return test::FastSleep::RequestedMs() > slept + 500000; }, kWaitMs));
  EXPECT_EQ(server.CountUploads(), 0u);
  EXPECT_TRUE(FileExists(QueueFile("127.0.0.2")));
  EXPECT_EQ(PendingSideFileCount(), 500);

  const int64_t size = FileSizeOf(QueueFile("127.0.0.2")) + 258 + 200;
  Append(1, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 1; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));

  const auto uploads = server.UploadsTo("127.0.0.2");
  ASSERT_EQ(uploads.size(), 1u);
  const StorageUpload& up = uploads[0];
  const std::string want_header = Padded(std::to_string(size + 81), 8) + "5 " + "oppdater  " + "0.82  " +
                                  "fifteen-char" + Padded("secretpass", 12) + (GetParam().dedicated ? "1" : "0") +
                                  Padded(GetParam().dedicated_name, 10) + Padded("The Team", 20);
  EXPECT_EQ(up.Header, want_header);
  EXPECT_EQ(up.Total, size + 81);
  EXPECT_EQ(int64_t(up.Body.size()), size);
  EXPECT_TRUE(SameEntries(EntriesOf(uploads), appended["127.0.0.2"]));
  EXPECT_TRUE(SqtempEmpty());
  EXPECT_TRUE(log.Contains("Trying to send " + std::to_string(size + 81) + " bytes to server 127.0.0.2"));
  EXPECT_TRUE(errors.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(DedicatedFlag, StorageHeaderTest,
                         ::testing::Values(HeaderCase{false, "box"}, HeaderCase{true, ""},
                                           HeaderCase{true, "a-long-server-name"}),
                         [](const auto& info) {
                           return std::string(info.param.dedicated ? "Dedicated" : "NotDedicated") +
                                  (info.param.dedicated_name.empty() ? "WithoutName" : "Named") +
                                  std::to_string(info.index);
                         });

struct BlockCase {
  int64_t size;
  std::vector<std::string> lines;  // between "bb" and "Data sent"
};

class StorageBlockTest : public StorageSenderTest, public ::testing::WithParamInterface<BlockCase> {};

// Files left by an earlier run are taken up at start and sent although no
// new entry for their server arrives.
TEST_P(StorageBlockTest, AFileGoesOutInBlocksOf2024AndTheRest) {
  const int64_t size = GetParam().size;
  auto entry = LeaveFile("127.0.0.2", 1, static_cast<size_t>(size - 258));
  LeaveFile("127.0.0.3", 500, 10);
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  Start();
  EXPECT_EQ(PendingSideFileCount(), 501);
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 2; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));

  const auto uploads = server.UploadsTo("127.0.0.2");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].Header.substr(0, 8), Padded(std::to_string(size + 81), 8));
  EXPECT_EQ(int64_t(uploads[0].Body.size()), size);
  EXPECT_TRUE(SameEntries(EntriesOf(uploads), entry));

  const std::string total = std::to_string(size + 81);
  std::vector<std::string> want = {QueueFile("127.0.0.2_sending"), "opening file", "bb",
                                   "Trying to send " + total + " bytes to server 127.0.0.2"};
  want.insert(want.end(), GetParam().lines.begin(), GetParam().lines.end());
  want.push_back("TransmitionSizeInByter " + total);
  want.push_back("Data sent");
  EXPECT_EQ(LogFrom(QueueFile("127.0.0.2_sending")), want);
  EXPECT_EQ(PendingSideFileCount(), 0);
  EXPECT_TRUE(SqtempEmpty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, StorageBlockTest,
                         ::testing::Values(BlockCase{5000, {"Blocks 2", "RestBlocks 952"}},
                                           BlockCase{4048, {"Blocks 2", "Eof", "RestBlocks 0"}}),
                         [](const auto& info) { return "Size" + std::to_string(info.param.size); });

// The header's total has 8 digits, so such a file cannot go as one upload;
// rather than being dropped it goes as several, each of whole entries.
TEST_F(StorageSenderTest, AFileOf99999998BytesOrMoreIsNotSentAsOneUploadButInWholeParts) {
  auto big = LeaveFile("127.0.0.2", 21, 4900000);
  ASSERT_GE(FileSizeOf(PathJoin(PathJoin(GetCurrentDir(), "sqtemp"), "127.0.0.2")), 99999998);
  LeaveFile("127.0.0.3", 500, 10);
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  Start();
  ASSERT_TRUE(WaitUntil([] { return PendingSideFileCount() == 0 && !SendingInProgres; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads("127.0.0.3") == 1 && server.CountUploads("127.0.0.2") >= 2; },
                        kWaitMs));

  const auto uploads = server.UploadsTo("127.0.0.2");
  ASSERT_EQ(uploads.size(), 2u);
  for (const auto& up : uploads) {
    EXPECT_EQ(up.Total, int64_t(up.Body.size()) + 81);
    EXPECT_LE(up.Total, 99999999);
    EXPECT_EQ(up.Header.size(), 81u);
  }
  EXPECT_EQ(uploads[0].Entries.Entries.size(), 20u);
  EXPECT_TRUE(SameEntries(EntriesOf(uploads), big));
  EXPECT_EQ(log.CountPrefix("Trying to send "), 3);
  EXPECT_EQ(PendingSideFileCount(), 0);
  EXPECT_TRUE(SqtempEmpty());
}

// A server that takes no connection keeps its file whole and counted after
// the pass's tries; entries that arrive meanwhile land in a fresh file, keep
// their count and go out with it once the server answers.
TEST_F(StorageSenderTest, AnUnreachableServersFileIsKeptAndLaterEntriesKeepTheirCount) {
  StandInStorageServer other(Dir("received-2"), {"127.0.0.2"});
  ASSERT_TRUE(other.Ready());
  Start();
  Append(501, "127.0.0.5");
  ASSERT_TRUE(WaitUntil([&] { return log.CountPrefix("Can`t conect to server 127.0.0.5") >= StorageConnectTries; },
                        kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
  EXPECT_TRUE(FileExists(QueueFile("127.0.0.5_sending")));
  EXPECT_FALSE(FileExists(QueueFile("127.0.0.5")));
  EXPECT_EQ(DecodeSideFileEntries(ReadFileBytes(QueueFile("127.0.0.5_sending"))).Entries.size(), 501u);

  Append(7, "127.0.0.5");
  EXPECT_EQ(PendingSideFileCount(), 508);
  std::vector<SideFileEntry> first(appended["127.0.0.5"].begin(), appended["127.0.0.5"].begin() + 501);
  std::vector<SideFileEntry> later(appended["127.0.0.5"].begin() + 501, appended["127.0.0.5"].end());

  {
    StandInStorageServer late(Dir("received-5"), {"127.0.0.5"});
    ASSERT_TRUE(late.Ready());
    ASSERT_TRUE(WaitUntil([&] { return late.CountUploads() == 2; }, kWaitMs));
    ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));
    auto uploads = late.Uploads();
    EXPECT_TRUE(SameEntries(EntriesOf({uploads[0]}), first));
    EXPECT_TRUE(SameEntries(EntriesOf({uploads[1]}), later));

    Append(501, "127.0.0.2");
    ASSERT_TRUE(WaitUntil([&] { return other.CountUploads() == 1; }, kWaitMs));
    ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
    EXPECT_EQ(late.CountUploads(), 2u);
  }
  EXPECT_TRUE(SameEntries(EntriesOf(other.Uploads()), appended["127.0.0.2"]));
  EXPECT_EQ(PendingSideFileCount(), 0);
  EXPECT_TRUE(SqtempEmpty());
}

// A file left for a server where nothing listens must not hold up a live
// one: each pass gives the dead server its tries, then moves on, and on the
// following passes it comes after the live one; the error log names it once
// until it answers again, and its entries go out then.
TEST_F(StorageSenderTest, ADeadServerHoldsUpNoOtherServerAndItsEntriesGoOutOnceItAnswers) {
  // Taken up at the start, so the dead server holds the first slot.
  auto dead = LeaveFile("127.0.0.9", 300, 100);
  const std::string dead_bytes = ReadFileBytes(QueueFile("127.0.0.9"));
  StandInStorageServer server(Dir("received-2"), {"127.0.0.2"});
  ASSERT_TRUE(server.Ready());
  Start();
  EXPECT_EQ(PendingSideFileCount(), 300);
  size_t pass = LogSize();
  Append(201, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 1; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 300; }, kWaitMs));
  EXPECT_EQ(ServersTried(pass), (std::vector<std::string>{"127.0.0.9", "127.0.0.2"})) << "pass 1, in slot order";

  // A second pass: the live server first, then the dead one, which fails again.
  pass = LogSize();
  Append(201, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 2; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 300; }, kWaitMs));
  EXPECT_EQ(ServersTried(pass), (std::vector<std::string>{"127.0.0.2", "127.0.0.9"}))
      << "pass 2: the server that could not be reached goes last";
  EXPECT_TRUE(SameEntries(EntriesOf(server.Uploads()), appended["127.0.0.2"]));
  EXPECT_EQ(log.CountPrefix("Can`t conect to server 127.0.0.9"), 2 * StorageConnectTries);
  const std::string unreachable = "Storage server 127.0.0.9 could not be reached";
  EXPECT_EQ(errors.CountPrefix(unreachable), 1);
  EXPECT_TRUE(errors.Contains(unreachable + " (" + std::to_string(StorageConnectTries) +
                              " tries); its 300 entries are kept and it is tried again on later passes"));
  EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.9_sending")), dead_bytes);

  {
    StandInStorageServer back(Dir("received-9"), {"127.0.0.9"});
    ASSERT_TRUE(back.Ready());
    Append(201, "127.0.0.2");
    ASSERT_TRUE(WaitUntil([&] { return back.CountUploads() == 1 && server.CountUploads() == 3; }, kWaitMs));
    ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));
    EXPECT_TRUE(SameEntries(EntriesOf(back.Uploads()), dead));
  }
  EXPECT_TRUE(SqtempEmpty());

  // Gone again: named again, once.
  Append(501, "127.0.0.9");
  ASSERT_TRUE(WaitUntil([&] { return errors.CountPrefix(unreachable) == 2; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
  EXPECT_EQ(PendingSideFileCount(), 501);
}

struct HungServerCase {
  const char* name;
  int read_rate;  // bytes a second the server reads; 0: none until it is drained
};

void PrintTo(const HungServerCase& c, std::ostream* os) { *os << c.name; }

class HungServerTest : public StorageSenderTest, public ::testing::WithParamInterface<HungServerCase> {};

// A server that takes the connection and then reads nothing, or far below
// the floor: its upload is cut once a window has taken too little, with a
// reset, so that the server cannot take the part it got for a whole upload;
// its file stays whole and counted, the error log names it once a pass, and
// on the next passes the live server's entries go first. Once it takes an
// upload whole its entries go out as they were left, and it is back in its
// place in the order.
TEST_P(HungServerTest, AnUploadBelowTheFloorIsCutAndTheServerGoesLastUntilItTakesOneWhole) {
  EngineState.StorageUploadPace = {5000, 1 << 30};
  auto hung_entries = LeaveFile("127.0.0.9", 30, 200000);  // 6 MB, far more than the socket buffers hold
  // With the hung server's 30 these start a pass, and only the last does.
  constexpr int kStartAPass = 501 - 30;
  const std::string hung_bytes = ReadFileBytes(QueueFile("127.0.0.9"));
  const std::string to_hung = "Trying to send " + std::to_string(hung_bytes.size() + 81) + " bytes to server 127.0.0.9";
  const std::vector<std::string> hung_first = {"127.0.0.9", "127.0.0.2"};
  const std::vector<std::string> hung_last = {"127.0.0.2", "127.0.0.9"};
  StandInStorageServer live(Dir("received-2"), {"127.0.0.2"});
  ASSERT_TRUE(live.Ready());
  const std::string cut_line =
      "Exception in SentTilLagringserver: ESocketError: storage server 127.0.0.9: Send deadline passed after ";
  {
    StandInStorageServer hung(Dir("received-hung"), {"127.0.0.9"}, 0, GetParam().read_rate);
    ASSERT_TRUE(hung.Ready());
    Start();
    // The taken-up file holds the first slot, so the first pass visits it first.
    size_t pass = LogSize();
    Append(kStartAPass, "127.0.0.2");
    ASSERT_TRUE(WaitUntil([&] { return live.CountUploads() == 1; }, kWaitMs));
    ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
    EXPECT_EQ(ServersTried(pass), hung_first) << "pass 1, in slot order";
    ASSERT_EQ(errors.CountPrefix(cut_line), 1) << ::testing::PrintToString(errors.Lines());
    const std::string line = errors.Lines().back();
    const std::string tail = " s into an upload that must move " + std::to_string(5LL << 30) +
                             " bytes in every 5 s; its 30 entries are kept and it is tried after the other servers";
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), tail.size())), tail) << line;
    EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.9_sending")), hung_bytes);
    EXPECT_EQ(PendingSideFileCount(), 30);
    EXPECT_EQ(log.CountPrefix(to_hung), 1);

    pass = LogSize();
    Append(kStartAPass, "127.0.0.2");
    ASSERT_TRUE(WaitUntil([&] { return live.CountUploads() == 2 && errors.CountPrefix(cut_line) == 2; }, kWaitMs));
    ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
    EXPECT_EQ(ServersTried(pass), hung_last) << "pass 2: the server that was cut goes last";

    // Let it read what it still holds: each cut upload ends in a reset, none
    // as an orderly end that would pass its part off as whole.
    test::WriteFileBytes(PathJoin(Dir("received-hung"), "drain"), "");
    ASSERT_TRUE(WaitUntil([&] { return hung.CountResets() + hung.CountUploads() == 2; }, kWaitMs));
    EXPECT_EQ(hung.CountUploads(), 0u) << "a cut upload was taken as whole";
    EXPECT_EQ(hung.CountResets(), 2u);
  }
  StandInStorageServer back(Dir("received-9"), {"127.0.0.9"});
  ASSERT_TRUE(back.Ready());
  size_t pass = LogSize();
  Append(kStartAPass, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return back.CountUploads() == 1 && live.CountUploads() == 3; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));
  EXPECT_EQ(ServersTried(pass), hung_last) << "pass 3: still last, and now it takes its file whole";
  EXPECT_TRUE(SameEntries(EntriesOf(back.Uploads()), hung_entries));
  EXPECT_EQ(errors.CountPrefix(cut_line), 2);

  // Having taken an upload whole it is back in its place: first.
  pass = LogSize();
  Append(10, "127.0.0.9");
  Append(491, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return back.CountUploads() == 2 && live.CountUploads() == 4; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));
  EXPECT_EQ(ServersTried(pass), hung_first) << "pass 4: back in slot order";
  hung_entries.insert(hung_entries.end(), appended["127.0.0.9"].begin(), appended["127.0.0.9"].end());
  EXPECT_TRUE(SameEntries(EntriesOf(back.Uploads()), hung_entries));
  EXPECT_TRUE(SameEntries(EntriesOf(live.Uploads()), appended["127.0.0.2"]));
  EXPECT_TRUE(SqtempEmpty());
}

INSTANTIATE_TEST_SUITE_P(Servers, HungServerTest,
                         ::testing::Values(HungServerCase{"NeverReads", 0}, HungServerCase{"Reads64KBASecond", 65536}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server behind a slow but steady line reads well above the floor, and
// the upload lasts many windows: it is never cut, and arrives whole.
TEST_F(StorageSenderTest, AnUploadThatKeepsAboveTheFloorIsNeverCutWhateverItsSize) {
  test::LimitSendBuffers(65536);  // so that the sends wait on the server's reads
  EngineState.StorageUploadPace = {2000, 16384};
  auto slow_entries = LeaveFile("127.0.0.9", 20, 32000);  // 645 KB: about 10 s at 64 KB/s, five windows
  StandInStorageServer slow(Dir("received-9"), {"127.0.0.9"}, 0, 65536);
  ASSERT_TRUE(slow.Ready());
  const auto began = std::chrono::steady_clock::now();
  Start();
  Append(481, "127.0.0.9");
  ASSERT_TRUE(WaitUntil([&] { return slow.CountUploads() == 1; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));
  EXPECT_GT(std::chrono::steady_clock::now() - began, std::chrono::seconds(6)) << "the buffers took it all at once";
  EXPECT_TRUE(errors.Lines().empty()) << ::testing::PrintToString(errors.Lines());
  EXPECT_EQ(slow.CountResets(), 0u);
  slow_entries.insert(slow_entries.end(), appended["127.0.0.9"].begin(), appended["127.0.0.9"].end());
  EXPECT_TRUE(SameEntries(EntriesOf(slow.Uploads()), slow_entries));
  EXPECT_TRUE(SqtempEmpty());
}

// The shut-down waits for a pass in progress: once the stop flag is set no
// further connection is tried, and the file stays whole and counted.
TEST_F(StorageSenderTest, TheStopFlagEndsTheConnectTriesAndKeepsTheFile) {
  LeaveFile("127.0.0.9", 501, 100);
  const std::string bytes = ReadFileBytes(QueueFile("127.0.0.9"));
  StartCrawler(
      [this](const std::string& line) {
        log.Add(line);
        if (line == "Can`t conect to server 127.0.0.9") StopCrawling = true;
      },
      "0.82", [](const std::string&) {}, nullptr, [](uint8_t) {}, errors.Proc(), [] {}, [] {}, false, "");
  ASSERT_TRUE(WaitUntil([] { return SentTilLagringserver.load() == nullptr; }, kWaitMs));
  EXPECT_FALSE(SendingInProgres);
  EXPECT_EQ(log.CountPrefix("Can`t conect to server 127.0.0.9"), 1);
  EXPECT_EQ(errors.CountPrefix("Storage server 127.0.0.9"), 0);
  EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.9_sending")), bytes);
  EXPECT_EQ(PendingSideFileCount(), 501);
}

// A sending file left by a crash holds pages of that run: it is delivered
// (without the partial entry the crash left) before the slot's file is renamed.
TEST_F(StorageSenderTest, AnOldSendingFileIsDeliveredBeforeTheSlotsFileTakesItsName) {
  const std::string partial = EncodeSideFileEntry(MakeThumbnaleData(0, "x", 500, 0, nullptr)).substr(0, 300);
  auto crashed = LeaveFile("127.0.0.2_sending", 300, 100, partial);
  auto waiting = LeaveFile("127.0.0.2", 150, 100);
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  Start();
  EXPECT_EQ(PendingSideFileCount(), 450);
  EXPECT_EQ(errors.CountPrefix("Side file " + QueueFile("127.0.0.2_sending") + ": cut 300 bytes"), 1);

  Append(51, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 2; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
  const auto uploads = server.Uploads();
  EXPECT_TRUE(SameEntries(EntriesOf({uploads[0]}), crashed));
  waiting.insert(waiting.end(), appended["127.0.0.2"].begin(), appended["127.0.0.2"].end());
  EXPECT_TRUE(SameEntries(EntriesOf({uploads[1]}), waiting));
  EXPECT_EQ(PendingSideFileCount(), 0);
  // What the crash left half-written is kept, never sent.
  EXPECT_EQ(SqtempNames(), std::set<std::string>{"127.0.0.2_kept1"});
  EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.2_kept1")), partial);
}

struct PlantedCase {
  const char* what;
  std::function<void(const std::string& path, const std::string& outside)> plant;
  mode_t kind;
  const char* why;  // in the line that names it moved aside
};

void PrintTo(const PlantedCase& c, std::ostream* os) { *os << c.what; }

class PlantedSendingNameTest : public StorageSenderTest, public ::testing::WithParamInterface<PlantedCase> {};

// Something planted under a sending name while the crawler runs is neither
// followed, waited on, cut nor sent: it is moved aside whole, and the slot's
// file takes the name. The file outside reads as entries with a crash's
// partial one, so a sender that took it for a queue file would show it.
TEST_P(PlantedSendingNameTest, IsMovedAsideAndTheSlotsFileStillGoesOut) {
  const std::string outside = PathJoin(dir.Path(), "outside.txt");
  std::string outside_bytes;
  for (int i = 700; i < 703; ++i) {
    outside_bytes += EncodeSideFileEntry(MakeThumbnaleData(i, "127.0.0.2", 100, 0, nullptr));
  }
  outside_bytes.resize(outside_bytes.size() - 40);
  test::WriteFileBytes(outside, outside_bytes);
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  Start();
  GetParam().plant(QueueFile("127.0.0.2_sending"), outside);
  Append(501, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 1; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));
  EXPECT_TRUE(SameEntries(EntriesOf(server.Uploads()), appended["127.0.0.2"]));
  EXPECT_EQ(ReadFileBytes(outside), outside_bytes);
  EXPECT_EQ(SqtempNames(), std::set<std::string>{"127.0.0.2_kept1"});
  struct stat st {};
  ASSERT_EQ(::lstat(QueueFile("127.0.0.2_kept1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IFMT, GetParam().kind);
  EXPECT_TRUE(errors.Contains("Side file " + QueueFile("127.0.0.2_sending") + " moved aside to " +
                              QueueFile("127.0.0.2_kept1") + ": " + GetParam().why));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlantedSendingNameTest,
    ::testing::Values(
        PlantedCase{"LinkToAFileOutside",
                    [](const std::string& p, const std::string& o) { ASSERT_EQ(::symlink(o.c_str(), p.c_str()), 0); },
                    S_IFLNK, "not a regular file"},
        PlantedCase{"HardLinkToAFileOutside",
                    [](const std::string& p, const std::string& o) { ASSERT_EQ(::link(o.c_str(), p.c_str()), 0); },
                    S_IFREG, "it has more than one name"},
        PlantedCase{"Fifo", [](const std::string& p, const std::string&) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
                    S_IFIFO, "not a regular file"},
        PlantedCase{"Folder", [](const std::string& p, const std::string&) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); },
                    S_IFDIR, "not a regular file"}),
    [](const auto& info) { return std::string(info.param.what); });

// The name is swapped for a second name of a file elsewhere once the
// sender has checked its file: what goes out is the file that was checked,
// read through the descriptor the check opened, and the file elsewhere is
// neither sent nor changed.
TEST_F(StorageSenderTest, WhatIsSentIsTheFileThatWasCheckedWhateverItsNameHoldsThen) {
  const std::string outside = PathJoin(dir.Path(), "outside.dat");
  std::string outside_bytes;
  for (int i = 700; i < 703; ++i)
    outside_bytes += EncodeSideFileEntry(MakeThumbnaleData(i, "127.0.0.2", 100, 0, nullptr));
  test::WriteFileBytes(outside, outside_bytes);
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  std::atomic<bool> swapped{false};
  StartCrawler(
      [&](const std::string& line) {
        log.Add(line);
        if (line == "opening file" && !swapped.exchange(true)) {
          const std::string planted = PathJoin(dir.Path(), "planted");
          EXPECT_EQ(::link(outside.c_str(), planted.c_str()), 0);
          EXPECT_TRUE(RenameFile(planted, QueueFile("127.0.0.2_sending")));
        }
      },
      "0.82", [](const std::string&) {}, nullptr, [](uint8_t) {}, errors.Proc(), [] {}, [] {}, false, "");
  Append(501, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 1; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
  EXPECT_TRUE(swapped);
  EXPECT_TRUE(SameEntries(EntriesOf(server.Uploads()), appended["127.0.0.2"]));
  EXPECT_EQ(ReadFileBytes(outside), outside_bytes);
  EXPECT_TRUE(errors.Lines().empty()) << ::testing::PrintToString(errors.Lines());
  EXPECT_EQ(PendingSideFileCount(), 0);
}

// The server resets the first connection in the middle of the upload: the
// file keeps its sending name and its count, and a later pass delivers it.
TEST_F(StorageSenderTest, AFileWhoseSendingFailedIsKeptAndSentOnALaterPass) {
  StandInStorageServer server(Dir("received"), {}, 1);
  ASSERT_TRUE(server.Ready());
  Start();
  Append(501, "127.0.0.2", 40000);  // far more than the socket buffers hold
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == 1; }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres && PendingSideFileCount() == 0; }, kWaitMs));

  EXPECT_EQ(errors.CountPrefix("Exception in SentTilLagringserver: ESocketError: storage server 127.0.0.2: "), 1);
  EXPECT_EQ(log.CountPrefix(QueueFile("127.0.0.2_sending")), 2);
  EXPECT_TRUE(SameEntries(EntriesOf(server.Uploads()), appended["127.0.0.2"]));
  EXPECT_TRUE(SqtempEmpty());
}

TEST_F(StorageSenderTest, EntriesForMoreThanTwentyServersAreAllSent) {
  StandInStorageServer server(Dir("received"));
  ASSERT_TRUE(server.Ready());
  Start();
  std::vector<std::string> servers;
  for (int i = 2; i <= 24; ++i) servers.push_back("127.0.0." + std::to_string(i));
  for (int round = 0; round < 22; ++round) {
    for (const auto& s : servers) Append(1, s, 50);
  }
  ASSERT_TRUE(WaitUntil([&] { return server.CountUploads() == servers.size(); }, kWaitMs));
  ASSERT_TRUE(WaitUntil([] { return !SendingInProgres; }, kWaitMs));
  for (const auto& s : servers) EXPECT_TRUE(SameEntries(EntriesOf(server.UploadsTo(s)), appended[s])) << s;
  EXPECT_EQ(PendingSideFileCount(), 0);
  EXPECT_TRUE(SqtempEmpty());
}

}  // namespace
}  // namespace tov
