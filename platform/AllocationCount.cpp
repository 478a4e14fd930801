#include "platform/AllocationCount.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace tov {

namespace {

// Safeguard: counted blocks. The memory window's block count counts blocks, instead of a figure that is always 0.
// Constant-initialised, so it counts from the first allocation on, before
// any constructor of a static object has run.
constinit std::atomic<int64_t> g_live_blocks{0};

void* Allocate(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;  // every allocation is a block of its own
  for (;;) {
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
      p = std::malloc(size);
    } else if (::posix_memalign(&p, alignment, size) != 0) {
      p = nullptr;
    }
    if (p != nullptr) {
      g_live_blocks.fetch_add(1, std::memory_order_relaxed);
      return p;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* AllocateOrNull(std::size_t size, std::size_t alignment) noexcept {
  try {
    return Allocate(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

int64_t AllocMemCount() { return g_live_blocks.load(std::memory_order_relaxed); }

}  // namespace tov

// The replaceable global allocation functions, every form.
void* operator new(std::size_t size) { return tov::Allocate(size, tov::kPlain); }
void* operator new[](std::size_t size) { return tov::Allocate(size, tov::kPlain); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return tov::AllocateOrNull(size, tov::kPlain); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return tov::AllocateOrNull(size, tov::kPlain);
}
void* operator new(std::size_t size, std::align_val_t a) { return tov::Allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return tov::Allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return tov::AllocateOrNull(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return tov::AllocateOrNull(size, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { tov::Release(p); }
void operator delete[](void* p) noexcept { tov::Release(p); }
void operator delete(void* p, std::size_t) noexcept { tov::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { tov::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { tov::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { tov::Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { tov::Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { tov::Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { tov::Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { tov::Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { tov::Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { tov::Release(p); }
