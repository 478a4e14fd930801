#include "crawler/SideFileQueue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <utility>

#include "crawler/CrawlerEngine.h"
#include "crawler/StorageSender.h"
#include "platform/Files.h"
#include "platform/SysUtils.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/crawler/StorageTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::ExpectedEntry;
using test::MakeThumbnaleData;
using test::ReadFileBytes;
using test::SameEntries;
using test::WriteFileBytes;

TEST(SideFileEntryTest, HeadFieldsStandAtTheirOffsetsCutAndPadded) {
  std::string thumb = "JPEGDATA";
  ThumbnaleData rec;
  rec.PageType = "robottxt";
  rec.DocID = "123456789012";
  rec.Status = "200";
  rec.Url = std::string(199, 'u') + "XY";  // 201 characters
  rec.PeerIP = "123.123.123.123:80";
  rec.Html = std::string("ab\0cd", 5);
  rec.Thumbnail = reinterpret_cast<const uint8_t*>(thumb.data());
  rec.ThumbnailSize = static_cast<int32_t>(thumb.size());
  rec.ErrorText = "never written";

  const std::string e = EncodeSideFileEntry(rec);
  ASSERT_EQ(e.size(), 258u + 5u + 8u);
  EXPECT_EQ(e.substr(0, 10), "robottxt  ");
  EXPECT_EQ(e.substr(10, 10), "1234567890");
  EXPECT_EQ(e.substr(20, 3), "200");
  EXPECT_EQ(e.substr(23, 200), std::string(199, 'u') + "X");
  EXPECT_EQ(e.substr(223, 15), "123.123.123.123");
  EXPECT_EQ(e.substr(238, 10), "5         ");
  EXPECT_EQ(e.substr(248, 10), "8         ");
  EXPECT_EQ(e.substr(258, 5), std::string("ab\0cd", 5));
  EXPECT_EQ(e.substr(263), "JPEGDATA");

  rec.Thumbnail = nullptr;
  rec.ThumbnailSize = 0;
  rec.Html = std::string(1234, '\0');
  rec.Status = "60512";
  const std::string f = EncodeSideFileEntry(rec);
  ASSERT_EQ(f.size(), 258u + 1234u);
  EXPECT_EQ(f.substr(20, 3), "605");
  EXPECT_EQ(f.substr(238, 10), "1234      ");
  EXPECT_EQ(f.substr(248, 10), "0         ");
  EXPECT_EQ(f.substr(258), std::string(1234, '\0'));
}

// The storage servers read the download thread's own statuses as these
// three digits.
TEST(SideFileEntryTest, TheOwnStatusesAreWrittenAsTheirNumbers) {
  const std::pair<int32_t, const char*> cases[] = {{StatusSocketError, "601"},
                                                   {StatusConnectRefused, "602"},
                                                   {StatusConnectionClosed, "603"},
                                                   {StatusReadTimeout, "604"},
                                                   {StatusOtherFailure, "605"}};
  for (const auto& [status, digits] : cases) {
    ThumbnaleData rec = MakeThumbnaleData(1, "127.0.0.2", 10, 0, nullptr);
    rec.Status = IntToStr(status);
    EXPECT_EQ(EncodeSideFileEntry(rec).substr(20, 3), digits);
  }
}

TEST(SideFileEntryTest, HeadsWithoutLeftAlignedSizesAreNotEntries) {
  const std::string good = EncodeSideFileEntry(MakeThumbnaleData(1, "127.0.0.2", 10, 0, nullptr));
  struct Case {
    const char* html_field;
    bool accepted;
  };
  const Case cases[] = {{"10        ", true},  {"0010      ", true},  {" 10       ", false}, {"-10       ", false},
                        {"1 0       ", false}, {"          ", false}, {"99999999  ", false}, {"99999660  ", true}};
  for (const auto& c : cases) {
    std::string head = good.substr(0, 258);
    head.replace(238, 10, c.html_field);
    EXPECT_EQ(DecodeSideFileEntryHead(head).has_value(), c.accepted) << c.html_field;
  }
  EXPECT_FALSE(DecodeSideFileEntryHead(good.substr(0, 257)).has_value());
}

