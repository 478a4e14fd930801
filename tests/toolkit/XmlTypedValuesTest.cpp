#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/toolkit/XmlTestSupport.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

using test::DescribeNode;
using test::FilerErrorOf;

// ---- the node's own value ----

TEST(XmlValueAs, Bool) {
  struct Case {
    std::string text;
    int expected;  // 1 true, 0 false, -1 the default
  };
  const Case cases[] = {
      {"yes", 1},   {"Y", 1},      {"t", 1},     {"TRUE", 1},  {"True", 1}, {"No", 0},
      {"f", 0},     {"FALSE", 0},  {"nope", 0},  {"1", -1},    {"0", -1},   {"", -1},
      {" true", -1}, {"maybe", -1}, {"\xE9t\xE9", -1},
  };
  for (const auto& c : cases) {
    TXmlNode node(nullptr, "n", c.text);
    for (bool def : {false, true}) {
      EXPECT_EQ(node.ValueAsBool(def), c.expected < 0 ? def : c.expected == 1) << c.text << " default " << def;
    }
  }
}

TEST(XmlValueAs, Integer) {
  struct Case {
    std::string text;
    int32_t expected;  // -99 is the default
  };
  const Case cases[] = {
      {"12", 12},          {"  -5", -5},          {"+7", 7},     {"$FF", 255},  {"0x10", 16},
      {"$FFFFFFFF", -1},   {"-2147483648", INT32_MIN}, {"2147483648", -99}, {"12a", -99},
      {"", -99},           {"1.0", -99},          {"5 ", -99},   {"&amp;", -99},
      {"-$10", -16},       {"+$10", 16},          {"-0x10", -16}, {" -x1F", -31},
      {"-$FFFFFFFF", 1},   {"- $10", -99},        {"-$", -99},
  };
  for (const auto& c : cases) EXPECT_EQ(TXmlNode(nullptr, "n", c.text).ValueAsInteger(-99), c.expected) << c.text;
}

