// Removes from a copy of a page the elements that would run code or pull in
// other content before the page is rendered into a thumbnail: scripts,
// embedded objects and inline frames. Each removed stretch becomes an HTML
// comment that names what was there. The stored page is never cleaned.
//
// Each download thread owns one; an instance serves one thread.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "toolkit/PcreComponent.h"

namespace tov {

class TCleanHtml {
 public:
  TCleanHtml();
  virtual ~TCleanHtml();
  TCleanHtml(const TCleanHtml&) = delete;
  TCleanHtml& operator=(const TCleanHtml&) = delete;

  // Applies the four rules in turn to the whole text: scripts (each one
  // separately), objects (from the first opening tag to the last closing tag,
  // as one), inline frames with a closing tag, then bare inline-frame opening
  // tags. Tags match in any case and may span lines. A rule whose search ends
  // in an error keeps the rest of its text as it was; the next rules still run.
  // Out of memory passes to the caller, with html as the last rule left it.
  void Clean(std::string& html);

 private:
  std::array<std::unique_ptr<TPcre>, 4> rules_;
  std::string work_;  // where each rule writes; its bytes are stale between calls
};

}  // namespace tov
