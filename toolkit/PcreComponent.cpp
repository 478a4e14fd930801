#include "toolkit/PcreComponent.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "platform/ByteCodec.h"
#include "platform/SysUtils.h"
#include "toolkit/StrBufUtils.h"

namespace tov {
namespace {

// One classic option bit and the PCRE2 flag that does the same, in the order of
// the option enumeration.
struct OptionBit {
  uint32_t classic;
  uint32_t pcre2;
};

// Classic 0x0040 asks for an error on an unknown escape such as \y; PCRE2 does
// that by default, so it is the bit's absence that needs a flag (see Compile).
constexpr uint32_t kClassicExtra = 0x0040;

constexpr OptionBit kCompileBits[] = {
    {0x0010, PCRE2_ANCHORED},       {0x0001, PCRE2_CASELESS},    {0x0020, PCRE2_DOLLAR_ENDONLY},
    {0x0004, PCRE2_DOTALL},         {0x0008, PCRE2_EXTENDED},    {kClassicExtra, 0},
    {0x0002, PCRE2_MULTILINE},      {0x0200, PCRE2_UNGREEDY},    {0x0800, PCRE2_UTF},
    {0x1000, PCRE2_NO_AUTO_CAPTURE}, {0x2000, PCRE2_NO_UTF_CHECK},
};

constexpr OptionBit kMatchBits[] = {
    {0x0010, PCRE2_ANCHORED}, {0x0080, PCRE2_NOTBOL},       {0x0100, PCRE2_NOTEOL},
    {0x0400, PCRE2_NOTEMPTY}, {0x2000, PCRE2_NO_UTF_CHECK},
};

// The PCRE2 flags for classic bits; false when a bit has no meaning there, which
// the library reports as a bad option.
template <size_t N>
bool ToPcre2(const OptionBit (&table)[N], uint32_t classic, uint32_t& flags) {
  flags = 0;
  for (const OptionBit& b : table) {
    if (classic & b.classic) {
      flags |= b.pcre2;
      classic &= ~b.classic;
    }
  }
  return classic == 0;
}

template <typename E, size_t N>
uint32_t SetToBits(const OptionBit (&table)[N], TPcreOptionSet<E> set) {
  uint32_t bits = 0;
  for (size_t i = 0; i < N; ++i)
    if (set.Contains(static_cast<E>(i))) bits |= table[i].classic;
  return bits;
}

template <typename E, size_t N>
TPcreOptionSet<E> BitsToSet(const OptionBit (&table)[N], uint32_t bits) {
  TPcreOptionSet<E> set;
  for (size_t i = 0; i < N; ++i)
    if (bits & table[i].classic) set.Include(static_cast<E>(i));
  return set;
}

std::string ErrorMessage(int code) {
  PCRE2_UCHAR text[256];
  int n = pcre2_get_error_message(code, text, sizeof text);
  if (n < 0) return "PCRE2 error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
}

struct CompileContextFree {
  void operator()(pcre2_compile_context* c) const { pcre2_compile_context_free(c); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* c) const { pcre2_match_context_free(c); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* d) const { pcre2_match_data_free(d); }
};

template <typename T>
T* Allocated(T* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// Tokens of a compiled replacement; numbers are 32-bit little-endian.
constexpr uint8_t kTokenLiteral = 0;  // length, then the bytes
constexpr uint8_t kTokenGroup = 1;    // group number, 0 for the whole match
constexpr uint8_t kTokenEnd = 2;

void PutU32(std::vector<uint8_t>& buf, uint32_t v) {
  for (int i = 0; i < 4; ++i) buf.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PatchU32(std::vector<uint8_t>& buf, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) buf.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Writes the literal and group tokens while the template is scanned.
class ReplacementWriter {
 public:
  explicit ReplacementWriter(std::vector<uint8_t>& buf) : buf_(buf) {}
  void Literal(char c) {
    if (!open_) {
      buf_.push_back(kTokenLiteral);
      lengthAt_ = buf_.size();
      PutU32(buf_, 0);
      open_ = true;
    }
    buf_.push_back(static_cast<uint8_t>(c));
  }
  void Group(uint32_t group) {
    Close();
    buf_.push_back(kTokenGroup);
    PutU32(buf_, group);
  }
  void End() {
    Close();
    buf_.push_back(kTokenEnd);
  }

 private:
  void Close() {
    if (!open_) return;
    PatchU32(buf_, lengthAt_, static_cast<uint32_t>(buf_.size() - lengthAt_ - 4));
    open_ = false;
  }
  std::vector<uint8_t>& buf_;
  bool open_ = false;
  size_t lengthAt_ = 0;
};

bool Overlaps(const std::string& s, std::string_view v) {
  auto a = reinterpret_cast<uintptr_t>(s.data());
  auto b = reinterpret_cast<uintptr_t>(v.data());
  return b < a + s.capacity() + 1 && a < b + v.size() + 1;
}

}  // namespace

// PCRE's extra block: whether the pattern carries JIT code of its study, and the
// match context that carries the match limit and the callout link.
struct TCustomPcre::Extra {
  bool studied = false;
  std::unique_ptr<pcre2_match_context, MatchContextFree> context;
};

void TCustomPcre::CodeFree::operator()(pcre2_real_code_8* code) const { pcre2_code_free(code); }
void TCustomPcre::TablesFree::operator()(const uint8_t* tables) const { pcre2_maketables_free(nullptr, tables); }

TCustomPcre::TCustomPcre()
    : options_{poAutoStudy, poCaptureSubstrings},
      compileOptionBits_(kPcreCaseless | kPcreDotAll),
      matchOptionBits_(0),
      matchLimit_(kPcreDefaultMatchLimit) {}

TCustomPcre::~TCustomPcre() {
  compiledReplacement_.reset();
  code_.reset();
  extra_.reset();
  offsets_.clear();
  tables_.reset();
}

TPcreCompileOptions TCustomPcre::CompileOptions() const {
  return BitsToSet<TPcreCompileOption>(kCompileBits, compileOptionBits_);
}

void TCustomPcre::SetCompileOptions(TPcreCompileOptions options) {
  compileOptionBits_ = SetToBits(kCompileBits, options);
}

TPcreMatchOptions TCustomPcre::MatchOptions() const {
  return BitsToSet<TPcreMatchOption>(kMatchBits, matchOptionBits_);
}

void TCustomPcre::SetMatchOptions(TPcreMatchOptions options) { matchOptionBits_ = SetToBits(kMatchBits, options); }

void TCustomPcre::SetMatchPattern(std::string_view pattern) {
  matchPattern_ = pattern;
  Compile();
}

std::string TCustomPcre::Version() const {
  PCRE2_UCHAR text[64];
  int n = pcre2_config(PCRE2_CONFIG_VERSION, text);
  if (n <= 0 || static_cast<size_t>(n) > sizeof text) return std::string();
  return std::string(reinterpret_cast<const char*>(text));
}

void TCustomPcre::SetReplacement(std::string_view text) {
  if (text == replacement_) return;
  replacement_ = text;
  compiledReplacement_.reset();
}

void TCustomPcre::SetSubject(std::string_view text) { subject_ = text; }

bool TCustomPcre::Compile() {
  extra_.reset();
  compiledReplacement_.reset();
  code_.reset();
  errorText_.clear();
  errorOffset_ = 0;

  uint32_t flags = 0;
  if (!ToPcre2(kCompileBits, compileOptionBits_, flags)) {
    errorText_ = ErrorMessage(PCRE2_ERROR_BADOPTION);
    return false;
  }
  std::unique_ptr<pcre2_compile_context, CompileContextFree> context(
      Allocated(pcre2_compile_context_create(nullptr)));
  if (!(compileOptionBits_ & kClassicExtra))
    pcre2_set_compile_extra_options(context.get(), PCRE2_EXTRA_BAD_ESCAPE_IS_LITERAL);
  if (tables_) pcre2_set_character_tables(context.get(), tables_.get());

  int error = 0;
  PCRE2_SIZE offset = 0;
  code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(matchPattern_.c_str()), PCRE2_ZERO_TERMINATED, flags, &error,
                            &offset, context.get()));
  if (!code_) {
    errorText_ = ErrorMessage(error);
    errorOffset_ = offset;
    return false;
  }

