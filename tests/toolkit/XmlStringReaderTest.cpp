#include <gtest/gtest.h>

#include <string>

#include "tests/toolkit/XmlTestSupport.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

using test::DescribeNode;
using test::FilerErrorOf;

struct Read {
  std::string tree;  // DescribeNode of the node read into
  int64_t finish;
  std::string error;
};

// Reads text (or positions start .. finish - 1 of it) into a node named h.
Read ReadContent(const std::string& text, int64_t start = 1, int64_t finish = -1) {
  TXmlDocument doc;
  TXmlNode node(&doc, "h");
  if (finish < 0) finish = static_cast<int64_t>(text.size()) + 1;
  std::string error = FilerErrorOf([&] { node.ReadFromString(text, start, finish); });
  return {DescribeNode(node), finish, error};
}

TEST(XmlStringRead, Contents) {
  struct Case {
    const char* name;
    std::string text;
    std::string tree;
    int64_t finish;
  };
  const Case cases[] = {
      {"one element with text", "<a>x</a>", "0:h{0:a=x}", 9},
      {"text only: neither value nor child", "  only text  ", "0:h", 12},
      {"close tag differs in case", "<a>x</A>", "0:h{0:a=x}", 9},
      {"text before the first child, trimmed", " lead\r\ntext <a/>", "0:h=lead\r\ntext{2:a}", 17},
      {"content that ends at a close tag", " x </h>", "0:h=x", 4},
      {"siblings and nesting", "<a>1</a> <b><c k='v'>2</c></b>", "0:h{0:a=1,0:b{0:c[k='v']=2}}", 31},
      {"attributes keep their quotes", "<a x='1' y=\"2\">v</a>", "0:h{0:a[x='1'|y=\"2\"]=v}", 21},
      {"comment: raw text, a child", "<!-- a&amp;b --><a/>", "0:h{3:Comment= a&amp;b ,2:a}", 21},
      {"CDATA keeps markup", "<![CDATA[<x>]]>", "0:h{4:CData=<x>}", 16},
      {"other markup makes no node", "<?pi x?><!DOCTYPE d><a/>", "0:h{2:a}", 25},
      {"declaration gets the attribute line xml", "<?xml version='1'?><r/>",
       "0:h{5:Xml-Stylesheet[xml|version='1'],2:r}", 24},
      {"style sheet named by its marker", "<?xml-stylesheet href='s'?>", "0:h{6:xml-stylesheet[href='s']}", 28},
      {"markers in any case", "<![cdata[x]]><?XML v='1'?>", "0:h{4:CData=x,5:Xml-Stylesheet[XML|v='1']}", 27},
      {"comment without its stop is other markup", "<!--x><a/>", "0:h{2:a}", 11},
      {"CDATA without its stop is other markup", "<![CDATA[x><a/>", "0:h{2:a}", 16},
      {"text after the last child at the top ends the read", "<a>x</a> tail", "0:h{0:a=x}", 14},
      {"an empty child before the close tag", "<a><b/></a>", "0:h{0:a{2:b}}", 12},
      {"a comment before the close tag", "<a>t<!--c--></a>", "0:h{0:a=t{3:Comment=c}}", 17},
      {"a stray close tag ends the content", "<a/></x><b/>", "0:h{2:a}", 5},
      {"close tag after a child ends the content", "<a/><b>1</b></h>", "0:h{2:a,0:b=1}", 13},
  };
  for (const auto& c : cases) {
    Read r = ReadContent(c.text);
    EXPECT_EQ(r.error, "") << c.name;
    EXPECT_EQ(r.tree, c.tree) << c.name;
    EXPECT_EQ(r.finish, c.finish) << c.name;
  }
}

TEST(XmlStringRead, AnInnerRange) {
  Read r = ReadContent("zz<a>x</a>zz", 3, 11);
  EXPECT_EQ(r.tree, "0:h{0:a=x}");
  EXPECT_EQ(r.finish, 11);
  r = ReadContent("<a>x</a>", 1, 8);  // the range cuts the close tag short
  EXPECT_EQ(r.error, "Incorrect close tag in element h");
  r = ReadContent("<a>x</a>", -4, 100);  // clamped to the text
  EXPECT_EQ(r.tree, "0:h{0:a=x}");
  EXPECT_EQ(r.finish, 9);
}