TEST(StorageUploadSplitTest, UploadsHoldWholeEntriesUpToTheLimit) {
  struct Case {
    std::vector<int64_t> ends;
    int64_t max;
    std::vector<UploadRange> want;
  };
  const Case cases[] = {
      {{}, 100, {{0, 0}}},
      {{10, 20, 30}, 100, {{0, 30}}},
      {{50, 100}, 100, {{0, 100}}},
      {{40, 80, 120}, 100, {{0, 80}, {80, 120}}},
      {{40, 180, 200}, 100, {{0, 40}, {40, 180}, {180, 200}}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitIntoUploads(c.ends, c.max), c.want);
}

class SideFileQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WorkDir = GetCurrentDir();
    ErrorLogProc = errors.Proc();
    LogProc = log.Proc();
    ::mkdir("sqtemp", 0755);
  }
  static std::string QueueFile(const std::string& storage) { return PathJoin(PathJoin(WorkDir, "sqtemp"), storage); }
  static FileInfo Slot(size_t i) {
    std::lock_guard<std::mutex> lock(SideFileQueueLock);
    return SideFileSlots.at(i);
  }
  static size_t SlotCount() {
    std::lock_guard<std::mutex> lock(SideFileQueueLock);
    return SideFileSlots.size();
  }

  test::FreshEngineState engine_state;
  test::ScopedWorkDir dir;
  test::EngineLog log;
  test::EngineLog errors;
};

TEST_F(SideFileQueueTest, EntriesAreAppendedToTheirServersFileInCallOrder) {
  std::string thumb;
  std::vector<ThumbnaleData> recs;
  for (int i = 0; i < 3; ++i) recs.push_back(MakeThumbnaleData(i, "127.0.0.2", 100 + i, i == 1 ? 50 : 0, &thumb));
  recs[1].Html[3] = '\0';
  std::string want;
  std::vector<SideFileEntry> entries;
  for (const auto& r : recs) {
    AddToSideFileQueue(r);
    want += EncodeSideFileEntry(r);
    entries.push_back(ExpectedEntry(r));
  }
  const std::string bytes = ReadFileBytes(QueueFile("127.0.0.2"));
  EXPECT_EQ(bytes, want);
  EXPECT_EQ(bytes.size(), 3u * 258u + 100u + 101u + 102u + 50u);
  EXPECT_TRUE(SameEntries(DecodeSideFileEntries(bytes).Entries, entries));
  EXPECT_EQ(Slot(0).Server, "127.0.0.2");
  EXPECT_EQ(Slot(0).FileName, QueueFile("127.0.0.2"));
  EXPECT_EQ(Slot(0).Count, 3);
  EXPECT_EQ(SideFilePending, 3);
}

// Slots are claimed in the order servers first appear; past the first 21 the
// table grows, so no server's entries are left out of the sender's walk.
TEST_F(SideFileQueueTest, ServersClaimSlotsInOrderOfFirstEntryAndTheTableGrows) {
  std::vector<std::string> servers;
  for (int i = 0; i < 24; ++i) servers.push_back("127.0.1." + std::to_string(i + 1));
  // A 20-character host name must keep one slot too.
  servers.push_back("storage-01.example.n");
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < servers.size(); ++i) AddToSideFileQueue(MakeThumbnaleData(int(i), servers[i], 10, 0, nullptr));
  }
  ASSERT_GE(SlotCount(), servers.size());
  for (size_t i = 0; i < servers.size(); ++i) {
    EXPECT_TRUE(Slot(i).Used);
    EXPECT_EQ(Slot(i).Server, servers[i]);
    EXPECT_EQ(Slot(i).Count, 2) << servers[i];
    EXPECT_EQ(DecodeSideFileEntries(ReadFileBytes(QueueFile(servers[i]))).Entries.size(), 2u);
  }
  for (size_t i = servers.size(); i < SlotCount(); ++i) EXPECT_FALSE(Slot(i).Used);
  EXPECT_EQ(SideFilePending, int32_t(2 * servers.size()));
}