  if (options_.Contains(poAutoStudy) && !Study()) return false;

  const bool limited = matchLimit_ != kPcreDefaultMatchLimit;
  if (limited || onCallOut_) {
    if (!extra_) extra_ = std::make_unique<Extra>();
    extra_->context.reset(Allocated(pcre2_match_context_create(nullptr)));
    if (limited) pcre2_set_match_limit(extra_->context.get(), matchLimit_);
    if (onCallOut_) pcre2_set_callout(extra_->context.get(), PcreCallOut, this);
  }
  SizeOffsets();
  return true;
}

bool TCustomPcre::Study() {
  if (!code_) return false;
  extra_.reset();
  errorText_.clear();
  int rc = pcre2_jit_compile(code_.get(), PCRE2_JIT_COMPLETE);
  if (rc == 0) {
    extra_ = std::make_unique<Extra>();
    extra_->studied = true;
    return true;
  }
  // A library built without JIT has nothing to study: the interpreter serves.
  if (rc == PCRE2_ERROR_JIT_BADOPTION) return true;
  errorText_ = ErrorMessage(rc);
  return false;
}

void TCustomPcre::SetOptions(TPcreOptions options) {
  if (options == options_) return;
  const TPcreOptions old = options_;
  options_ = options;
  if (code_) {
    if (options.Contains(poAutoStudy) && !old.Contains(poAutoStudy))
      Study();
    else if (options.Contains(poCaptureSubstrings) != old.Contains(poCaptureSubstrings))
      SizeOffsets();
  }
  if (options.Contains(poUserLocale) && !old.Contains(poUserLocale))
    tables_.reset(Allocated(pcre2_maketables(nullptr)));
  else if (!options.Contains(poUserLocale) && old.Contains(poUserLocale))
    tables_.reset();
}

uint32_t TCustomPcre::CaptureCount() const {
  uint32_t count = 0;
  pcre2_pattern_info(code_.get(), PCRE2_INFO_CAPTURECOUNT, &count);
  return count;
}

void TCustomPcre::CheckCompiled() const {
  if (!code_) throw Exception("Regular Expression pattern not compiled");
  uint32_t count = 0;
  if (pcre2_pattern_info(code_.get(), PCRE2_INFO_CAPTURECOUNT, &count) == PCRE2_ERROR_BADMAGIC)
    throw Exception("Magic number not found");
}

void TCustomPcre::SizeOffsets() {
  if (options_.Contains(poCaptureSubstrings)) {
    const size_t size = (static_cast<size_t>(CaptureCount()) + 1) * 6;
    if (offsets_.size() != size) offsets_.assign(size, 0);
  } else {
    offsets_ = std::vector<int32_t>();
  }
}

int TCustomPcre::NamedSubstringNumber(std::string_view name) const {
  CheckCompiled();
  uint32_t count = 0;
  uint32_t entrySize = 0;
  PCRE2_SPTR table = nullptr;
  pcre2_pattern_info(code_.get(), PCRE2_INFO_NAMECOUNT, &count);
  pcre2_pattern_info(code_.get(), PCRE2_INFO_NAMEENTRYSIZE, &entrySize);
  pcre2_pattern_info(code_.get(), PCRE2_INFO_NAMETABLE, &table);
  if (count == 0 || entrySize < 3 || table == nullptr) return kPcreErrorNoSubstring;

  // Each entry: the group number, high byte first, then the name, zero-padded.
  uint32_t lo = 0;
  uint32_t hi = count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const uint8_t* entry = table + static_cast<size_t>(mid) * entrySize;
    const char* entryName = reinterpret_cast<const char*>(entry + 2);
    const std::string_view candidate(entryName, strnlen(entryName, entrySize - 2));
    const int order = name.compare(candidate);
    if (order > 0)
      lo = mid + 1;
    else if (order < 0)
      hi = mid;
    else
      return (entry[0] << 8) | entry[1];
  }
  return kPcreErrorNoSubstring;
}

