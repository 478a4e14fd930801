// Typed values kept in a tree: booleans, numbers, strings, colours and the
// font, pen and brush records as child elements, integers as attributes, and
// byte buffers as text in a node's own Value.
#include <charconv>
#include <system_error>

#include "toolkit/XmlDom.h"

namespace tov {

namespace {

std::string FloatText(double value) {
  // The class library's general form: up to 15 significant digits, a period,
  // and "E" with a bare exponent ("1E20", "1.5E-7") for very large and very
  // small values.
  if (value != value) return "NAN";
  if (value == 0) return "0";  // negative zero too
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (text == "inf") return "INF";
  if (text == "-inf") return "-INF";
  auto e = text.find('e');
  if (e == std::string::npos) return text;
  std::string out = text.substr(0, e) + "E";
  size_t i = e + 1;
  if (text[i] == '-') out += '-';
  if (text[i] == '+' || text[i] == '-') ++i;
  while (i + 1 < text.size() && text[i] == '0') ++i;
  return out + text.substr(i);
}

// Decimal text: blanks, an optional sign, digits with an optional period and
// fraction, an optional exponent; nothing else.
bool ParseFloat(std::string_view text, double& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string number;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') number += '-';
    ++i;
  }
  size_t digits = 0;
  auto isDigit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
  size_t mantissa = i;
  while (isDigit(i)) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (isDigit(i)) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!isDigit(i)) return false;
    while (isDigit(i)) ++i;
  }
  if (i != text.size()) return false;
  number += text.substr(mantissa);
  const char* last = number.data() + number.size();
  auto [end, ec] = std::from_chars(number.data(), last, value, std::chars_format::general);
  return ec == std::errc() && end == last;
}

int HexValue(char c) {
  auto k = HexDigits.find(c);
  return k == std::string_view::npos ? 0 : static_cast<int>(k % 16);
}

uint32_t SixBitValue(char c) {
  auto k = SixBitChars.find(c);
  return k == std::string_view::npos ? 0 : static_cast<uint32_t>(k);
}

[[noreturn]] void MissingBinaryData() { throw EFilerError("Missing data in binary stream"); }

}  // namespace

// ---- the node's own value ----

bool TXmlNode::ValueAsBool(bool defaultValue) const {
  if (Value.empty()) return defaultValue;
  std::string upper;
  upper.reserve(Value.size());
  for (char c : Value) upper.push_back(AsciiUpper(c));
  if (upper == "TRUE" || upper[0] == 'T' || upper[0] == 'Y') return true;
  if (upper == "FALSE" || upper[0] == 'F' || upper[0] == 'N') return false;
  return defaultValue;
}

int32_t TXmlNode::ValueAsInteger(int32_t defaultValue) const {
  int32_t value = 0;
  // Safeguard: signed hex values.
  return TryStrToInt(Value, value, SignedHex::Allowed) ? value : defaultValue;
}

double TXmlNode::ValueAsFloat(double defaultValue) const {
  std::string text = Value;
  if (auto comma = text.find(','); comma != std::string::npos) text[comma] = '.';
  double value = 0;
  return ParseFloat(text, value) ? value : defaultValue;
}

// ---- scalar children ----

bool TXmlNode::ReadBool(std::string_view name, bool defaultValue) const {
  const TXmlNode* child = FindNode(name);
  return child ? child->ValueAsBool(defaultValue) : defaultValue;
}

int32_t TXmlNode::ReadInteger(std::string_view name, int32_t defaultValue) const {
  const TXmlNode* child = FindNode(name);
  return child ? child->ValueAsInteger(defaultValue) : defaultValue;
}

double TXmlNode::ReadFloat(std::string_view name, double defaultValue) const {
  const TXmlNode* child = FindNode(name);
  return child ? child->ValueAsFloat(defaultValue) : defaultValue;
}

std::string TXmlNode::ReadString(std::string_view name, std::string_view defaultValue) const {
  const TXmlNode* child = FindNode(name);
  return child ? child->GetValue() : std::string(defaultValue);
}

TColor TXmlNode::ReadColor(std::string_view name, TColor defaultValue) const {
  const TXmlNode* child = FindNode(name);
  return child ? StrToInt(child->GetValue(), SignedHex::Allowed) : defaultValue;
}

