#include "toolkit/PcreComponent.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/SysUtils.h"

namespace tov {
namespace {

using namespace std::string_literals;

// Compiles pattern (options set first, as callers must) and replaces in subject.
std::string Replace(const std::string& pattern, const std::string& replacement, const std::string& subject,
                    size_t startOffset = 0, int count = -1, uint32_t compileBits = kPcreCaseless | kPcreDotAll) {
  TPcre re;
  re.SetCompileOptionBits(compileBits);
  re.SetMatchPattern(pattern);
  EXPECT_TRUE(re.Compile()) << re.ErrorText();
  re.SetReplacement(replacement);
  re.SetSubject(subject);
  std::string result = "stale";
  re.ReplaceAll(startOffset, count, result);
  return result;
}

// All matches of the held pattern replaced, from the subject's first byte.
std::string All(TCustomPcre& re) {
  std::string result;
  re.ReplaceAll(0, -1, result);
  return result;
}

struct TemplateCase {
  const char* pattern;
  std::string replacement;
  std::string expected;  // for the subject "abcb"
};

TEST(PcreReplacement, TemplateRules) {
  const TemplateCase cases[] = {
      {"b", "", "ac"},                          // an empty replacement deletes every match
      {"(b)", "[$1]", "a[b]c[b]"},              // a group by number
      {"(b)", "[$12]", "a[$12]c[$12]"},         // beyond the capture count: literal
      {"(b)", "[$0]", "a[b]c[b]"},              // the whole match
      {"(b)c", "<$0|$1>", "a<bc|b>b"},
      {"(b)", "\\$1", "a$1c$1"},                // an escaped dollar
      {"b", "x$", "ax$cx$"},                    // a lone '$' at the end
      {"b", "$x", "a$xc$x"},                    // '$' before anything else
      {"(b)", "$$1", "a$bc$b"},                 // no doubled-dollar escape
      {"(?<y>b)", "[$<y>]", "a[b]c[b]"},        // a group by name
      {"(?<y>b)", "$<x>", "a$<x>c$<x>"},        // no group of that name
      {"(?<y>b)", "$<Y>", "a$<Y>c$<Y>"},        // names keep their case
      {"(?<y>b)", "$<y", "a$<yc$<y"},           // no closing '>'
      {"(?<y>b)", "$<>", "a$<>c$<>"},           // an empty name
      {"(b)", "\\\\", "a\\c\\"},                // two backslashes give one
      {"(b)", "x\\", "ax\\cx\\"},               // a trailing backslash stays
      {"(b)", "\\n\\", "an\\cn\\"},            // any byte after a backslash is literal
      {"(x)?b", "[$1]", "a[]c[]"},              // a group outside the match appends nothing
      {"(b)", "$4294967297", "a$4294967297c$4294967297"},  // no wrap-around into group 1
      {"(b)", "$01", "abcb"},                   // leading zeros still name group 1
      {"(b)", "$1$1$1", "abbbcbbb"},
      {"(b)", "$", "a$c$"},
      {"b", std::string("\0x\0", 3), std::string("a\0x\0c\0x\0", 8)},  // zero bytes are literal
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pattern " + std::string(c.pattern) + " replacement [" + c.replacement + "]");
    EXPECT_EQ(Replace(c.pattern, c.replacement, "abcb"), c.expected);
  }
}

struct ReplaceCase {
  std::string pattern;
  std::string subject;
  size_t startOffset;
  int count;
  std::string expected;
};

TEST(PcreReplaceAll, OffsetsCountsAndEmptyMatches) {
  const ReplaceCase cases[] = {
      {"b", "abcabc", 0, -1, "aXcaXc"},
      {"b", "abcabc", 0, -7, "aXcaXc"},     // any negative count replaces all
      {"b", "abcabc", 0, 0, "abcabc"},
      {"b", "abcabc", 2, 0, "cabc"},        // count 0: the subject from startOffset on
      {"b", "abcabc", 0, 1, "aXcabc"},
      {"b", "abcabc", 0, 2, "aXcaXc"},
      {"b", "abcabc", 2, -1, "caXc"},       // text before startOffset is not returned
      {"b", "abcabc", 6, -1, ""},
      {"b", "abcabc", 99, -1, ""},          // past the end: nothing from there on
      {"x*", "abc", 0, -1, "abc"},          // a pattern that only matches empty
      {"x*", "axxc", 0, -1, "aXc"},
      {"^", "abc", 0, -1, "abc"},
      {"b", "", 0, -1, ""},
      {"a", "aaa", 0, -1, "XXX"},           // adjacent matches
      {"b", "aBc", 0, -1, "aXc"},           // the default options are caseless...
      {"a.c", "a\nc", 0, -1, "X"},          // ...and dot-all
      {"b", "a\0b\0"s, 0, -1, "a\0X\0"s},   // zero bytes in the subject
      {"b\0c"s, "abc", 0, -1, "aXc"},       // the pattern ends at a zero byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pattern " + c.pattern + " subject " + c.subject + " start " + std::to_string(c.startOffset) +
                 " count " + std::to_string(c.count));
    EXPECT_EQ(Replace(c.pattern, "X", c.subject, c.startOffset, c.count), c.expected);
  }
}

TEST(PcreReplaceAll, ResultMayBeTheSubjectsOwnString) {
  TPcre re;
  re.SetMatchPattern("b");
  re.SetReplacement("XYZXYZ");
  std::string text = "abcb";
  re.SetSubject(text);
  re.ReplaceAll(0, -1, text);
  EXPECT_EQ(text, "aXYZXYZcXYZXYZ");
}

TEST(PcreReplaceAll, WithoutACompiledPatternTheWholeSubjectComesBack) {
  TPcre re;  // nothing compiled yet
  re.SetReplacement("X");
  re.SetSubject("abcb");
  std::string result;
  re.ReplaceAll(2, -1, result);
  EXPECT_EQ(result, "abcb");

  re.SetMatchPattern("(b");  // does not compile
  EXPECT_FALSE(re.Compile());
  EXPECT_FALSE(re.ErrorText().empty());
  EXPECT_EQ(re.ErrorOffset(), 2u);
  re.ReplaceAll(2, -1, result);
  EXPECT_EQ(result, "abcb");
}

TEST(PcreReplaceAll, ANewReplacementTakesEffectAndANewPatternRecompilesIt) {
  TPcre re;
  re.SetMatchPattern("(b)");
  re.SetReplacement("[$1]");
  re.SetSubject("abc");
  EXPECT_EQ(All(re), "a[b]c");
  re.SetReplacement("<$1>");
  EXPECT_EQ(All(re), "a<b>c");
  // The same template against a pattern without the group: now a literal.
  re.SetMatchPattern("b");
  EXPECT_EQ(All(re), "a<$1>c");
}

TEST(PcreReplaceAll, TheMatchLimitStopsReplacingAndKeepsTheRest) {
  // The second search needs thousands of steps: within the built-in limit,
  // beyond a limit of 1000.
  const std::string subject = "ac" + std::string(12, 'a') + "!ac";
  EXPECT_EQ(Replace("(?:a+)+c", "X", subject), "X" + std::string(12, 'a') + "!X");

  TPcre re;
  re.SetMatchLimit(1000);
  re.SetMatchPattern("(?:a+)+c");
  re.SetReplacement("X");
  re.SetSubject(subject);
  EXPECT_EQ(All(re), "X" + std::string(12, 'a') + "!ac");

  // Study makes a fresh study block: the limit is gone until the next Compile.
  EXPECT_TRUE(re.Study());
  EXPECT_EQ(All(re), "X" + std::string(12, 'a') + "!X");
  EXPECT_TRUE(re.Compile());
  EXPECT_EQ(All(re), "X" + std::string(12, 'a') + "!ac");
}

TEST(PcreReplaceAll, ACatastrophicSearchEndsAtTheBuiltInLimit) {
  const std::string subject = "ac" + std::string(40, 'a') + "!ac";
  EXPECT_EQ(Replace("(?:a+)+c", "X", subject), "X" + std::string(40, 'a') + "!ac");
}

TEST(PcreReplaceAll, InvalidUtf8EndsTheFirstSearch) {
  const uint32_t utf8 = kPcreCaseless | 0x0800;
  EXPECT_EQ(Replace("b", "X", "ab\xff" "b", 0, -1, utf8), "ab\xff" "b");
  EXPECT_EQ(Replace("\xc3\xa9", "X", "a\xc3\xa9z", 0, -1, utf8), "aXz");
}

struct OptionCase {
  TPcreCompileOptions options;
  uint32_t matchBits;
  std::string pattern;
  std::string subject;
  std::string expected;
};

TEST(PcreCompileOptions, EachOptionReachesTheLibrary) {
  const OptionCase cases[] = {
      {{}, 0, "b", "aBb", "aBX"},
      {{coCaseless}, 0, "b", "aBb", "aXX"},
      {{coAnchored}, 0, "b", "bab", "Xab"},
      {{}, 0, "a$", "a\n", "X\n"},
      {{coDollarEndOnly}, 0, "a$", "a\n", "a\n"},
      {{}, 0, "a.", "a\nab", "a\nX"},
      {{coDotAll}, 0, "a.", "a\nab", "XX"},
      {{coExtended}, 0, "a b # note", "ab", "X"},
      {{}, 0, "a b", "ab a b", "ab X"},
      {{coMultiline}, 0, "^b", "a\nb", "a\nX"},
      {{}, 0, "^b", "a\nb", "a\nb"},
      {{coUnGreedy}, 0, "a.+", "abc", "Xc"},
      {{}, 0, "a.+", "abc", "X"},
      {{coUtf8}, 0, "^.$", "\xc3\xa9", "X"},
      {{}, 0, "^.$", "\xc3\xa9", "\xc3\xa9"},
      {{}, 0, "a\\yb", "ayb", "X"},            // an unknown escape is a literal...
      {{coExtra}, 0, "a\\yb", "ayb", "ayb"},   // ...unless asked for an error: no pattern
      {{}, 0x0010, "b", "bab", "Xab"},  // match options: anchored at the start offset
      {{}, 0x0080, "^a", "aa", "aa"},   // not at the beginning of a line
      {{}, 0x0100, "a$", "aa", "aa"},   // not at the end of a line
      {{}, 0x0040, "b", "abc", "abc"},  // a bit without meaning: no search at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pattern " + c.pattern + " subject " + c.subject);
    TPcre re;
    re.SetCompileOptions(c.options);
    re.SetMatchOptionBits(c.matchBits);
    re.SetMatchPattern(c.pattern);
    re.SetReplacement("X");
    re.SetSubject(c.subject);
    EXPECT_EQ(All(re), c.expected);
  }
}

TEST(PcreCompileOptions, NoAutoCaptureLeavesOnlyNamedGroups) {
  TPcre re;
  re.SetCompileOptions({coNoAutoCapture});
  re.SetMatchPattern("(a)(?<n>b)");
  re.SetReplacement("[$1|$2]");
  re.SetSubject("ab");
  EXPECT_EQ(All(re), "[b|$2]");
}

TEST(PcreCompileOptions, SetsAndBitsUseTheClassicValues) {
  const std::pair<TPcreCompileOption, uint32_t> compile[] = {
      {coAnchored, 0x0010}, {coCaseless, 0x0001}, {coDollarEndOnly, 0x0020}, {coDotAll, 0x0004},
      {coExtended, 0x0008}, {coExtra, 0x0040},    {coMultiline, 0x0002},     {coUnGreedy, 0x0200},
      {coUtf8, 0x0800},     {coNoAutoCapture, 0x1000}, {coNoUtf8Check, 0x2000},
  };
  TPcre re;
  for (auto [option, bit] : compile) {
    re.SetCompileOptions({option});
    EXPECT_EQ(re.CompileOptionBits(), bit) << option;
    EXPECT_TRUE(re.CompileOptions() == TPcreCompileOptions{option}) << option;
  }
  re.SetCompileOptions({coCaseless, coDotAll, coUnGreedy});
  EXPECT_EQ(re.CompileOptionBits(), 0x0205u);
  re.SetCompileOptionBits(0x0080 | 0x0001);  // a bit outside the table is dropped on reading
  EXPECT_TRUE(re.CompileOptions() == TPcreCompileOptions{coCaseless});

  const std::pair<TPcreMatchOption, uint32_t> match[] = {
      {moAnchored, 0x0010}, {moNotBol, 0x0080}, {moNotEol, 0x0100}, {moNotEmpty, 0x0400}, {moNoUtf8Check, 0x2000},
  };
  for (auto [option, bit] : match) {
    re.SetMatchOptions({option});
    EXPECT_EQ(re.MatchOptionBits(), bit) << option;
    EXPECT_TRUE(re.MatchOptions() == TPcreMatchOptions{option}) << option;
  }
}

TEST(PcreCompileOptions, DefaultsAndLateChanges) {
  TPcre re;
  EXPECT_EQ(re.CompileOptionBits(), 5u);
  EXPECT_EQ(re.MatchOptionBits(), 0u);
  EXPECT_EQ(re.MatchLimit(), 10000000u);
  EXPECT_TRUE(re.Options() == (TPcreOptions{poAutoStudy, poCaptureSubstrings}));

  re.SetMatchPattern("b");
  re.SetReplacement("X");
  re.SetSubject("aBc");
  re.SetCompileOptions({});  // acts from the next compile only
  EXPECT_EQ(All(re), "aXc");
  re.SetMatchPattern("b");
  EXPECT_EQ(All(re), "aBc");
}

TEST(PcreCompileOptions, BitsWithoutMeaningFailTheCompile) {
  TPcre re;
  re.SetCompileOptionBits(0x0400);  // a match-time option
  re.SetMatchPattern("b");
  EXPECT_FALSE(re.Compile());
  EXPECT_FALSE(re.ErrorText().empty());
  re.SetReplacement("X");
  re.SetSubject("abc");
  EXPECT_EQ(All(re), "abc");
}

TEST(PcreOptions, StudyAndLocaleOptionsCanBeTurnedOffAndOn) {
  TPcre re;
  re.SetOptions({});
  re.SetMatchPattern("b");  // compiled without study
  re.SetReplacement("X");
  re.SetSubject("abcb");
  EXPECT_EQ(All(re), "aXcX");
  re.SetOptions({poAutoStudy, poUserLocale});  // studies the held pattern
  EXPECT_EQ(All(re), "aXcX");
  EXPECT_TRUE(re.Compile());  // with the locale's tables
  EXPECT_EQ(All(re), "aXcX");
  re.SetOptions({});
  EXPECT_TRUE(re.Compile());
  EXPECT_EQ(All(re), "aXcX");
}

TEST(PcreNames, BinarySearchOverTheNameTable) {
  const char* names[] = {"alpha", "b", "beta", "delta", "epsilon", "gamma", "iota", "kappa", "zeta"};
  std::string pattern;
  for (const char* n : names) pattern += "(?<" + std::string(n) + ">x)?";
  TPcre re;
  re.SetMatchPattern(pattern);
  for (size_t i = 0; i < std::size(names); ++i) EXPECT_EQ(re.NamedSubstringNumber(names[i]), int(i) + 1) << names[i];
  for (const char* missing : {"", "Alpha", "a", "alphaa", "c", "zz", "omega"})
    EXPECT_EQ(re.NamedSubstringNumber(missing), -7) << missing;
  EXPECT_EQ(re.NamedSubstringNumber("beta\0"s), -7);

  re.SetMatchPattern("(a)");
  EXPECT_EQ(re.NamedSubstringNumber("a"), -7);
}

TEST(PcreNames, ErrorsWithoutACompiledPattern) {
  TPcre re;
  try {
    re.NamedSubstringNumber("a");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), "Regular Expression pattern not compiled");
  }
}