// The queue keeps the file open between appends; whatever happens to the
// name meanwhile (the sender's rename, a deletion), the next entry lands in
// the file of that name.
TEST_F(SideFileQueueTest, AnEntryAfterARenameOrADeletionGoesToTheFileOfThatName) {
  AddToSideFileQueue(MakeThumbnaleData(1, "127.0.0.2", 10, 0, nullptr));
  {
    std::lock_guard<std::mutex> lock(SideFileQueueLock);
    CloseSideFileHandle(0);
    ASSERT_TRUE(RenameFile(QueueFile("127.0.0.2"), QueueFile("127.0.0.2") + "_sending"));
  }
  AddToSideFileQueue(MakeThumbnaleData(2, "127.0.0.2", 10, 0, nullptr));
  EXPECT_EQ(DecodeSideFileEntries(ReadFileBytes(QueueFile("127.0.0.2") + "_sending")).Entries.size(), 1u);
  EXPECT_EQ(DecodeSideFileEntries(ReadFileBytes(QueueFile("127.0.0.2"))).Entries.size(), 1u);

  ASSERT_TRUE(DeleteFile(QueueFile("127.0.0.2")));
  AddToSideFileQueue(MakeThumbnaleData(3, "127.0.0.2", 10, 0, nullptr));
  const auto entries = DecodeSideFileEntries(ReadFileBytes(QueueFile("127.0.0.2"))).Entries;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Head.DocID, "d3");
}

TEST_F(SideFileQueueTest, AnEntryWhoseFileCannotBeOpenedIsLoggedRaisedAndNotCounted) {
  ASSERT_EQ(::rmdir("sqtemp"), 0);
  EXPECT_THROW(AddToSideFileQueue(MakeThumbnaleData(1, "127.0.0.2", 10, 0, nullptr)), EInOutError);
  EXPECT_TRUE(errors.Contains("cant write to SideFileQueue, file " + QueueFile("127.0.0.2") + " is locked."));
  EXPECT_EQ(Slot(0).Count, 0);
  EXPECT_EQ(SideFilePending, 0);
}

TEST_F(SideFileQueueTest, AStorageAddressThatCannotNameAFileIsRefused) {
  for (const char* bad : {"", "../escape", "a/b", ".hidden", "x_sending", "a b", "..", "c:\\x"}) {
    AddToSideFileQueue(MakeThumbnaleData(1, bad, 10, 0, nullptr));
    EXPECT_EQ(errors.CountPrefix("Entry for http://site1.example/page/1 not queued: storage address \"" +
                                 std::string(bad) + "\""),
              1)
        << bad;
  }
  EXPECT_FALSE(Slot(0).Used);
  EXPECT_EQ(SideFilePending, 0);
  EXPECT_FALSE(FileExists(PathJoin(WorkDir, "escape")));
  EXPECT_TRUE(std::filesystem::is_empty("sqtemp"));
}

// A write that stops part-way (here at the file-size limit, as on a full disk)
// must not leave a partial entry for later entries to follow.
TEST_F(SideFileQueueTest, AWriteFailingPartWayLeavesOnlyWholeEntries) {
  std::vector<SideFileEntry> want;
  for (int i = 0; i < 3; ++i) {
    auto r = MakeThumbnaleData(i, "127.0.0.2", 1000, 0, nullptr);
    AddToSideFileQueue(r);
    want.push_back(ExpectedEntry(r));
  }
  const int64_t whole = FileSizeOf(QueueFile("127.0.0.2"));

  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = static_cast<rlim_t>(whole + 500);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  EXPECT_THROW(AddToSideFileQueue(MakeThumbnaleData(9, "127.0.0.2", 1000, 0, nullptr)), EInOutError);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_EQ(FileSizeOf(QueueFile("127.0.0.2")), whole);
  EXPECT_EQ(Slot(0).Count, 3);  // what the file holds
  EXPECT_EQ(SideFilePending, 3);

  auto r = MakeThumbnaleData(10, "127.0.0.2", 1000, 0, nullptr);
  AddToSideFileQueue(r);
  want.push_back(ExpectedEntry(r));
  const std::string bytes = ReadFileBytes(QueueFile("127.0.0.2"));
  auto decoded = DecodeSideFileEntries(bytes);
  EXPECT_EQ(decoded.WholeSize, bytes.size());
  EXPECT_TRUE(SameEntries(decoded.Entries, want));
}

