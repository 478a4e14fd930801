// The document model: nodes, attributes, the text functions and the document's
// life cycle. The readers are in XmlParser.cpp.
#include "toolkit/XmlDom.h"

#include <utility>

#include "toolkit/Utf8Stream.h"

namespace tov {

namespace {

// Index of the first line with an "=" whose name part equals name without
// regard to case; a line without "=" bears no name.
int IndexOfLineName(const std::vector<std::string>& lines, std::string_view name) {
  for (size_t i = 0; i < lines.size(); ++i) {
    auto eq = lines[i].find('=');
    if (eq != std::string::npos && SameText(std::string_view(lines[i]).substr(0, eq), name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string AttributeLine(std::string_view name, std::string_view value) {
  std::string line(name);
  line.push_back('=');
  line += QuoteXmlValue(EncodeXmlEntities(value));
  return line;
}

}  // namespace

// ---- TXmlNode: construction and destruction ----

TXmlNode::TXmlNode(TXmlDocument* document) : Document(document) {}

TXmlNode::TXmlNode(TXmlDocument* document, std::string name) : TXmlNode(document) {
  Name = std::move(name);
}

TXmlNode::TXmlNode(TXmlDocument* document, std::string name, std::string value)
    : TXmlNode(document, std::move(name)) {
  Value = std::move(value);
}

TXmlNode::~TXmlNode() {
  // Safeguard: no recursion.
  // Children are detached before they die, so no destructor below recurses.
  TNodeList pending = std::move(Nodes);
  while (!pending.empty()) {
    std::unique_ptr<TXmlNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->Nodes) pending.push_back(std::move(child));
    node->Nodes.clear();
  }
}

std::unique_ptr<TXmlNode> TXmlNode::Create(TXmlDocument* document) {
  return std::make_unique<TXmlNode>(document);
}

std::unique_ptr<TXmlNode> TXmlNode::CreateName(TXmlDocument* document, std::string name) {
  return std::make_unique<TXmlNode>(document, std::move(name));
}

std::unique_ptr<TXmlNode> TXmlNode::CreateNameValue(TXmlDocument* document, std::string name,
                                                    std::string value) {
  return std::make_unique<TXmlNode>(document, std::move(name), std::move(value));
}

std::unique_ptr<TXmlNode> TXmlNode::CreateType(TXmlDocument* document, uint8_t kind) {
  auto node = Create(document);
  node->NodeType = kind;
  return node;
}

// ---- TXmlNode: tree ----

TXmlNode* TXmlNode::GetNode(int index) const {
  if (index < 0 || index >= NodeCount()) return nullptr;
  return Nodes[static_cast<size_t>(index)].get();
}

int TXmlNode::NodeCount() const { return static_cast<int>(Nodes.size()); }

void TXmlNode::ClearAttributes() { Attributes.clear(); }

void TXmlNode::Clear() {
  Name.clear();
  Value.clear();
  ClearAttributes();
  ClearNodes();
}

bool TXmlNode::HasAttribute(std::string_view name) const { return IndexOfAttribute(name) >= 0; }

bool TXmlNode::IsEmpty() const { return Name.empty() && HasNoContent(); }

bool TXmlNode::HasNoContent() const { return Value.empty() && Nodes.empty() && Attributes.empty(); }

int TXmlNode::AddNode(std::unique_ptr<TXmlNode> node) {
  if (!node) return -1;
  node->Parent = this;
  Nodes.push_back(std::move(node));
  return NodeCount() - 1;
}

TXmlNode* TXmlNode::FindNode(std::string_view name) const { return GetNode(IndexOfNode(name)); }

void TXmlNode::DeleteNode(int index) {
  if (index < 0 || index >= NodeCount()) return;
  Nodes.erase(Nodes.begin() + index);
}

std::unique_ptr<TXmlNode> TXmlNode::ExtractNode(TXmlNode* node) {
  for (auto it = Nodes.begin(); it != Nodes.end(); ++it) {
    if (it->get() == node) {
      std::unique_ptr<TXmlNode> taken = std::move(*it);
      Nodes.erase(it);
      return taken;
    }
  }
  return nullptr;
}

int TXmlNode::IndexOfNode(std::string_view name) const { return IndexOfNodeFrom(name, 0); }

int TXmlNode::IndexOfNodeFrom(std::string_view name, int start) const {
  for (int i = start < 0 ? 0 : start; i < NodeCount(); ++i) {
    if (SameText(Nodes[static_cast<size_t>(i)]->Name, name)) return i;
  }
  return -1;
}

TXmlNode* TXmlNode::AddChild(std::string name) {
  auto child = CreateName(Document, std::move(name));
  TXmlNode* raw = child.get();
  AddNode(std::move(child));
  return raw;
}

void TXmlNode::ClearNodes() { Nodes.clear(); }

int TXmlNode::Level() const {
  int level = 0;
  for (const TXmlNode* n = this;
       n->Parent != nullptr && n->Document != nullptr && n->Parent != n->Document->ContainerNode.get();
       n = n->Parent) {
    ++level;
  }
  return level;
}

std::string TXmlNode::GetValue() const { return DecodeXmlEntities(Value); }

uint8_t TXmlNode::BinaryMode() const { return Document ? Document->BinaryMode : 0; }

bool TXmlNode::StoreDefaults() const { return Document ? Document->StoreDefaults : true; }

// ---- TXmlNode: attributes ----

void TXmlNode::AddAttribute(std::string_view name, std::string_view value) {
  Attributes.push_back(AttributeLine(name, value));
}

void TXmlNode::ReadAttribute(std::string_view name, std::string& value) const {
  int index = IndexOfAttribute(name);
  if (index >= 0) value = AttributeValue(index);
}

int TXmlNode::IndexOfAttribute(std::string_view name) const { return IndexOfLineName(Attributes, name); }

int TXmlNode::AttributeCount() const { return static_cast<int>(Attributes.size()); }

std::string TXmlNode::AttributeName(int index) const {
  if (index < 0 || index >= AttributeCount()) return {};
  const std::string& line = Attributes[static_cast<size_t>(index)];
  auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TXmlNode::AttributeText(int index) const {
  if (index < 0 || index >= AttributeCount()) return {};
  return Attributes[static_cast<size_t>(index)];
}

std::string TXmlNode::AttributeValue(int index) const {
  if (index < 0 || index >= AttributeCount()) {
    throw EListError(Format("List index out of bounds (%d)", {int64_t{index}}));
  }
  int first = IndexOfLineName(Attributes, AttributeName(index));
  std::string_view raw;
  if (first >= 0) {
    const std::string& line = Attributes[static_cast<size_t>(first)];
    raw = std::string_view(line).substr(line.find('=') + 1);
  }
  return DecodeXmlEntities(UnquoteXmlValue(raw));
}

void TXmlNode::SetAttributeValue(int index, std::string_view value) {
  if (index < 0 || index >= AttributeCount()) return;
  Attributes[static_cast<size_t>(index)] = AttributeLine(AttributeName(index), value);
}

// ---- text functions ----

namespace {

// Each character of chars, a leading part of XmlEntityChars, replaced by its
// reference. One pass gives what replacing character by character in table
// order gives, since "&" comes first and the references hold no other special
// character.
std::string EncodeEntityChars(std::string_view text, std::string_view chars) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto k = chars.find(c);
    if (k == std::string_view::npos) {
      out.push_back(c);
    } else {
      out += XmlEntities[k];
    }
  }
  return out;
}

}  // namespace

std::string EncodeXmlEntities(std::string_view text) { return EncodeEntityChars(text, XmlEntityChars); }

// Safeguard: account text. Only what would break the text or end its element.
std::string EncodeXmlText(std::string_view text) { return EncodeEntityChars(text, XmlEntityChars.substr(0, 3)); }

std::string DecodeXmlEntities(std::string_view text) {
  auto amp = text.find('&');
  if (amp == std::string_view::npos) return std::string(text);
  std::string out(text.substr(0, amp));
  out.reserve(text.size());
  size_t i = amp;
  while (i < text.size()) {
    char c = text[i];
    if (c == '&') {
      bool replaced = false;
      for (size_t k = 0; k < XmlEntities.size(); ++k) {
        if (text.substr(i, XmlEntities[k].size()) == XmlEntities[k]) {
          out.push_back(XmlEntityChars[k]);
          i += XmlEntities[k].size();
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    out.push_back(c);
    ++i;
  }
  return out;
}

std::string QuoteXmlValue(std::string_view text) {
  char quote = text.find('"') == std::string_view::npos ? '"' : '\'';
  std::string out(1, quote);
  for (char c : text) {
    out.push_back(c);
    if (c == quote) out.push_back(c);
  }
  out.push_back(quote);
  return out;
}

std::string UnquoteXmlValue(std::string_view text) {
  if (text.size() < 2 || QuoteChars.find(text[0]) == std::string_view::npos) return std::string(text);
  char quote = text[0];
  std::string out;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        out.push_back(quote);
        ++i;
        continue;
      }
      break;
    }
    out.push_back(text[i]);
  }
  return out;
}

bool TrimBounds(std::string_view text, int64_t& start, int64_t& finish) {
  auto end = static_cast<int64_t>(text.size()) + 1;
  if (start < 1) start = 1;
  if (finish > end) finish = end;
  while (start < finish && IsBlankChar(text[static_cast<size_t>(start - 1)])) ++start;
  while (finish > start && IsBlankChar(text[static_cast<size_t>(finish - 2)])) --finish;
  return start < finish;
}

std::string StripWhitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!IsBlankChar(c)) out.push_back(c);
  }
  return out;
}