TEST(PcreCallOut, ResultsGoOnFailOrAbortTheSearch) {
  struct Case {
    int failOnCall;  // the call that returns the code
    int code;
    std::string expected;
  };
  const Case cases[] = {
      {0, 0, "XXXX"},
      {2, 1, "XaXX"},   // positive: that match fails, the next one is found
      {2, -1, "Xaaa"},  // negative: the search ends, the rest is kept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.code));
    TPcre re;
    int calls = 0;
    re.SetOnCallOut([&](const pcre2_callout_block* block, int& result) {
      EXPECT_EQ(block->callout_number, 7u);
      EXPECT_EQ(result, 0);
      if (++calls == c.failOnCall) result = c.code;
    });
    re.SetMatchPattern("a(?C7)");
    re.SetReplacement("X");
    re.SetSubject("aaaa");
    EXPECT_EQ(All(re), c.expected);
  }
}

TEST(PcreCallOut, ALinkIsMadeByCompileOnly) {
  TPcre re;
  int calls = 0;
  re.SetMatchPattern("a(?C1)");
  re.SetOnCallOut([&](const pcre2_callout_block*, int&) { ++calls; });
  re.SetReplacement("X");
  re.SetSubject("aa");
  All(re);
  EXPECT_EQ(calls, 0);  // assigned after the compile
  EXPECT_TRUE(re.Compile());
  All(re);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(re.Study());  // drops the link
  EXPECT_EQ(All(re), "XX");
  EXPECT_EQ(calls, 2);
}

TEST(PcreCallOut, AnExceptionPassesToTheCallerOfReplaceAll) {
  TPcre re;
  bool fail = true;
  re.SetOnCallOut([&](const pcre2_callout_block*, int&) {
    if (fail) throw std::runtime_error("handler failed");
  });
  re.SetMatchPattern("a(?C1)");
  re.SetReplacement("X");
  re.SetSubject("aa");
  EXPECT_THROW(All(re), std::runtime_error);
  fail = false;
  EXPECT_EQ(All(re), "XX");
}

TEST(PcreVersion, IsTheLibrarysVersionText) {
  TPcre re;
  const std::string expected = std::to_string(PCRE2_MAJOR) + "." + std::to_string(PCRE2_MINOR) + " ";
  EXPECT_EQ(re.Version().substr(0, expected.size()), expected);
}

}  // namespace
}  // namespace tov
