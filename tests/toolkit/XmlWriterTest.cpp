#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/TestSupport.h"
#include "tests/toolkit/XmlTestSupport.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

using test::DescribeNode;
using test::FilerErrorOf;
using test::TinyStream;

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>";

// Root a holding b with the value x and an empty c.
void BuildAbc(TXmlDocument& doc) {
  doc.Root->Name = "a";
  doc.Root->AddChild("b")->Value = "x";
  doc.Root->AddChild("c");
}

TEST(XmlWrite, TheThreeLayouts) {
  struct Case {
    uint8_t layout;
    std::string text;
  };
  const Case cases[] = {
      {1, kDeclaration + "\n<a><b>x</b><c/></a>"},
      {0, kDeclaration + "\r\n<a>\r\n  <b>x</b>\r\n  <c/>\r\n</a>"},
      {2, kDeclaration + "\n<a>\n<b>x</b>\n<c/>\n</a>"},
      {9, kDeclaration + "\n<a>\n<b>x</b>\n<c/>\n</a>"},
  };
  for (const auto& c : cases) {
    TXmlDocument doc;
    BuildAbc(doc);
    doc.Layout = c.layout;
    EXPECT_EQ(doc.WriteToString(), c.text) << int{c.layout};
    // A stream that takes one byte less than the text: an error, never a
    // document cut short in silence, 8-bit or 16-bit.
    for (bool unicode : {false, true}) {
      doc.Unicode = unicode;
      const size_t whole = unicode ? 2 + 2 * c.text.size() : c.text.size();
      TinyStream short_of_one(whole - 1);
      EXPECT_THROW(doc.SaveToStream(short_of_one), EWriteError) << int{c.layout} << " unicode " << unicode;
      EXPECT_EQ(short_of_one.data.size(), whole - 1);
    }
  }
}

TEST(XmlWrite, NodeShapes) {
  struct Case {
    const char* name;
    uint8_t layout;
    std::function<void(TXmlNode&)> build;  // on a root named a
    std::string text;                      // the root's WriteToString
  };
  const Case cases[] = {
      {"bare", 1, [](TXmlNode&) {}, "<a/>"},
      {"attributes only get an end tag", 1, [](TXmlNode& a) { a.AddAttribute("k", "1"); },
       "<a k=\"1\"></a>"},
      {"attribute lines written as stored", 1,
       [](TXmlNode& a) {
         a.Attributes = {"x='1'", "flag"};
         a.Value = "v";
       },
       "<a x='1' flag>v</a>"},
      {"value stays on the line in layout 0", 0, [](TXmlNode& a) { a.Value = "a &amp; b"; },
       "<a>a &amp; b</a>"},
      {"value and a child in layout 0", 0,
       [](TXmlNode& a) {
         a.Value = "v";
         a.AddChild("c");
       },
       "<a>\r\nv\r\n  <c/>\r\n</a>"},
      {"value and children one level down", 0,
       [](TXmlNode& a) {
         TXmlNode* b = a.AddChild("b");
         b->Value = "v";
         b->AddChild("c")->AddChild("d");
       },
       "<a>\r\n  <b>\r\n  v\r\n    <c>\r\n      <d/>\r\n    </c>\r\n  </b>\r\n</a>"},
      {"empty name", 1, [](TXmlNode& a) { a.AddChild(""); }, "<a></></a>"},
      {"comment and CDATA nodes are written as elements", 1,
       [](TXmlNode& a) {
         auto comment = TXmlNode::CreateType(a.Document, xnComment);
         comment->Name = "Comment";
         comment->Value = " c ";
         a.AddNode(std::move(comment));
         auto cdata = TXmlNode::CreateType(a.Document, xnCData);
         cdata->Name = "CData";
         cdata->Value = "<x>";
         a.AddNode(std::move(cdata));
       },
       "<a><Comment> c </Comment><CData><x></CData></a>"},
  };
  for (const auto& c : cases) {
    TXmlDocument doc("a");
    doc.Layout = c.layout;
    c.build(*doc.Root);
    EXPECT_EQ(doc.Root->WriteToString(), c.text) << c.name;
    TMemoryStream stream;
    doc.Root->WriteToStream(stream);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size())),
              c.text)
        << c.name;
    TinyStream short_of_one(c.text.size() - 1);
    EXPECT_THROW(doc.Root->WriteToStream(short_of_one), EWriteError) << c.name;
  }
}

