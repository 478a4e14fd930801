// The thumbnail maker end to end: work file, shell extractor, render helper,
// JPEG in the caller's buffer, and the error log lines of every failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "platform/ShellImage.h"
#include "platform/ThumbRenderPool.h"
#include "tests/support/TestSupport.h"
#include "tests/toolkit/ThumbnailTestSupport.h"
#include "toolkit/MakeThumpnale.h"

namespace tov {
namespace {

using test::ErrorLogMessages;
using test::ShareOf;
using test::WriteWorkFile;

constexpr int32_t kBufferSize = 20480;
constexpr uint8_t kUntouched = 0xAB;

bool Red(uint8_t r, uint8_t g, uint8_t b) { return r > 200 && g < 70 && b < 70; }
bool Blue(uint8_t r, uint8_t g, uint8_t b) { return b > 200 && r < 70 && g < 70; }
bool Dark(uint8_t r, uint8_t g, uint8_t b) { return r + g + b < 3 * 90; }
bool White(uint8_t r, uint8_t g, uint8_t b) { return r > 235 && g > 235 && b > 235; }

std::string Coloured(const char* colour) {
  return std::string("<html><body style=\"background:") + colour + "\"><p>Some words</p></body></html>";
}

// Twenty nested tables: the layout engine works on it for minutes.
std::string NestedTables(int depth) {
  std::string page;
  for (int i = 0; i < depth; ++i) page += "<table><tr><td>";
  return page + "deep";
}

class ThumbnailMakerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ThumbRenderLimits limits;
    limits.time_limit_ms = 120000;  // the tests show what is drawn, not how fast
    SetThumbRenderLimits(limits);
    ASSERT_EQ(::mkdir(tmp_.c_str(), 0755), 0);
    buffer_.assign(kBufferSize, kUntouched);
  }

  // Renders the work file; the decoded picture, or an empty one.
  BitmapPixels Thumbnail(TMakeThumpnale& maker) {
    size_ = kBufferSize;
    maker.MakeThumbnail(buffer_.data(), size_);
    if (size_ <= 0 || size_ >= kBufferSize) return BitmapPixels{};
    return test::DecodeJpeg(buffer_.data(), static_cast<size_t>(size_));
  }

  bool BufferUntouched() const {
    return std::all_of(buffer_.begin(), buffer_.end(), [](uint8_t b) { return b == kUntouched; });
  }

  test::ScopedWorkDir dir_;
  std::string tmp_ = dir_.Path() + "/tmp";
  std::string work_ = tmp_ + "/4242.html";
  std::vector<uint8_t> buffer_;
  int32_t size_ = kBufferSize;
};

TEST_F(ThumbnailMakerTest, RedBackgroundGivesMostlyRedPixelsAndLogsNothing) {
  WriteWorkFile(work_, Coloured("#ff0000"));
  TMakeThumpnale maker(work_);
  BitmapPixels picture = Thumbnail(maker);
  ASSERT_EQ(picture.width, 100);
  ASSERT_EQ(picture.height, 100);
  EXPECT_GT(ShareOf(picture, 0, 0, 100, 100, Red), 0.9);
  // The extractor answered E_PENDING to the asynchronous request: no line.
  EXPECT_TRUE(ErrorLogMessages().empty());
  maker.Destroy();
  maker.Destroy();
}

TEST_F(ThumbnailMakerTest, BlackTextOnWhiteIsDarkWhereTheTextStands) {
  // Two bold letters of 200 px at the top left of a 1024 px wide window.
  WriteWorkFile(work_,
                "<body style=\"margin:0;background:#fff;color:#000\">"
                "<div style=\"font:bold 200px sans-serif;line-height:200px\">HH</div></body>");
  TMakeThumpnale maker(work_);
  BitmapPixels picture = Thumbnail(maker);
  ASSERT_EQ(picture.width, 100);
  EXPECT_GT(ShareOf(picture, 0, 0, 30, 20, Dark), 0.15);
  EXPECT_EQ(ShareOf(picture, 40, 0, 100, 100, Dark), 0.0);
  EXPECT_EQ(ShareOf(picture, 0, 25, 100, 100, Dark), 0.0);
  EXPECT_GT(ShareOf(picture, 0, 25, 100, 100, White), 0.99);
}

