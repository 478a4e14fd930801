// The shell stand-in: its failures where the shell fails, the E_PENDING answer
// to an asynchronous request, and extraction that renders in a helper process
// bounded in time, loads nothing a page refers to and survives its helper.
#include "platform/ShellImage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include "platform/ThumbRenderPool.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

class ShellImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ThumbRenderLimits limits;
    limits.time_limit_ms = 120000;
    SetThumbRenderLimits(limits);
    EndIdleThumbRenderHelpers();  // the helpers of earlier cases in this process
    ASSERT_EQ(SHGetDesktopFolder(desktop_), S_OK);
    ASSERT_EQ(::mkdir(tmp_.c_str(), 0755), 0);
    test::WriteFileBytes(file_, "<p>page</p>");
  }

  // The extractor of a file in tmp, through the shell's call sequence.
  std::shared_ptr<IExtractImage> ExtractorOf(const std::string& name) {
    uint32_t eaten = 0, attributes = 0;
    PItemIdList dir_item, file_item;
    std::shared_ptr<IShellFolder> folder;
    std::shared_ptr<IExtractImage> extractor;
    EXPECT_EQ(desktop_->ParseDisplayName(tmp_ + "/", eaten, dir_item, attributes), S_OK);
    EXPECT_EQ(desktop_->BindToObject(dir_item.get(), folder), S_OK);
    EXPECT_EQ(folder->ParseDisplayName(name, eaten, file_item, attributes), S_OK);
    const ItemIdList* items[] = {file_item.get()};
    EXPECT_EQ(folder->GetUIObjectOf(1, items, extractor), S_OK);
    return extractor;
  }

  // Extract after a synchronous GetLocation of 100 x 100.
  HRESULT Extract(IExtractImage& extractor, HBITMAP& bitmap) {
    std::string location;
    uint32_t priority = 0, flags = IEIFLAG_ORIGSIZE;
    EXPECT_EQ(extractor.GetLocation(location, 260, priority, SIZE{100, 100}, 32, flags), S_OK);
    return extractor.Extract(bitmap);
  }

  static double RedShare(const BitmapPixels& p) {
    int red = 0;
    for (size_t i = 0; i + 2 < p.rgb.size(); i += 3) red += p.rgb[i] > 200 && p.rgb[i + 1] < 70 && p.rgb[i + 2] < 70;
    return p.rgb.empty() ? 0.0 : 3.0 * red / static_cast<double>(p.rgb.size());
  }

  test::ScopedWorkDir dir_;
  std::string tmp_ = dir_.Path() + "/tmp";
  std::string file_ = tmp_ + "/7.html";
  std::shared_ptr<IShellFolder> desktop_;
};

TEST_F(ShellImageTest, ParsingFailsWhereTheShellFails) {
  struct Case {
    const char* what;
    std::string name;
    HRESULT result;
  } desktop_cases[] = {
      {"missing directory", dir_.Path() + "/none/", HRESULT_FILE_NOT_FOUND},
      {"below a file", file_ + "/x", HRESULT_FILE_NOT_FOUND},
      {"relative name", "tmp/", E_INVALIDARG},
      {"empty name", "", E_INVALIDARG},
      {"existing directory", tmp_ + "/", S_OK},
  };
  for (const Case& c : desktop_cases) {
    uint32_t eaten = 0, attributes = 0;
    PItemIdList item;
    EXPECT_EQ(desktop_->ParseDisplayName(c.name, eaten, item, attributes), c.result) << c.what;
    EXPECT_EQ(item != nullptr, c.result == S_OK) << c.what;
    if (c.result == S_OK) {
      EXPECT_EQ(eaten, c.name.size());
    }
    EXPECT_EQ(attributes, 0u) << "no attributes were asked for";
  }

  uint32_t eaten = 0, attributes = 0;
  PItemIdList dir_item, file_item;
  std::shared_ptr<IShellFolder> folder;
  ASSERT_EQ(desktop_->ParseDisplayName(tmp_, eaten, dir_item, attributes), S_OK);
  EXPECT_EQ(desktop_->BindToObject(nullptr, folder), E_INVALIDARG);
  ASSERT_EQ(desktop_->BindToObject(dir_item.get(), folder), S_OK);
  EXPECT_EQ(folder->ParseDisplayName("8.html", eaten, file_item, attributes), HRESULT_FILE_NOT_FOUND);
  EXPECT_EQ(folder->ParseDisplayName(file_, eaten, file_item, attributes), E_INVALIDARG);
  ASSERT_EQ(folder->ParseDisplayName("7.html", eaten, file_item, attributes), S_OK);

  std::shared_ptr<IShellFolder> not_a_folder;
  EXPECT_EQ(folder->BindToObject(file_item.get(), not_a_folder), E_FAIL);
  std::shared_ptr<IExtractImage> extractor;
  const ItemIdList* none[] = {nullptr};
  EXPECT_EQ(folder->GetUIObjectOf(1, none, extractor), E_INVALIDARG);
  const ItemIdList* two[] = {file_item.get(), file_item.get()};
  EXPECT_EQ(folder->GetUIObjectOf(2, two, extractor), E_INVALIDARG);
  const ItemIdList* directory[] = {dir_item.get()};
  EXPECT_EQ(desktop_->GetUIObjectOf(1, directory, extractor), E_NOINTERFACE);
  EXPECT_FALSE(extractor);

  std::shared_ptr<IMalloc> allocator;
  ASSERT_EQ(SHGetMalloc(allocator), S_OK);
  allocator->Free(file_item);
  EXPECT_FALSE(file_item);
}