TEST(XmlWrite, StartTagIndentAndLineBreak) {
  TXmlDocument doc("a");
  TXmlNode* b = doc.Root->AddChild("b");
  TXmlNode* c = b->AddChild("c");
  EXPECT_EQ(c->GetStartTag(), "<c/>");
  EXPECT_EQ(b->GetStartTag(), "<b>");
  c->AddAttribute("n", "say \"hi\"");
  EXPECT_EQ(c->GetStartTag(), "<c n=\"say &quot;hi&quot;\">");

  struct Case {
    uint8_t layout;
    std::string indent, lineBreak;
  };
  for (const auto& k : {Case{0, "    ", "\r\n"}, Case{1, "", ""}, Case{2, "", "\n"}}) {
    doc.Layout = k.layout;
    EXPECT_EQ(c->Indent(), k.indent) << int{k.layout};
    EXPECT_EQ(c->LineBreak(), k.lineBreak) << int{k.layout};
  }
  // A node of no document is written compact.
  TXmlNode loose(nullptr, "l");
  loose.AddChild("m")->AddChild("n");
  EXPECT_EQ(loose.Indent(), "");
  EXPECT_EQ(loose.LineBreak(), "");
  EXPECT_EQ(loose.WriteToString(), "<l><m><n/></m></l>");
}

TEST(XmlWrite, DeclarationAndComment) {
  struct Case {
    const char* name;
    std::string version, encoding, comment;
    uint8_t layout;
    std::string text;
  };
  const Case cases[] = {
      {"defaults", "1.0", "windows-1252", "", 1, kDeclaration + "\n<r/>"},
      {"only the encoding", "", "utf-8", "", 1, "<?xml  encoding=\"utf-8\"?>\n<r/>"},
      {"only the version", "2", "", "", 1, "<?xml version=\"2\"?>\n<r/>"},
      {"values encoded, so always in double quotes", "a\"b", "<&>", "", 1,
       "<?xml version=\"a&quot;b\" encoding=\"&lt;&amp;&gt;\"?>\n<r/>"},
      {"no declaration, comment still first", "", "", "c -->", 0, "<!--c --&gt;-->\r\n<r/>"},
      {"both", "1.0", "x", "note", 1, "<?xml version=\"1.0\" encoding=\"x\"?>\n<!--note-->\n<r/>"},
  };
  for (const auto& c : cases) {
    TXmlDocument doc("r");
    doc.Version = c.version;
    doc.Encoding = c.encoding;
    doc.Comment = c.comment;
    doc.Layout = c.layout;
    EXPECT_EQ(doc.WriteToString(), c.text) << c.name;
  }
}

TEST(XmlWrite, WithoutRootNothingIsWritten) {
  test::ScopedWorkDir dir;
  TXmlDocument doc("r");
  doc.Root.reset();
  TMemoryStream stream;
  EXPECT_EQ(FilerErrorOf([&] { doc.WriteToStream(stream); }), "XML root element not defined.");
  EXPECT_EQ(FilerErrorOf([&] { doc.SaveToStream(stream); }), "XML root element not defined.");
  EXPECT_EQ(FilerErrorOf([&] { doc.WriteToString(); }), "XML root element not defined.");
  doc.Unicode = true;
  EXPECT_EQ(FilerErrorOf([&] { doc.SaveToStream(stream); }), "XML root element not defined.");
  EXPECT_EQ(stream.Size(), 0);  // not even the byte-order mark

  // An existing file is not emptied by a save that cannot succeed.
  test::WriteFileBytes("keep.xml", "<old/>");
  EXPECT_EQ(FilerErrorOf([&] { doc.SaveToFile("keep.xml"); }), "XML root element not defined.");
  EXPECT_EQ(test::ReadFileBytes("keep.xml"), "<old/>");
}

