#include "platform/SysUtils.h"

#include <cerrno>
#include <new>

namespace tov {

std::string InOutErrorText(int code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    default: return "I/O error " + std::to_string(code);
  }
}

EInOutError::EInOutError(int code) : Exception(InOutErrorText(code)), code_(code) {}

int IoCodeFromErrno(int err) {
  switch (err) {
    case ENOENT: return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case EISDIR:
    case ELOOP: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    case EWOULDBLOCK:
    case ETXTBSY:
    case EBUSY: return 32;    // held open by another writer
    case ENOSPC:
    case EDQUOT: return 112;  // disk full
    case EIO: return 1117;    // device I/O error
    default: return 1000 + err;
  }
}

void Abort() { throw EAbort(); }

std::string ExceptionClassName(const std::exception& e) {
  if (auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  return "Exception";
}

std::string CurrentExceptionClassName() {
  try {
    throw;
  } catch (const std::exception& e) {
    return ExceptionClassName(e);
  } catch (...) {
    return "Exception";
  }
}

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return {};
  }
}

std::string ExceptionDescription(std::string_view class_name, std::string_view message) {
  const std::string_view period = !message.empty() && message.back() == '.' ? "" : ".";
  return Format("Exception %s in module %s at %p.\n%s%s",
                {class_name, std::string_view(program_invocation_short_name), int64_t{0}, message, period});
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(std::string_view text, int32_t& value, SignedHex signedHex) {
  // The text ends at its first zero byte.
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  bool sign = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    sign = true;
    ++i;
  }
  bool hex = false;
  if ((!sign || signedHex == SignedHex::Allowed) && i < text.size()) {
    if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
      hex = true;
      ++i;
    } else if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      hex = true;
      i += 2;
    }
  }
  if (i >= text.size()) return false;
  uint64_t acc = 0;
  for (; i < text.size(); ++i) {
    int d = hex ? HexValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return false;
    acc = acc * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (acc > 0xFFFFFFFFull) return false;
  }
  if (hex) {
    const auto pattern = static_cast<uint32_t>(acc);
    value = static_cast<int32_t>(negative ? 0u - pattern : pattern);
    return true;
  }
  if (negative) {
    if (acc > 2147483648ull) return false;
    value = static_cast<int32_t>(-static_cast<int64_t>(acc));
  } else {
    if (acc > 2147483647ull) return false;
    value = static_cast<int32_t>(acc);
  }
  return true;
}

int32_t StrToInt(std::string_view text, SignedHex sign) {
  int32_t v = 0;
  if (!TryStrToInt(text, v, sign)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return v;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(uint32_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  while (static_cast<int>(out.size()) < digits) out.insert(out.begin(), '0');
  return out;
}

namespace {

[[noreturn]] void BadFormat(std::string_view format) {
  throw EConvertError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

void Pad(std::string& out, std::string_view body, int width, bool left) {
  size_t w = width > 0 ? static_cast<size_t>(width) : 0;
  size_t fill = body.size() < w ? w - body.size() : 0;
  if (!left) out.append(fill, ' ');
  out.append(body);
  if (left) out.append(fill, ' ');
}

}  // namespace

std::string Format(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (++i >= format.size()) BadFormat(format);
    if (format[i] == '%') {
      out.push_back('%');
      continue;
    }
    bool left = false;
    if (format[i] == '-') {
      left = true;
      if (++i >= format.size()) BadFormat(format);
    }
    int width = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
      width = width * 10 + (format[i] - '0');
      if (width > 100000) BadFormat(format);
      ++i;
    }
    int precision = -1;
    if (i < format.size() && format[i] == '.') {
      precision = 0;
      ++i;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        precision = precision * 10 + (format[i] - '0');
        if (precision > 100000) BadFormat(format);
        ++i;
      }
    }
    if (i >= format.size() || arg == args.end()) BadFormat(format);
    char type = format[i];
    const FormatArg& a = *arg++;
    switch (type) {
      case 's':
      case 'S': {
        auto* s = std::get_if<std::string_view>(&a);
        if (!s) BadFormat(format);
        std::string_view body = *s;
        if (precision >= 0 && body.size() > static_cast<size_t>(precision)) body = body.substr(0, precision);
        Pad(out, body, width, left);
        break;
      }
      case 'd':
      case 'x':
      case 'X':
      case 'p': {
        auto* n = std::get_if<int64_t>(&a);
        if (!n) BadFormat(format);
        std::string digits;
        bool negative = false;
        if (type == 'd') {
          negative = *n < 0;
          uint64_t mag = negative ? 0 - static_cast<uint64_t>(*n) : static_cast<uint64_t>(*n);
          digits = std::to_string(mag);
        } else {
          uint64_t v = static_cast<uint64_t>(*n);
          if (*n < 0 && *n >= INT32_MIN) v &= 0xFFFFFFFFull;
          static const char kDigits[] = "0123456789ABCDEF";
          do {
            digits.insert(digits.begin(), kDigits[v & 0xF]);
            v >>= 4;
          } while (v != 0);
          if (type == 'p' && precision < 0) precision = 8;
        }
        if (precision >= 0 && digits.size() < static_cast<size_t>(precision)) {
          digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
        }
        if (negative) digits.insert(digits.begin(), '-');
        Pad(out, digits, width, left);
        break;
      }
      default:
        BadFormat(format);
    }
  }
  return out;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool ContainsText(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (SameText(haystack.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

}  // namespace tov