TEST_F(SideFileQueueTest, ConcurrentAppendsStayWholeAndCounted) {
  constexpr int kThreads = 16;
  constexpr int kEach = 150;
  const std::vector<std::string> servers = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &servers] {
      std::string thumb;
      for (int i = 0; i < kEach; ++i) {
        int n = t * kEach + i;
        AddToSideFileQueue(MakeThumbnaleData(n, servers[size_t(n) % servers.size()], 500 + size_t(n % 97), size_t(n % 3) * 40, &thumb));
      }
    });
  }
  for (auto& th : threads) th.join();
  size_t total = 0;
  for (size_t i = 0; i < servers.size(); ++i) {
    const std::string bytes = ReadFileBytes(QueueFile(Slot(i).Server));
    auto decoded = DecodeSideFileEntries(bytes);
    EXPECT_EQ(decoded.WholeSize, bytes.size());
    EXPECT_EQ(int32_t(decoded.Entries.size()), Slot(i).Count);
    total += decoded.Entries.size();
  }
  EXPECT_EQ(total, size_t(kThreads * kEach));
  EXPECT_EQ(SideFilePending, kThreads * kEach);
}

TEST_F(SideFileQueueTest, FilesLeftByAnEarlierRunAreTakenUpWithTheirWholeEntries) {
  auto entries = [](int from, int n, const std::string& storage) {
    std::string bytes;
    for (int i = from; i < from + n; ++i) bytes += EncodeSideFileEntry(MakeThumbnaleData(i, storage, 300, 0, nullptr));
    return bytes;
  };
  const std::string two = entries(0, 3, "127.0.0.2");
  const std::string two_sending = entries(10, 2, "127.0.0.2");
  const std::string three = entries(20, 1, "127.0.0.3");
  const std::string three_partial = entries(21, 1, "127.0.0.3").substr(0, 400);  // a crash mid-write
  WriteFileBytes(QueueFile("127.0.0.2"), two + "garbage");
  WriteFileBytes(QueueFile("127.0.0.2_sending"), two_sending);
  WriteFileBytes(QueueFile("127.0.0.3"), three + three_partial);
  WriteFileBytes(QueueFile("notes_txt"), "not a queue file");

  TakeUpSideFiles();

  EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.2")), two);
  EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.3")), three);
  EXPECT_EQ(ReadFileBytes(QueueFile("127.0.0.2_sending")), two_sending);
  EXPECT_EQ(ReadFileBytes(QueueFile("notes_txt")), "not a queue file");
  EXPECT_EQ(errors.CountPrefix("Side file " + QueueFile("127.0.0.2") + ": cut 7 bytes"), 1);
  EXPECT_EQ(errors.CountPrefix("Side file " + QueueFile("127.0.0.3") + ": cut 400 bytes"), 1);
  EXPECT_TRUE(errors.Contains("Not a side file, left alone: " + QueueFile("notes_txt")));
  std::map<std::string, int32_t> counts;
  for (size_t i = 0; i < SlotCount(); ++i) {
    if (Slot(i).Used) {
      counts[Slot(i).Server] = Slot(i).Count;
      EXPECT_EQ(Slot(i).FileName, QueueFile(Slot(i).Server));
    }
  }
  EXPECT_EQ(counts, (std::map<std::string, int32_t>{{"127.0.0.2", 5}, {"127.0.0.3", 1}}));
  EXPECT_EQ(SideFilePending, 6);

  // New entries for a taken-up server go behind its whole entries.
  AddToSideFileQueue(MakeThumbnaleData(30, "127.0.0.3", 300, 0, nullptr));
  EXPECT_EQ(DecodeSideFileEntries(ReadFileBytes(QueueFile("127.0.0.3"))).Entries.size(), 2u);
}


// What the take-up finds under a name of sqtemp, and what must hold of it.
struct TakeUpCase {
  std::string name;
  std::function<void(const std::string& path)> make;
  int32_t counted;         // whole entries taken up; -1: not taken up, the address keeps no slot
  std::string logged;      // the one error-log line about it, behind "<path>"
  std::string kept;        // bytes moved aside into <name>_kept1; empty: none
  std::function<bool(const std::string& path)> as_left;  // it is as the take-up must leave it
};

std::string Entries(int from, int n, const std::string& storage) {
  std::string bytes;
  for (int i = from; i < from + n; ++i) bytes += EncodeSideFileEntry(MakeThumbnaleData(i, storage, 100, 0, nullptr));
  return bytes;
}

mode_t KindOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