TEST_F(ThumbnailMakerTest, ThumbnailIsBaselineColourJpegOfQuality40) {
  WriteWorkFile(work_, "<h1>Heading</h1><ul><li>one</li><li>two</li></ul><table border=1><tr><td>x</td></tr></table>");
  TMakeThumpnale maker(work_);
  Thumbnail(maker);
  ASSERT_GT(size_, 0);
  test::JpegLayout layout = test::ReadJpegLayout(buffer_.data(), static_cast<size_t>(size_));
  EXPECT_TRUE(layout.baseline);
  EXPECT_EQ(layout.components, 3);
  EXPECT_EQ(layout.precision, 8);
  EXPECT_EQ(layout.width, 100);
  EXPECT_EQ(layout.height, 100);
  // libjpeg scales its base table's 16 by 5000 / quality percent at quality 40.
  EXPECT_EQ(layout.first_luma_quant, 20);
}

TEST_F(ThumbnailMakerTest, WorkFileIsReadAgainForEveryThumbnail) {
  TMakeThumpnale maker(work_);
  WriteWorkFile(work_, Coloured("#ff0000"));
  EXPECT_GT(ShareOf(Thumbnail(maker), 0, 0, 100, 100, Red), 0.9);
  WriteWorkFile(work_, Coloured("#0000ff"));
  EXPECT_GT(ShareOf(Thumbnail(maker), 0, 0, 100, 100, Blue), 0.9);
}

// A bitmap whose JPEG at quality 40 is exactly `bytes` long: rows of noise
// over grey, then other noise until the length is hit.
std::unique_ptr<BitmapPixels> BitmapWithJpegOf(size_t bytes) {
  constexpr int kSide = 256;
  auto make = [](int rows, uint32_t seed) {
    auto p = std::make_unique<BitmapPixels>();
    p->width = p->height = kSide;
    p->rgb.assign(static_cast<size_t>(kSide) * kSide * 3, 128);
    std::mt19937 random(seed);
    for (size_t i = 0; i < static_cast<size_t>(kSide) * rows * 3; ++i) p->rgb[i] = static_cast<uint8_t>(random());
    return p;
  };
  auto length = [](const BitmapPixels& p) {
    TBitmap bitmap;
    bitmap.SetHandle(std::make_unique<BitmapPixels>(p));
    TJPEGImage jpeg;
    jpeg.SetCompressionQuality(40);
    jpeg.Assign(bitmap);
    jpeg.Compress();
    std::string out;
    jpeg.SaveToStream(out);
    return out.size();
  };
  int rows = 1;
  while (rows < kSide && length(*make(rows, 1)) < bytes) ++rows;
  for (uint32_t seed = 1; seed < 5000; ++seed) {
    for (int r = rows - 1; r <= rows; ++r) {
      auto p = make(r, seed);
      if (length(*p) == bytes) return p;
    }
  }
  return nullptr;
}

TEST_F(ThumbnailMakerTest, JpegOfExactlyTheBufferSizeDoesNotFitButOneByteLessDoes) {
  std::unique_ptr<BitmapPixels> pixels = BitmapWithJpegOf(kBufferSize);
  ASSERT_TRUE(pixels);
  TBitmap bitmap;
  bitmap.SetHandle(std::move(pixels));
  TMakeThumpnale maker(work_);

  int32_t size = kBufferSize;
  maker.SaveAsJpeg(bitmap, buffer_.data(), 40, size);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(BufferUntouched());
  EXPECT_EQ(ErrorLogMessages(), std::vector<std::string>{
                                    "Buffer to smal. Cant save jpg image. Image is 20480 bytes. Buffer is 20480"});

  std::vector<uint8_t> bigger(kBufferSize + 1, kUntouched);
  size = kBufferSize + 1;
  maker.SaveAsJpeg(bitmap, bigger.data(), 40, size);
  EXPECT_EQ(size, kBufferSize);
  EXPECT_EQ(bigger[0], 0xFF);
  EXPECT_EQ(bigger[1], 0xD8);
  EXPECT_EQ(bigger[kBufferSize - 2], 0xFF);
  EXPECT_EQ(bigger[kBufferSize - 1], 0xD9);
  EXPECT_EQ(bigger[kBufferSize], kUntouched);
  EXPECT_EQ(ErrorLogMessages().size(), 1u);
}

