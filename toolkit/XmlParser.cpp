// The readers of the document model: the stream node reader, which reads one
// node with its subtree, and the document reader, which keeps the single root
// element, the declaration and the top-level comment.
#include <exception>
#include <utility>

#include "toolkit/XmlDom.h"

namespace tov {

namespace {

constexpr std::string_view kUnknownName = "Unknown";
constexpr std::string_view kCommentName = "Comment";
constexpr std::string_view kCDataName = "CData";
constexpr std::string_view kDeclarationName = "Xml-Stylesheet";

[[noreturn]] void FailIn(std::string_view format, const std::string& name) {
  throw EFilerError(Format(format, {name}));
}

// SkipLineBreakChars, inlined into the content loop that runs once per character.
inline bool NextNonLineBreak(TStream& stream, char& ch) {
  while (stream.ReadChar(ch) != 0) {
    if (ch != '\r' && ch != '\n') return true;
  }
  return false;
}

// SkipBlankChars, also telling how many blanks it passed.
bool SkipBlanksCounting(TStream& stream, char& ch, int64_t& skipped) {
  skipped = 0;
  while (stream.ReadChar(ch) != 0) {
    if (!IsBlankChar(ch)) return true;
    ++skipped;
  }
  return false;
}

void NotifyNew(TXmlNode& node) {
  if (node.Document) node.Document->DoNodeNew(node);
}

void NotifyLoaded(TXmlNode& node) {
  if (node.Document) node.Document->DoNodeLoaded(node);
}

// The stream node reader. It keeps the elements whose content it is reading on
// a stack of its own instead of recursing, so nesting costs no machine stack.
// Each node it has begun gets its loaded event exactly once, innermost first,
// whether it is finished or an error unwinds the read.
class StreamNodeReader {
 public:
  explicit StreamNodeReader(TStream& stream) : stream_(stream) {}

  void Read(TXmlNode& node) {
    try {
      if (ReadStart(node)) ReadContent();
    } catch (...) {
      Unwind();
    }
  }

 private:
  struct OpenElement {
    TXmlNode* node;
    std::string text;  // character data directly inside, line breaks dropped
  };

  // Reads a node's marker and what follows it. True when the node is an
  // element whose content comes next (it is then on the stack); false when the
  // node is complete or was never begun (no "<" before the end or before other
  // text: the node stays untouched).
  bool ReadStart(TXmlNode& node) {
    char c = 0;
    if (!SkipBlankChars(stream_, c) || c != '<') return false;
    const TTagType& tag = TagTypes[static_cast<size_t>(ReadNodeMarker(stream_))];
    node.NodeType = tag.Kind;
    begun_ = &node;
    switch (tag.Kind) {
      case xnElement:
      case xnDeclaration:
      case xnStyleSheet:
        // An unterminated tag takes the rest of the input.
        StreamReadUntil(stream_, tag.Stop, scratch_);
        if (tag.Kind == xnElement && !scratch_.empty() && scratch_.back() == '/') {
          scratch_.pop_back();
          node.NodeType = xnEmptyElement;
        }
        node.ParseStartTag(scratch_, 1, static_cast<int64_t>(scratch_.size()) + 1);
        NotifyNew(node);
        if (node.NodeType == xnElement) {
          if (open_.size() >= static_cast<size_t>(XmlMaxNestingDepth)) {
            throw EFilerError(Format("Elements nested deeper than %d levels in element %s",
                                     {int64_t{XmlMaxNestingDepth}, node.Name}));
          }
          open_.push_back({&node, std::string()});
          open_.back().text.reserve(80);
          begun_ = nullptr;
          return true;
        }
        break;
      default:
        node.Name = tag.Kind == xnComment ? kCommentName : tag.Kind == xnCData ? kCDataName : kUnknownName;
        NotifyNew(node);
        StreamReadUntil(stream_, tag.Stop, scratch_);
        node.Value = scratch_;
        break;
    }
    begun_ = nullptr;
    NotifyLoaded(node);
    return false;
  }

  void ReadContent() {
    while (!open_.empty()) {
      TXmlNode& node = *open_.back().node;
      char c = 0;
      if (!NextNonLineBreak(stream_, c)) FailIn("Missing close tag in element %s", node.Name);
      if (c != '<') {
        open_.back().text.push_back(c);
        continue;
      }
      int64_t blanks = 0;
      if (!SkipBlanksCounting(stream_, c, blanks)) {
        FailIn("Missing data after \"<\" in element %s", node.Name);
      }
      if (c == '/') {
        if (!StreamReadUntil(stream_, ">", scratch_)) {
          FailIn("Missing \">\" in close tag of element %s", node.Name);
        }
        int64_t start = 1;
        int64_t finish = static_cast<int64_t>(scratch_.size()) + 1;
        TrimBounds(scratch_, start, finish);
        std::string_view closing = std::string_view(scratch_).substr(
            static_cast<size_t>(start - 1), static_cast<size_t>(finish - start));
        if (!SameText(closing, node.Name)) FailIn("Incorrect close tag in element %s", node.Name);
        FinishContent(open_.back());
        open_.pop_back();
        NotifyLoaded(node);
        continue;
      }
      // A child: it reads itself from its "<", blanks after the "<" included,
      // as the reader does anywhere else.
      stream_.Seek(-(blanks + 2), soCurrent);
      TXmlNode* child = node.GetNode(node.AddNode(TXmlNode::Create(node.Document)));
      ReadStart(*child);
    }
  }

  // Text before, between and after the children, joined and trimmed; an
  // element with only blanks keeps the value it had.
  static void FinishContent(OpenElement& element) {
    int64_t start = 1;
    int64_t finish = static_cast<int64_t>(element.text.size()) + 1;
    if (TrimBounds(element.text, start, finish)) {
      element.node->Value =
          element.text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(finish - start));
    }
  }

