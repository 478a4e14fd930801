// A regular-expression component over PCRE2. It holds one pattern, compiles it
// under option bits in PCRE's classic numbering, studies it (JIT compilation),
// points at a caller's subject text and replaces the matches there by a template
// that may name captured groups by number ($1) or by name ($<name>).
//
// An instance is used by one thread at a time; instances share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// PCRE2's 8-bit types, so that this header does not need pcre2.h. Code that
// reads a callout block includes <pcre2.h> with PCRE2_CODE_UNIT_WIDTH 8.
struct pcre2_real_code_8;
struct pcre2_callout_block_8;

namespace tov {

enum TPcreCompileOption {
  coAnchored,
  coCaseless,
  coDollarEndOnly,
  coDotAll,
  coExtended,
  coExtra,
  coMultiline,
  coUnGreedy,
  coUtf8,
  coNoAutoCapture,
  coNoUtf8Check,
};

enum TPcreMatchOption { moAnchored, moNotBol, moNotEol, moNotEmpty, moNoUtf8Check };

enum TPcreOption { poAutoStudy, poCaptureSubstrings, poUserLocale };

// A set of one of the option enumerations above.
template <typename E>
class TPcreOptionSet {
 public:
  constexpr TPcreOptionSet() = default;
  constexpr TPcreOptionSet(std::initializer_list<E> items) {
    for (E e : items) Include(e);
  }
  constexpr bool Contains(E e) const { return (bits_ >> static_cast<unsigned>(e)) & 1u; }
  constexpr void Include(E e) { bits_ |= 1u << static_cast<unsigned>(e); }
  constexpr void Exclude(E e) { bits_ &= ~(1u << static_cast<unsigned>(e)); }
  friend constexpr bool operator==(TPcreOptionSet, TPcreOptionSet) = default;

 private:
  uint32_t bits_ = 0;
};

using TPcreCompileOptions = TPcreOptionSet<TPcreCompileOption>;
using TPcreMatchOptions = TPcreOptionSet<TPcreMatchOption>;
using TPcreOptions = TPcreOptionSet<TPcreOption>;

// Called for each callout point of a search; result starts at 0. Leave it 0 to
// go on, make it positive to fail at this point, negative to abort the search
// with that code (which ends a ReplaceAll there). An exception thrown here
// aborts the search and leaves ReplaceAll to the caller.
using TPcreCallOutEvent = std::function<void(const pcre2_callout_block_8* block, int& result)>;

// Option bits in PCRE's classic values: two compile options and one match option.
constexpr uint32_t kPcreCaseless = 0x0001;
constexpr uint32_t kPcreDotAll = 0x0004;
constexpr uint32_t kPcreNotEmpty = 0x0400;

// The match limit that passes no limit of its own: the library's built-in one.
constexpr uint32_t kPcreDefaultMatchLimit = 10000000;

// PCRE's "no such substring" code, returned for an unknown group name.
constexpr int kPcreErrorNoSubstring = -7;

class TCustomPcre {
 public:
  TCustomPcre();
  virtual ~TCustomPcre();
  TCustomPcre(const TCustomPcre&) = delete;
  TCustomPcre& operator=(const TCustomPcre&) = delete;

  // Compiles MatchPattern (up to its first zero byte) under CompileOptionBits,
  // then studies it when poAutoStudy is set and links the match limit and the
  // callout. False when the pattern does not compile (no pattern is held then)
  // or the study fails (the pattern is kept); ErrorText tells why.
  bool Compile();
  // JIT-compiles the held pattern afresh. A match limit or callout link made by
  // Compile is gone until the next Compile. False without a pattern or when the
  // JIT compilation fails; a library without JIT support is no failure.
  bool Study();

  // The number of the group of that name (names compare byte for byte), or
  // kPcreErrorNoSubstring. Raises "Regular Expression pattern not compiled".
  int NamedSubstringNumber(std::string_view name) const;

  // Points at the caller's text, which must outlive the replacing.
  void SetSubject(std::string_view text);
  // Takes a new replacement template; it is compiled at the next ReplaceAll.
  void SetReplacement(std::string_view text);

