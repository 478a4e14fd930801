// Our stand-in for the desktop shell's image extraction of a file: the desktop
// folder parses a directory into an item identifier, binds it to a folder
// object, the folder parses a file in it and hands out the file's image
// extractor, which answers GetLocation and draws the picture in Extract. The
// call sequence, the failure results and the E_PENDING answer to an
// asynchronous request are the shell's; paths are byte strings, and objects
// are held by smart pointers in place of reference counts.
//
// The extractor renders HTML work files: the page (with its BASE line) is
// converted to UTF-8 from its character set, cut to the render limit, laid out
// at desktop width and scaled to the asked size in a render helper process
// (see ThumbRenderPool.h). Nothing a page refers to is loaded: no image, style
// sheet or frame, from the network or the disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Bitmap.h"

namespace tov {

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000A);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT HRESULT_FILE_NOT_FOUND = static_cast<HRESULT>(0x80070002);  // from ERROR_FILE_NOT_FOUND
constexpr HRESULT HRESULT_TIMEOUT = static_cast<HRESULT>(0x800705B4);         // from ERROR_TIMEOUT

inline bool Failed(HRESULT hr) { return hr < 0; }

// Extraction flags.
constexpr uint32_t IEIFLAG_ASYNC = 0x0001;
constexpr uint32_t IEIFLAG_ORIGSIZE = 0x0040;

struct SIZE {
  int32_t cx = 0;
  int32_t cy = 0;
};

// An item identifier: which file system object it names. Freed through the
// shell allocator.
struct ItemIdList {
  std::string path;
};
using PItemIdList = std::unique_ptr<ItemIdList>;

class IMalloc {
 public:
  virtual ~IMalloc() = default;
  virtual void Free(PItemIdList& item) = 0;
};

// A task the extractor offers for extraction on another thread.
class IRunnableTask {
 public:
  virtual ~IRunnableTask() = default;
  virtual HRESULT Run() = 0;
};

class IExtractImage {
 public:
  virtual ~IExtractImage() = default;
  // Takes the size and flags of the picture to come and writes the item's
  // location (at most location_capacity - 1 bytes). With IEIFLAG_ASYNC in
  // flags it answers E_PENDING: extraction may then run as a task.
  virtual HRESULT GetLocation(std::string& location, size_t location_capacity, uint32_t& priority,
                              const SIZE& size, uint32_t color_depth, uint32_t& flags) = 0;
  // Draws the picture; bitmap is empty unless the result is S_OK.
  virtual HRESULT Extract(HBITMAP& bitmap) = 0;
  // The runnable-task face of the extractor (QueryInterface for IRunnableTask).
  virtual HRESULT QueryRunnableTask(std::shared_ptr<IRunnableTask>& task) = 0;
};

class IShellFolder {
 public:
  virtual ~IShellFolder() = default;
  // The desktop parses an absolute path, any other folder a name inside it.
  // A missing object gives HRESULT_FILE_NOT_FOUND.
  virtual HRESULT ParseDisplayName(std::string_view display_name, uint32_t& eaten, PItemIdList& item,
                                   uint32_t& attributes) = 0;
  // The folder object of a directory item.
  virtual HRESULT BindToObject(const ItemIdList* item, std::shared_ptr<IShellFolder>& folder) = 0;
  // The image extractor of exactly one file item of this folder.
  virtual HRESULT GetUIObjectOf(uint32_t count, const ItemIdList* const* items,
                                std::shared_ptr<IExtractImage>& extractor) = 0;
};

HRESULT SHGetMalloc(std::shared_ptr<IMalloc>& allocator);
HRESULT SHGetDesktopFolder(std::shared_ptr<IShellFolder>& folder);

// The file system's desktop: what SHGetDesktopFolder hands out unless a test
// has put another source in its place.
HRESULT FileSystemDesktopFolder(std::shared_ptr<IShellFolder>& folder);
// For tests of the shell's callers: SHGetDesktopFolder hands out what source
// gives, so a test can answer in the shell's place; nullptr restores the file
// system's desktop.
using DesktopFolderSource = HRESULT (*)(std::shared_ptr<IShellFolder>& folder);
void SetDesktopFolderSource(DesktopFolderSource source);

}  // namespace tov