void StreamWriteString(TStream& stream, std::string_view text) {
  if (!text.empty()) stream.WriteBuffer(text.data(), text.size());
}

void SwapUnicodeBytes(std::span<uint8_t> buffer) {
  for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
    if (buffer[i] == 0 && buffer[i + 1] == 0) break;
    std::swap(buffer[i], buffer[i + 1]);
  }
}

// ---- TXmlDocument ----

TXmlDocument::TXmlDocument() : Root(TXmlNode::Create(this)) { SetDefaults(); }

TXmlDocument::TXmlDocument(std::string rootName) : TXmlDocument() { Root->Name = std::move(rootName); }

TXmlDocument::~TXmlDocument() = default;

std::unique_ptr<TXmlDocument> TXmlDocument::Create() { return std::make_unique<TXmlDocument>(); }

std::unique_ptr<TXmlDocument> TXmlDocument::CreateName(std::string rootName) {
  return std::make_unique<TXmlDocument>(std::move(rootName));
}

std::string TXmlDocument::GetLineBreak() const { return Layout == 0 ? "\r\n" : "\n"; }

void TXmlDocument::SetDefaults() {
  Comment.clear();
  Encoding = "windows-1252";
  Unicode = false;
  Version = "1.0";
  Layout = 1;
  StoreDefaults = true;
  BinaryMode = 2;
}