  [[noreturn]] void Unwind() {
    std::exception_ptr error = std::current_exception();
    auto loaded = [&error](TXmlNode* node) {
      try {
        NotifyLoaded(*node);
      } catch (...) {
        error = std::current_exception();  // a failing handler's error replaces the first
      }
    };
    if (TXmlNode* node = std::exchange(begun_, nullptr)) loaded(node);
    while (!open_.empty()) {
      TXmlNode* node = open_.back().node;
      open_.pop_back();
      loaded(node);
    }
    std::rethrow_exception(error);
  }

  TStream& stream_;
  std::vector<OpenElement> open_;
  TXmlNode* begun_ = nullptr;  // begun, not finished and not on the stack
  std::string scratch_;
};

}  // namespace

bool SkipBlankChars(TStream& stream, char& ch) {
  int64_t skipped = 0;
  return SkipBlanksCounting(stream, ch, skipped);
}

bool SkipLineBreakChars(TStream& stream, char& ch) { return NextNonLineBreak(stream, ch); }

int ReadNodeMarker(TStream& stream) {
  // Reads ahead only as far as the rows tried need, then steps back to just
  // after the marker found.
  char ahead[16];
  size_t have = 0;
  bool ended = false;
  for (size_t row = 0; row < TagTypes.size(); ++row) {
    std::string_view rest = TagTypes[row].Start.substr(1);
    size_t k = 0;
    while (k < rest.size()) {
      if (k == have) {
        if (ended || stream.ReadChar(ahead[have]) == 0) {
          ended = true;
          break;
        }
        ++have;
      }
      if (ahead[k] != rest[k]) break;
      ++k;
    }
    if (k == rest.size()) {
      if (have > k) stream.Seek(-static_cast<int64_t>(have - k), soCurrent);
      return static_cast<int>(row);
    }
  }
  return static_cast<int>(TagTypes.size()) - 1;  // not reached: "<" alone always fits
}

bool StreamReadUntil(TStream& stream, std::string_view stop, std::string& text) {
  text.clear();
  if (stop.empty()) return true;
  const char last = stop.back();
  char c = 0;
  while (stream.ReadChar(c) != 0) {
    text.push_back(c);
    if (c == last && text.size() >= stop.size() &&
        std::string_view(text).substr(text.size() - stop.size()) == stop) {
      text.resize(text.size() - stop.size());
      return true;
    }
  }
  return false;
}

void SplitTagText(std::string_view text, int64_t start, int64_t finish, std::vector<std::string>& list) {
  list.clear();
  if (!TrimBounds(text, start, finish)) return;
  std::string_view range = text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(finish - start));
  std::string word;
  auto flush = [&] {
    // Spaces and control characters at both ends go; tabs inside stay.
    size_t b = 0;
    size_t e = word.size();
    while (b < e && static_cast<unsigned char>(word[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(word[e - 1]) <= ' ') --e;
    if (b < e) list.push_back(word.substr(b, e - b));
    word.clear();
  };
  char quote = 0;
  for (char c : range) {
    if (c == '\r' || c == '\n') {  // line breaks separate words even inside quotes
      flush();
      continue;
    }
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ' ') {
      flush();
      continue;
    }
    word.push_back(c);
  }
  flush();
}

void TXmlNode::ParseStartTag(std::string_view text, int64_t start, int64_t finish) {
  std::vector<std::string> words;
  SplitTagText(text, start, finish, words);
  size_t first = 0;
  if (NodeType == xnDeclaration) {
    Name = kDeclarationName;
  } else {
    if (words.empty()) throw EFilerError("Missing element name");
    Name = std::move(words[0]);
    first = 1;
  }
  if (words.size() > first) {
    Attributes.assign(std::make_move_iterator(words.begin() + static_cast<ptrdiff_t>(first)),
                      std::make_move_iterator(words.end()));
  }
}

void TXmlNode::ReadFromStream(TStream& stream) { StreamNodeReader(stream).Read(*this); }

void TXmlDocument::ReadFromStream(TStream& stream) {
  ContainerNode = TXmlNode::Create(this);
  // Freed on every path, with whatever top-level nodes it still holds.
  struct ContainerScope {
    TXmlDocument& document;
    ~ContainerScope() { document.ContainerNode.reset(); }
  } scope{*this};
  TXmlNode& container = *ContainerNode;

  // Text outside markup is consumed a character at a time and dropped.
  do {
    int64_t before = stream.Position();
    TXmlNode* child = container.AddChild(std::string());
    child->ReadFromStream(stream);
    if (child->Name.empty()) {
      container.DeleteNode(container.NodeCount() - 1);
      if (stream.Position() == before) break;  // the stream gives nothing more
    }
  } while (stream.Position() < stream.Size());

  TXmlNode* element = nullptr;
  for (auto& node : container.Nodes) node->Parent = nullptr;
  for (auto& node : container.Nodes) {
    if (node->NodeType == xnElement || node->NodeType == xnEmptyElement) {
      if (element) throw EFilerError("More than one root element found in xml");
      element = node.get();
    }
  }
  if (!element) throw EFilerError("No root element found in xml");
  Root = container.ExtractNode(element);

  for (auto& node : container.Nodes) {
    switch (node->NodeType) {
      case xnDeclaration:
        node->ReadAttribute("version", Version);
        node->ReadAttribute("encoding", Encoding);
        break;
      case xnComment:
        if (!Comment.empty()) throw EFilerError("Multiple comments in root not supported");
        Comment = node->GetValue();
        break;
      case xnCData:
        throw EFilerError("No CDATA allowed in root");
      default:
        break;  // stray close tags, style sheets and other markup are dropped
    }
  }
}

}  // namespace tov