std::string LinkTarget(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

// Nothing that lies in sqtemp is destroyed or followed: only whole entries
// of regular files of one name are taken up, cut bytes are kept beside them,
// and whatever is left alone under an address's name is moved aside (whole,
// as it was) once that address gets entries, which then go to a fresh file.
TEST_F(SideFileQueueTest, TheTakeUpDestroysNothingAndFollowsNoLink) {
  test::ScopedUmask umask(0);  // the kept bytes are the user's alone all the same
  const std::string outside = PathJoin(WorkDir, "outside.txt");
  const std::string outside_bytes(440, 'o');
  WriteFileBytes(outside, outside_bytes);
  // A file elsewhere that reads as a queue file with a crash's partial
  // entry: under a second name in sqtemp, neither cut nor appended to.
  const std::string elsewhere = PathJoin(WorkDir, "elsewhere.dat");
  const std::string elsewhere_bytes = Entries(0, 2, "127.0.0.7") + Entries(2, 1, "127.0.0.7").substr(0, 300);
  WriteFileBytes(elsewhere, elsewhere_bytes);
  const std::string notes = "Shopping: milk, bread.\n";
  const std::string six_hundred = Entries(0, 600, "127.0.0.2");
  const size_t entry = 258 + 100;
  std::string damaged = six_hundred;
  damaged.replace(5 * entry + 238, 10, "3x7       ");  // the page size of entry 6
  const std::string three = Entries(0, 3, "127.0.0.3");
  const std::string partial = Entries(3, 1, "127.0.0.3").substr(0, 300);
  const std::string garbage = "<html>" + std::string(1000, 'g');

  auto file = [](std::string bytes) { return [bytes](const std::string& p) { WriteFileBytes(p, bytes); }; };
  auto holds = [](std::string bytes) {
    return [bytes](const std::string& p) { return KindOf(p) == S_IFREG && ReadFileBytes(p) == bytes; };
  };
  const std::vector<TakeUpCase> cases = {
      {"notes.txt", file(notes), -1, " (no whole entry at its start)", "", holds(notes)},
      {"localhost", [&](const std::string& p) { ASSERT_EQ(::symlink(outside.c_str(), p.c_str()), 0); }, -1,
       " (not a regular file)", "",
       [&](const std::string& p) { return LinkTarget(p) == outside && ReadFileBytes(outside) == outside_bytes; }},
      {"127.0.0.2", file(damaged), 5,
       ": cut " + std::to_string(595 * entry) +
           " bytes of a partial or unreadable entry behind its 5 whole entries; they are kept in " +
           QueueFile("127.0.0.2_kept1"),
       damaged.substr(5 * entry), holds(six_hundred.substr(0, 5 * entry))},
      {"127.0.0.3", file(three + partial), 3,
       ": cut 300 bytes of a partial or unreadable entry behind its 3 whole entries; they are kept in " +
           QueueFile("127.0.0.3_kept1"),
       partial, holds(three)},
      {"127.0.0.4", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, -1,
       " (not a regular file)", "", [](const std::string& p) { return KindOf(p) == S_IFIFO; }},
      {"127.0.0.5", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, -1,
       " (not a regular file)", "", [](const std::string& p) { return KindOf(p) == S_IFDIR; }},
      {"127.0.0.6_sending", file(garbage), -1, " (no whole entry at its start)", "", holds(garbage)},
      {"127.0.0.7", [&](const std::string& p) { ASSERT_EQ(::link(elsewhere.c_str(), p.c_str()), 0); }, -1,
       " (it has more than one name)", "",
       [&, same = holds(elsewhere_bytes)](const std::string& p) {
         return same(p) && ReadFileBytes(elsewhere) == elsewhere_bytes;
       }},
  };
  for (const auto& c : cases) c.make(QueueFile(c.name));

  TakeUpSideFiles();

  std::map<std::string, int32_t> counts;
  for (size_t i = 0; i < SlotCount(); ++i) {
    if (Slot(i).Used) counts[Slot(i).Server] = Slot(i).Count;
  }
  EXPECT_EQ(counts, (std::map<std::string, int32_t>{{"127.0.0.2", 5}, {"127.0.0.3", 3}}));
  EXPECT_EQ(SideFilePending, 8);
  for (const auto& c : cases) {
    const std::string path = QueueFile(c.name);
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.as_left(path));
    const std::string line = (c.counted < 0 ? "Not a side file, left alone: " : "Side file ") + path + c.logged;
    EXPECT_TRUE(errors.Contains(line)) << line;
    EXPECT_EQ(errors.CountPrefix(c.counted < 0 ? "Not a side file, left alone: " + path + " "
                                               : "Side file " + path + ":"),
              1);
    if (!c.kept.empty()) {
      EXPECT_EQ(ReadFileBytes(QueueFile(c.name + "_kept1")), c.kept);
      EXPECT_EQ(test::PermissionsOf(QueueFile(c.name + "_kept1")), 0600);
    }
  }
  EXPECT_EQ(errors.Lines().size(), cases.size());

  // New entries for each address: what was left alone moves aside first.
  const size_t before = errors.Lines().size();
  for (const auto& c : cases) {
    std::string address = c.name.substr(0, c.name.find('_'));
    AddToSideFileQueue(MakeThumbnaleData(900, address, 100, 0, nullptr));
    SCOPED_TRACE(c.name);
    const std::string path = QueueFile(address);
    const auto decoded = DecodeSideFileEntries(ReadFileBytes(path));
    EXPECT_EQ(KindOf(path), S_IFREG);
    EXPECT_EQ(decoded.WholeSize, size_t(FileSizeOf(path)));
    ASSERT_FALSE(decoded.Entries.empty());
    EXPECT_EQ(decoded.Entries.back().Head.DocID, "d900");
    EXPECT_EQ(int32_t(decoded.Entries.size()), std::max(c.counted, 0) + 1);
    if (c.counted < 0) {
      const std::string kept = QueueFile(address + "_kept1");
      EXPECT_TRUE(c.as_left(kept));
      EXPECT_TRUE(errors.Contains("Side file " + QueueFile(c.name) + " moved aside to " + kept + ": " +
                                  c.logged.substr(2, c.logged.size() - 3) + "; new entries for " + address +
                                  " go to a fresh file"));
      if (c.name != address) {
        EXPECT_EQ(KindOf(QueueFile(c.name)), 0u);
      }
    }
  }
  EXPECT_EQ(errors.Lines().size(), before + 6);

  // At the next start the kept files are neither taken up nor named again.
  InitSideFileQueue();
  SideFilePending = 0;
  const size_t logged = errors.Lines().size();
  TakeUpSideFiles();
  EXPECT_EQ(errors.Lines().size(), logged);
  EXPECT_EQ(SideFilePending, (5 + 1) + (3 + 1) + 6);
  EXPECT_EQ(ReadFileBytes(outside), outside_bytes);
  EXPECT_EQ(ReadFileBytes(elsewhere), elsewhere_bytes);
}

