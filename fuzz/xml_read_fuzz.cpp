// Fuzz target: TXmlDocument::ReadFromString on arbitrary bytes, the
// string-range reader TXmlNode::ReadFromString on the same bytes, loading them
// as 16-bit text (behind a byte-order mark of either order), and then the
// URL-server reply handling.
//
// Malformed input may only raise EFilerError; whatever is read must be
// walkable, every node that began loading must have finished loading, and the
// document must be whole. What was read is written again: 16-bit saves are the
// mark and twice the 8-bit text. The reply handling may only raise what its contract
// names; each page it hands over has a URL, each pause is in range, and it
// hands over no more pages than the reply has nodes. Its pause and its message
// box are recorded, never carried out, so no input can hold the fuzzer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "crawler/UrlServerReply.h"
#include "toolkit/XmlDom.h"

namespace {

// Walk without recursion, reading every text the way callers do.
void CheckTree(const tov::TXmlNode& top) {
  std::vector<const tov::TXmlNode*> pending = {&top};
  while (!pending.empty()) {
    const tov::TXmlNode* node = pending.back();
    pending.pop_back();
    node->GetValue();
    for (int i = 0; i < node->AttributeCount(); ++i) node->AttributeValue(i);
    if (node->Level() > tov::XmlMaxNestingDepth) std::abort();
    for (int i = 0; i < node->NodeCount(); ++i) {
      if (node->GetNode(i)->Parent != node) std::abort();
      pending.push_back(node->GetNode(i));
    }
  }
}

void CheckStringRange(std::string_view text) {
  tov::TXmlDocument doc;
  tov::TXmlNode node(&doc, "fragment");
  const auto end = static_cast<int64_t>(text.size()) + 1;
  int64_t finish = end;
  try {
    node.ReadFromString(text, 1, finish);
    if (finish < 1 || finish > end) std::abort();
  } catch (const tov::EFilerError&) {
  }
  CheckTree(node);
  node.WriteToString();
}

void CheckWideLoad(std::string_view text) {
  // The input's bytes as 16-bit units, in the byte order its first byte picks.
  const bool bigEndian = !text.empty() && (static_cast<uint8_t>(text[0]) & 1) != 0;
  tov::TMemoryStream stream;
  stream.WriteBuffer(bigEndian ? "\xFE\xFF" : "\xFF\xFE", 2);
  stream.WriteBuffer(text.data(), text.size());
  stream.SetPosition(0);
  tov::TXmlDocument doc;
  int losses = 0;
  doc.OnConversionLoss = [&](tov::TXmlDocument&) { ++losses; };
  try {
    doc.LoadFromStream(stream);
    if (!doc.Unicode) std::abort();
  } catch (const tov::EFilerError&) {
  }
  if (losses > 1 || doc.Root == nullptr || doc.ContainerNode != nullptr) std::abort();
  CheckTree(*doc.Root);

  const std::string narrow = doc.WriteToString();
  doc.Unicode = true;
  tov::TMemoryStream saved;
  doc.SaveToStream(saved);
  if (saved.Size() != 2 + 2 * static_cast<int64_t>(narrow.size())) std::abort();
  if (saved.Memory()[0] != 0xFF || saved.Memory()[1] != 0xFE) std::abort();
}

void CheckDocument(std::string_view text) {
  tov::TXmlDocument doc;
  long begun = 0;
  long loaded = 0;
  doc.OnNodeNew = [&](tov::TXmlDocument&, tov::TXmlNode&) { ++begun; };
  doc.OnNodeLoaded = [&](tov::TXmlDocument&, tov::TXmlNode&) { ++loaded; };
  try {
    doc.ReadFromString(text);
  } catch (const tov::EFilerError&) {
    // Malformed input: the reader's only failure.
  }
  if (loaded < begun || doc.Root == nullptr || doc.ContainerNode != nullptr) std::abort();
  CheckTree(*doc.Root);
}

void CheckReply(std::string_view text) {
  size_t pages = 0;
  tov::TUrlReplyActions actions;
  actions.PutUrl = [&](const tov::UrlInfo& page) {
    if (page.Url.empty()) std::abort();
    ++pages;
  };
  actions.Log = [](const std::string&) {};
  actions.ErrorLog = [](const std::string&) {};
  actions.LogVerbose = [](const std::string&) {};
  actions.Sleep = [](uint32_t ms) {
    if (ms > static_cast<uint32_t>(tov::MaxUrlServerSleepSeconds) * 1000u) std::abort();
  };
  actions.ShowMessage = [](const std::string&) {};
  try {
    tov::HandleUrlServerReply(text, actions);
  } catch (const tov::EFilerError&) {
  } catch (const tov::EConvertError&) {
  } catch (const tov::EUrlServerError&) {
  }
  // Every page is a node of its own, and a page needs a url element.
  if (pages > text.size() / 7) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckDocument(text);
  CheckStringRange(text);
  CheckWideLoad(text);
  CheckReply(text);
  return 0;
}
