#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/toolkit/XmlTestSupport.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

using test::DescribeNode;

struct TextCase {
  std::string input;
  std::string output;
};

TEST(XmlText, EncodeXmlEntities) {
  const TextCase cases[] = {
      {"a<b&c", "a&lt;b&amp;c"},
      {"\"'>", "&quot;&apos;&gt;"},
      {"&amp;", "&amp;amp;"},
      {"plain", "plain"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeXmlEntities(c.input), c.output) << c.input;
}

TEST(XmlText, EncodeXmlTextLeavesQuotes) {
  const TextCase cases[] = {
      {"a<b&c>d", "a&lt;b&amp;c&gt;d"},
      {"it's \"x\"", "it's \"x\""},
      {"&apos;", "&amp;apos;"},
      {"\xF8", "\xF8"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeXmlText(c.input), c.output) << c.input;
}

TEST(XmlText, DecodeXmlEntitiesInOnePassAndOnlyTheFive) {
  const TextCase cases[] = {
      {"&amp;lt;", "&lt;"},
      {"&amp;&lt;&gt;&apos;&quot;", "&<>'\""},
      {"&#65; &nbsp; &AMP; &amp", "&#65; &nbsp; &AMP; &amp"},
      {"a&&lt;b&", "a&<b&"},
      {"none", "none"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeXmlEntities(c.input), c.output) << c.input;
}

TEST(XmlText, QuoteAndUnquote) {
  const TextCase quoted[] = {
      {"abc", "\"abc\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"it's \"x\"", "'it''s \"x\"'"},
      {"", "\"\""},
  };
  for (const auto& c : quoted) EXPECT_EQ(QuoteXmlValue(c.input), c.output) << c.input;

  const TextCase unquoted[] = {
      {"\"a\"\"b\"", "a\"b"},
      {"'x' tail", "x"},
      {"\"open", "open"},
      {"\"\"", ""},
      {"ab", "ab"},
      {"'", "'"},
      {"", ""},
      {"x'y'", "x'y'"},
  };
  for (const auto& c : unquoted) EXPECT_EQ(UnquoteXmlValue(c.input), c.output) << c.input;
}

TEST(XmlText, TrimBoundsClampsAndSkipsBlanks) {
  struct Case {
    std::string text;
    int64_t start, finish;
    bool left;
    int64_t newStart, newFinish;
  };
  const Case cases[] = {
      {"  ab \r\n", 1, 8, true, 3, 5},
      {"ab", -5, 100, true, 1, 3},
      {" \t\r\n", 1, 5, false, 5, 5},
      {"", 1, 1, false, 1, 1},
      {"abcdef", 3, 5, true, 3, 5},
      {"abc", 3, 2, false, 3, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t start = c.start;
    int64_t finish = c.finish;
    EXPECT_EQ(TrimBounds(c.text, start, finish), c.left);
    EXPECT_EQ(start, c.newStart);
    EXPECT_EQ(finish, c.newFinish);
  }
}

TEST(XmlText, StripWhitespaceAndSwapUnicodeBytes) {
  EXPECT_EQ(StripWhitespace(" a\tb\r\nc d "), "abcd");

  std::vector<uint8_t> units = {0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x63, 0x00};
  SwapUnicodeBytes(units);
  EXPECT_EQ(units, (std::vector<uint8_t>{0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x63, 0x00}));

  std::vector<uint8_t> odd = {0x01, 0x02, 0x03};
  SwapUnicodeBytes(odd);
  EXPECT_EQ(odd, (std::vector<uint8_t>{0x02, 0x01, 0x03}));
}

TEST(XmlText, StreamWriteStringWritesTheBytes) {
  TMemoryStream stream;
  StreamWriteString(stream, "");
  EXPECT_EQ(stream.Size(), 0);
  StreamWriteString(stream, std::string("a\0b", 3));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.Memory()), 3), std::string("a\0b", 3));
}

// ---- attributes ----

TEST(XmlAttributes, LinesReadBackByNameAndValue) {
  TXmlNode node(nullptr);
  node.Attributes = {"x=5", "X=12", "y=\"a\"\"b\"", "flag", "z='&lt;&amp;'", "=odd"};
  EXPECT_EQ(node.AttributeCount(), 6);
  EXPECT_EQ(node.AttributeName(0), "x");
  EXPECT_EQ(node.AttributeName(3), "");
  EXPECT_EQ(node.AttributeName(6), "");
  EXPECT_EQ(node.AttributeText(3), "flag");
  EXPECT_EQ(node.AttributeText(-1), "");
  EXPECT_EQ(node.AttributeValue(0), "5");
  EXPECT_EQ(node.AttributeValue(1), "5");  // a duplicate name reads the first one's value
  EXPECT_EQ(node.AttributeValue(2), "a\"b");
  EXPECT_EQ(node.AttributeValue(3), "odd");  // no name: the first line with an empty name
  EXPECT_EQ(node.AttributeValue(4), "<&");
  EXPECT_EQ(node.IndexOfAttribute("Y"), 2);
  EXPECT_EQ(node.IndexOfAttribute("flag"), -1);  // a line without "=" bears no name
  EXPECT_TRUE(node.HasAttribute("z"));
  EXPECT_FALSE(node.HasAttribute("w"));

  std::string value = "default";
  node.ReadAttribute("w", value);
  EXPECT_EQ(value, "default");
  node.ReadAttribute("Z", value);
  EXPECT_EQ(value, "<&");

  try {
    node.AttributeValue(6);
    ADD_FAILURE() << "no error";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (6)");
  }

  node.ClearAttributes();
  EXPECT_EQ(node.AttributeCount(), 0);
}

TEST(XmlAttributes, AddAndSetEncodeAndQuote) {
  TXmlNode node(nullptr);
  node.AddAttribute("a", "x<y");
  node.AddAttribute("a", "say \"hi\"");
  node.AddAttribute("b", "it's");
  EXPECT_EQ(node.Attributes, (std::vector<std::string>{"a=\"x&lt;y\"", "a=\"say &quot;hi&quot;\"",
                                                        "b=\"it&apos;s\""}));
  EXPECT_EQ(node.AttributeValue(2), "it's");
  node.SetAttributeValue(1, "v&");
  node.SetAttributeValue(5, "ignored");
  EXPECT_EQ(node.AttributeText(1), "a=\"v&amp;\"");
  EXPECT_EQ(node.AttributeCount(), 3);
}

// ---- tree ----

TEST(XmlTree, ChildAccessAndRemoval) {
  TXmlDocument doc;
  TXmlNode& root = *doc.Root;
  TXmlNode* a = root.AddChild("a");
  TXmlNode* b = root.AddChild("B");
  root.AddChild("b");
  EXPECT_EQ(a->Document, &doc);
  EXPECT_EQ(a->Parent, &root);
  EXPECT_EQ(a->Level(), 1);
  EXPECT_EQ(root.Level(), 0);
  EXPECT_EQ(root.NodeCount(), 3);
  EXPECT_EQ(root.GetNode(-1), nullptr);
  EXPECT_EQ(root.GetNode(3), nullptr);
  EXPECT_EQ(root.FindNode("b"), b);
  EXPECT_EQ(root.IndexOfNode("A"), 0);
  EXPECT_EQ(root.IndexOfNodeFrom("b", 2), 2);
  EXPECT_EQ(root.IndexOfNodeFrom("a", -4), 0);
  EXPECT_EQ(root.IndexOfNodeFrom("a", 9), -1);
  EXPECT_EQ(root.FindNode("none"), nullptr);

  EXPECT_EQ(root.AddNode(nullptr), -1);
  TXmlNode stranger(nullptr);
  EXPECT_EQ(root.ExtractNode(&stranger), nullptr);
  std::unique_ptr<TXmlNode> taken = root.ExtractNode(b);
  ASSERT_EQ(taken.get(), b);
  EXPECT_EQ(taken->Parent, &root);  // left as it was
  EXPECT_EQ(root.NodeCount(), 2);

  root.DeleteNode(-1);
  root.DeleteNode(2);
  EXPECT_EQ(root.NodeCount(), 2);
  root.DeleteNode(0);
  EXPECT_EQ(DescribeNode(root), "0:{0:b}");

  // AddNode keeps the node's document.
  auto other = TXmlNode::CreateNameValue(nullptr, "o", "v");
  EXPECT_EQ(root.AddNode(std::move(other)), 1);
  EXPECT_EQ(root.GetNode(1)->Document, nullptr);
  EXPECT_EQ(root.GetNode(1)->Level(), 0);  // no document
  root.ClearNodes();
  EXPECT_EQ(root.NodeCount(), 0);
}

TEST(XmlTree, ClearKeepsKindParentAndDocument) {
  TXmlDocument doc;
  TXmlNode* child = doc.Root->AddChild("c");
  child->NodeType = xnComment;
  child->Value = "v";
  child->AddAttribute("a", "1");
  child->AddChild("g");
  EXPECT_FALSE(child->HasNoContent());
  child->Clear();
  EXPECT_TRUE(child->IsEmpty());
  EXPECT_EQ(child->NodeType, xnComment);
  EXPECT_EQ(child->Parent, doc.Root.get());
  EXPECT_EQ(child->Document, &doc);

  TXmlNode named(nullptr, "n");
  EXPECT_TRUE(named.HasNoContent());
  EXPECT_FALSE(named.IsEmpty());
}

TEST(XmlTree, ConstructorsAndDocumentSettings) {
  TXmlDocument doc;
  auto typed = TXmlNode::CreateType(&doc, xnCData);
  EXPECT_EQ(typed->NodeType, xnCData);
  EXPECT_EQ(TXmlNode::CreateName(&doc, "n")->Name, "n");
  EXPECT_EQ(TXmlNode::Create(&doc)->NodeType, xnElement);
  EXPECT_EQ(typed->BinaryMode(), 2);
  doc.StoreDefaults = false;
  EXPECT_FALSE(typed->StoreDefaults());
  TXmlNode loose(nullptr);
  EXPECT_EQ(loose.BinaryMode(), 0);
  EXPECT_TRUE(loose.StoreDefaults());
  EXPECT_EQ(TXmlNode(nullptr, "n", "a&amp;b").GetValue(), "a&b");
}

TEST(XmlTree, AVeryDeepTreeIsFreedAndMeasuredWithoutRecursion) {
  TXmlDocument doc;
  TXmlNode* node = doc.Root.get();
  const int depth = 300000;
  for (int i = 1; i < depth; ++i) node = node->AddChild("d");
  EXPECT_EQ(node->Level(), depth - 1);
  doc.Root->ClearNodes();
  EXPECT_EQ(doc.Root->NodeCount(), 0);
  node = doc.Root.get();
  for (int i = 1; i < depth; ++i) node = node->AddChild("d");
}

// ---- document ----

void ExpectDefaults(const TXmlDocument& doc) {
  EXPECT_EQ(doc.Comment, "");
  EXPECT_EQ(doc.Encoding, "windows-1252");
  EXPECT_EQ(doc.Version, "1.0");
  EXPECT_FALSE(doc.Unicode);
  EXPECT_EQ(doc.Layout, 1);
  EXPECT_TRUE(doc.StoreDefaults);
  EXPECT_EQ(doc.BinaryMode, 2);
}

TEST(XmlDocument, NewClearedAndNamed) {
  TXmlDocument doc;
  EXPECT_TRUE(doc.IsEmpty());
  ASSERT_NE(doc.Root, nullptr);
  EXPECT_EQ(doc.Root->Document, &doc);
  ExpectDefaults(doc);
  EXPECT_EQ(doc.GetLineBreak(), "\n");
  doc.Layout = 0;
  EXPECT_EQ(doc.GetLineBreak(), "\r\n");
  doc.Layout = 7;
  EXPECT_EQ(doc.GetLineBreak(), "\n");

  doc.ReadFromString("<?xml version='2' encoding='x'?><!--c--><r a='1'>v<k/></r>");
  doc.Unicode = true;
  doc.StoreDefaults = false;
  doc.BinaryMode = 0;
  TXmlNode* root = doc.Root.get();
  EXPECT_FALSE(doc.IsEmpty());
  doc.Clear();
  EXPECT_EQ(doc.Root.get(), root);  // the same root object, emptied
  EXPECT_TRUE(doc.IsEmpty());
  ExpectDefaults(doc);

  auto named = TXmlDocument::CreateName("top");
  EXPECT_EQ(named->Root->Name, "top");
  EXPECT_FALSE(named->IsEmpty());
  EXPECT_TRUE(TXmlDocument::Create()->IsEmpty());
}

TEST(XmlDocument, LoadFromFileClearsFirstAndAMissingFileChangesNothing) {
  test::ScopedWorkDir dir;
  TXmlDocument doc;
  doc.ReadFromString("<!--old--><keep/>");
  try {
    doc.LoadFromFile("missing.xml");
    ADD_FAILURE() << "no error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file missing.xml");
  }
  EXPECT_EQ(doc.Root->Name, "keep");
  EXPECT_EQ(doc.Comment, "old");

  test::WriteFileBytes("doc.xml", "<?xml version=\"1.0\"?>\r\n<r>\r\n  <c>x</c>\r\n</r>\r\n");
  doc.LoadFromFile("doc.xml");
  EXPECT_EQ(DescribeNode(*doc.Root), "0:r{0:c=x}");
  EXPECT_EQ(doc.Comment, "");  // cleared before reading

  doc.Version = "9";
  TFileStream file("doc.xml", fmOpenRead);
  doc.LoadFromStream(file);
  EXPECT_EQ(doc.Version, "1.0");
}

}  // namespace
}  // namespace tov