// What turns up under a queue file's name while the crawler runs, where the
// sender's rename left the name free or beside the file the queue holds
// open, is written neither through nor into: it is moved aside as it is,
// and the entry goes to a fresh file.
TEST_F(SideFileQueueTest, WhatIsPlantedUnderAQueueFileNameIsMovedAsideBeforeAnAppend) {
  struct Case {
    const char* what;
    bool renamed_first;  // the sender took the queue file away before the plant
    std::function<void(const std::string& queue, const std::string& elsewhere)> plant;
    mode_t kind;
    const char* why;
  };
  auto write_elsewhere = [](const std::string& e) {
    WriteFileBytes(e, Entries(50, 2, "127.0.0.9") + Entries(52, 1, "127.0.0.9").substr(0, 300));
  };
  const Case cases[] = {
      {"a hard link to a file elsewhere", true,
       [&](const std::string& q, const std::string& e) {
         write_elsewhere(e);
         ASSERT_EQ(::link(e.c_str(), q.c_str()), 0);
       },
       S_IFREG, "it has more than one name"},
      {"a symbolic link to a file elsewhere", true,
       [&](const std::string& q, const std::string& e) {
         write_elsewhere(e);
         ASSERT_EQ(::symlink(e.c_str(), q.c_str()), 0);
       },
       S_IFLNK, "not a regular file"},
      {"a FIFO", true, [](const std::string& q, const std::string&) { ASSERT_EQ(::mkfifo(q.c_str(), 0600), 0); },
       S_IFIFO, "not a regular file"},
      {"a second name of the open file", false,
       [](const std::string& q, const std::string& e) { ASSERT_EQ(::link(q.c_str(), e.c_str()), 0); }, S_IFREG,
       "it has more than one name"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string address = "127.0.0." + std::to_string(i + 2);
    const std::string queue = QueueFile(address);
    const std::string elsewhere = PathJoin(WorkDir, "elsewhere" + std::to_string(i));
    AddToSideFileQueue(MakeThumbnaleData(1, address, 100, 0, nullptr));
    if (c.renamed_first) {
      std::lock_guard<std::mutex> lock(SideFileQueueLock);
      CloseSideFileHandle(i);
      ASSERT_TRUE(RenameFile(queue, queue + "_sending"));
    }
    c.plant(queue, elsewhere);
    const std::string elsewhere_bytes = ReadFileBytes(elsewhere);

    AddToSideFileQueue(MakeThumbnaleData(2, address, 100, 0, nullptr));
    const std::string kept = QueueFile(address + "_kept1");
    EXPECT_EQ(KindOf(kept), c.kind);
    if (c.kind == S_IFLNK) {
      EXPECT_EQ(LinkTarget(kept), elsewhere);
    }
    EXPECT_TRUE(ReadFileBytes(elsewhere) == elsewhere_bytes) << "written into";
    EXPECT_EQ(errors.CountPrefix("Side file " + queue + " moved aside"), 1);
    EXPECT_TRUE(errors.Contains("Side file " + queue + " moved aside to " + kept + ": " + c.why + "; new entries for " +
                                address + " go to a fresh file"));
    EXPECT_EQ(KindOf(queue), S_IFREG);
    if (KindOf(queue) != S_IFREG) continue;  // a FIFO would not be read to its end
    const auto entries = DecodeSideFileEntries(ReadFileBytes(queue)).Entries;
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.empty() ? "" : entries[0].Head.DocID, "d2");
  }
}

