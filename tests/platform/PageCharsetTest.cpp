#include "platform/PageCharset.h"

#include <gtest/gtest.h>

namespace tov {
namespace {

constexpr size_t kNoCap = 1 << 20;
const std::string kBase = "<BASE HREF=\"http://example.test/\">\r\n";

TEST(PageCharsetTest, PagesAreConvertedFromTheCharacterSetTheyName) {
  struct Case {
    const char* what;
    std::string page;
    std::string utf8;
  } cases[] = {
      {"none named: Windows-1252", kBase + "<p>caf\xE9 \x80", kBase + "<p>caf\xC3\xA9 \xE2\x82\xAC"},
      {"meta charset", kBase + "<meta charset=\"utf-8\"><p>caf\xC3\xA9", kBase + "<meta charset=\"utf-8\"><p>caf\xC3\xA9"},
      {"meta content type, unquoted",
       "<META HTTP-EQUIV=Content-Type CONTENT=\"text/html; charset=UTF-8\">\xC3\xA5",
       "<META HTTP-EQUIV=Content-Type CONTENT=\"text/html; charset=UTF-8\">\xC3\xA5"},
      {"latin-1 is read as Windows-1252", "<meta charset=iso-8859-1>\x80\xE9",
       "<meta charset=iso-8859-1>\xE2\x82\xAC\xC3\xA9"},
      {"another set through the C library", "<meta charset=koi8-r>\xC1", "<meta charset=koi8-r>\xD0\xB0"},
      {"an unknown set is Windows-1252", "<meta charset=x-no-such-set>\xE9", "<meta charset=x-no-such-set>\xC3\xA9"},
      {"a meta tag in a comment names nothing", "<!-- <meta charset=utf-8> -->\xE9",
       "<!-- <meta charset=utf-8> -->\xC3\xA9"},
      {"a UTF-16 claim in a meta tag means UTF-8", "<meta charset=utf-16>\xC3\xA9", "<meta charset=utf-16>\xC3\xA9"},
      {"UTF-8 mark after the BASE line", kBase + "\xEF\xBB\xBF<p>\xC3\xA9", kBase + "<p>\xC3\xA9"},
      {"UTF-8 mark at the start beats a meta tag", "\xEF\xBB\xBF<meta charset=windows-1252>\xC3\xA9",
       "<meta charset=windows-1252>\xC3\xA9"},
      {"UTF-16LE mark after the BASE line", kBase + std::string("\xFF\xFE<\0p\0>\0\xE9\0\x3D\xD8\x00\xDE", 14),
       kBase + "<p>\xC3\xA9\xF0\x9F\x98\x80"},
      {"UTF-16BE mark", std::string("\xFE\xFF\0<\0a\xD8\x00", 8), "<a\xEF\xBF\xBD"},
      {"invalid UTF-8 and zero bytes", std::string("<meta charset=utf-8>\xC3(\xED\xA0\x80\0z", 27),
       "<meta charset=utf-8>\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz"},
  };
  for (const Case& c : cases) EXPECT_EQ(PageToUtf8(c.page, kNoCap), c.utf8) << c.what;
}

TEST(PageCharsetTest, DetectionReportsWhereTheTextStarts) {
  PageCharset cs = DetectPageCharset(kBase + "\xFF\xFEx\0");
  EXPECT_EQ(cs.encoding, PageEncoding::Utf16LE);
  EXPECT_EQ(cs.mark_offset, kBase.size());
  EXPECT_EQ(cs.text_start, kBase.size() + 2);
  cs = DetectPageCharset("<meta http-equiv='content-type' content='text/html;charset=\"Shift_JIS\"'>");
  EXPECT_EQ(cs.encoding, PageEncoding::Other);
  EXPECT_EQ(cs.name, "shift_jis");
  EXPECT_EQ(DetectPageCharset("<meta name=charset content=utf-8>").encoding, PageEncoding::Cp1252);
}

TEST(PageCharsetTest, OutputIsCutAtACharacterBoundary) {
  std::string page = "<meta charset=utf-8>" + std::string("\xE2\x82\xAC\xE2\x82\xAC");  // two euro signs
  EXPECT_EQ(PageToUtf8(page, 20 + 3), page.substr(0, 23));
  EXPECT_EQ(PageToUtf8(page, 20 + 5), page.substr(0, 23));
  EXPECT_EQ(PageToUtf8(page, 20 + 6), page);
  EXPECT_EQ(PageToUtf8("\xE9\xE9", 3), "\xC3\xA9");
  EXPECT_EQ(SanitizeUtf8("ab", 0), "");
}

}  // namespace
}  // namespace tov