void TCustomPcre::CompileReplacement() {
  CheckCompiled();
  const uint32_t captures = CaptureCount();
  const std::string_view r = replacement_;
  std::vector<uint8_t> buf;
  buf.reserve(r.size() + 10 * CountChar(r, '$', 1) + 6);
  ReplacementWriter out(buf);

  size_t i = 0;
  while (i < r.size()) {
    if (r[i] == '$') {
      if (i + 1 < r.size() && IsDigit(r[i + 1])) {
        // The number saturates beyond any group, so a long run of digits can
        // never wrap around into a valid group number.
        size_t j = i + 1;
        uint64_t group = 0;
        for (; j < r.size() && IsDigit(r[j]); ++j)
          group = std::min<uint64_t>(group * 10 + static_cast<uint64_t>(r[j] - '0'), UINT32_MAX + uint64_t{1});
        if (group <= captures) {
          out.Group(static_cast<uint32_t>(group));
          i = j;
          continue;
        }
      } else if (i + 1 < r.size() && r[i + 1] == '<') {
        const size_t close = r.find('>', i + 2);
        if (close != std::string_view::npos) {
          const int group = NamedSubstringNumber(r.substr(i + 2, close - i - 2));
          if (group > 0) {
            out.Group(static_cast<uint32_t>(group));
            i = close + 1;
            continue;
          }
        }
      }
      out.Literal('$');
      ++i;
      continue;
    }
    // A literal run up to the next unescaped '$'; a backslash takes the next
    // byte as it is, and stays itself as the very last byte.
    while (i < r.size() && r[i] != '$') {
      if (r[i] == '\\' && i + 1 < r.size()) ++i;
      out.Literal(r[i]);
      ++i;
    }
  }
  out.End();
  compiledReplacement_ = std::move(buf);
}

