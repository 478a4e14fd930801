#include "toolkit/MakeThumpnale.h"

#include <cstring>

#include "common/ErrorLog.h"
#include "platform/SysUtils.h"

namespace tov {

namespace {
constexpr int32_t kThumbnailSide = 100;
constexpr int32_t kJpegQuality = 40;
constexpr uint32_t kColourDepth = 32;
}  // namespace

TMakeThumpnale::TMakeThumpnale(const std::string& file_name)
    : bitmap_(std::make_unique<TBitmap>()), jpeg_(std::make_unique<TJPEGImage>()) {
  size_t slash = file_name.rfind('/');
  directory_ = slash == std::string::npos ? std::string() : file_name.substr(0, slash + 1);
  file_name_ = slash == std::string::npos ? file_name : file_name.substr(slash + 1);

  flags_ = IEIFLAG_ASYNC | IEIFLAG_ORIGSIZE;
  priority_ = 0;
  size_.cx = kThumbnailSide;
  size_.cy = kThumbnailSide;

  if (SHGetMalloc(malloc_) != S_OK || !malloc_) return;
  SHGetDesktopFolder(desktop_folder_);
  if (Failed(desktop_folder_->ParseDisplayName(directory_, eaten_, folder_item_, attributes_))) {
    WriteErrorLog("error IDesktopFolder.ParseDisplayName");
  }
  psfWorkDir.reset();
  if (Failed(desktop_folder_->BindToObject(folder_item_.get(), psfWorkDir))) {
    WriteErrorLog("error IDesktopFolder.BindToObject");
  }
}

TMakeThumpnale::~TMakeThumpnale() { Destroy(); }

void TMakeThumpnale::MakeThumbnail(void* buffer, int32_t& size) {
  if (!psfWorkDir) throw EAccessViolation("Access violation: no work-directory folder");
  if (file_item_) malloc_->Free(file_item_);
  if (Failed(psfWorkDir->ParseDisplayName(file_name_, eaten_, file_item_, attributes_))) {
    WriteErrorLog("error psfWorkDir.ParseDisplayName");
  }

  peiURL.reset();
  const ItemIdList* items[] = {file_item_.get()};
  if (Failed(psfWorkDir->GetUIObjectOf(1, items, peiURL))) WriteErrorLog("error psfWorkDir.GetUIObjectOf");
  if (!peiURL) throw EAccessViolation("Access violation: no image extractor");

  HRESULT hr = peiURL->GetLocation(location_, kLocationLength, priority_, size_, kColourDepth, flags_);
  if (hr == E_PENDING) {
    // Asynchronous extraction is offered; the task is kept but never run.
    runnable_task_.reset();
    peiURL->QueryRunnableTask(runnable_task_);
  } else if (Failed(hr)) {
    WriteErrorLog("error peiURL.GetLocation");
  }

  peiURL->Extract(bitmap_handle_);  // its result says nothing the bitmap does not
  bitmap_->SetHandle(std::move(bitmap_handle_));
  if (!bitmap_->Empty()) SaveAsJpeg(*bitmap_, buffer, kJpegQuality, size);
}

void TMakeThumpnale::SaveAsJpeg(const TBitmap& bitmap, void* buffer, int32_t quality, int32_t& size) {
  std::string stream;
  if (quality < 1 || quality > 100) return;
  try {
    if (!jpeg_) throw EAccessViolation("Access violation: the maker was destroyed");
    jpeg_->SetCompressionQuality(quality);
    jpeg_->Assign(bitmap);
    jpeg_->Compress();
    jpeg_->SaveToStream(stream);
    if (stream.size() < static_cast<size_t>(size > 0 ? size : 0)) {
      size = static_cast<int32_t>(stream.size());
      std::memcpy(buffer, stream.data(), stream.size());
    } else {
      int32_t capacity = size;
      size = 0;  // before the log line, so a failing log never leaves the old size claimed
      WriteErrorLog("Buffer to smal. Cant save jpg image. Image is " + IntToStr(static_cast<int64_t>(stream.size())) +
                    " bytes. Buffer is " + IntToStr(capacity));
    }
  } catch (const EAccessViolation& e) {
    WriteErrorLog("Cant convert to jpg: " + e.Message());
  } catch (...) {
    WriteErrorLog("Cant convert to jpg: " + CurrentExceptionClassName());
  }
}

void TMakeThumpnale::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  bitmap_.reset();
  jpeg_.reset();
  if (malloc_) {
    malloc_->Free(file_item_);
    malloc_->Free(folder_item_);
  }
  desktop_folder_.reset();
  psfWorkDir.reset();
  peiURL.reset();
  runnable_task_.reset();
  malloc_.reset();
}

}  // namespace tov
