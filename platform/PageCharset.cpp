#include "platform/PageCharset.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <memory>

#include "platform/Cp1252.h"
#include "platform/SysUtils.h"

namespace tov {

namespace {

constexpr size_t kPrescanBytes = 8192;  // how far into the page a meta charset counts
constexpr size_t kBaseLineLimit = 4096;

bool StartsWithText(std::string_view s, size_t pos, std::string_view prefix) {
  return s.size() - pos >= prefix.size() && SameText(s.substr(pos, prefix.size()), prefix);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string Normalise(std::string_view label) {
  size_t b = 0, e = label.size();
  while (b < e && IsSpace(label[b])) ++b;
  while (e > b && IsSpace(label[e - 1])) --e;
  std::string out;
  for (char c : label.substr(b, e - b)) out.push_back(AsciiLower(c));
  return out;
}

bool InList(std::string_view name, std::initializer_list<std::string_view> list) {
  for (auto item : list) {
    if (item == name) return true;
  }
  return false;
}

// What a named character set means here; names that browsers read as another
// set are mapped the way browsers do.
PageCharset FromLabel(std::string_view raw) {
  std::string name = Normalise(raw);
  PageCharset cs;
  if (InList(name, {"utf-8", "utf8", "unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8",
                    "x-unicode20utf8",
                    // A meta tag that could be read as ASCII cannot belong to a
                    // UTF-16 page, so such a claim means UTF-8.
                    "utf-16", "utf-16le", "utf-16be", "unicode", "ucs-2", "unicodefeff",
                    "unicodefffe", "csunicode", "iso-10646-ucs-2"})) {
    cs.encoding = PageEncoding::Utf8;
  } else if (name.empty() ||
             InList(name, {"windows-1252", "x-cp1252", "cp1252", "iso-8859-1", "iso8859-1",
                           "iso88591", "iso_8859-1", "iso_8859-1:1987", "iso-ir-100", "latin1",
                           "l1", "csisolatin1", "ibm819", "cp819", "us-ascii", "ascii",
                           "ansi_x3.4-1968", "x-user-defined"})) {
    cs.encoding = PageEncoding::Cp1252;
  } else {
    cs.encoding = PageEncoding::Other;
    if (InList(name, {"gb2312", "gb_2312", "gb_2312-80", "x-gbk", "chinese", "csgb2312"})) {
      name = "gbk";
    } else if (InList(name, {"x-sjis", "shift-jis", "ms932", "ms_kanji", "windows-31j", "csshiftjis"})) {
      name = "cp932";
    } else if (InList(name, {"ks_c_5601-1987", "ks_c_5601-1989", "ksc5601", "ksc_5601", "windows-949"})) {
      name = "cp949";
    } else if (name == "iso-8859-8-i") {
      name = "iso-8859-8";
    }
    cs.name = name;
  }
  return cs;
}

// The value of charset=... inside a content attribute; empty when none.
std::string CharsetFromContent(std::string_view content) {
  for (size_t pos = 0; pos + 7 <= content.size(); ++pos) {
    if (!SameText(content.substr(pos, 7), "charset")) continue;
    size_t p = pos + 7;
    while (p < content.size() && IsSpace(content[p])) ++p;
    if (p >= content.size() || content[p] != '=') continue;
    ++p;
    while (p < content.size() && IsSpace(content[p])) ++p;
    if (p < content.size() && (content[p] == '"' || content[p] == '\'')) {
      char quote = content[p++];
      size_t end = content.find(quote, p);
      if (end == std::string_view::npos) return {};
      return std::string(content.substr(p, end - p));
    }
    size_t end = p;
    while (end < content.size() && !IsSpace(content[end]) && content[end] != ';') ++end;
    return std::string(content.substr(p, end - p));
  }
  return {};
}

struct Attribute {
  std::string name;
  std::string value;
};

// Reads one attribute of a tag at pos; false at the tag's end.
bool NextAttribute(std::string_view s, size_t& pos, Attribute& attr) {
  while (pos < s.size() && (IsSpace(s[pos]) || s[pos] == '/')) ++pos;
  if (pos >= s.size() || s[pos] == '>') return false;
  attr.name.clear();
  attr.value.clear();
  while (pos < s.size() && !IsSpace(s[pos]) && s[pos] != '=' && s[pos] != '>' && s[pos] != '/') {
    attr.name.push_back(AsciiLower(s[pos++]));
  }
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  if (pos >= s.size() || s[pos] != '=') return true;
  ++pos;
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  if (pos < s.size() && (s[pos] == '"' || s[pos] == '\'')) {
    char quote = s[pos++];
    size_t end = s.find(quote, pos);
    if (end == std::string_view::npos) end = s.size();
    attr.value.assign(s.substr(pos, end - pos));
    pos = end + 1;
  } else {
    while (pos < s.size() && !IsSpace(s[pos]) && s[pos] != '>') attr.value.push_back(s[pos++]);
  }
  return true;
}

// The character set named by the first meta tag that names one, or nothing.
bool PrescanMeta(std::string_view s, PageCharset& out) {
  size_t pos = 0;
  while (pos < s.size()) {
    if (s[pos] != '<') {
      ++pos;
      continue;
    }
    if (s.compare(pos, 4, "<!--") == 0) {
      size_t end = s.find("-->", pos + 2);
      if (end == std::string_view::npos) return false;
      pos = end + 3;
      continue;
    }
    if (StartsWithText(s, pos, "<meta") && pos + 5 < s.size() &&
        (IsSpace(s[pos + 5]) || s[pos + 5] == '/')) {
      pos += 5;
      Attribute attr;
      std::string charset, content;
      bool content_type = false;
      while (NextAttribute(s, pos, attr)) {
        if (attr.name == "charset" && charset.empty()) {
          charset = attr.value;
        } else if (attr.name == "http-equiv") {
          content_type = SameText(attr.value, "content-type");
        } else if (attr.name == "content" && content.empty()) {
          content = attr.value;
        }
      }
      if (charset.empty() && content_type) charset = CharsetFromContent(content);
      if (!charset.empty()) {
        out = FromLabel(charset);
        return true;
      }
      continue;
    }
    size_t end = s.find('>', pos + 1);
    if (end == std::string_view::npos) return false;
    pos = end + 1;
  }
  return false;
}

void AppendUtf16(std::string& out, std::string_view s, bool little_endian) {
  auto unit = [&](size_t i) -> char32_t {
    auto lo = static_cast<uint8_t>(s[little_endian ? i : i + 1]);
    auto hi = static_cast<uint8_t>(s[little_endian ? i + 1 : i]);
    return static_cast<char32_t>(lo | (hi << 8));
  };
  size_t i = 0;
  while (i + 1 < s.size()) {
    char32_t u = unit(i);
    i += 2;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size()) {
      char32_t low = unit(i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        i += 2;
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        continue;
      }
    }
    AppendUtf8(out, u);  // a lone surrogate becomes U+FFFD there
  }
  if (i < s.size()) AppendUtf8(out, 0xFFFD);
}

struct IconvCloser {
  void operator()(iconv_t cd) const { iconv_close(cd); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// Converts with the C library's converters; false when it has none by that name.
bool AppendConverted(std::string& out, std::string_view s, const std::string& charset) {
  iconv_t raw = iconv_open("UTF-8", charset.c_str());
  if (raw == reinterpret_cast<iconv_t>(-1)) return false;
  IconvHandle cd(raw);
  std::array<char, 16384> chunk;
  char* in = const_cast<char*>(s.data());
  size_t in_left = s.size();
  while (in_left > 0) {
    char* dst = chunk.data();
    size_t dst_left = chunk.size();
    size_t r = iconv(cd.get(), &in, &in_left, &dst, &dst_left);
    out.append(chunk.data(), chunk.size() - dst_left);
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // An invalid or cut-off sequence: mark it and go on after its first byte.
    AppendUtf8(out, 0xFFFD);
    ++in;
    --in_left;
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t lead = b(i);
  size_t n;
  char32_t min;
  if (lead < 0x80) return lead == 0 ? 0 : 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  char32_t cp = lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

PageCharset DetectPageCharset(std::string_view page) {
  size_t after_base = 0;
  if (StartsWithText(page, 0, "<base")) {
    size_t nl = page.substr(0, kBaseLineLimit).find('\n');
    if (nl != std::string_view::npos) after_base = nl + 1;
  }
  for (size_t at : {size_t{0}, after_base}) {
    std::string_view rest = page.substr(at);
    PageCharset cs;
    cs.mark_offset = at;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
      cs.encoding = PageEncoding::Utf8;
      cs.text_start = at + 3;
      return cs;
    }
    if (rest.substr(0, 2) == "\xFF\xFE" || rest.substr(0, 2) == "\xFE\xFF") {
      cs.encoding = rest[0] == '\xFF' ? PageEncoding::Utf16LE : PageEncoding::Utf16BE;
      cs.text_start = at + 2;
      return cs;
    }
  }
  PageCharset cs;
  PrescanMeta(page.substr(0, kPrescanBytes), cs);
  return cs;
}

std::string PageToUtf8(std::string_view page, size_t max_bytes) {
  PageCharset cs = DetectPageCharset(page);
  // Text before a byte-order mark (the BASE line) is Windows-1252.
  std::string utf8 = Cp1252ToUtf8(page.substr(0, cs.mark_offset));
  std::string_view text = page.substr(cs.text_start);
  switch (cs.encoding) {
    case PageEncoding::Utf8:
      utf8.append(text);
      break;
    case PageEncoding::Utf16LE:
    case PageEncoding::Utf16BE:
      AppendUtf16(utf8, text, cs.encoding == PageEncoding::Utf16LE);
      break;
    case PageEncoding::Other:
      if (AppendConverted(utf8, text, cs.name)) break;
      [[fallthrough]];
    case PageEncoding::Cp1252:
      utf8.append(Cp1252ToUtf8(text));
      break;
  }
  return SanitizeUtf8(utf8, max_bytes);
}

std::string SanitizeUtf8(std::string_view text, size_t max_bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size() < max_bytes ? text.size() : max_bytes);
  size_t i = 0;
  while (i < text.size()) {
    size_t n = Utf8SequenceLength(text, i);
    std::string_view piece = n ? text.substr(i, n) : kReplacement;
    if (out.size() + piece.size() > max_bytes) break;
    out.append(piece);
    i += n ? n : 1;
  }
  return out;
}

}  // namespace tov
