// Renders pages into small pictures in helper processes (the program Tovthumb
// beside the running program). A helper lays out one page at a time with the
// layout engine; a page that takes longer than the time limit has its helper
// killed, and a page that crashes the engine takes only the helper down. The
// helpers are shared by all threads of the process, started when first needed
// and reused for a number of pages; a helper runs at the scheduling priority of the thread that
// started it, so idle download threads get idle helpers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bitmap.h"

namespace tov {

struct ThumbRenderLimits {
  // Safeguard: render helpers. A picture over its time is dropped and its helper
  // killed; a helper is replaced after pages_per_helper pages.
  // For one picture, waiting for a free helper included.
  int time_limit_ms = 2000;
  // Safeguard: layout input bounded.
  // UTF-8 bytes of a page that reach the layout engine; the rest is dropped.
  size_t max_page_bytes = 256 * 1024;
  // Helper processes at most; 0 means one per processor, at most 8.
  int max_helpers = 0;
  // Pages a helper lays out before it is replaced by a fresh one, so that
  // what a layout engine keeps from page to page (caches, a fragmented heap)
  // cannot grow without end in a crawler that runs for weeks.
  int pages_per_helper = 1000;
};

void SetThumbRenderLimits(const ThumbRenderLimits& limits);
ThumbRenderLimits GetThumbRenderLimits();

enum class ThumbRenderResult {
  Picture,    // out holds the picture
  NoPicture,  // the page could not be laid out
  TimedOut,   // the limit passed first; the picture is dropped
  Failed,     // no helper could be started, or it died on the page
};

// Lays out a UTF-8 page at desktop width and scales the top of it to
// width x height. Safe to call from any number of threads at once.
ThumbRenderResult RenderThumbnail(std::string_view utf8_page, int width, int height, BitmapPixels& out);

// Where the helper program is looked for.
std::string ThumbRenderHelperPath();

// The helper processes alive now, busy or idle (for figures and tests).
std::vector<int> ThumbRenderHelperPids();

// Ends the helpers that wait for a page, so that the next page starts a fresh
// one; busy helpers are left to their page. Tests that count helpers or kill
// them start from here, since the pool outlives each test.
void EndIdleThumbRenderHelpers();

}  // namespace tov