TEST_F(ShellImageTest, AsynchronousRequestIsAnsweredPendingWithATask) {
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  HBITMAP bitmap;
  EXPECT_EQ(extractor->Extract(bitmap), E_UNEXPECTED) << "the size comes with GetLocation";

  std::string location;
  uint32_t priority = 0, flags = IEIFLAG_ASYNC | IEIFLAG_ORIGSIZE;
  EXPECT_EQ(extractor->GetLocation(location, 260, priority, SIZE{100, 100}, 32, flags), E_PENDING);
  EXPECT_EQ(location, file_);
  EXPECT_EQ(flags, IEIFLAG_ASYNC | IEIFLAG_ORIGSIZE);
  EXPECT_EQ(extractor->GetLocation(location, 4, priority, SIZE{100, 100}, 32, flags), E_PENDING);
  EXPECT_EQ(location, file_.substr(0, 3));
  EXPECT_EQ(extractor->GetLocation(location, 260, priority, SIZE{0, 100}, 32, flags), E_INVALIDARG);
  std::shared_ptr<IRunnableTask> task;
  EXPECT_EQ(extractor->QueryRunnableTask(task), S_OK);
  EXPECT_TRUE(task);

  // Extraction is synchronous all the same.
  EXPECT_EQ(extractor->Extract(bitmap), S_OK);
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->width, 100);
  EXPECT_EQ(bitmap->height, 100);
  EXPECT_EQ(bitmap->rgb.size(), 100u * 100u * 3u);
}

TEST_F(ShellImageTest, ExtractionOfAVanishedFileGivesNoBitmap) {
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  ::unlink(file_.c_str());
  HBITMAP bitmap = std::make_unique<BitmapPixels>();
  EXPECT_EQ(Extract(*extractor, bitmap), HRESULT_FILE_NOT_FOUND);
  EXPECT_FALSE(bitmap);
}

TEST_F(ShellImageTest, NothingThePageRefersToIsLoaded) {
  // Each of these would paint the page red if it were fetched.
  std::string css = dir_.Path() + "/red.css";
  test::WriteFileBytes(css, "html, body { background: #ff0000 !important; }");
  std::string frame = dir_.Path() + "/red.html";
  test::WriteFileBytes(frame, "<body style=\"background:#ff0000\">");
  test::WriteFileBytes(file_, "<html><head>"
                              "<link rel=stylesheet href=\"" + css + "\">"
                              "<link rel=stylesheet href=\"file://" + css + "\">"
                              "<style>@import url(\"" + css + "\");</style>"
                              "<base href=\"file://" + dir_.Path() + "/\">"
                              "<link rel=stylesheet href=\"red.css\">"
                              "</head><body>"
                              "<iframe src=\"" + frame + "\" width=1000 height=1000></iframe>"
                              "<frameset><frame src=\"" + frame + "\"></frameset>"
                              "<img src=\"" + css + "\" width=1000 height=1000>"
                              "</body></html>");
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  HBITMAP bitmap;
  ASSERT_EQ(Extract(*extractor, bitmap), S_OK);
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(RedShare(*bitmap), 0.0);

  test::WriteFileBytes(file_, "<body style=\"background:#ff0000\">");  // the page's own style does apply
  ASSERT_EQ(Extract(*extractor, bitmap), S_OK);
  EXPECT_GT(RedShare(*bitmap), 0.9);
}