namespace {

// The store-defaults rule: false when the value is to be left out.
bool Stored(const TXmlNode& node, bool equalsDefault) { return node.StoreDefaults() || !equalsDefault; }

void AddValueChild(TXmlNode& node, std::string_view name, std::string text) {
  node.AddNode(TXmlNode::CreateNameValue(node.Document, std::string(name), std::move(text)));
}

}  // namespace

void TXmlNode::WriteBool(std::string_view name, bool value, bool defaultValue) {
  if (Stored(*this, value == defaultValue)) AddValueChild(*this, name, std::string(BoolNames[value ? 1 : 0]));
}

void TXmlNode::WriteInteger(std::string_view name, int32_t value, int32_t defaultValue) {
  if (Stored(*this, value == defaultValue)) AddValueChild(*this, name, IntToStr(value));
}

void TXmlNode::WriteFloat(std::string_view name, double value, double defaultValue) {
  if (Stored(*this, value == defaultValue)) AddValueChild(*this, name, FloatText(value));
}

void TXmlNode::WriteString(std::string_view name, std::string_view value, std::string_view defaultValue) {
  if (Stored(*this, value == defaultValue)) AddValueChild(*this, name, EncodeXmlEntities(value));
}

void TXmlNode::WriteHex(std::string_view name, int32_t value, int digits, int32_t defaultValue) {
  if (Stored(*this, value == defaultValue)) {
    AddValueChild(*this, name, "$" + IntToHex(static_cast<uint32_t>(value), digits));
  }
}

void TXmlNode::WriteColor(std::string_view name, TColor value, TColor defaultValue) {
  if (Stored(*this, value == defaultValue)) WriteHex(name, ColorToRGB(value), 8, 0);
}

// ---- font, pen and brush ----

namespace {

constexpr std::array<std::pair<std::string_view, TFontStyle>, 4> kFontStyles = {{
    {"Bold", fsBold},
    {"Italic", fsItalic},
    {"Underline", fsUnderline},
    {"Strikeout", fsStrikeOut},
}};

// An ordinal read back into an enumeration of count values; fallback outside it.
template <typename Enum>
Enum EnumFrom(int32_t ordinal, int count, Enum fallback) {
  return ordinal >= 0 && ordinal < count ? static_cast<Enum>(ordinal) : fallback;
}

}  // namespace

void TXmlNode::WriteFont(std::string_view name, const TFont& font) {
  TXmlNode* child = AddChild(std::string(name));
  child->WriteString("Name", font.Name, "Arial");
  child->WriteColor("Color", font.Color, clBlack);
  child->WriteInteger("Size", font.Size, 14);
  for (const auto& [styleName, style] : kFontStyles) child->WriteBool(styleName, font.Style.Contains(style), false);
}

void TXmlNode::ReadFont(std::string_view name, TFont& font) const {
  font.Style.Clear();
  const TXmlNode* child = FindNode(name);
  if (!child) {
    font.Name = "Arial";
    font.Color = clBlack;
    font.Size = 14;
    return;
  }
  font.Name = child->ReadString("Name", "Arial");
  font.Color = child->ReadColor("Color", clBlack);
  font.Size = child->ReadInteger("Size", 14);
  for (const auto& [styleName, style] : kFontStyles) {
    if (child->ReadBool(styleName, false)) font.Style.Include(style);
  }
}

void TXmlNode::WritePen(std::string_view name, const TPen& pen) {
  TXmlNode* child = AddChild(std::string(name));
  child->WriteColor("Color", pen.Color, clBlack);
  child->WriteInteger("Mode", pen.Mode, 0);
  child->WriteInteger("Style", pen.Style, 0);
  child->WriteInteger("Width", pen.Width, 0);
}

void TXmlNode::ReadPen(std::string_view name, TPen& pen) const {
  const TXmlNode* child = FindNode(name);
  if (!child) {
    pen.Color = clBlack;
    pen.Mode = pmCopy;
    pen.Style = psSolid;
    pen.Width = 1;
    return;
  }
  pen.Color = child->ReadColor("Color", clBlack);
  pen.Mode = EnumFrom(child->ReadInteger("Mode", pmCopy), PenModeCount, pmCopy);
  pen.Style = EnumFrom(child->ReadInteger("Style", psSolid), PenStyleCount, psSolid);
  pen.Width = child->ReadInteger("Width", 1);
}

