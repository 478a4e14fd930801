#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "tests/support/TestSupport.h"
#include "tests/toolkit/XmlTestSupport.h"
#include "toolkit/Utf8Stream.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

using test::DescribeNode;
using test::TinyStream;

void Fill(TMemoryStream& stream, const std::string& bytes) {
  stream.Clear();
  stream.WriteBuffer(bytes.data(), bytes.size());
  stream.SetPosition(0);
}

std::string Bytes(TMemoryStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
}

// Little-endian 16-bit text of code units.
std::string Utf16Le(std::u16string_view units) {
  std::string out = "\xFF\xFE";
  for (char16_t u : units) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

// All that the wrapper delivers, read count bytes at a time.
std::string ReadAll(TUtf8Stream& wrapper, size_t count) {
  std::string out;
  std::string block(count, '\0');
  for (;;) {
    size_t n = wrapper.Read(block.data(), count);
    out.append(block.data(), n);
    if (n < count) return out;
  }
}

TEST(Utf8StreamRead, DetectsTheByteOrderMark) {
  struct Case {
    const char* name;
    std::string inner;
    std::string text;
    bool unicode, swapped;
  };
  const Case cases[] = {
      {"little-endian", std::string("\xFF\xFE" "a\0b\0", 6), "ab", true, false},
      {"big-endian", std::string("\xFE\xFF\0a\0b", 6), "ab", true, true},
      {"no mark", "<r/>", "<r/>", false, false},
      {"one byte is given back", "x", "x", false, false},
      {"a lone FF is data", "\xFF", "\xFF", false, false},
      {"empty", "", "", false, false},
      {"mark only", "\xFF\xFE", "", true, false},
      {"odd last byte never delivered", std::string("\xFF\xFE" "a\0b", 5), "a", true, false},
      {"Windows-1252 letters narrowed", Utf16Le(u"\u00F8\u20AC\u0081"), "\xF8\x80\x81", true, false},
      {"a zero unit does not stop big-endian text", std::string("\xFE\xFF\0a\0\0\0b", 8),
       std::string("a\0b", 3), true, true},
  };
  for (const auto& c : cases) {
    for (size_t count : {1, 3, 5000}) {
      TMemoryStream inner;
      Fill(inner, c.inner);
      TUtf8Stream wrapper(&inner);
      wrapper.Unicode = !c.unicode;  // detection replaces it
      EXPECT_EQ(ReadAll(wrapper, count), c.text) << c.name << ", blocks of " << count;
      EXPECT_EQ(wrapper.Unicode, c.unicode) << c.name;
      EXPECT_EQ(wrapper.Swapped, c.swapped) << c.name;
      EXPECT_EQ(wrapper.Mode, TUtf8Stream::ModeReading);
    }
  }
}

TEST(Utf8StreamRead, ConversionLossIsReportedOncePerWrapper) {
  struct Case {
    const char* name;
    std::u16string units;
    size_t count;
    std::string text;
    int reports;
  };
  const Case cases[] = {
      {"a full lossy block", u"a\u0100b", 3, "a?b", 1},
      {"two lossy blocks report once", u"\u0100\u0101", 1, "??", 1},
      {"loss in the short last block", u"ab\u4E2D", 2, "ab?", 1},
      {"a surrogate pair gives one ? per unit", u"<\U0001F600>", 4, "<?" "?>", 1},
      {"a question mark is no loss", u"?\u00E9", 2, "?\xE9", 0},
  };
  for (const auto& c : cases) {
    TMemoryStream inner;
    Fill(inner, Utf16Le(c.units));
    TUtf8Stream wrapper(&inner);
    int reports = 0;
    wrapper.OnConversionLoss = [&](TUtf8Stream& sender) {
      EXPECT_EQ(&sender, &wrapper);
      ++reports;
    };
    EXPECT_EQ(ReadAll(wrapper, c.count), c.text) << c.name;
    EXPECT_EQ(reports, c.reports) << c.name;
    EXPECT_EQ(wrapper.LossReported, c.reports > 0) << c.name;
  }
}

TEST(Utf8StreamSeek, CountsCharactersBehindTheMark) {
  TMemoryStream inner;
  Fill(inner, Utf16Le(u"abcdef"));
  TUtf8Stream wrapper(&inner);
  char c = 0;
  ASSERT_EQ(wrapper.Read(&c, 1), 1u);
  EXPECT_EQ(wrapper.Position(), 1);
  EXPECT_EQ(inner.Position(), 4);
  EXPECT_EQ(wrapper.Size(), 6);
  EXPECT_EQ(wrapper.Seek(0, soBeginning), 0);
  EXPECT_EQ(inner.Position(), 2);
  EXPECT_EQ(wrapper.Seek(4, soCurrent), 4);
  EXPECT_EQ(wrapper.Seek(-2, soCurrent), 2);  // the reader's step back over two characters
  EXPECT_EQ(inner.Position(), 6);
  ASSERT_EQ(wrapper.Read(&c, 1), 1u);
  EXPECT_EQ(c, 'c');
  EXPECT_EQ(wrapper.Seek(-1, soEnd), 5);

  TMemoryStream narrow;
  Fill(narrow, "abc");
  TUtf8Stream plain(&narrow);
  ASSERT_EQ(plain.Read(&c, 1), 1u);
  EXPECT_EQ(plain.Size(), 3);
  EXPECT_EQ(plain.Seek(0, soBeginning), 0);
  EXPECT_EQ(narrow.Position(), 0);
}

TEST(Utf8StreamWrite, SixteenBitAndPlain) {
  TMemoryStream wide;
  TUtf8Stream wrapper(&wide);
  wrapper.Unicode = true;
  EXPECT_EQ(wrapper.Write("ab", 2), 2u);
  EXPECT_EQ(Bytes(wide), std::string("\xFF\xFE" "a\0b\0", 6));
  EXPECT_EQ(wrapper.Write("\x80", 1), 1u);  // the euro sign
  EXPECT_EQ(Bytes(wide).substr(6), "\xAC\x20");
  EXPECT_EQ(wrapper.Position(), 3);
  EXPECT_EQ(wrapper.Write("", 0), 0u);

  TMemoryStream narrow;
  TUtf8Stream plain(&narrow);
  EXPECT_EQ(plain.Write("ab", 2), 2u);
  EXPECT_EQ(Bytes(narrow), "ab");
}

TEST(Utf8StreamWrite, ShortWrites) {
  TinyStream one(1);
  TUtf8Stream markless(&one);
  markless.Unicode = true;
  EXPECT_THROW(markless.Write("a", 1), EWriteError);  // the mark is all or nothing

  TinyStream five(5);
  TUtf8Stream wrapper(&five);
  wrapper.Unicode = true;
  EXPECT_EQ(wrapper.Write("abc", 3), 1u);  // 3 of 6 bytes taken: one character
}

TEST(Utf8StreamErrors, Messages) {
  struct Case {
    const char* name;
    std::function<void(TUtf8Stream&, TMemoryStream&)> act;
    std::string message;
  };
  char c = 0;
  const Case cases[] = {
      {"read without inner", [&](TUtf8Stream& w, TMemoryStream&) {
         w.Inner = nullptr;
         w.Read(&c, 1);
       },
       "Utf stream unassigned"},
      {"every read without inner",
       [&](TUtf8Stream& w, TMemoryStream&) {
         w.Read(&c, 1);
         w.Inner = nullptr;
         w.Read(&c, 1);
       },
       "Utf stream unassigned"},
      {"write without inner", [&](TUtf8Stream& w, TMemoryStream&) {
         w.Inner = nullptr;
         w.Write("a", 1);
       },
       "Utf stream unassigned"},
      {"read after write",
       [&](TUtf8Stream& w, TMemoryStream&) {
         w.Write("a", 1);
         w.Read(&c, 1);
       },
       "Cannot read from an UTF stream opened for writing"},
      {"write after read",
       [&](TUtf8Stream& w, TMemoryStream&) {
         w.Read(&c, 1);
         w.Write("a", 1);
       },
       "Cannot write to an UTF stream opened for reading"},
      {"seek on a fresh wrapper", [&](TUtf8Stream& w, TMemoryStream&) { w.Seek(0, soBeginning); },
       "Cannot seek before reading or writing on UTF stream"},
      {"size on a fresh wrapper", [&](TUtf8Stream& w, TMemoryStream&) { w.Size(); },
       "Cannot seek before reading or writing on UTF stream"},
  };
  for (const auto& k : cases) {
    TMemoryStream inner;
    Fill(inner, "abc");
    TUtf8Stream wrapper(&inner);
    try {
      k.act(wrapper, inner);
      ADD_FAILURE() << k.name << ": no error";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), k.message) << k.name;
    }
  }
}

