// The character set of a saved page, and the page as UTF-8 for the layout
// engine. A byte-order mark decides first, then a meta charset (or a meta
// content type) near the start; a page that names none is Windows-1252.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tov {

enum class PageEncoding { Cp1252, Utf8, Utf16LE, Utf16BE, Other };

struct PageCharset {
  PageEncoding encoding = PageEncoding::Cp1252;
  std::string name;        // for Other: the character set as the page named it
  size_t text_start = 0;   // where the text after a byte-order mark begins
  size_t mark_offset = 0;  // where the byte-order mark stood (text_start without one)
};

// A work file starts with the line <BASE HREF="url">, so a byte-order mark of the
// page itself is looked for at the very start and right after that line.
PageCharset DetectPageCharset(std::string_view page);

// The page as UTF-8, at most max_bytes long and cut at a character boundary.
// Sequences that are invalid in the page's character set, and zero bytes,
// become U+FFFD. A character set that the system does not know is read as
// Windows-1252.
std::string PageToUtf8(std::string_view page, size_t max_bytes);

// Valid UTF-8 of at most max_bytes: invalid sequences and zero bytes become
// U+FFFD, and the text is cut before the first character that does not fit.
std::string SanitizeUtf8(std::string_view text, size_t max_bytes);

}  // namespace tov