void TCustomPcre::ExpandReplacement(std::string& result, size_t& length, const size_t* offsets) const {
  const std::vector<uint8_t>& buf = *compiledReplacement_;
  const uint32_t captures = CaptureCount();
  ByteReader tokens(std::span<const uint8_t>(buf.data(), buf.size()));
  for (;;) {
    const uint8_t tag = tokens.GetU8();
    if (tag == kTokenEnd) return;
    const uint32_t value = tokens.GetU32();
    if (tag == kTokenLiteral) {
      const size_t at = tokens.Position();
      tokens.Skip(value);
      StrBufAppend(reinterpret_cast<const char*>(buf.data() + at), value, result, length);
    } else if (tag == kTokenGroup) {
      if (value > captures) throw Exception(Format("SubString index out of bounds (%d)", {int64_t{value}}));
      const size_t start = offsets[2 * value];
      const size_t end = offsets[2 * value + 1];
      if (start != PCRE2_UNSET && end != PCRE2_UNSET && start < end && end <= subject_.size())
        StrBufAppend(subject_.data() + start, end - start, result, length);
    } else {
      throw EStreamError("Compiled replacement damaged");
    }
  }
}

void TCustomPcre::ReplaceAll(size_t startOffset, int count, std::string& result) {
  if (!code_) {
    result.assign(subject_);
    return;
  }
  if (!compiledReplacement_) CompileReplacement();
  if (!compiledReplacement_) {
    result.assign(subject_);
    return;
  }

  // Built aside when the caller's string holds the subject itself.
  std::string aside;
  std::string& out = Overlaps(result, subject_) ? aside : result;
  size_t length = 0;
  size_t position = std::min(startOffset, subject_.size());
  // The string's present bytes serve as room, and room for the rest of the
  // subject is reserved, so the usual result, no longer than the subject, is
  // written without reallocating.
  const size_t rest = subject_.size() - position;
  out.reserve((rest + rest / 2 + 3) & ~static_cast<size_t>(3));
  uint32_t flags = 0;
  const bool validOptions = ToPcre2(kMatchBits, matchOptionBits_ | kPcreNotEmpty, flags);

  if (count != 0 && validOptions) {
    if (!extra_ || !extra_->studied) flags |= PCRE2_NO_JIT;
    pcre2_match_context* context = extra_ ? extra_->context.get() : nullptr;
    std::unique_ptr<pcre2_match_data, MatchDataFree> match(
        Allocated(pcre2_match_data_create_from_pattern(code_.get(), nullptr)));
    const size_t* offsets = pcre2_get_ovector_pointer(match.get());
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(subject_.data());
    for (;;) {
      const int rc = pcre2_match(code_.get(), subject, subject_.size(), position, flags, match.get(), context);
      if (calloutFailure_) std::rethrow_exception(std::exchange(calloutFailure_, nullptr));
      // No further match, or an error (the match limit among them): the rest
      // stays as it is. A match that does not move on would never end.
      if (rc <= 0 || offsets[0] < position || offsets[1] < offsets[0] || offsets[1] <= position) break;
      StrBufAppend(subject_.data() + position, offsets[0] - position, out, length);
      ExpandReplacement(out, length, offsets);
      position = offsets[1];
      flags |= PCRE2_NO_UTF_CHECK;
      if (count > 0 && --count == 0) break;
    }
  }
  StrBufAppend(subject_.data() + position, subject_.size() - position, out, length);
  out.resize(length);
  if (&out == &aside) result = std::move(aside);
}

int PcreCallOut(pcre2_callout_block_8* block, void* data) {
  int result = 0;
  auto* self = static_cast<TCustomPcre*>(data);
  if (self == nullptr || !self->onCallOut_) return result;
  // An exception must not unwind through the library's frames: it is carried
  // past the search and thrown again there.
  try {
    self->onCallOut_(block, result);
  } catch (...) {
    self->calloutFailure_ = std::current_exception();
    return PCRE2_ERROR_CALLOUT;
  }
  return result;
}

}  // namespace tov
