// The thumbnail maker of one download thread: has the shell's image extractor
// draw a 100 x 100 picture of the thread's work file and copies it, as a JPEG
// of quality 40, into the caller's buffer. Every failed shell call is written
// to the error log and the sequence goes on; the maker never stops the thread
// over one. Created, used and destroyed on one thread; nothing is shared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Bitmap.h"
#include "platform/ShellImage.h"
#include "toolkit/JpegImage.h"

namespace tov {

class TMakeThumpnale {
 public:
  // Create: obtains the shell objects of the work file's directory once.
  explicit TMakeThumpnale(const std::string& file_name);
  // Calls Destroy when the owner has not.
  ~TMakeThumpnale();
  TMakeThumpnale(const TMakeThumpnale&) = delete;
  TMakeThumpnale& operator=(const TMakeThumpnale&) = delete;

  // Renders the work file's current contents. On entry size is the buffer's
  // capacity in bytes; on return it is the JPEG's length, 0 when the JPEG did
  // not fit, or unchanged when no picture was made. Raises EAccessViolation
  // when no work-directory folder or no image extractor was obtained.
  void MakeThumbnail(void* buffer, int32_t& size);
  // Encodes the bitmap into the buffer when the JPEG is strictly smaller than
  // size; quality outside 1 to 100 does nothing. Encoding errors are logged.
  void SaveAsJpeg(const TBitmap& bitmap, void* buffer, int32_t quality, int32_t& size);
  // Releases everything, in the shell's order. Later calls do nothing.
  void Destroy();

 private:
  static constexpr size_t kLocationLength = 260;

  PItemIdList folder_item_;
  PItemIdList file_item_;
  std::shared_ptr<IMalloc> malloc_;
  std::shared_ptr<IShellFolder> desktop_folder_;
  std::shared_ptr<IShellFolder> psfWorkDir;
  uint32_t attributes_ = 0;
  uint32_t eaten_ = 0;
  std::shared_ptr<IExtractImage> peiURL;
  std::shared_ptr<IRunnableTask> runnable_task_;
  std::string location_;
  SIZE size_;
  uint32_t priority_ = 0;
  uint32_t flags_ = 0;
  HBITMAP bitmap_handle_;
  std::string directory_;
  std::string file_name_;
  std::unique_ptr<TBitmap> bitmap_;
  std::unique_ptr<TJPEGImage> jpeg_;
  bool destroyed_ = false;
};

}  // namespace tov
