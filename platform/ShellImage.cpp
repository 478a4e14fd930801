#include "platform/ShellImage.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>

#include "platform/Files.h"
#include "platform/PageCharset.h"
#include "platform/ThumbRenderPool.h"
#include "platform/ThumbRenderProtocol.h"

namespace tov {

namespace {

HRESULT FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return HRESULT_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return E_ACCESSDENIED;
    default:
      return E_FAIL;
  }
}

// S_OK and the kind of object at path, or the failure.
HRESULT StatPath(const std::string& path, bool& is_directory, bool& is_file) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FromErrno(errno);
  is_directory = S_ISDIR(st.st_mode);
  is_file = S_ISREG(st.st_mode);
  return S_OK;
}

// At most limit bytes of a file.
HRESULT ReadHead(const std::string& path, size_t limit, std::string& out) {
  try {
    TFile file = TFile::OpenExisting(path, TFile::Mode::Read);
    out.resize(limit);
    size_t got = 0;
    while (got < limit) {
      size_t n = file.Read(out.data() + got, limit - got);
      if (n == 0) break;
      got += n;
    }
    out.resize(got);
    return S_OK;
  } catch (const EInOutError& e) {
    if (e.ErrorCode() == 2 || e.ErrorCode() == 3) return HRESULT_FILE_NOT_FOUND;
    if (e.ErrorCode() == 5) return E_ACCESSDENIED;
    return E_FAIL;
  }
}

class Allocator : public IMalloc {
 public:
  void Free(PItemIdList& item) override { item.reset(); }
};

class FileExtractor : public IExtractImage,
                      public IRunnableTask,
                      public std::enable_shared_from_this<FileExtractor> {
 public:
  explicit FileExtractor(std::string path) : path_(std::move(path)) {}

  HRESULT GetLocation(std::string& location, size_t location_capacity, uint32_t&, const SIZE& size, uint32_t,
                      uint32_t& flags) override {
    const auto max_side = static_cast<int32_t>(kMaxRenderSide);
    if (size.cx < 1 || size.cy < 1 || size.cx > max_side || size.cy > max_side) return E_INVALIDARG;
    size_ = size;
    location = path_.substr(0, location_capacity > 0 ? location_capacity - 1 : 0);
    return (flags & IEIFLAG_ASYNC) ? E_PENDING : S_OK;
  }

  HRESULT Extract(HBITMAP& bitmap) override {
    bitmap.reset();
    if (size_.cx == 0) return E_UNEXPECTED;  // GetLocation gives the size first
    ThumbRenderLimits limits = GetThumbRenderLimits();
    std::string page;
    // Any character set takes at most two bytes a character more than UTF-8
    // gives back, so this is all of the page that can reach the engine.
    HRESULT hr = ReadHead(path_, 2 * limits.max_page_bytes + 4096, page);
    if (Failed(hr)) return hr;
    auto picture = std::make_unique<BitmapPixels>();
    switch (RenderThumbnail(PageToUtf8(page, limits.max_page_bytes), size_.cx, size_.cy, *picture)) {
      case ThumbRenderResult::Picture:
        bitmap = std::move(picture);
        return S_OK;
      case ThumbRenderResult::TimedOut:
        return HRESULT_TIMEOUT;
      case ThumbRenderResult::NoPicture:
      case ThumbRenderResult::Failed:
        break;
    }
    return E_FAIL;
  }

  HRESULT QueryRunnableTask(std::shared_ptr<IRunnableTask>& task) override {
    task = shared_from_this();
    return S_OK;
  }

  // Extraction is always done by Extract; the task has nothing of its own.
  HRESULT Run() override { return E_NOTIMPL; }

 private:
  std::string path_;
  SIZE size_;
};

// The desktop (root empty: it parses absolute paths) or a directory.
class FileSystemFolder : public IShellFolder {
 public:
  explicit FileSystemFolder(std::string root) : root_(std::move(root)) {}

  HRESULT ParseDisplayName(std::string_view name, uint32_t& eaten, PItemIdList& item, uint32_t&) override {
    item.reset();
    bool desktop = root_.empty();
    if (name.empty() || (name.front() == '/') != desktop) return E_INVALIDARG;
    std::string path = desktop ? std::string(name) : PathJoin(root_, name);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    bool is_directory = false, is_file = false;
    HRESULT hr = StatPath(path, is_directory, is_file);
    if (Failed(hr)) return hr;
    item = std::make_unique<ItemIdList>(ItemIdList{path});
    eaten = static_cast<uint32_t>(name.size());
    return S_OK;
  }

  HRESULT BindToObject(const ItemIdList* item, std::shared_ptr<IShellFolder>& folder) override {
    folder.reset();
    if (!item) return E_INVALIDARG;
    bool is_directory = false, is_file = false;
    HRESULT hr = StatPath(item->path, is_directory, is_file);
    if (Failed(hr)) return hr;
    if (!is_directory) return E_FAIL;
    folder = std::make_shared<FileSystemFolder>(item->path);
    return S_OK;
  }

  HRESULT GetUIObjectOf(uint32_t count, const ItemIdList* const* items,
                        std::shared_ptr<IExtractImage>& extractor) override {
    extractor.reset();
    if (count != 1 || !items || !items[0]) return E_INVALIDARG;
    bool is_directory = false, is_file = false;
    HRESULT hr = StatPath(items[0]->path, is_directory, is_file);
    if (Failed(hr)) return hr;
    if (!is_file) return E_NOINTERFACE;
    extractor = std::make_shared<FileExtractor>(items[0]->path);
    return S_OK;
  }

 private:
  std::string root_;
};

}  // namespace

HRESULT SHGetMalloc(std::shared_ptr<IMalloc>& allocator) {
  allocator = std::make_shared<Allocator>();
  return S_OK;
}

HRESULT FileSystemDesktopFolder(std::shared_ptr<IShellFolder>& folder) {
  folder = std::make_shared<FileSystemFolder>(std::string());
  return S_OK;
}

namespace {
std::atomic<DesktopFolderSource> g_desktop_source{nullptr};
}  // namespace

void SetDesktopFolderSource(DesktopFolderSource source) { g_desktop_source = source; }

HRESULT SHGetDesktopFolder(std::shared_ptr<IShellFolder>& folder) {
  const DesktopFolderSource source = g_desktop_source;
  return source ? source(folder) : FileSystemDesktopFolder(folder);
}

}  // namespace tov
