// Helpers of the XML tests: a one-line picture of a tree, so that a table row
// can give the whole tree it expects, and a stream with little room.
#pragma once

#include <algorithm>
#include <string>

#include "toolkit/XmlDom.h"

namespace tov::test {

// kind:name, then [attribute lines|...], =value, {child,child}; each part only
// when present.
inline std::string DescribeNode(const TXmlNode& node) {
  std::string out = std::to_string(node.NodeType) + ":" + node.Name;
  if (!node.Attributes.empty()) {
    out += "[";
    for (size_t i = 0; i < node.Attributes.size(); ++i) out += (i ? "|" : "") + node.Attributes[i];
    out += "]";
  }
  if (!node.Value.empty()) out += "=" + node.Value;
  if (node.NodeCount() > 0) {
    out += "{";
    for (int i = 0; i < node.NodeCount(); ++i) out += (i ? "," : "") + DescribeNode(*node.GetNode(i));
    out += "}";
  }
  return out;
}

// A stream that accepts at most `room` bytes in all, as a full disk does.
class TinyStream : public TStream {
 public:
  explicit TinyStream(size_t room) : room_(room) {}
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void* buffer, size_t count) override {
    size_t n = std::min(count, room_ - data.size());
    data.append(static_cast<const char*>(buffer), n);
    return n;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(data.size()); }
  std::string data;

 private:
  size_t room_;
};

// The message of the EFilerError that fn raises; empty when it raises none.
template <typename Fn>
std::string FilerErrorOf(Fn fn) {
  try {
    fn();
  } catch (const EFilerError& e) {
    return e.Message();
  }
  return {};
}

}  // namespace tov::test
