// Fuzz target: TXmlDocument::ReadFromString on arbitrary bytes. Malformed input
// may only raise EFilerError; whatever is read must be walkable, every node that
// began loading must have finished loading, and the document must be whole.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "toolkit/XmlDom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
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

  // Walk without recursion, reading every text the way callers do.
  std::vector<const tov::TXmlNode*> pending = {doc.Root.get()};
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
  return 0;
}