TEST(XmlStringRead, Errors) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
    std::string tree;  // what was read before the error stays
  };
  const Case cases[] = {
      {"text after a child element ends the read", "<p><a>x</a>tail</p>", "Missing close tag in element h",
       "0:h{0:p{0:a=x}}"},
      {"content without a close tag", "<a>x", "Missing close tag in element h", "0:h{0:a}"},
      {"wrong close tag names the reading node", "<b/><a>x</c>", "Incorrect close tag in element h",
       "0:h{2:b,0:a=x}"},
      {"blanks inside a close tag are not allowed", "<a>x</a >", "Incorrect close tag in element h",
       "0:h{0:a=x}"},
      {"nested: the message names the parent", "<p><a>x</b></p>", "Incorrect close tag in element p",
       "0:h{0:p{0:a=x}}"},
      {"a start tag without a name", "<a/><>", "Missing element name", "0:h{2:a}"},
      {"an empty tag without a name", "< />", "Missing element name", "0:h"},
  };
  for (const auto& c : cases) {
    Read r = ReadContent(c.text);
    EXPECT_EQ(r.error, c.error) << c.name;
    EXPECT_EQ(r.tree, c.tree) << c.name;
  }
}

std::string Nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<d>";
  text += "x";
  for (int i = 0; i < depth; ++i) text += "</d>";
  return text;
}

TEST(XmlStringRead, NestingIsBoundedLikeTheStreamReader) {
  // The node read into counts as one level.
  EXPECT_EQ(ReadContent(Nested(XmlMaxNestingDepth - 1)).error, "");
  EXPECT_EQ(ReadContent(Nested(XmlMaxNestingDepth)).error,
            "Elements nested deeper than 1000 levels in element d");
}

TEST(XmlStringRead, AMissingStopIsSoughtOnce) {
  // Many markers whose stop never comes: each must not search the rest anew
  // (this would take minutes if it did).
  std::string text = "<r>";
  for (int i = 0; i < 50000; ++i) text += "<!--x><![CDATA[y>";
  text += "</r>";
  Read r = ReadContent(text);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.tree, "0:h{0:r}");
}

TEST(XmlDetectNodeType, Markers) {
  struct Case {
    std::string text;
    int64_t start, finish;
    bool found;
    int64_t newStart, newFinish, next;
    int kind;
  };
  const Case cases[] = {
      {"<a>", 1, 4, true, 2, 3, 4, 0},
      {"<a/>", 1, 5, true, 2, 3, 5, 2},
      {"<>", 1, 3, true, 2, 2, 3, 0},
      {"  <!--c-->  ", 1, 13, true, 7, 8, 11, 3},
      {"<!--c>", 1, 7, true, 3, 6, 7, 7},
      {"<?XML-STYLESHEET a?>", 1, 21, true, 17, 19, 21, 6},
      {"<?xml a?>", 1, 10, true, 6, 8, 10, 5},
      {"<?pi?>", 1, 7, true, 3, 5, 7, 7},
      {"</a>", 1, 5, true, 3, 4, 5, 1},
      {"<![CDATA[x]]>", 1, 14, true, 10, 11, 14, 4},
      {"<a>", 1, 3, false, 0, 0, 0, 0},  // the stop lies beyond the range
      {"<a", 1, 3, false, 0, 0, 0, 0},
      {"x<a>", 1, 5, false, 0, 0, 0, 0},
      {"   ", 1, 4, false, 0, 0, 0, 0},
  };
  TXmlNode node(nullptr);
  for (const auto& c : cases) {
    int64_t start = c.start, finish = c.finish, next = 0;
    uint8_t kind = 99;
    ASSERT_EQ(node.DetectNodeType(c.text, start, finish, next, kind), c.found) << c.text;
    if (!c.found) continue;
    EXPECT_EQ(start, c.newStart) << c.text;
    EXPECT_EQ(finish, c.newFinish) << c.text;
    EXPECT_EQ(next, c.next) << c.text;
    EXPECT_EQ(kind, c.kind) << c.text;
  }
}

TEST(XmlDetectNodeType, SearchTextAndTextMatchesAt) {
  EXPECT_TRUE(TextMatchesAt("AbC", "xabc", 2));
  EXPECT_FALSE(TextMatchesAt("abc", "xab", 2));
  EXPECT_FALSE(TextMatchesAt("a", "a", 0));
  EXPECT_FALSE(TextMatchesAt("b", "a", 1));
  EXPECT_TRUE(TextMatchesAt("\xC9", "\xC9", 1));
  EXPECT_FALSE(TextMatchesAt("\xE9", "\xC9", 1));  // only ASCII letters ignore case

  struct Case {
    int64_t start, limit;
    bool found;
    int64_t at;
  };
  const std::string text = "a-->b-->";
  for (const auto& c : {Case{1, 9, true, 2}, Case{1, 5, true, 2}, Case{1, 4, false, 0}, Case{3, 9, true, 6},
                        Case{7, 99, false, 0}, Case{-5, 9, true, 2}}) {
    int64_t at = 0;
    ASSERT_EQ(SearchText("-->", text, c.start, at, c.limit), c.found) << c.start << " " << c.limit;
    if (c.found) {
      EXPECT_EQ(at, c.at);
    }
  }
}

}  // namespace
}  // namespace tov
