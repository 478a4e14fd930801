#include "toolkit/CleanHtml.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/SharedGlobals.h"

namespace tov {
namespace {

using namespace std::string_literals;

std::string Cleaned(std::string html) {
  TCleanHtml cleaner;
  cleaner.Clean(html);
  return html;
}

const std::string kScript = "<!-- SCRIPT REMOVED -->";
const std::string kObject = "<!-- OBJECT REMOVED -->";
const std::string kIframe = "<!-- IFRAME REMOVED -->";
const std::string kIframe2 = "<!-- IFRAME2 REMOVED -->";

struct CleanCase {
  const char* what;
  std::string html;
  std::string expected;
};

TEST(CleanHtml, TheFourRulesInOrder) {
  const CleanCase cases[] = {
      {"nothing to remove", "<html><body><p>a &lt; b</p>\r\n<scr>x</scr></body></html>",
       "<html><body><p>a &lt; b</p>\r\n<scr>x</scr></body></html>"},
      {"zero and high bytes stay", "a\0b\xe5\xf8\xff"s, "a\0b\xe5\xf8\xff"s},
      {"empty", "", ""},
      {"each script separately", "<script>a</script>x<script>b</script>", kScript + "x" + kScript},
      {"objects as one", "<object>a</object>x<object>b</object>", kObject},
      {"an inline frame", "<IFRAME src=a></iframe>", kIframe},
      {"a bare inline-frame tag", "<iframe src=a>text", kIframe2 + "text"},
      {"a script over lines", "a<script type=\"x\">\r\nvar s = 1;\r\n\r\nif (a > b) {}\n</script>b", "a" + kScript + "b"},
      {"an unclosed script stays", "a<script>var x;</scrip>", "a<script>var x;</scrip>"},
      {"an unclosed object stays", "<object data=x>", "<object data=x>"},
      {"any case", "<ScRiPt>a</sCrIpT><OBJECT>b</object>", kScript + kObject},
      {"a longer tag name counts", "<SCRIPTX>a</SCRIPT>", kScript},
      {"a closing tag alone stays", "</script><script", "</script><script"},
      {"scripts go before objects", "<object><script>s</script></object>z", kObject + "z"},
      {"the object rule is greedy across scripts",
       "<object>a</object><script>b</script><object>c</object>", kObject},
      {"the nearest closing frame tag", "<iframe><iframe></iframe></iframe>", kIframe + "</iframe>"},
      {"closed frames before bare ones", "<iframe a></iframe><iframe b>c", kIframe + kIframe2 + "c"},
      {"a frame tag over lines", "<iframe\nsrc=x\n>y", kIframe2 + "y"},
      {"a frame tag without '>' stays", "x<iframe src=", "x<iframe src="},
      {"a script holding a frame", "<script>document.write('<iframe>')</script>", kScript},
      {"an object holding a frame", "<object><iframe src=a></object>", kObject},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Cleaned(c.html), c.expected);
  }
}

TEST(CleanHtml, OneCleanerServesManyPages) {
  TCleanHtml cleaner;
  for (int i = 0; i < 3; ++i) {
    std::string page = "<p>" + std::to_string(i) + "</p><script>x</script>";
    cleaner.Clean(page);
    EXPECT_EQ(page, "<p>" + std::to_string(i) + "</p>" + kScript);
  }
}

// A page of the longest size the crawler keeps, with many elements to remove.
TEST(CleanHtml, ALongestPageIsCleanedWhole) {
  const std::string block = "<p>text</p>\n<script>var a = '<b>';\n</script><iframe src=x>\n";
  const std::string cleanBlock = "<p>text</p>\n" + kScript + kIframe2 + "\n";
  std::string page;
  std::string expected;
  while (page.size() + block.size() <= static_cast<size_t>(MaxHtmlSize)) {
    page += block;
    expected += cleanBlock;
  }
  page.append(MaxHtmlSize - page.size(), 'z');
  expected.append(MaxHtmlSize - (expected.size() / cleanBlock.size()) * block.size(), 'z');
  EXPECT_EQ(Cleaned(page), expected);
}

// Object tags without any closing tag fill the page: every opening tag starts
// a search that finds nothing. The page comes back as it was.
TEST(CleanHtml, ALongestPageOfUnclosedObjectsStays) {
  std::string page;
  while (page.size() < static_cast<size_t>(MaxHtmlSize)) page += "<OBJECT></OBJEC";
  page.resize(MaxHtmlSize);
  EXPECT_EQ(Cleaned(page), page);
}

TEST(CleanHtml, CleanersOnThreadsShareNothing) {
  const std::string page = "<a><script>x</script><object>y</object><iframe>z";
  const std::string expected = "<a>" + kScript + kObject + kIframe2 + "z";
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&page, &result] {
      TCleanHtml cleaner;
      for (int i = 0; i < 200; ++i) {
        result = page;
        cleaner.Clean(result);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace tov
