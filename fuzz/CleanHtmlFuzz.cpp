// Fuzz target for the HTML cleaner and for the replacement templates of the
// regular-expression component. The first byte picks the case: even, the rest
// is a page to clean; odd, the rest is a replacement template applied to a
// fixed subject. A fault aborts.
//
// What a cleaned page must show: no script with a closing tag after it, no
// object with a closing tag after it, no inline-frame tag with a '>' after it,
// and cleaning it again changes nothing. A template must expand as its rules
// say, checked against a plain expansion written here.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "toolkit/CleanHtml.h"
#include "toolkit/PcreComponent.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fault: %s\n", what);
  std::abort();
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Whether an opening word is followed, anywhere after it, by the closing text.
bool OpenedAndClosed(const std::string& lower, const char* open, const char* close) {
  const size_t at = lower.find(open);
  return at != std::string::npos && lower.find(close, at + std::string_view(open).size()) != std::string::npos;
}

void FuzzClean(std::string_view page) {
  static tov::TCleanHtml cleaner;  // one for every input, as a thread keeps one for every page
  std::string html(page);
  cleaner.Clean(html);
  const std::string lower = Lower(html);
  Check(!OpenedAndClosed(lower, "<script", "</script>"), "a script is left");
  Check(!OpenedAndClosed(lower, "<object", "</object>"), "an object is left");
  Check(!OpenedAndClosed(lower, "<iframe", ">"), "an inline frame is left");
  std::string again = html;
  cleaner.Clean(again);
  Check(again == html, "cleaning twice changes the page");
}

// Groups 1 and 3 always take part, group 2 ("n") only sometimes.
constexpr const char* kPattern = "(a)(?<n>b)?(?<long_name>c)";
constexpr const char* kSubject = "xabcx-ac-abc\n";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The template rules applied directly to one match.
std::string Expand(std::string_view r, std::string_view subject, const PCRE2_SIZE* ov, uint32_t groups) {
  auto group = [&](uint64_t g) {
    if (ov[2 * g] == PCRE2_UNSET) return std::string();
    return std::string(subject.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g]));
  };
  std::string out;
  size_t i = 0;
  while (i < r.size()) {
    if (r[i] != '$') {
      if (r[i] == '\\' && i + 1 < r.size()) ++i;
      out += r[i++];
      continue;
    }
    if (i + 1 < r.size() && IsDigit(r[i + 1])) {
      size_t j = i + 1;
      while (j < r.size() && r[j] == '0') ++j;
      size_t digits = 0;
      uint64_t g = 0;
      for (; j < r.size() && IsDigit(r[j]); ++j, ++digits) g = g * 10 + static_cast<uint64_t>(r[j] - '0');
      if (digits <= 2 && g <= groups) {
        out += group(g);
        i = j;
        continue;
      }
    } else if (i + 1 < r.size() && r[i + 1] == '<') {
      const size_t close = r.find('>', i + 2);
      if (close != std::string_view::npos) {
        const std::string_view name = r.substr(i + 2, close - i - 2);
        const int g = name == "n" ? 2 : name == "long_name" ? 3 : 0;
        if (g > 0) {
          out += group(static_cast<uint64_t>(g));
          i = close + 1;
          continue;
        }
      }
    }
    out += '$';
    ++i;
  }
  return out;
}

void FuzzTemplate(std::string_view replacement) {
  static tov::TPcre re;
  if (re.MatchPattern().empty()) re.SetMatchPattern(kPattern);
  re.SetReplacement(replacement);
  const std::string subject = kSubject;
  re.SetSubject(subject);
  std::string result;
  re.ReplaceAll(0, -1, result);

  // The same replacing with the library's own search.
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED,
                                   PCRE2_CASELESS | PCRE2_DOTALL, &error, &offset, nullptr);
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(match);
  std::string expected;
  size_t position = 0;
  while (pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), position, PCRE2_NOTEMPTY,
                     match, nullptr) > 0) {
    expected.append(subject, position, ov[0] - position);
    expected += Expand(replacement, subject, ov, 3);
    position = ov[1];
  }
  expected.append(subject, position);
  pcre2_match_data_free(match);
  pcre2_code_free(code);
  Check(result == expected, "a template expands against its rules");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1)
    FuzzTemplate(rest);
  else
    FuzzClean(rest);
  return 0;
}
