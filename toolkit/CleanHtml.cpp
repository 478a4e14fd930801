#include "toolkit/CleanHtml.h"

namespace tov {
namespace {

// Pages up to about this size reuse the work buffer of the page before; larger
// ones give theirs back, so that an idle thread does not hold megabytes.
constexpr size_t kKeptWorkBytes = 1 << 20;

struct Rule {
  const char* pattern;
  const char* replacement;
  TPcreCompileOptions options;
};

// In the order they are applied. Only the object rule is greedy. No
// replacement holds a pattern's opening word after a '<', so a later rule
// never matches an earlier rule's comment.
const Rule kRules[] = {
    {"<SCRIPT.*</SCRIPT>", "<!-- SCRIPT REMOVED -->", {coCaseless, coDotAll, coUnGreedy}},
    {"<OBJECT.*</OBJECT>", "<!-- OBJECT REMOVED -->", {coCaseless, coDotAll}},
    {"<IFRAME.*</IFRAME>", "<!-- IFRAME REMOVED -->", {coCaseless, coDotAll, coUnGreedy}},
    {"<IFRAME.*>", "<!-- IFRAME2 REMOVED -->", {coCaseless, coDotAll, coUnGreedy}},
};

}  // namespace

TCleanHtml::TCleanHtml() {
  for (size_t i = 0; i < rules_.size(); ++i) {
    rules_[i] = std::make_unique<TPcre>();
    rules_[i]->SetCompileOptions(kRules[i].options);
    rules_[i]->SetMatchPattern(kRules[i].pattern);
    rules_[i]->SetReplacement(kRules[i].replacement);
  }
}

TCleanHtml::~TCleanHtml() {
  for (auto& rule : rules_) rule.reset();
}

void TCleanHtml::Clean(std::string& html) {
  for (auto& rule : rules_) {
    rule->SetSubject(html);
    rule->ReplaceAll(0, -1, work_);
    html.swap(work_);
  }
  // An even number of rules: html has its own storage back, and work_ holds
  // the other buffer, kept for the next page unless it is a large one.
  if (work_.capacity() > kKeptWorkBytes) work_ = std::string();
}

}  // namespace tov