// ---- the document's loader ----

TEST(XmlLoad, SixteenBitTextInEitherByteOrder) {
  const std::u16string xml = u"<?xml version=\"1.0\"?>\r\n<r a='\u00E9'>\u20AC<c/></r>";
  std::string bigEndian = "\xFE\xFF";
  for (char16_t u : xml) {
    bigEndian.push_back(static_cast<char>(u >> 8));
    bigEndian.push_back(static_cast<char>(u & 0xFF));
  }
  for (const std::string& bytes : {Utf16Le(xml), bigEndian}) {
    TMemoryStream stream;
    Fill(stream, bytes);
    TXmlDocument doc;
    int losses = 0;
    doc.OnConversionLoss = [&](TXmlDocument& sender) {
      EXPECT_EQ(&sender, &doc);
      ++losses;
    };
    doc.LoadFromStream(stream);
    EXPECT_TRUE(doc.Unicode);
    EXPECT_EQ(DescribeNode(*doc.Root), "0:r[a='\xE9']=\x80{2:c}");
    EXPECT_EQ(losses, 0);
  }
}

TEST(XmlLoad, LossFiresTheDocumentsEventOnceAndEightBitClearsUnicode) {
  TMemoryStream stream;
  Fill(stream, Utf16Le(u"<r>\u0100\u0101</r>"));
  TXmlDocument doc;
  int losses = 0;
  doc.OnConversionLoss = [&](TXmlDocument&) { ++losses; };
  doc.LoadFromStream(stream);
  EXPECT_EQ(doc.Root->Value, "??");
  EXPECT_EQ(losses, 1);
  EXPECT_TRUE(doc.Unicode);

  Fill(stream, "<r>\xF8</r>");
  doc.LoadFromStream(stream);
  EXPECT_FALSE(doc.Unicode);
  EXPECT_EQ(doc.Root->Value, "\xF8");
  EXPECT_EQ(losses, 1);
}

TEST(XmlLoad, FromAFileInSixteenBit) {
  test::ScopedWorkDir dir;
  test::WriteFileBytes("wide.xml", Utf16Le(u"<r>\r\n <c>x</c>\r\n</r>\r\n"));
  TXmlDocument doc;
  doc.LoadFromFile("wide.xml");
  EXPECT_TRUE(doc.Unicode);
  EXPECT_EQ(DescribeNode(*doc.Root), "0:r{0:c=x}");
}

}  // namespace
}  // namespace tov