  // result := the subject from startOffset on with the first count matches
  // (all of them for a negative count) replaced. Empty matches are never
  // found. A search that ends in an error (the match limit among them) stops
  // the replacing there and the rest of the subject is kept as it is. Without a
  // compiled pattern the whole subject comes back. result may be the subject's
  // own string.
  void ReplaceAll(size_t startOffset, int count, std::string& result);

  // Why the last Compile or Study failed, and where in the pattern.
  const std::string& ErrorText() const { return errorText_; }
  size_t ErrorOffset() const { return errorOffset_; }

 protected:
  TPcreCompileOptions CompileOptions() const;
  // Acts from the next Compile, like a write of CompileOptionBits.
  void SetCompileOptions(TPcreCompileOptions options);
  uint32_t CompileOptionBits() const { return compileOptionBits_; }
  void SetCompileOptionBits(uint32_t bits) { compileOptionBits_ = bits; }
  TPcreMatchOptions MatchOptions() const;
  void SetMatchOptions(TPcreMatchOptions options);
  uint32_t MatchOptionBits() const { return matchOptionBits_; }
  void SetMatchOptionBits(uint32_t bits) { matchOptionBits_ = bits; }
  // Acts from the next Compile.
  uint32_t MatchLimit() const { return matchLimit_; }
  void SetMatchLimit(uint32_t limit) { matchLimit_ = limit; }
  TPcreOptions Options() const { return options_; }
  void SetOptions(TPcreOptions options);
  // Acts from the next Compile.
  const TPcreCallOutEvent& OnCallOut() const { return onCallOut_; }
  void SetOnCallOut(TPcreCallOutEvent handler) { onCallOut_ = std::move(handler); }
  const std::string& MatchPattern() const { return matchPattern_; }
  // Stores the text and compiles it; the outcome is left in ErrorText.
  void SetMatchPattern(std::string_view pattern);
  // The PCRE2 library's version text.
  std::string Version() const;

 private:
  struct CodeFree {
    void operator()(pcre2_real_code_8* code) const;
  };
  struct TablesFree {
    void operator()(const uint8_t* tables) const;
  };
  struct Extra;
  friend int PcreCallOut(pcre2_callout_block_8* block, void* data);

  uint32_t CaptureCount() const;
  void CheckCompiled() const;
  void SizeOffsets();
  void CompileReplacement();
  void ExpandReplacement(std::string& result, size_t& length, const size_t* offsets) const;

  std::unique_ptr<pcre2_real_code_8, CodeFree> code_;
  std::unique_ptr<Extra> extra_;  // the study block
  std::vector<int32_t> offsets_;
  std::unique_ptr<const uint8_t, TablesFree> tables_;
  std::string matchPattern_;
  std::string_view subject_;
  std::string errorText_;
  size_t errorOffset_ = 0;
  TPcreOptions options_;
  uint32_t compileOptionBits_;
  uint32_t matchOptionBits_;
  std::string replacement_;
  std::optional<std::vector<uint8_t>> compiledReplacement_;
  uint32_t matchLimit_;
  TPcreCallOutEvent onCallOut_;
  std::exception_ptr calloutFailure_;
};

// The component with its properties public.
class TPcre : public TCustomPcre {
 public:
  using TCustomPcre::CompileOptionBits;
  using TCustomPcre::CompileOptions;
  using TCustomPcre::MatchLimit;
  using TCustomPcre::MatchOptionBits;
  using TCustomPcre::MatchOptions;
  using TCustomPcre::MatchPattern;
  using TCustomPcre::OnCallOut;
  using TCustomPcre::Options;
  using TCustomPcre::SetCompileOptionBits;
  using TCustomPcre::SetCompileOptions;
  using TCustomPcre::SetMatchLimit;
  using TCustomPcre::SetMatchOptionBits;
  using TCustomPcre::SetMatchOptions;
  using TCustomPcre::SetMatchPattern;
  using TCustomPcre::SetOnCallOut;
  using TCustomPcre::SetOptions;
  using TCustomPcre::Version;
};

// The callout hook of every search whose pattern was compiled with OnCallOut
// assigned; data is the component. Hands the block to its OnCallOut.
int PcreCallOut(pcre2_callout_block_8* block, void* data);

}  // namespace tov