void TXmlNode::WriteBrush(std::string_view name, const TBrush& brush) {
  TXmlNode* child = AddChild(std::string(name));
  child->WriteColor("Color", brush.Color, clBlack);
  child->WriteInteger("Style", brush.Style, 0);
}

void TXmlNode::ReadBrush(std::string_view name, TBrush& brush) const {
  const TXmlNode* child = FindNode(name);
  if (!child) {
    brush.Bitmap = nullptr;
    brush.Color = clWhite;
    brush.Style = bsSolid;
    return;
  }
  brush.Color = child->ReadColor("Color", clWhite);
  brush.Style = EnumFrom(child->ReadInteger("Style", bsSolid), BrushStyleCount, bsSolid);
}

// ---- attributes ----

int32_t TXmlNode::ReadAttributeInteger(std::string_view name, int32_t defaultValue) const {
  int index = IndexOfAttribute(name);
  int32_t value = 0;
  return index >= 0 && TryStrToInt(AttributeValue(index), value, SignedHex::Allowed) ? value : defaultValue;
}

void TXmlNode::WriteAttributeInteger(std::string_view name, int32_t value) {
  int index = IndexOfAttribute(name);
  if (index >= 0) {
    SetAttributeValue(index, IntToStr(value));
  } else {
    AddAttribute(name, IntToStr(value));
  }
}

// ---- byte buffers ----

void TXmlNode::WriteBinary(std::span<const uint8_t> buffer) {
  std::string text;
  switch (BinaryMode()) {
    case 0:
      text.reserve(buffer.size() * 2);
      for (uint8_t b : buffer) {
        text.push_back(HexDigits[b >> 4]);
        text.push_back(HexDigits[b & 0xF]);
      }
      break;
    case 2:
      text.reserve((buffer.size() + 2) / 3 * 4);
      for (size_t i = 0; i < buffer.size(); i += 3) {
        uint32_t v = uint32_t{buffer[i]} << 16;
        if (i + 1 < buffer.size()) v |= uint32_t{buffer[i + 1]} << 8;
        if (i + 2 < buffer.size()) v |= buffer[i + 2];
        for (int k = 0; k < 4; ++k, v >>= 6) text.push_back(SixBitChars[v & 63]);
      }
      break;
    default:
      // Mode 1 never got an encoding of its own; storing nothing would lose the
      // bytes without a word.
      throw EFilerError(Format("Binary mode %d is not supported", {int64_t{BinaryMode()}}));
  }
  Value = WrapString(text, LineBreak() + Indent(), 80);
}

void TXmlNode::ReadBinary(std::span<uint8_t> buffer) const {
  const size_t count = buffer.size();
  switch (BinaryMode()) {
    case 0: {
      std::string text = StripWhitespace(Value);
      if (text.size() / 2 < count) MissingBinaryData();
      for (size_t i = 0; i < count; ++i) {
        buffer[i] = static_cast<uint8_t>(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1]));
      }
      break;
    }
    case 2: {
      std::string text = StripWhitespace(Value);
      if (text.size() / 4 * 3 < count) MissingBinaryData();
      for (size_t i = 0, g = 0; i < count; g += 4) {
        uint32_t v = SixBitValue(text[g]) | SixBitValue(text[g + 1]) << 6 | SixBitValue(text[g + 2]) << 12 |
                     SixBitValue(text[g + 3]) << 18;
        for (int shift = 16; shift >= 0 && i < count; shift -= 8) buffer[i++] = static_cast<uint8_t>(v >> shift);
      }
      break;
    }
    default:
      break;  // no encoding: the buffer stays as it is
  }
}

std::string WrapString(std::string_view text, std::string_view lineBreak, int width) {
  if (lineBreak.empty() || width <= 0) return std::string(text);
  std::string out;
  out.reserve(text.size() + (text.size() / static_cast<size_t>(width) + 2) * lineBreak.size());
  for (size_t p = 1; p <= text.size(); ++p) {
    if (p % static_cast<size_t>(width) == 1) out += lineBreak;
    out.push_back(text[p - 1]);
  }
  out += lineBreak;
  return out;
}

}  // namespace tov
