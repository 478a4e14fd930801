// The class-library basics the rest of the tree is written against: the exception
// classes with their fixed texts, the string-to-integer conversion, Format-style
// fixed-width formatting and a few byte-string helpers. Strings are 8-bit byte
// strings (Windows-1252 where text is meant); nothing here converts character sets.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace tov {

// Root of the system's exceptions. ClassName() is what log lines print where the
// system reports an exception by its class ("Unknown Error: EConvertError").
class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const { return "Exception"; }

 private:
  std::string message_;
};

#define TOV_DECLARE_EXCEPTION(Name, Base)                                  \
  class Name : public Base {                                               \
   public:                                                                 \
    using Base::Base;                                                      \
    const char* ClassName() const override { return #Name; }               \
  }

// The silent abort: unwinds without a message box or a log line of its own.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
  const char* ClassName() const override { return "EAbort"; }
};

TOV_DECLARE_EXCEPTION(EConvertError, Exception);
TOV_DECLARE_EXCEPTION(EStreamError, Exception);
TOV_DECLARE_EXCEPTION(EFilerError, EStreamError);
TOV_DECLARE_EXCEPTION(EInvalidOp, Exception);
TOV_DECLARE_EXCEPTION(EInvalidOperation, Exception);
TOV_DECLARE_EXCEPTION(EAccessViolation, Exception);
TOV_DECLARE_EXCEPTION(EOutOfMemory, Exception);
TOV_DECLARE_EXCEPTION(EListError, Exception);

// Input/output error with the system's error code in the numbering the programs
// report (2 file not found, 3 invalid name, 4 too many files, 5 access denied,
// 32 held by another writer, 100 read beyond end of file).
class EInOutError : public Exception {
 public:
  explicit EInOutError(int code);
  int ErrorCode() const { return code_; }
  const char* ClassName() const override { return "EInOutError"; }

 private:
  int code_;
};

// The class library's text for an input/output error code.
std::string InOutErrorText(int code);

// Maps an errno value onto the error codes above; unknown values keep their
// identity as 1000 + errno so they never pose as one of the named codes.
int IoCodeFromErrno(int err);

// Raises the silent abort.
[[noreturn]] void Abort();

// Class name of an exception as log lines show it: ours by ClassName(), out of
// memory as "EOutOfMemory", anything else as "Exception".
std::string ExceptionClassName(const std::exception& e);
// The same for the exception being handled now; call inside a catch block.
std::string CurrentExceptionClassName();
// Message of the exception being handled now; empty when it carries none.
std::string CurrentExceptionMessage();

// The class library's standard description of an exception: "Exception <class>
// in module <program> at <address>.", a line feed, then the message with a
// period added where it has none. C++ exceptions carry no code address, so the
// address is 00000000.
std::string ExceptionDescription(std::string_view class_name, std::string_view message);

// Whether a sign may stand before a hexadecimal prefix ("-$10"). Numbers from
// servers are read without; the XML typed values are read with.
enum class SignedHex : bool { Refused, Allowed };

// String to 32-bit integer: leading blanks skipped, an optional sign, decimal
// digits, or (without a sign) hexadecimal digits after "$", "x", "X", "0x" or
// "0X"; the text ends at its end or at a zero byte. Anything else, an empty text
// and values outside 32 bits raise EConvertError. Hexadecimal takes up to
// 0xFFFFFFFF and gives its 32-bit pattern; where a sign is allowed before it,
// "-" negates that pattern ("-$10" is -16, "-$FFFFFFFF" is 1).
int32_t StrToInt(std::string_view text, SignedHex sign = SignedHex::Refused);
// The same conversion without raising; false where StrToInt would raise.
bool TryStrToInt(std::string_view text, int32_t& value, SignedHex sign = SignedHex::Refused);

std::string IntToStr(int64_t value);
// Upper-case hexadecimal of the 32-bit pattern, at least `digits` digits.
std::string IntToHex(uint32_t value, int digits = 0);

// One argument of Format: an integer or a byte string (zero bytes allowed).
using FormatArg = std::variant<int64_t, std::string_view>;

// Format with the directives the system uses: %s %S %d %x %X %p %%, each with an
// optional "-" (left align), width and ".precision". For strings the precision
// cuts, for integers it is a minimum digit count. Padding is with blanks. Hex
// digits are upper case whatever the letter. A directive that does not fit its
// argument, or a missing argument, raises EConvertError.
std::string Format(std::string_view format, std::span<const FormatArg> args);
inline std::string Format(std::string_view format, std::initializer_list<FormatArg> args) {
  return Format(format, std::span<const FormatArg>(args.begin(), args.size()));
}

// Case-insensitive comparisons on ASCII letters (the programs' identifiers and
// markup are ASCII; other bytes compare as they are).
bool SameText(std::string_view a, std::string_view b);
bool ContainsText(std::string_view haystack, std::string_view needle);
char AsciiUpper(char c);
char AsciiLower(char c);

// The first n bytes of text (all of it when shorter).
inline std::string LeftStr(std::string_view text, size_t n) {
  return std::string(text.substr(0, n));
}

}  // namespace tov
