// Speed of TCleanHtml::Clean beside pcre2_substitute with the same four
// patterns and options on the same input, in MB/s (10^6 bytes per second), on
// corpora of typical pages and on a 5 MB page; then the time of one Clean on
// the worst pages we know how to build for it.
//
// The real corpus is the HTML of Debian's python3.11-doc (pages of 10 KB to
// 200 KB, all with scripts); TOV_BENCH_CORPUS names another folder. Without it
// those rows are skipped and only the synthetic pages run.
//
// Usage: clean_html_bench [seconds per measurement, default 1]

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/SharedGlobals.h"
#include "toolkit/CleanHtml.h"

namespace {

using Clock = std::chrono::steady_clock;
using Pages = std::vector<std::string>;

struct Rule {
  const char* pattern;
  const char* replacement;
  uint32_t options;
};

const Rule kRules[] = {
    {"<SCRIPT.*</SCRIPT>", "<!-- SCRIPT REMOVED -->", PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_UNGREEDY},
    {"<OBJECT.*</OBJECT>", "<!-- OBJECT REMOVED -->", PCRE2_CASELESS | PCRE2_DOTALL},
    {"<IFRAME.*</IFRAME>", "<!-- IFRAME REMOVED -->", PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_UNGREEDY},
    {"<IFRAME.*>", "<!-- IFRAME2 REMOVED -->", PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_UNGREEDY},
};

// The same cleaning done the library's way: one global substitution per rule.
class SubstituteCleaner {
 public:
  SubstituteCleaner() {
    for (const Rule& r : kRules) {
      int error = 0;
      PCRE2_SIZE offset = 0;
      pcre2_code* code =
          pcre2_compile(reinterpret_cast<PCRE2_SPTR>(r.pattern), PCRE2_ZERO_TERMINATED, r.options, &error, &offset, nullptr);
      if (code == nullptr) std::abort();
      pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
      codes_.push_back(code);
    }
    match_ = pcre2_match_data_create(16, nullptr);
  }
  ~SubstituteCleaner() {
    for (pcre2_code* c : codes_) pcre2_code_free(c);
    pcre2_match_data_free(match_);
  }

  // Leaves the cleaned page in out.
  void Clean(const std::string& page, std::string& out) {
    Substitute(0, page, a_);
    for (size_t i = 1; i < codes_.size(); ++i) {
      Substitute(i, a_, b_);
      std::swap(a_, b_);
    }
    out.swap(a_);
  }

 private:
  void Substitute(size_t rule, const std::string& in, std::string& out) {
    const uint32_t options = PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_OVERFLOW_LENGTH | PCRE2_NOTEMPTY;
    out.resize(in.size() + in.size() / 8 + 256);
    for (;;) {
      PCRE2_SIZE length = out.size();
      int rc = pcre2_substitute(codes_[rule], reinterpret_cast<PCRE2_SPTR>(in.data()), in.size(), 0, options, match_,
                                nullptr, reinterpret_cast<PCRE2_SPTR>(kRules[rule].replacement), PCRE2_ZERO_TERMINATED,
                                reinterpret_cast<PCRE2_UCHAR*>(out.data()), &length);
      if (rc == PCRE2_ERROR_NOMEMORY) {
        out.resize(length);
        continue;
      }
      if (rc < 0) {  // an error: keep the text as it was, like the component's first search
        out.assign(in);
        return;
      }
      out.resize(length);
      return;
    }
  }

