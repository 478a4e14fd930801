#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/toolkit/XmlTestSupport.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

using test::DescribeNode;
using test::FilerErrorOf;

struct TreeCase {
  const char* name;
  std::string input;
  std::string root;  // DescribeNode of the root
  std::string version = "1.0";
  std::string encoding = "windows-1252";
  std::string comment;
};

TEST(XmlDocumentRead, BuildsTheExpectedTree) {
  const TreeCase cases[] = {
      {"close tag differs in case", "<a>text</A>", "0:a=text"},
      {"line breaks and blanks around text", "<a>\r\n  text\n</a>", "0:a=text"},
      {"text around an empty child is joined", "<a>one<b/>two</a>", "0:a=onetwo{2:b}"},
      {"text before, between and after children", "<r> x <c>1</c> y </r>", "0:r=x  y{0:c=1}"},
      {"blank content leaves the value empty", "<r>  \t </r>", "0:r"},
      {"entity references stay encoded", "<r>a &amp; b</r>", "0:r=a &amp; b"},
      {"attributes keep their quotes", "<a x='1' y=\"2\"/>", "2:a[x='1'|y=\"2\"]"},
      {"blanks before the closing slash", "<r a='1' />", "2:r[a='1']"},
      {"blanks around '=' make three words", "<r a = \"1\"/>", "2:r[a|=|\"1\"]"},
      {"blanks inside quotes do not split", "<r a=\"x y\" b='p q'/>", "2:r[a=\"x y\"|b='p q']"},
      {"a line break splits even inside quotes", "<r a=\"x\r\ny\"/>", "2:r[a=\"x|y\"]"},
      {"a tab does not separate words", "<r\ta=1/>", "2:r\ta=1"},
      {"'>' inside a quoted value ends the tag", "<r a='>'>t</r>", "0:r[a=']='>t"},
      {"declaration before the root", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r/>", "2:r", "1.0",
       "UTF-8"},
      {"declaration values unquoted and decoded", "<?xml version='a&amp;b'?>\n<r/>", "2:r", "a&b"},
      {"declaration marker fits whatever follows", "<?xmlversion='2'?><r/>", "2:r", "2"},
      {"comment before the root, blanks kept", "<!-- a&amp;b --><r/>", "2:r", "1.0", "windows-1252",
       " a&b "},
      {"an empty first comment does not count", "<!----><r/><!--x-->", "2:r", "1.0", "windows-1252",
       "x"},
      {"unterminated comment after the root", "<r/><!-- open", "2:r", "1.0", "windows-1252", " open"},
      {"text before the root is dropped", "junk<r/>tail", "2:r"},
      {"stray close tag and style sheet dropped", "</x><?xml-stylesheet href='s'?><r/>", "2:r"},
      {"comment inside content is a child", "<r>a<!--c-->b</r>", "0:r=ab{3:Comment=c}"},
      {"comment marker wins over other markup", "<r><!--x--y--></r>", "0:r{3:Comment=x--y}"},
      {"CDATA keeps markup and a trailing ]", "<r><![CDATA[<a>]]><![CDATA[x]]]></r>",
       "0:r{4:CData=<a>,4:CData=x]}"},
      {"other markup inside content", "<r><?pi x?><!DOCTYPE y><!-x></r>",
       "0:r{7:Unknown=pi x,7:Unknown=DOCTYPE y,7:Unknown=-x}"},
      {"style sheet inside content takes its first word", "<r><?xml-stylesheet href='a'?></r>",
       "0:r{6:href='a'}"},
      {"blanks after '<' of a child", "<r>x< b/>y<\t\r\n c>1</c></r>", "0:r=xy{2:b,0:c=1}"},
      {"blanks inside a close tag", "<r>x< / r >", "0:r=x"},
      {"unterminated empty tag at the end", "<r/", "2:r"},
      {"zero bytes are characters", std::string("<r>a\0b</r>", 10), std::string("0:r=a\0b", 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TXmlDocument doc;
    ASSERT_NO_THROW(doc.ReadFromString(c.input));
    EXPECT_EQ(DescribeNode(*doc.Root), c.root);
    EXPECT_EQ(doc.Version, c.version);
    EXPECT_EQ(doc.Encoding, c.encoding);
    EXPECT_EQ(doc.Comment, c.comment);
    EXPECT_EQ(doc.Root->Parent, nullptr);
    EXPECT_EQ(doc.Root->Document, &doc);
    EXPECT_EQ(doc.ContainerNode, nullptr);
  }
}

struct ErrorCase {
  std::string input;
  std::string message;
};

TEST(XmlDocumentRead, RejectsMalformedInputWithItsMessage) {
  const ErrorCase cases[] = {
      {"<a>", "Missing close tag in element a"},
      {"<a><b>text", "Missing close tag in element b"},
      {"<a></b>", "Incorrect close tag in element a"},
      {"<a></a", "Missing \">\" in close tag of element a"},
      {"<a>x<", "Missing data after \"<\" in element a"},
      {"<a>x<  \r\n", "Missing data after \"<\" in element a"},
      {"<>", "Missing element name"},
      {"<r>< ></r>", "Missing element name"},
      {"<r><  /></r>", "Incorrect close tag in element r"},
      {"<r>x<  </r>", "Missing close tag in element </r"},
      {"<?xml-stylesheet?><r/>", "Missing element name"},
      {"<?xml-stylesheet \r\n ?><r/>", "Missing element name"},
      {"", "No root element found in xml"},
      {" \t\r\n ", "No root element found in xml"},
      {"just text", "No root element found in xml"},
      {"<!--c--><?xml?>", "No root element found in xml"},
      {"<a/><b/>", "More than one root element found in xml"},
      {"<a></a><b>x</b>", "More than one root element found in xml"},
      {"<!--x--><!--y--><r/>", "Multiple comments in root not supported"},
      {"<![CDATA[x]]><r/>", "No CDATA allowed in root"},
      {"<r/ >", "Missing close tag in element r/"},
      {"<r a='x>y'/>", "Missing close tag in element r"},
      {"<r><![CDATA[abc", "Missing close tag in element r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("input: [" + c.input + "]");
    TXmlDocument doc;
    EXPECT_EQ(FilerErrorOf([&] { doc.ReadFromString(c.input); }), c.message);
    EXPECT_EQ(doc.ContainerNode, nullptr);
  }
}

TEST(XmlDocumentRead, AttributeValueOfAReadTagIsUnquoted) {
  TXmlDocument doc;
  doc.ReadFromString("<a x='1' y=\"2\"/>");
  EXPECT_EQ(doc.Root->AttributeValue(0), "1");
  EXPECT_EQ(doc.Root->AttributeValue(1), "2");
}

TEST(XmlDocumentRead, ErrorsLeaveWhatTheirStepHasNotReached) {
  TXmlDocument doc;
  doc.ReadFromString("<?xml version='2'?><!--c--><old/>");
  ASSERT_EQ(doc.Root->Name, "old");

  // A failure while reading the nodes leaves the document as it was.
  EXPECT_EQ(FilerErrorOf([&] { doc.ReadFromString("<?xml version='3'?><new>"); }),
            "Missing close tag in element new");
  EXPECT_EQ(doc.Root->Name, "old");
  EXPECT_EQ(doc.Version, "2");
  EXPECT_EQ(doc.Comment, "c");

  // A failure among the other top-level nodes comes after the root has been
  // replaced and the declaration before it applied.
  EXPECT_EQ(FilerErrorOf([&] { doc.ReadFromString("<?xml version='4'?><n/><!--d-->"); }),
            "Multiple comments in root not supported");
  EXPECT_EQ(doc.Root->Name, "n");
  EXPECT_EQ(doc.Version, "4");
  EXPECT_EQ(doc.Comment, "c");

  // Reading again does not clear: the comment and version stay.
  doc.ReadFromString("<x/>");
  EXPECT_EQ(doc.Root->Name, "x");
  EXPECT_EQ(doc.Version, "4");
  EXPECT_EQ(doc.Comment, "c");
}

TEST(XmlDocumentRead, EventsFireOncePerNodeInReadingOrder) {
  TXmlDocument doc;
  std::vector<std::string> seen;
  doc.OnNodeNew = [&](TXmlDocument& sender, TXmlNode& node) {
    EXPECT_EQ(&sender, &doc);
    seen.push_back("new " + node.Name + " " + std::to_string(node.Level()));
  };
  doc.OnNodeLoaded = [&](TXmlDocument&, TXmlNode& node) { seen.push_back("loaded " + node.Name); };
  doc.ReadFromString("<?xml version='1.0'?><r a='1'><b>t</b><!--c--><e/></r>");
  const std::vector<std::string> expected = {
      "new Xml-Stylesheet 0", "loaded Xml-Stylesheet", "new r 0", "new b 1", "loaded b",
      "new Comment 1", "loaded Comment", "new e 1", "loaded e", "loaded r"};
  EXPECT_EQ(seen, expected);
}

TEST(XmlDocumentRead, EveryBegunNodeIsLoadedOnceWhenReadingFails) {
  struct Case {
    std::string input;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"<r><b><c></b>", {"new r", "new b", "new c", "loaded c", "loaded b", "loaded r"}},
      // The child's start tag fails before its new event; it is still loaded.
      {"<r><>", {"new r", "loaded ", "loaded r"}},
      {"<r><!--x--><b>", {"new r", "new Comment", "loaded Comment", "new b", "loaded b", "loaded r"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    TXmlDocument doc;
    std::vector<std::string> seen;
    doc.OnNodeNew = [&](TXmlDocument&, TXmlNode& node) { seen.push_back("new " + node.Name); };
    doc.OnNodeLoaded = [&](TXmlDocument&, TXmlNode& node) { seen.push_back("loaded " + node.Name); };
    EXPECT_THROW(doc.ReadFromString(c.input), EFilerError);
    EXPECT_EQ(seen, c.events);
  }
}

TEST(XmlDocumentRead, AFailingHandlerStopsTheReadAndOuterNodesAreStillLoaded) {
  TXmlDocument doc;
  std::vector<std::string> loaded;
  doc.OnNodeLoaded = [&](TXmlDocument&, TXmlNode& node) {
    loaded.push_back(node.Name);
    if (node.Name == "b") Abort();
  };
  EXPECT_THROW(doc.ReadFromString("<r><b/><c/></r>"), EAbort);
  EXPECT_EQ(loaded, (std::vector<std::string>{"b", "r"}));
}

std::string Nested(int depth, bool closed) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  text += "x";
  if (closed) {
    for (int i = 0; i < depth; ++i) text += "</a>";
  }
  return text;
}

TEST(XmlDocumentRead, NestingIsBoundedWithoutUsingTheMachineStack) {
  {
    TXmlDocument doc;
    doc.ReadFromString(Nested(XmlMaxNestingDepth, true));
    const TXmlNode* node = doc.Root.get();
    int depth = 1;
    while (node->NodeCount() > 0) {
      node = node->GetNode(0);
      ++depth;
    }
    EXPECT_EQ(depth, XmlMaxNestingDepth);
    EXPECT_EQ(node->Value, "x");
    EXPECT_EQ(node->Level(), XmlMaxNestingDepth - 1);
  }
  const std::string tooDeep = "Elements nested deeper than 1000 levels in element a";
  TXmlDocument doc;
  EXPECT_EQ(FilerErrorOf([&] { doc.ReadFromString(Nested(XmlMaxNestingDepth + 1, true)); }), tooDeep);
  // A hostile reply: far deeper, never closed.
  EXPECT_EQ(FilerErrorOf([&] { doc.ReadFromString(Nested(500000, false)); }), tooDeep);
  EXPECT_EQ(FilerErrorOf([&] { doc.ReadFromString(Nested(XmlMaxNestingDepth, false)); }),
            "Missing close tag in element a");
  EXPECT_TRUE(doc.IsEmpty());
}

TEST(XmlDocumentRead, UrlServerReplyIsWalkedByNameAndText) {
  const std::string reply =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
      "<reply>\r\n"
      "  <crawlthis>\r\n"
      "    <!-- first batch -->\r\n"
      "    <crawl>\r\n"
      "      <url>http://example.org/a?x=1&amp;y=2</url>\r\n"
      "      <dato>20040101</dato>\r\n"
      "      <DocID> 17 </DocID>\r\n"
      "      <storage>127.0.0.2</storage>\r\n"
      "      <MakeThumbnale>TRUE</MakeThumbnale>\r\n"
      "    </crawl>\r\n"
      "    <robottxt><url>http://example.org/robots.txt</url></robottxt>\r\n"
      "  </crawlthis>\r\n"
      "  <error><generalerror><comment>busy</comment><sleep>30</sleep></generalerror></error>\r\n"
      "</reply>\r\n";
  TXmlDocument doc;
  doc.ReadFromString(reply);
  const TXmlNode& root = *doc.Root;
  ASSERT_EQ(root.NodeCount(), 2);
  const TXmlNode& crawlthis = *root.GetNode(0);
  EXPECT_EQ(crawlthis.Name, "crawlthis");
  ASSERT_EQ(crawlthis.NodeCount(), 3);
  EXPECT_EQ(crawlthis.GetNode(0)->Name, "Comment");
  const TXmlNode& page = *crawlthis.GetNode(1);
  EXPECT_EQ(page.Name, "crawl");
  std::vector<std::string> texts;
  for (int i = 0; i < page.NodeCount(); ++i) texts.push_back(page.GetNode(i)->Name + "=" + page.GetNode(i)->GetValue());
  EXPECT_EQ(texts, (std::vector<std::string>{"url=http://example.org/a?x=1&y=2", "dato=20040101", "DocID=17",
                                             "storage=127.0.0.2", "MakeThumbnale=TRUE"}));
  EXPECT_EQ(crawlthis.GetNode(2)->GetNode(0)->GetValue(), "http://example.org/robots.txt");
  EXPECT_EQ(DescribeNode(*root.GetNode(1)), "0:error{0:generalerror{0:comment=busy,0:sleep=30}}");
  EXPECT_EQ(doc.Encoding, "ISO-8859-1");
}

// ---- the readers' pieces ----

TEST(XmlReaderPieces, ReadNodeMarkerFindsTheLongestMarkerAndStepsBack) {
  struct Case {
    std::string text;  // begins with the "<" already read
    int row;
    int64_t position;  // just after the marker
  };
  const Case cases[] = {
      {"<![CDATA[x", 0, 9}, {"<?xml-stylesheet x", 1, 16}, {"<?xml x", 2, 5}, {"<?xml-styl", 2, 5},
      {"<!--x", 3, 4},      {"<!-x", 4, 2},                {"<![CDAT", 4, 2}, {"<!", 4, 2},
      {"<?x", 5, 2},        {"<?xm", 5, 2},                {"</x", 6, 2},     {"<x", 7, 1},
      {"<", 7, 1},          {"< ?xml", 7, 1},              {"<?XML", 5, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TMemoryStream stream;
    stream.WriteBuffer(c.text.data(), c.text.size());
    stream.SetPosition(1);
    EXPECT_EQ(ReadNodeMarker(stream), c.row);
    EXPECT_EQ(stream.Position(), c.position);
  }
}

TEST(XmlReaderPieces, StreamReadUntilStopsAtTheFirstEndingStop) {
  struct Case {
    std::string input;
    std::string stop;
    bool found;
    std::string text;
    int64_t position;
  };
  const Case cases[] = {
      {"abc>def", ">", true, "abc", 4},  {"x]]]>", "]]>", true, "x]", 5}, {"a-->b-->", "-->", true, "a", 4},
      {"-->", "-->", true, "", 3},       {"abc", ">", false, "abc", 3},   {"", "?>", false, "", 0},
      {"a?b", "?>", false, "a?b", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input + " until " + c.stop);
    TMemoryStream stream;
    stream.WriteBuffer(c.input.data(), c.input.size());
    stream.SetPosition(0);
    std::string text = "old";
    EXPECT_EQ(StreamReadUntil(stream, c.stop, text), c.found);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(stream.Position(), c.position);
  }
}

TEST(XmlReaderPieces, SplitTagTextWordsOfARange) {
  struct Case {
    std::string text;
    int64_t start, finish;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"  a  b ", 1, 8, {"a", "b"}},
      {"a\r\nb\rc\nd", 1, 10, {"a", "b", "c", "d"}},
      {"x=\"1 2\" y='3 \"4' z", 1, 20, {"x=\"1 2\"", "y='3 \"4'", "z"}},
      {"abc def", 5, 8, {"def"}},
      {"abc def", -3, 99, {"abc", "def"}},
      {"   ", 1, 4, {}},
      {"", 1, 1, {}},
      {"a\x01 \x01" "b", 1, 6, {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> words = {"stale"};
    SplitTagText(c.text, c.start, c.finish, words);
    EXPECT_EQ(words, c.words);
  }
}

TEST(XmlReaderPieces, ParseStartTagByKind) {
  TXmlNode decl(nullptr);
  decl.NodeType = xnDeclaration;
  decl.ParseStartTag(" version='1' x", 1, 15);
  EXPECT_EQ(decl.Name, "Xml-Stylesheet");
  EXPECT_EQ(decl.Attributes, (std::vector<std::string>{"version='1'", "x"}));

  TXmlNode node(nullptr);
  node.Attributes = {"kept=1"};
  node.ParseStartTag("name", 1, 5);
  EXPECT_EQ(node.Name, "name");
  EXPECT_EQ(node.Attributes, (std::vector<std::string>{"kept=1"}));  // no words left: unchanged
  node.ParseStartTag("n2 a=1 b", 1, 9);
  EXPECT_EQ(node.Name, "n2");
  EXPECT_EQ(node.Attributes, (std::vector<std::string>{"a=1", "b"}));
  EXPECT_EQ(FilerErrorOf([&] { node.ParseStartTag(" \r\n ", 1, 5); }), "Missing element name");
}

TEST(XmlReaderPieces, NodeReaderLeavesANodeUntouchedWithoutMarkup) {
  TMemoryStream stream;
  const std::string text = "  x<a/>";
  stream.WriteBuffer(text.data(), text.size());
  stream.SetPosition(0);
  TXmlNode node(nullptr);
  node.ReadFromStream(stream);
  EXPECT_TRUE(node.IsEmpty());
  EXPECT_EQ(stream.Position(), 3);  // the blanks and the one character are consumed
  node.ReadFromStream(stream);
  EXPECT_EQ(DescribeNode(node), "2:a");
  node.Clear();
  node.ReadFromStream(stream);  // at the end
  EXPECT_EQ(DescribeNode(node), "2:");
}

TEST(XmlReaderPieces, NodesReadBeforeAnErrorStayInTheTree) {
  TXmlDocument doc;
  TMemoryStream stream;
  const std::string text = "<a>t<b/><c><d>x</d>";
  stream.WriteBuffer(text.data(), text.size());
  stream.SetPosition(0);
  TXmlNode* node = doc.Root->AddChild("");
  EXPECT_EQ(FilerErrorOf([&] { node->ReadFromStream(stream); }), "Missing close tag in element c");
  EXPECT_EQ(DescribeNode(*node), "0:a{2:b,0:c{0:d=x}}");  // values of unfinished elements not set
  EXPECT_EQ(node->GetNode(1)->GetNode(0)->Document, &doc);
}

}  // namespace
}  // namespace tov