TEST(XmlWrite, SaveToFileCreatesAndTruncates) {
  test::ScopedWorkDir dir;
  TXmlDocument doc("r");
  doc.Root->Value = "v";
  test::WriteFileBytes("out.xml", std::string(500, 'z'));
  doc.SaveToFile("out.xml");
  EXPECT_EQ(test::ReadFileBytes("out.xml"), kDeclaration + "\n<r>v</r>");
  try {
    doc.SaveToFile("no-such-dir/out.xml");
    ADD_FAILURE() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file no-such-dir/out.xml");
  }
}

TEST(XmlWrite, SixteenBitSave) {
  TXmlDocument doc("r");
  doc.Root->Value = "\xF8\x80";  // o-slash and the euro sign in Windows-1252
  const std::string narrow = doc.WriteToString();
  doc.Unicode = true;
  EXPECT_EQ(doc.WriteToString(), narrow);  // a string is always 8-bit

  TMemoryStream stream;
  doc.SaveToStream(stream);
  const std::string bytes(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
  ASSERT_EQ(bytes.size(), 2 + 2 * narrow.size());
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE<\0", 4));
  EXPECT_EQ(bytes.substr(bytes.size() - 12, 4), std::string("\xF8\0\xAC\x20", 4));  // U+00F8, U+20AC
  for (size_t i = 0; i < narrow.size(); ++i) {
    if (static_cast<unsigned char>(narrow[i]) < 0x80) {
      EXPECT_EQ(bytes[2 + 2 * i], narrow[i]);
      EXPECT_EQ(bytes[3 + 2 * i], '\0');
    }
  }
}

// A tree that uses what the text carries: attributes, entities, empty and
// attribute-only elements, values beside children, several levels.
void BuildRich(TXmlDocument& doc) {
  doc.Root->Name = "settings";
  doc.Root->AddAttribute("version", "3 & up");
  doc.Root->Value = "top &lt;text&gt;";
  TXmlNode* window = doc.Root->AddChild("Window");
  window->AddAttribute("x", "10");
  window->AddAttribute("title", "say \"hi\"");
  window->AddChild("Caption")->Value = "\xF8l & \x80";
  window->AddChild("empty")->NodeType = xnEmptyElement;  // as the readers give it back
  TXmlNode* deep = window->AddChild("L1")->AddChild("L2");
  deep->AddChild("L3")->Value = "deep";
  deep->Value = "mid";
  doc.Root->AddChild("flag")->AddAttribute("on", "1");
  doc.Comment = "saved <by> test";
  doc.Version = "1.1";
  doc.Encoding = "windows-1252";
}

TEST(XmlRoundTrip, EveryLayoutAndSixteenBitReadsBackTheSameTree) {
  TXmlDocument source;
  BuildRich(source);
  const std::string tree = DescribeNode(*source.Root);
  ASSERT_EQ(tree,
            "0:settings[version=\"3 &amp; up\"]=top &lt;text&gt;{0:Window[x=\"10\"|title=\"say &quot;hi&quot;\"]{"
            "0:Caption=\xF8l & \x80,2:empty,0:L1{0:L2=mid{0:L3=deep}}},0:flag[on=\"1\"]}");
  for (uint8_t layout : {0, 1, 2}) {
    for (bool unicode : {false, true}) {
      source.Layout = layout;
      source.Unicode = unicode;
      TMemoryStream stream;
      source.SaveToStream(stream);
      stream.SetPosition(0);
      TXmlDocument copy;
      copy.LoadFromStream(stream);
      SCOPED_TRACE(testing::Message() << "layout " << int{layout} << (unicode ? ", 16-bit" : ""));
      EXPECT_EQ(DescribeNode(*copy.Root), tree);
      EXPECT_EQ(copy.Comment, "saved <by> test");
      EXPECT_EQ(copy.Version, "1.1");
      EXPECT_EQ(copy.Unicode, unicode);

      // The string-range reader reads the writer's text too.
      std::string text = source.Root->WriteToString();
      TXmlNode holder(&copy);
      int64_t finish = static_cast<int64_t>(text.size()) + 1;
      holder.ReadFromString(text, 1, finish);
      ASSERT_EQ(holder.NodeCount(), 1);
      EXPECT_EQ(DescribeNode(*holder.GetNode(0)), tree);
    }
  }
}

TEST(XmlRoundTrip, FileInSixteenBitMode) {
  test::ScopedWorkDir dir;
  TXmlDocument source;
  BuildRich(source);
  source.Unicode = true;
  source.SaveToFile("wide.xml");
  EXPECT_EQ(test::ReadFileBytes("wide.xml").substr(0, 2), "\xFF\xFE");
  TXmlDocument copy;
  copy.LoadFromFile("wide.xml");
  EXPECT_TRUE(copy.Unicode);
  EXPECT_EQ(DescribeNode(*copy.Root), DescribeNode(*source.Root));
  copy.SaveToFile("again.xml");
  EXPECT_EQ(test::ReadFileBytes("again.xml"), test::ReadFileBytes("wide.xml"));
}

TEST(XmlWrite, ATreeFarDeeperThanTheReadersAllowIsWrittenWithoutRecursion) {
  TXmlDocument doc("d");
  TXmlNode* node = doc.Root.get();
  const int depth = 200000;
  for (int i = 1; i < depth; ++i) node = node->AddChild("d");
  node->Value = "x";
  const std::string text = doc.Root->WriteToString();
  EXPECT_EQ(text.size(), static_cast<size_t>(depth) * 7 + 1);
  EXPECT_EQ(text.substr(0, 9), "<d><d><d>");
  EXPECT_EQ(text.substr(static_cast<size_t>(depth) * 3 - 3, 9), "<d>x</d><");
  EXPECT_EQ(text.substr(text.size() - 8), "</d></d>");
}

// ---- copying ----

TEST(XmlAssign, CopiesWhatTheTextCarries) {
  TXmlDocument source;
  BuildRich(source);
  source.Layout = 0;
  source.StoreDefaults = false;
  source.BinaryMode = 0;
  source.Unicode = true;

  TXmlDocument copy("old");
  copy.Layout = 2;
  copy.Assign(&source);
  EXPECT_EQ(DescribeNode(*copy.Root), DescribeNode(*source.Root));
  EXPECT_EQ(copy.Root->Document, &copy);
  EXPECT_EQ(copy.Comment, source.Comment);
  EXPECT_EQ(copy.Version, "1.1");
  // Settings the text does not carry keep their defaults.
  EXPECT_EQ(copy.Layout, 1);
  EXPECT_TRUE(copy.StoreDefaults);
  EXPECT_EQ(copy.BinaryMode, 2);
  EXPECT_FALSE(copy.Unicode);

  // Onto itself: the tree survives.
  const std::string tree = DescribeNode(*source.Root);
  source.AssignDocument(&source);
  EXPECT_EQ(DescribeNode(*source.Root), tree);

  copy.AssignDocument(nullptr);
  EXPECT_TRUE(copy.IsEmpty());
}

TEST(XmlAssign, AnEmptyDocumentCopiesAsEmpty) {
  TXmlDocument empty;
  empty.Comment = "c";
  empty.Encoding = "";
  TXmlDocument copy("full");
  copy.Root->AddChild("x");
  copy.AssignDocument(&empty);
  EXPECT_TRUE(copy.IsEmpty());
  EXPECT_EQ(copy.Comment, "c");
  EXPECT_EQ(copy.Encoding, "windows-1252");  // none in the text: the default
  EXPECT_EQ(copy.Version, "1.0");
}

TEST(XmlAssign, AnythingButADocumentIsAConversionError) {
  TXmlDocument doc("keep");
  TXmlNode node(nullptr, "n");
  struct Case {
    const TPersistent* source;
    std::string message;
  };
  for (const auto& c : {Case{&node, "Cannot assign a TXmlNode to a TXmlDocument"},
                        Case{nullptr, "Cannot assign a nil to a TXmlDocument"}}) {
    try {
      doc.Assign(c.source);
      ADD_FAILURE() << c.message;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  EXPECT_EQ(doc.Root->Name, "keep");
  try {
    node.Assign(&doc);
    ADD_FAILURE() << "a node took a document";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TXmlDocument to a TXmlNode");
  }
}

}  // namespace
}  // namespace tov