TEST(XmlValueAs, Float) {
  struct Case {
    std::string text;
    double expected;  // -99 is the default
  };
  const Case cases[] = {
      {"3,5", 3.5},  {"3,5,1", -99}, {"3.5,1", -99}, {"-1.25e2", -125}, {"  7", 7},     {"+2", 2},
      {"5.", 5},     {".5", 0.5},    {"1E-2", 0.01}, {"2e+3", 2000},    {".", -99},     {"1e", -99},
      {"e5", -99},   {"", -99},      {"abc", -99},   {"inf", -99},      {"nan", -99},   {"1e400", -99},
      {"1 ", -99},   {"0x10", -99},  {"--1", -99},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(TXmlNode(nullptr, "n", c.text).ValueAsFloat(-99), c.expected) << c.text;
}

// ---- scalar children ----

TEST(XmlTypedChildren, TextsWritten) {
  TXmlDocument doc("r");
  TXmlNode& r = *doc.Root;
  r.WriteBool("b", true);
  r.WriteInteger("i", -42);
  r.WriteString("s", "a<b & \"c\"");
  r.WriteHex("h1", 255, 2);
  r.WriteHex("h2", -1, 2);
  r.WriteHex("h3", 255, 4);
  r.WriteHex("h4", 0x12345, 2);
  r.WriteColor("red", clRed);
  r.WriteColor("window", clWindow);
  r.WriteColor("highlight", clHighlight);
  EXPECT_EQ(DescribeNode(r),
            "0:r{0:b=True,0:i=-42,0:s=a&lt;b &amp; &quot;c&quot;,0:h1=$FF,0:h2=$FFFFFFFF,0:h3=$00FF,"
            "0:h4=$12345,0:red=$000000FF,0:window=$00FFFFFF,0:highlight=$00D77800}");
  EXPECT_TRUE(r.ReadBool("B"));
  EXPECT_EQ(r.ReadInteger("i"), -42);
  EXPECT_EQ(r.ReadString("s"), "a<b & \"c\"");
  EXPECT_EQ(r.ReadInteger("h1"), 255);
  EXPECT_EQ(r.ReadColor("h2"), -1);
  EXPECT_EQ(r.ReadColor("RED"), clRed);
  EXPECT_EQ(r.ReadColor("window"), 0xFFFFFF);
}

TEST(XmlTypedChildren, FloatTexts) {
  struct Case {
    double value;
    std::string text;
  };
  const Case cases[] = {
      {3.5, "3.5"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {1e14, "100000000000000"},
      {1e15, "1E15"},
      {1e20, "1E20"},
      {123456789012345678.0, "1.23456789012346E17"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {1.5e-7, "1.5E-7"},
      {-0.0, "0"},
      {INFINITY, "INF"},
      {-INFINITY, "-INF"},
      {NAN, "NAN"},
  };
  for (const auto& c : cases) {
    TXmlDocument doc("r");
    doc.Root->WriteFloat("f", c.value, 7);
    ASSERT_EQ(doc.Root->NodeCount(), 1);
    EXPECT_EQ(doc.Root->GetNode(0)->Value, c.text);
    if (std::isfinite(c.value)) {
      EXPECT_DOUBLE_EQ(doc.Root->ReadFloat("f", 7), std::stod(c.text)) << c.text;
    }
  }
}

TEST(XmlTypedChildren, DefaultsAndTheStoreDefaultsRule) {
  TXmlDocument doc("r");
  TXmlNode& r = *doc.Root;
  EXPECT_EQ(r.ReadInteger("none", 5), 5);
  EXPECT_EQ(r.ReadString("none", "d"), "d");
  EXPECT_EQ(r.ReadColor("none", clRed), clRed);
  EXPECT_DOUBLE_EQ(r.ReadFloat("none", 2.5), 2.5);
  EXPECT_TRUE(r.ReadBool("none", true));

  r.WriteInteger("i", 5, 5);  // stored by default
  EXPECT_EQ(DescribeNode(r), "0:r{0:i=5}");
  r.WriteInteger("i", 6, 5);  // a second child of the same name; the first is read
  EXPECT_EQ(r.ReadInteger("i", 0), 5);

  doc.StoreDefaults = false;
  r.ClearNodes();
  r.WriteInteger("i", 5, 5);
  r.WriteBool("b", false, false);
  r.WriteFloat("f", 2.5, 2.5);
  r.WriteString("s", "abc", "abc");
  r.WriteHex("h", 16, 2, 16);
  r.WriteColor("c", clRed, clRed);
  r.WriteColor("black", clBlack, clRed);  // black is never stored: the RGB value meets 0
  EXPECT_EQ(r.NodeCount(), 0);
  EXPECT_EQ(r.ReadInteger("i", 5), 5);
  r.WriteString("s", "Abc", "abc");  // strings compare with case
  r.WriteInteger("i", 6, 5);
  EXPECT_EQ(DescribeNode(r), "0:r{0:s=Abc,0:i=6}");

  // A node of no document stores defaults.
  TXmlNode loose(nullptr, "l");
  loose.WriteInteger("i", 0, 0);
  EXPECT_EQ(loose.NodeCount(), 1);
}

// The children, the colour and the attributes share the node's conversion.
TEST(XmlTypedChildren, EveryIntegerReaderTakesASignBeforeAHexPrefix) {
  TXmlDocument doc;
  doc.ReadFromString("<r n=\"-$10\"><i>+$10</i><c>-0x10</c></r>");
  TXmlNode& r = *doc.Root;
  EXPECT_EQ(r.ReadInteger("i", 3), 16);
  EXPECT_EQ(r.ReadColor("c", 3), -16);
  EXPECT_EQ(r.ReadAttributeInteger("n", 3), -16);
}

TEST(XmlTypedChildren, OnlyTheColourReaderIsStrict) {
  TXmlDocument doc;
  doc.ReadFromString("<r><c>abc</c><i>abc</i><f><Color>x</Color></f></r>");
  TXmlNode& r = *doc.Root;
  EXPECT_EQ(r.ReadInteger("i", 3), 3);
  EXPECT_EQ(r.ReadBool("i", true), true);
  try {
    r.ReadColor("c", 0);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
  TFont font;
  EXPECT_THROW(r.ReadFont("f", font), EConvertError);
  TPen pen;
  EXPECT_THROW(r.ReadPen("f", pen), EConvertError);
  TBrush brush;
  EXPECT_THROW(r.ReadBrush("f", brush), EConvertError);
}

// ---- font, pen and brush ----

TEST(XmlComposites, WrittenAndReadBack) {
  TXmlDocument doc("r");
  TXmlNode& r = *doc.Root;
  TFont font;
  font.Name = "Courier & Co";
  font.Color = clBlue;
  font.Size = 9;
  font.Style.Include(fsBold);
  font.Style.Include(fsStrikeOut);
  r.WriteFont("F", font);
  EXPECT_EQ(DescribeNode(*r.GetNode(0)),
            "0:F{0:Name=Courier &amp; Co,0:Color=$00FF0000,0:Size=9,0:Bold=True,0:Italic=False,"
            "0:Underline=False,0:Strikeout=True}");
  TFont readFont;
  readFont.Style.Include(fsItalic);
  r.ReadFont("f", readFont);
  EXPECT_EQ(readFont.Name, font.Name);
  EXPECT_EQ(readFont.Color, clBlue);
  EXPECT_EQ(readFont.Size, 9);
  EXPECT_EQ(readFont.Style, font.Style);

  TPen pen;
  pen.Color = clWindowText;  // a system colour goes as its RGB value
  pen.Mode = pmXor;
  pen.Style = psDot;
  pen.Width = 3;
  r.WritePen("P", pen);
  EXPECT_EQ(DescribeNode(*r.GetNode(1)), "0:P{0:Color=$00000000,0:Mode=14,0:Style=2,0:Width=3}");
  TPen readPen;
  r.ReadPen("p", readPen);
  EXPECT_EQ(readPen.Color, clBlack);
  EXPECT_EQ(readPen.Mode, pmXor);
  EXPECT_EQ(readPen.Style, psDot);
  EXPECT_EQ(readPen.Width, 3);

  TBitmap pattern;
  TBrush brush;
  brush.Color = clLime;
  brush.Style = bsCross;
  r.WriteBrush("B", brush);
  EXPECT_EQ(DescribeNode(*r.GetNode(2)), "0:B{0:Color=$0000FF00,0:Style=6}");
  TBrush readBrush;
  readBrush.Bitmap = &pattern;
  r.ReadBrush("b", readBrush);
  EXPECT_EQ(readBrush.Color, clLime);
  EXPECT_EQ(readBrush.Style, bsCross);
  EXPECT_EQ(readBrush.Bitmap, &pattern);  // left alone when the child is there
}

TEST(XmlComposites, AbsentChildrenAndLeftOutDefaults) {
  TXmlDocument doc("r");
  TXmlNode& r = *doc.Root;
  TFont font;
  font.Name = "x";
  font.Color = clRed;
  font.Size = 1;
  font.Style.Include(fsUnderline);
  r.ReadFont("none", font);
  EXPECT_EQ(font.Name, "Arial");
  EXPECT_EQ(font.Color, clBlack);
  EXPECT_EQ(font.Size, 14);
  EXPECT_TRUE(font.Style.Empty());

  TBitmap pattern;
  TBrush brush;
  brush.Bitmap = &pattern;
  brush.Color = clRed;
  brush.Style = bsCross;
  r.ReadBrush("none", brush);
  EXPECT_EQ(brush.Bitmap, nullptr);
  EXPECT_EQ(brush.Color, clWhite);
  EXPECT_EQ(brush.Style, bsSolid);

  TPen pen;
  pen.Mode = pmBlack;
  pen.Width = 0;
  r.ReadPen("none", pen);
  EXPECT_EQ(pen.Mode, pmCopy);
  EXPECT_EQ(pen.Width, 1);

  // Without stored defaults the writing defaults differ from the reading ones.
  doc.StoreDefaults = false;
  TPen thin;
  thin.Mode = pmBlack;
  thin.Width = 0;
  r.WritePen("pen", thin);
  TBrush black;
  black.Color = clBlack;
  r.WriteBrush("brush", black);
  TFont plain;
  r.WriteFont("font", plain);
  EXPECT_EQ(DescribeNode(r), "0:r{0:pen,0:brush,0:font}");
  r.ReadPen("pen", pen);
  EXPECT_EQ(pen.Mode, pmCopy);
  EXPECT_EQ(pen.Width, 1);
  r.ReadBrush("brush", brush);
  EXPECT_EQ(brush.Color, clWhite);
  font.Color = clRed;
  r.ReadFont("font", font);
  EXPECT_EQ(font.Color, clBlack);
}

TEST(XmlComposites, NumbersOutsideTheEnumerations) {
  TXmlDocument doc;
  doc.ReadFromString(
      "<r><p><Mode>99</Mode><Style>-1</Style></p><b><Style>8</Style></b><q><Mode>15</Mode><Style>8</Style></q></r>");
  TPen pen;
  pen.Mode = pmXor;
  pen.Style = psDash;
  doc.Root->ReadPen("p", pen);
  EXPECT_EQ(pen.Mode, pmCopy);
  EXPECT_EQ(pen.Style, psSolid);
  doc.Root->ReadPen("q", pen);
  EXPECT_EQ(pen.Mode, pmNotXor);
  EXPECT_EQ(pen.Style, psAlternate);
  TBrush brush;
  brush.Style = bsCross;
  doc.Root->ReadBrush("b", brush);
  EXPECT_EQ(brush.Style, bsSolid);
}

// ---- attributes ----

TEST(XmlTypedAttributes, Integers) {
  TXmlDocument doc;
  doc.ReadFromString("<r x=5 y='abc' z=\"$10\"/>");
  TXmlNode& r = *doc.Root;
  EXPECT_EQ(r.ReadAttributeInteger("X", -1), 5);
  EXPECT_EQ(r.ReadAttributeInteger("y", -1), -1);
  EXPECT_EQ(r.ReadAttributeInteger("z", -1), 16);
  EXPECT_EQ(r.ReadAttributeInteger("none", -1), -1);
  doc.StoreDefaults = false;  // does not apply to attributes
  r.WriteAttributeInteger("Y", 0);
  r.WriteAttributeInteger("n", -3);
  EXPECT_EQ(DescribeNode(r), "2:r[x=5|y=\"0\"|z=\"$10\"|n=\"-3\"]");
}

// ---- byte buffers ----

TEST(XmlBinary, EncodingsOfBothModes) {
  struct Case {
    uint8_t mode;
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const Case cases[] = {
      {0, {0x01, 0x02, 0x03}, "010203"},
      {0, {0xAB, 0x00, 0xFF}, "AB00FF"},
      {2, {0x01, 0x02, 0x03}, "38g0"},
      {2, {0xFF}, "00M-"},
      {2, {0xFF, 0xFF, 0xFF, 0x00}, "----0000"},
      {0, {}, ""},
      {2, {}, ""},
  };
  for (const auto& c : cases) {
    TXmlDocument doc("r");
    doc.BinaryMode = c.mode;
    TXmlNode& node = *doc.Root->AddChild("data");
    node.AddAttribute("k", "v");
    node.AddChild("kept");
    node.WriteBinary(c.bytes);
    EXPECT_EQ(node.Value, c.text) << int{c.mode};
    EXPECT_EQ(node.NodeCount(), 1);
    EXPECT_EQ(node.AttributeCount(), 1);
    std::vector<uint8_t> back(c.bytes.size(), 0x5A);
    node.ReadBinary(back);
    EXPECT_EQ(back, c.bytes) << c.text;
  }
}

TEST(XmlBinary, EveryByteValueAndLengthRoundTrips) {
  for (uint8_t mode : {0, 2}) {
    for (size_t length = 0; length <= 260; length += 37) {
      std::vector<uint8_t> bytes(length);
      for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 97 + length);
      for (uint8_t layout : {0, 1, 2}) {
        TXmlDocument doc("r");
        doc.BinaryMode = mode;
        doc.Layout = layout;
        doc.Root->AddChild("a")->AddChild("b")->WriteBinary(bytes);
        // Through the text and back.
        TXmlDocument copy;
        copy.ReadFromString(doc.WriteToString());
        copy.BinaryMode = mode;
        std::vector<uint8_t> back(length);
        copy.Root->FindNode("a")->FindNode("b")->ReadBinary(back);
        EXPECT_EQ(back, bytes) << "mode " << int{mode} << " layout " << int{layout} << " length " << length;
      }
    }
  }
}

TEST(XmlBinary, WrappedInTheIndentedLayout) {
  TXmlDocument doc("r");
  doc.Layout = 0;
  doc.BinaryMode = 0;
  TXmlNode& node = *doc.Root->AddChild("data");
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  node.WriteBinary(bytes);
  std::string hex;
  for (uint8_t b : bytes) hex += IntToHex(b, 2);
  const std::string brk = "\r\n  ";
  EXPECT_EQ(node.Value, brk + hex.substr(0, 80) + brk + hex.substr(80, 80) + brk + hex.substr(160) + brk);
  std::vector<uint8_t> back(100);
  node.ReadBinary(back);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(doc.Root->WriteToString().substr(0, 15), "<r>\r\n  <data>\r\n");
  EXPECT_EQ(doc.Root->WriteToString().substr(doc.Root->WriteToString().size() - 17), "\r\n  </data>\r\n</r>");

  node.WriteBinary({});
  EXPECT_EQ(node.Value, brk);  // the break alone
  node.ReadBinary({});
}

TEST(XmlBinary, ShortTextAndOddCharacters) {
  struct Case {
    uint8_t mode;
    std::string value;
    size_t count;
    std::string error;                 // empty: read succeeds
    std::vector<uint8_t> expected;     // when it succeeds
  };
  const Case cases[] = {
      {0, "0102", 4, "Missing data in binary stream", {}},
      {0, "010", 2, "Missing data in binary stream", {}},  // an odd last character does not count
      {0, " 0a\r\n Ff zz", 3, "", {0x0A, 0xFF, 0x00}},
      {0, "0102", 1, "", {0x01}},  // text beyond the count is ignored
      {2, "38g", 1, "Missing data in binary stream", {}},
      {2, "38g0", 4, "Missing data in binary stream", {}},
      {2, "38g0 38g", 3, "", {0x01, 0x02, 0x03}},  // an incomplete last group is ignored
      {2, "38g0", 2, "", {0x01, 0x02}},
      {2, "!!!!", 3, "", {0, 0, 0}},
  };
  for (const auto& c : cases) {
    TXmlDocument doc("r");
    doc.BinaryMode = c.mode;
    doc.Root->Value = c.value;
    std::vector<uint8_t> buffer(c.count, 0x77);
    EXPECT_EQ(FilerErrorOf([&] { doc.Root->ReadBinary(buffer); }), c.error) << c.value;
    EXPECT_EQ(buffer, c.error.empty() ? c.expected : std::vector<uint8_t>(c.count, 0x77)) << c.value;
  }
}

TEST(XmlBinary, ModesWithoutAnEncoding) {
  TXmlDocument doc("r");
  doc.BinaryMode = 1;
  doc.Root->Value = "38g0";
  const std::vector<uint8_t> bytes = {1, 2, 3};
  EXPECT_EQ(FilerErrorOf([&] { doc.Root->WriteBinary(bytes); }), "Binary mode 1 is not supported");
  EXPECT_EQ(doc.Root->Value, "38g0");
  std::vector<uint8_t> buffer(3, 9);
  doc.Root->ReadBinary(buffer);
  EXPECT_EQ(buffer, std::vector<uint8_t>(3, 9));

  // A node of no document uses mode 0.
  TXmlNode loose(nullptr, "l");
  loose.WriteBinary(bytes);
  EXPECT_EQ(loose.Value, "010203");
}

TEST(XmlBinary, WrapString) {
  struct Case {
    std::string text, lineBreak;
    int width;
    std::string out;
  };
  const Case cases[] = {
      {"abcde", "|", 2, "|ab|cd|e|"}, {"abcd", "|", 2, "|ab|cd|"}, {"", "|", 80, "|"},
      {"abc", "", 2, "abc"},         {"abc", "|", 0, "abc"},      {"abc", "|", -3, "abc"},
      {"abc", "|", 80, "|abc|"},
  };
  for (const auto& c : cases) EXPECT_EQ(WrapString(c.text, c.lineBreak, c.width), c.out) << c.text << c.width;
}

}  // namespace
}  // namespace tov