  std::vector<pcre2_code*> codes_;
  pcre2_match_data* match_;
  std::string a_;
  std::string b_;
};

size_t TotalBytes(const Pages& pages) {
  size_t n = 0;
  for (const auto& p : pages) n += p.size();
  return n;
}

double Seconds(const std::function<void()>& work) {
  const auto t0 = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Median seconds of one call of work, repeated for about the given time.
double MedianSeconds(const std::function<void()>& work, double seconds) {
  std::vector<double> times;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (times.size() < 5 || (Clock::now() < end && times.size() < 10000)) times.push_back(Seconds(work));
  return Median(times);
}

// The speed of JIT code depends on where it lands in memory: the same pattern
// compiled twice can run 25% apart. So several cleaners of each kind run in
// turn, and the median over all their passes is what counts.
constexpr int kCopies = 8;

void Compare(const char* name, const Pages& pages, double seconds) {
  std::vector<std::unique_ptr<tov::TCleanHtml>> cleaners;
  std::vector<std::unique_ptr<SubstituteCleaner>> references;
  for (int i = 0; i < kCopies; ++i) {
    cleaners.push_back(std::make_unique<tov::TCleanHtml>());
    references.push_back(std::make_unique<SubstituteCleaner>());
  }
  std::string work;
  std::string out;
  size_t differ = 0;
  for (const auto& page : pages) {
    work = page;
    cleaners[0]->Clean(work);
    references[0]->Clean(page, out);
    if (work != out) ++differ;
  }
  std::vector<double> clean;
  std::vector<double> subst;
  const auto end = Clock::now() + std::chrono::duration<double>(2 * seconds);
  while (clean.size() < 3 * kCopies || (Clock::now() < end && clean.size() < 10000)) {
    for (int i = 0; i < kCopies; ++i) {
      clean.push_back(Seconds([&] {
        for (const auto& page : pages) {
          work = page;
          cleaners[i]->Clean(work);
        }
      }));
      subst.push_back(Seconds([&] {
        for (const auto& page : pages) references[i]->Clean(page, out);
      }));
    }
  }
  const double mb = static_cast<double>(TotalBytes(pages)) / 1e6;
  const double a = mb / Median(clean);
  const double b = mb / Median(subst);
  std::printf("%-34s %6zu %8.2f %12.1f %18.1f %8.2f%s\n", name, pages.size(), mb, a, b, a / b,
              differ ? "  OUTPUTS DIFFER" : "");
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Pages LoadCorpus(const std::string& dir) {
  Pages pages;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return pages;
  std::vector<std::filesystem::path> files;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec); !ec && it != decltype(it)(); it.increment(ec)) {
    if (it->is_regular_file() && it->path().extension() == ".html") {
      const auto size = it->file_size();
      if (size >= 10000 && size <= 200000) files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) pages.push_back(ReadFile(f));
  return pages;
}

// Puts an object, a closed inline frame and a bare one into a page, at line
// ends a quarter, a half and three quarters into it.
std::string WithObjectsAndFrames(const std::string& page) {
  const char* inserts[] = {
      "<object data=\"movie.swf\" type=\"application/x-shockwave-flash\" width=\"400\">\n"
      "<param name=\"movie\" value=\"movie.swf\"><embed src=\"movie.swf\"></object>\n",
      "<iframe src=\"http://ads.example/frame.html\" width=\"468\" height=\"60\"></iframe>\n",
      "<IFRAME SRC=\"http://counter.example/c\" width=1 height=1>\n",
  };
  std::string out;
  size_t from = 0;
  for (int i = 0; i < 3; ++i) {
    size_t at = page.find('\n', page.size() * static_cast<size_t>(i + 1) / 4);
    if (at == std::string::npos) at = page.size();
    out.append(page, from, at - from);
    out += inserts[i];
    from = at;
  }
  out.append(page, from);
  return out;
}

// Pages of ordinary markup written here, for when the real corpus is missing
// and for the elements it lacks.
Pages SyntheticPages(bool withScripts) {
  Pages pages;
  unsigned seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (size_t target = 10000; target <= 200000; target += 10000) {
    std::string p = "<!DOCTYPE html>\n<html><head><title>Page</title>\n<link rel=stylesheet href=s.css>\n";
    while (p.size() < target) {
      switch (next() % 8) {
        case 0:
          if (withScripts) {
            p += "<script type=\"text/javascript\">\nvar x = document.getElementById('a');\nif (x < 3) { x.innerHTML = '<b>hi</b>'; }\n</script>\n";
            break;
          }
          [[fallthrough]];
        default:
          p += "<p class=\"text\">Lorem ipsum dolor sit amet, <a href=\"/page" + std::to_string(next() % 1000) +
               ".html\">consectetur</a> adipiscing elit, sed do <em>eiusmod</em> tempor incididunt.</p>\n";
      }
    }
    p += "</body></html>\n";
    pages.push_back(withScripts ? WithObjectsAndFrames(p) : p);
  }
  return pages;
}

std::string FiveMegabytePage(const Pages& pages) {
  std::string page;
  for (size_t i = 0; page.size() < static_cast<size_t>(tov::MaxHtmlSize); ++i)
    page += (i % 40 == 7) ? WithObjectsAndFrames(pages[i % pages.size()]) : pages[i % pages.size()];
  page.resize(tov::MaxHtmlSize);
  return page;
}

std::string Repeated(const std::string& head, const std::string& unit, const std::string& tail) {
  std::string page = head;
  while (page.size() + unit.size() + tail.size() <= static_cast<size_t>(tov::MaxHtmlSize)) page += unit;
  page += tail;
  page.append(tov::MaxHtmlSize - page.size(), ' ');
  return page;
}

void WorstCases(double seconds) {
  struct Case {
    const char* what;
    std::string page;
  };
  const Case cases[] = {
      {"unclosed <OBJECT> tags", Repeated("", "<OBJECT>", "")},
      {"<OBJECT> near-miss </OBJEC", Repeated("", "<OBJECT></OBJEC", "")},
      {"mixed-case near misses", Repeated("", "<oBjEcT x=1></ObJeCt <object", "")},
      {"one object, then unclosed tags", Repeated("<object></object>", "<object", "")},
      {"one object over the whole page", Repeated("<object>", "<OBJECT</OBJEC>", "</object>")},
      {"unclosed tags of every rule", Repeated("", "<OBJECT<SCRIPT<IFRAME", "")},
      {"unclosed tags, '>' at the end", Repeated("", "<OBJECT<SCRIPT<IFRAME", ">")},
      {"every rule matching often", Repeated("", "<script></script><iframe></iframe><iframe>", "")},
  };
  tov::TCleanHtml cleaner;
  double worst = 0;
  std::printf("\nOne Clean of a %d-byte page built to be slow (median)\n", tov::MaxHtmlSize);
  std::printf("%-34s %12s %10s\n", "page", "ms", "MB/s");
  for (const auto& c : cases) {
    std::string work;
    const double t = MedianSeconds(
        [&] {
          work = c.page;
          cleaner.Clean(work);
        },
        seconds / 4);
    worst = std::max(worst, t);
    std::printf("%-34s %12.2f %10.1f\n", c.what, t * 1e3, static_cast<double>(c.page.size()) / 1e6 / t);
  }
  std::printf("%-34s %12.2f\n", "worst", worst * 1e3);

  // Why the JIT matters: the interpreter tries every opening tag again.
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kRules[1].pattern), PCRE2_ZERO_TERMINATED,
                                   kRules[1].options, &error, &offset, nullptr);
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  std::printf("\nObject rule without JIT on unclosed <OBJECT> tags (grows with the square of the size)\n");
  for (size_t bytes : {16000, 32000, 64000}) {
    const std::string page = std::string(Repeated("", "<OBJECT>", "")).substr(0, bytes);
    const auto t0 = Clock::now();
    pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(page.data()), page.size(), 0, PCRE2_NOTEMPTY | PCRE2_NO_JIT, match,
                nullptr);
    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%8zu bytes %10.1f ms\n", bytes, t * 1e3);
  }
  pcre2_match_data_free(match);
  pcre2_code_free(code);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  uint32_t jit = 0;
  pcre2_config(PCRE2_CONFIG_JIT, &jit);
  char version[64] = {};
  pcre2_config(PCRE2_CONFIG_VERSION, version);
  std::printf("PCRE2 %s, JIT %s\n\n", version, jit ? "available" : "NOT available");

  const char* env = std::getenv("TOV_BENCH_CORPUS");
  const std::string dir = env ? env : "/usr/share/doc/python3.11/html";
  const Pages docs = LoadCorpus(dir);

  std::printf("%-34s %6s %8s %12s %18s %8s\n", "corpus", "pages", "MB", "Clean MB/s", "pcre2_substitute", "ratio");
  Pages synthetic = SyntheticPages(true);
  Compare("synthetic, scripts+objects+frames", synthetic, seconds);
  Compare("synthetic, nothing to remove", SyntheticPages(false), seconds);
  if (docs.empty()) {
    std::printf("(no pages of 10 KB to 200 KB under %s: real-page rows skipped; apt-get install python3.11-doc)\n",
                dir.c_str());
  } else {
    Compare("python docs (scripts)", docs, seconds);
    Pages mixed;
    for (const auto& p : docs) mixed.push_back(WithObjectsAndFrames(p));
    Compare("python docs + objects + frames", mixed, seconds);
    Pages bare = docs;
    tov::TCleanHtml cleaner;
    for (auto& p : bare) cleaner.Clean(p);
    Compare("python docs, scripts removed", bare, seconds);
  }
  Compare("5 MB page", {FiveMegabytePage(docs.empty() ? synthetic : docs)}, seconds);

  WorstCases(seconds);
  return 0;
}