void TXmlDocument::Clear() {
  SetDefaults();
  if (Root) {
    Root->Clear();
  } else {
    Root = TXmlNode::Create(this);
  }
}

bool TXmlDocument::IsEmpty() const { return !Root || Root->IsEmpty(); }

void TXmlDocument::Assign(const TPersistent* source) {
  if (const auto* document = dynamic_cast<const TXmlDocument*>(source)) {
    AssignDocument(document);
  } else {
    TPersistent::Assign(source);
  }
}

void TXmlDocument::AssignDocument(const TXmlDocument* source) {
  if (source == nullptr) {
    Clear();
    return;
  }
  // The source is written before anything is cleared, so a document can be
  // assigned to itself.
  TMemoryStream text;
  source->WriteToStream(text);
  if (source->Root->IsEmpty()) {
    // A nameless, empty root has no text that reads back as an element: copy
    // what the declaration and the comment carry, as reading would.
    std::string version = source->Version;
    std::string encoding = source->Encoding;
    std::string comment = source->Comment;
    Clear();
    if (!version.empty()) Version = std::move(version);
    if (!encoding.empty()) Encoding = std::move(encoding);
    Comment = std::move(comment);
    return;
  }
  Clear();
  text.SetPosition(0);
  ReadFromStream(text);
}

void TXmlDocument::LoadFromStream(TStream& stream) {
  Clear();
  TUtf8Stream wrapper(&stream);
  wrapper.OnConversionLoss = [this](TUtf8Stream&) { DoConversionLoss(); };
  ReadFromStream(wrapper);
  Unicode = wrapper.Unicode;
}

void TXmlDocument::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TXmlDocument::ReadFromString(std::string_view text) {
  TMemoryStream stream;
  stream.WriteBuffer(text.data(), text.size());
  stream.SetPosition(0);
  ReadFromStream(stream);
}

void TXmlDocument::DoNodeNew(TXmlNode& node) {
  if (OnNodeNew) OnNodeNew(*this, node);
}

void TXmlDocument::DoNodeLoaded(TXmlNode& node) {
  if (OnNodeLoaded) OnNodeLoaded(*this, node);
}

void TXmlDocument::DoConversionLoss() {
  if (OnConversionLoss) OnConversionLoss(*this);
}

}  // namespace tov
