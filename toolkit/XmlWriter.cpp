// The writer of the document model: a node with its subtree, and a whole
// document with its declaration and comment, as text in one of three layouts.
// Names, values and attribute lines are written as stored (values stay
// entity-encoded in the tree); only the declaration's values and the comment
// are encoded on the way out.
#include <utility>
#include <vector>

#include "toolkit/Utf8Stream.h"
#include "toolkit/XmlDom.h"

namespace tov {

namespace {

// The layout that applies to a node: its document's, compact without one.
uint8_t LayoutOf(const TXmlNode& node) { return node.Document ? node.Document->Layout : 1; }

std::string IndentText(const TXmlNode& node, int level) {
  return LayoutOf(node) == 0 ? std::string(static_cast<size_t>(level) * 2, ' ') : std::string();
}

std::string_view LineBreakText(const TXmlNode& node) {
  switch (LayoutOf(node)) {
    case 0:
      return "\r\n";
    case 1:
      return {};
    default:
      return "\n";
  }
}

// The level of child, one of parent's children, given parent's level: what
// child.Level() gives, without walking up from every node.
int ChildLevel(const TXmlNode& parent, int parentLevel, const TXmlNode& child) {
  if (child.Parent != &parent) return child.Level();
  if (child.Document == nullptr || &parent == child.Document->ContainerNode.get()) return 0;
  return parentLevel + 1;
}

// Walks the subtree of top and hands each piece of its text to emit, in order:
// a node's head, then for each child the child's pieces and the node's line
// break, then the node's tail.
// Safeguard: no recursion. Keeps its own stack, so no tree depth can exhaust
// the machine stack.
template <typename Emit>
void WriteNodeText(const TXmlNode& top, Emit&& emit) {
  struct Open {
    const TXmlNode* node;
    int level;
    size_t next;  // index of the next child to write
    std::string indent;
  };
  std::vector<Open> open;

  auto begin = [&](const TXmlNode& node, int level) {
    std::string indent = IndentText(node, level);
    std::string_view lineBreak = LineBreakText(node);
    bool children = !node.Nodes.empty();
    std::string head = indent + node.GetStartTag();
    if (children) {
      head += lineBreak;
      if (!node.Value.empty()) head += indent;
    }
    if (!node.Value.empty()) {
      head += node.Value;
      if (children) head += lineBreak;
    }
    emit(std::string_view(head));
    open.push_back({&node, level, 0, std::move(indent)});
  };

  begin(top, top.Level());
  while (!open.empty()) {
    Open& current = open.back();
    const TXmlNode& node = *current.node;
    if (current.next < node.Nodes.size()) {
      const TXmlNode& child = *node.Nodes[current.next++];
      begin(child, ChildLevel(node, current.level, child));
      continue;
    }
    if (!node.HasNoContent()) {
      std::string tail = node.Nodes.empty() ? std::string() : current.indent;
      tail += "</";
      tail += node.Name;
      tail += '>';
      emit(std::string_view(tail));
    }
    open.pop_back();
    if (!open.empty()) emit(LineBreakText(*open.back().node));
  }
}

std::string DeclarationAndComment(const TXmlDocument& document) {
  std::string head;
  if (!document.Version.empty() || !document.Encoding.empty()) {
    head = "<?xml ";
    if (!document.Version.empty()) head += "version=" + QuoteXmlValue(EncodeXmlEntities(document.Version));
    if (!document.Encoding.empty()) {
      head += " encoding=" + QuoteXmlValue(EncodeXmlEntities(document.Encoding));
    }
    head += "?>" + document.GetLineBreak();
  }
  if (!document.Comment.empty()) {
    head += "<!--" + EncodeXmlEntities(document.Comment) + "-->" + document.GetLineBreak();
  }
  return head;
}

}  // namespace

std::string TXmlNode::Indent() const { return IndentText(*this, Level()); }

std::string TXmlNode::LineBreak() const { return std::string(LineBreakText(*this)); }

std::string TXmlNode::GetStartTag() const {
  std::string tag = "<" + Name;
  for (const std::string& line : Attributes) {
    tag += ' ';
    tag += line;
  }
  tag += HasNoContent() ? "/>" : ">";
  return tag;
}

void TXmlNode::WriteToStream(TStream& stream) const {
  WriteNodeText(*this, [&stream](std::string_view piece) { StreamWriteString(stream, piece); });
}

std::string TXmlNode::WriteToString() const {
  std::string text;
  WriteNodeText(*this, [&text](std::string_view piece) { text += piece; });
  return text;
}

void TXmlDocument::WriteToStream(TStream& stream) const {
  if (!Root) throw EFilerError("XML root element not defined.");
  StreamWriteString(stream, DeclarationAndComment(*this));
  Root->WriteToStream(stream);
}

std::string TXmlDocument::WriteToString() const {
  TMemoryStream stream;
  WriteToStream(stream);
  if (stream.Size() == 0) return {};
  return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
}

void TXmlDocument::SaveToStream(TStream& stream) const {
  TUtf8Stream wrapper(&stream);
  wrapper.Unicode = Unicode;
  WriteToStream(wrapper);
}

void TXmlDocument::SaveToFile(const std::string& fileName) const {
  // Checked before the file is created, so a failing save never empties it.
  if (!Root) throw EFilerError("XML root element not defined.");
  TFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

}  // namespace tov