// A process that keeps planting a second name of a file elsewhere under a
// queue file's name, racing the appends and the take-up: whatever it wins,
// the file elsewhere is never appended to nor cut, because what is written
// is judged on the open file, not on a look at the name before the open.
TEST_F(SideFileQueueTest, ASecondNamePlantedInARaceIsNeitherAppendedToNorCut) {
  const std::string elsewhere = PathJoin(WorkDir, "elsewhere.dat");
  // Whole entries and a crash's partial one: a take-up would cut it.
  const std::string elsewhere_bytes = Entries(0, 2, "127.0.0.7") + Entries(2, 1, "127.0.0.7").substr(0, 300);
  WriteFileBytes(elsewhere, elsewhere_bytes);
  const std::string queue = QueueFile("127.0.0.7");
  const std::string plain_bytes = Entries(10, 2, "127.0.0.7");
  struct Race {
    const char* what;
    int rounds;                   // the fault showed in most runs of this many
    std::function<void()> plant;  // one round of the racing process
    std::function<void()> run;    // one round of the crawler
  };
  const std::string link_name = PathJoin(WorkDir, "link");
  const std::string plain_name = PathJoin(WorkDir, "plain");
  const Race races[] = {
      {"a link planted while the name is free, against the appends", 300,
       [&] { (void)::link(elsewhere.c_str(), queue.c_str()); },
       [&] {
         try {
           AddToSideFileQueue(MakeThumbnaleData(1, "127.0.0.7", 100, 0, nullptr));
         } catch (const EInOutError&) {
           // it kept winning: the page waits to be tried again
         }
         // As the sender does: the file leaves its name, the next append opens it anew.
         std::lock_guard<std::mutex> lock(SideFileQueueLock);
         CloseSideFileHandle(0);
         DeleteFile(queue);
       }},
      {"the name swapped between a queue file and a link, against the take-up", 5000,
       [&] {
         (void)::link(elsewhere.c_str(), link_name.c_str());
         (void)::rename(link_name.c_str(), queue.c_str());
         WriteFileBytes(plain_name, plain_bytes);
         (void)::rename(plain_name.c_str(), queue.c_str());
       },
       [&] {
         InitSideFileQueue();
         SideFilePending = 0;
         TakeUpSideFiles();
       }},
  };
  for (const Race& race : races) {
    SCOPED_TRACE(race.what);
    std::atomic<bool> stop{false};
    std::thread racer([&] {
      while (!stop) race.plant();
    });
    for (int i = 0; i < race.rounds; ++i) race.run();
    stop = true;
    racer.join();
    const std::string now = ReadFileBytes(elsewhere);
    EXPECT_TRUE(now == elsewhere_bytes) << "the file elsewhere was written or cut: " << elsewhere_bytes.size()
                                        << " bytes became " << now.size();
    DeleteFile(queue);
  }
}

}  // namespace
}  // namespace tov