TEST_F(ThumbnailMakerTest, QualityOutsideOneToHundredLeavesBufferAndSizeUntouched) {
  TBitmap bitmap;
  bitmap.SetHandle(std::make_unique<BitmapPixels>(BitmapPixels{8, 8, std::vector<uint8_t>(8 * 8 * 3, 200)}));
  TMakeThumpnale maker(work_);
  for (int32_t quality : {0, 101}) {
    int32_t size = kBufferSize;
    maker.SaveAsJpeg(bitmap, buffer_.data(), quality, size);
    EXPECT_EQ(size, kBufferSize) << quality;
    EXPECT_TRUE(BufferUntouched()) << quality;
  }
  int32_t size = kBufferSize;
  maker.SaveAsJpeg(bitmap, buffer_.data(), 1, size);  // the bounds themselves encode
  EXPECT_GT(size, 0);
  EXPECT_LT(size, kBufferSize);
  EXPECT_TRUE(ErrorLogMessages().empty());
}

TEST_F(ThumbnailMakerTest, EncodingErrorIsLoggedByClassAndLeavesSize) {
  // Wider than JPEG can hold.
  TBitmap bitmap;
  bitmap.SetHandle(std::make_unique<BitmapPixels>(BitmapPixels{70000, 1, std::vector<uint8_t>(70000 * 3, 0)}));
  TMakeThumpnale maker(work_);
  int32_t size = kBufferSize;
  maker.SaveAsJpeg(bitmap, buffer_.data(), 40, size);
  EXPECT_EQ(size, kBufferSize);
  EXPECT_TRUE(BufferUntouched());
  EXPECT_EQ(ErrorLogMessages(), std::vector<std::string>{"Cant convert to jpg: EJPEG"});
}

TEST_F(ThumbnailMakerTest, MissingTmpFolderLogsTheDesktopFailuresAndThumbnailsFail) {
  std::string missing = dir_.Path() + "/notmp/4242.html";
  TMakeThumpnale maker(missing);
  EXPECT_EQ(ErrorLogMessages(),
            (std::vector<std::string>{"error IDesktopFolder.ParseDisplayName", "error IDesktopFolder.BindToObject"}));
  int32_t size = kBufferSize;
  EXPECT_THROW(maker.MakeThumbnail(buffer_.data(), size), EAccessViolation);
  EXPECT_EQ(size, kBufferSize);
  EXPECT_TRUE(BufferUntouched());
}

TEST_F(ThumbnailMakerTest, MissingWorkFileLogsTheFolderFailuresAndThumbnailFails) {
  TMakeThumpnale maker(work_);
  int32_t size = kBufferSize;
  EXPECT_THROW(maker.MakeThumbnail(buffer_.data(), size), EAccessViolation);
  EXPECT_EQ(size, kBufferSize);
  EXPECT_EQ(ErrorLogMessages(),
            (std::vector<std::string>{"error psfWorkDir.ParseDisplayName", "error psfWorkDir.GetUIObjectOf"}));
  // Once the file is there again, the same maker goes on.
  WriteWorkFile(work_, Coloured("#ff0000"));
  EXPECT_GT(ShareOf(Thumbnail(maker), 0, 0, 100, 100, Red), 0.9);
}

// The file system's shell, except that GetLocation gives g_location_answer
// once the real extractor has taken the size (kInnerAnswer: the real answer).
constexpr HRESULT kInnerAnswer = 1;
std::atomic<HRESULT> g_location_answer{kInnerAnswer};
std::atomic<int> g_task_queries{0};

class AnsweringExtractor : public IExtractImage {
 public:
  explicit AnsweringExtractor(std::shared_ptr<IExtractImage> inner) : inner_(std::move(inner)) {}
  HRESULT GetLocation(std::string& location, size_t capacity, uint32_t& priority, const SIZE& size,
                      uint32_t depth, uint32_t& flags) override {
    const HRESULT hr = inner_->GetLocation(location, capacity, priority, size, depth, flags);
    return g_location_answer == kInnerAnswer ? hr : g_location_answer.load();
  }
  HRESULT Extract(HBITMAP& bitmap) override { return inner_->Extract(bitmap); }
  HRESULT QueryRunnableTask(std::shared_ptr<IRunnableTask>& task) override {
    ++g_task_queries;
    return inner_->QueryRunnableTask(task);
  }

 private:
  std::shared_ptr<IExtractImage> inner_;
};