std::string NestedTables(int depth) {
  std::string page;
  for (int i = 0; i < depth; ++i) page += "<table><tr><td>";
  return page;
}

TEST_F(ShellImageTest, PageOverTheTimeLimitIsDroppedAndTheNextOneRenders) {
  ThumbRenderLimits limits = GetThumbRenderLimits();
  limits.time_limit_ms = 300;
  SetThumbRenderLimits(limits);
  test::WriteFileBytes(file_, NestedTables(20));
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  HBITMAP bitmap;
  EXPECT_EQ(Extract(*extractor, bitmap), HRESULT_TIMEOUT);
  EXPECT_FALSE(bitmap);

  limits.time_limit_ms = 120000;
  SetThumbRenderLimits(limits);
  test::WriteFileBytes(file_, "<body style=\"background:#ff0000\">");
  ASSERT_EQ(Extract(*extractor, bitmap), S_OK);
  EXPECT_GT(RedShare(*bitmap), 0.9);
}

TEST_F(ShellImageTest, HelperThatDiesOnAPageGivesNoPictureAndIsReplaced) {
  test::WriteFileBytes(file_, NestedTables(20));
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  auto extraction = std::async(std::launch::async, [&] {
    HBITMAP bitmap;
    HRESULT hr = Extract(*extractor, bitmap);
    return std::make_pair(hr, bitmap != nullptr);
  });
  ASSERT_TRUE(test::WaitUntil([] { return !ThumbRenderHelperPids().empty(); }, 20000));
  for (int pid : ThumbRenderHelperPids()) ::kill(pid, SIGKILL);  // it dies mid-page, as in a crash of the engine
  auto [hr, got_bitmap] = extraction.get();
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_FALSE(got_bitmap);

  test::WriteFileBytes(file_, "<body style=\"background:#ff0000\">");
  HBITMAP bitmap;
  ASSERT_EQ(Extract(*extractor, bitmap), S_OK);
  EXPECT_GT(RedShare(*bitmap), 0.9);
}

TEST_F(ShellImageTest, AHelperIsReplacedAfterItsNumberOfPages) {
  ThumbRenderLimits limits = GetThumbRenderLimits();
  limits.max_helpers = 1;
  limits.pages_per_helper = 3;
  SetThumbRenderLimits(limits);
  test::WriteFileBytes(file_, "<body style=\"background:#ff0000\">");
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  std::vector<int> helpers;
  for (int page = 0; page < 7; ++page) {
    HBITMAP bitmap;
    ASSERT_EQ(Extract(*extractor, bitmap), S_OK) << page;
    EXPECT_GT(RedShare(*bitmap), 0.9) << page;
    // Between pages: after every third the helper is gone, else it waits.
    const std::vector<int> pids = ThumbRenderHelperPids();
    EXPECT_EQ(pids.size(), page % 3 == 2 ? 0u : 1u) << page;
    if (!pids.empty() && (helpers.empty() || helpers.back() != pids[0])) helpers.push_back(pids[0]);
  }
  EXPECT_EQ(helpers.size(), 3u);  // pages 1-3, 4-6 and 7
}

TEST_F(ShellImageTest, EndingTheIdleHelpersLeavesNoneAndTheNextPageStartsAFreshOne) {
  std::shared_ptr<IExtractImage> extractor = ExtractorOf("7.html");
  ASSERT_TRUE(extractor);
  HBITMAP bitmap;
  ASSERT_EQ(Extract(*extractor, bitmap), S_OK);
  const std::vector<int> before = ThumbRenderHelperPids();
  ASSERT_EQ(before.size(), 1u);

  EndIdleThumbRenderHelpers();
  EXPECT_TRUE(ThumbRenderHelperPids().empty());
  EXPECT_NE(::kill(before[0], 0), 0) << "killed and reaped";

  ASSERT_EQ(Extract(*extractor, bitmap), S_OK);
  const std::vector<int> after = ThumbRenderHelperPids();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0], before[0]);
}

}  // namespace
}  // namespace tov