class AnsweringFolder : public IShellFolder {
 public:
  explicit AnsweringFolder(std::shared_ptr<IShellFolder> inner) : inner_(std::move(inner)) {}
  HRESULT ParseDisplayName(std::string_view name, uint32_t& eaten, PItemIdList& item, uint32_t& attributes) override {
    return inner_->ParseDisplayName(name, eaten, item, attributes);
  }
  HRESULT BindToObject(const ItemIdList* item, std::shared_ptr<IShellFolder>& folder) override {
    const HRESULT hr = inner_->BindToObject(item, folder);
    if (folder) folder = std::make_shared<AnsweringFolder>(folder);
    return hr;
  }
  HRESULT GetUIObjectOf(uint32_t count, const ItemIdList* const* items,
                        std::shared_ptr<IExtractImage>& extractor) override {
    const HRESULT hr = inner_->GetUIObjectOf(count, items, extractor);
    if (extractor) extractor = std::make_shared<AnsweringExtractor>(extractor);
    return hr;
  }

 private:
  std::shared_ptr<IShellFolder> inner_;
};

HRESULT AnsweringDesktop(std::shared_ptr<IShellFolder>& folder) {
  std::shared_ptr<IShellFolder> desktop;
  const HRESULT hr = FileSystemDesktopFolder(desktop);
  folder = std::make_shared<AnsweringFolder>(desktop);
  return hr;
}

// Whatever GetLocation answers, the picture is still extracted at once; only
// a failure is logged, and only E_PENDING asks for the runnable task.
TEST_F(ThumbnailMakerTest, EachAnswerOfGetLocation) {
  struct Case {
    const char* name;
    HRESULT answer;
    std::vector<std::string> log;
    int task_queries;
  };
  const Case cases[] = {
      {"pending, the answer to the asynchronous request", kInnerAnswer, {}, 1},
      {"done at once", S_OK, {}, 0},
      {"failed", E_FAIL, {"error peiURL.GetLocation"}, 0},
      {"refused its arguments", E_INVALIDARG, {"error peiURL.GetLocation"}, 0},
  };
  WriteWorkFile(work_, Coloured("#ff0000"));
  SetDesktopFolderSource(&AnsweringDesktop);
  struct Restore {
    ~Restore() { SetDesktopFolderSource(nullptr); }
  } restore;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteFileBytes("ErrorLog.txt", "");
    g_location_answer = c.answer;
    g_task_queries = 0;
    TMakeThumpnale maker(work_);
    EXPECT_GT(ShareOf(Thumbnail(maker), 0, 0, 100, 100, Red), 0.9);
    EXPECT_EQ(ErrorLogMessages(), c.log);
    EXPECT_EQ(g_task_queries, c.task_queries);
  }
}

TEST_F(ThumbnailMakerTest, PageOverTheTimeLimitGivesNoPictureAndLeavesSize) {
  ThumbRenderLimits limits;
  limits.time_limit_ms = 300;
  SetThumbRenderLimits(limits);
  TMakeThumpnale maker(work_);
  WriteWorkFile(work_, NestedTables(20));
  int32_t size = kBufferSize;
  maker.MakeThumbnail(buffer_.data(), size);
  EXPECT_EQ(size, kBufferSize);
  EXPECT_TRUE(BufferUntouched());
  EXPECT_TRUE(ErrorLogMessages().empty());

  // The helper that held the page was replaced; the next page renders.
  limits.time_limit_ms = 120000;
  SetThumbRenderLimits(limits);
  WriteWorkFile(work_, Coloured("#0000ff"));
  EXPECT_GT(ShareOf(Thumbnail(maker), 0, 0, 100, 100, Blue), 0.9);
}

TEST_F(ThumbnailMakerTest, HundredThreadsEachWithItsOwnMaker) {
  constexpr int kThreads = 100;
  constexpr int kPagesEach = 3;
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string file = tmp_ + "/" + std::to_string(1000 + t) + ".html";
      bool red = t % 2 == 0;
      WriteWorkFile(file, Coloured(red ? "#ff0000" : "#0000ff"));
      TMakeThumpnale maker(file);
      std::vector<uint8_t> buffer(kBufferSize);
      for (int i = 0; i < kPagesEach; ++i) {
        int32_t size = kBufferSize;
        maker.MakeThumbnail(buffer.data(), size);
        if (size <= 0 || size >= kBufferSize) continue;
        BitmapPixels p = test::DecodeJpeg(buffer.data(), static_cast<size_t>(size));
        if (ShareOf(p, 0, 0, 100, 100, red ? Red : Blue) > 0.9) ++good[t];
      }
      maker.Destroy();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], kPagesEach) << "thread " << t;
  EXPECT_TRUE(ErrorLogMessages().empty());
}

}  // namespace
}  // namespace tov
