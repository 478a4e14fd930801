// The readers of the document model: the stream node reader, which reads one
// node with its subtree, the document reader, which keeps the single root
// element, the declaration and the top-level comment, and the string-range
// reader, which reads a node's content from a range of a string in memory.
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

[[noreturn]] void FailNestedTooDeep(const std::string& name) {
  throw EFilerError(Format("Elements nested deeper than %d levels in element %s",
                           {int64_t{XmlMaxNestingDepth}, name}));
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
          // Safeguard: no recursion. Nesting is bounded and kept in a list of our own.
          if (open_.size() >= static_cast<size_t>(XmlMaxNestingDepth)) FailNestedTooDeep(node.Name);
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

  // Text outside markup is consumed a character at a time and dropped. The
  // position is asked for only after a read, since a 16-bit wrapper knows it
  // only then.
  int64_t last = -1;
  for (;;) {
    TXmlNode* child = container.AddChild(std::string());
    child->ReadFromStream(stream);
    if (child->Name.empty()) container.DeleteNode(container.NodeCount() - 1);
    int64_t position = stream.Position();
    if (position == last || position >= stream.Size()) break;  // a round that read nothing: the end
    last = position;
  }

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

// ---- the string-range reader ----

bool TextMatchesAt(std::string_view what, std::string_view text, int64_t p) {
  if (p < 1 || static_cast<uint64_t>(p - 1) + what.size() > text.size()) return false;
  std::string_view here = text.substr(static_cast<size_t>(p - 1), what.size());
  return SameText(here, what);
}

bool SearchText(std::string_view what, std::string_view text, int64_t start, int64_t& found, int64_t limit) {
  const auto length = static_cast<int64_t>(what.size());
  for (int64_t p = start < 1 ? 1 : start; p + length <= limit; ++p) {
    if (TextMatchesAt(what, text, p)) {
      found = p;
      return true;
    }
    if (p > static_cast<int64_t>(text.size())) break;
  }
  return false;
}

namespace {

// SearchText for the stop texts of the marker table, remembering the last
// answer for each, so that a stop missing from the rest of the range is looked
// for once rather than at every marker that needs it.
class StopFinder {
 public:
  bool Find(std::string_view stop, std::string_view text, int64_t from, int64_t& found, int64_t limit) {
    Entry& entry = EntryFor(stop);
    if (entry.used && from >= entry.from) {
      if (entry.found != 0 && from <= entry.found) {
        // No occurrence between entry.from and entry.found: it is the first.
        found = entry.found;
        return entry.found + static_cast<int64_t>(stop.size()) <= limit;
      }
      if (entry.found == 0 && limit <= entry.limit) return false;
    }
    int64_t at = 0;
    bool hit = SearchText(stop, text, from, at, limit);
    entry = {stop, true, from, limit, hit ? at : 0};
    found = at;
    return hit;
  }

 private:
  struct Entry {
    std::string_view stop;
    bool used = false;
    int64_t from = 0;
    int64_t limit = 0;
    int64_t found = 0;  // 0: none from `from` up to `limit`
  };

  Entry& EntryFor(std::string_view stop) {
    for (Entry& entry : entries_) {
      if (entry.used && entry.stop == stop) return entry;
    }
    for (Entry& entry : entries_) {
      if (!entry.used) return entry;
    }
    entries_[0].used = false;
    return entries_[0];
  }

  std::array<Entry, 4> entries_;
};

bool DetectNodeTypeIn(std::string_view text, int64_t& start, int64_t& finish, int64_t& next, uint8_t& kind,
                      StopFinder& finder) {
  if (!TrimBounds(text, start, finish)) return false;
  for (const TTagType& row : TagTypes) {
    if (!TextMatchesAt(row.Start, text, start)) continue;
    const int64_t after = start + static_cast<int64_t>(row.Start.size());
    int64_t found = 0;
    if (!finder.Find(row.Stop, text, after, found, finish)) continue;  // try the next marker here
    start = after;
    finish = found;
    next = found + static_cast<int64_t>(row.Stop.size());
    kind = row.Kind;
    if (kind == xnElement && found > after && text[static_cast<size_t>(found - 2)] == '/') {
      --finish;
      kind = xnEmptyElement;
    }
    return true;
  }
  return false;
}

// Whether what stands at p and ends before limit.
bool MatchesInRange(std::string_view what, std::string_view text, int64_t p, int64_t limit) {
  return p + static_cast<int64_t>(what.size()) <= limit && TextMatchesAt(what, text, p);
}

// The string-range reader. A child element's content is read as a frame of
// its own on an explicit stack, so nesting costs no machine stack; nesting is
// bounded like the stream reader's.
class StringRangeReader {
 public:
  explicit StringRangeReader(std::string_view text) : text_(text) {}

  void Read(TXmlNode& node, int64_t start, int64_t& finish) {
    frames_.push_back({&node, start, finish});
    bool running = Begin(frames_.back());
    for (;;) {
      if (!running) {
        Frame done = frames_.back();
        frames_.pop_back();
        if (frames_.empty()) {
          finish = done.finish;
          return;
        }
        running = AfterChild(frames_.back(), *done.node, done.finish);
        continue;
      }
      running = Step();
    }
  }

 private:
  struct Frame {
    TXmlNode* node;
    int64_t pos;     // where reading goes on
    int64_t finish;  // end of the range; set to a close tag's "<" when one ends the content
  };

  std::string Slice(int64_t start, int64_t finish) const {
    return std::string(text_.substr(static_cast<size_t>(start - 1), static_cast<size_t>(finish - start)));
  }

  // The range trimmed and the text before the first "<" taken as Value. True
  // when child nodes follow at frame.pos.
  bool Begin(Frame& frame) {
    if (!TrimBounds(text_, frame.pos, frame.finish)) return false;
    int64_t lt = 0;
    if (!SearchText("<", text_, frame.pos, lt, frame.finish)) return false;  // text only: not kept
    int64_t valueStart = frame.pos;
    int64_t valueFinish = lt;
    if (TrimBounds(text_, valueStart, valueFinish)) frame.node->Value = Slice(valueStart, valueFinish);
    frame.pos = lt;
    if (MatchesInRange("</", text_, lt, frame.finish)) {
      frame.finish = lt;
      return false;
    }
    return true;
  }

  // One node of the top frame's content. True while the frame goes on.
  bool Step() {
    Frame& frame = frames_.back();
    int64_t start = frame.pos;
    int64_t finish = frame.finish;
    int64_t next = 0;
    uint8_t kind = 0;
    if (!DetectNodeTypeIn(text_, start, finish, next, kind, finder_)) return false;
    if (kind == xnCloseTag) {
      // The content ends at this close tag: the enclosing read checks it, as
      // it does after a child element.
      frame.finish = start - 2;
      return false;
    }
    if (kind == xnOther) {
      frame.pos = next;
      return true;
    }
    auto made = TXmlNode::CreateType(frame.node->Document, kind);
    TXmlNode& child = *made;
    switch (kind) {
      case xnDeclaration:
        child.ParseStartTag(text_, start - 3, finish);  // from "xml" on
        break;
      case xnStyleSheet:
        child.ParseStartTag(text_, start - 14, finish);  // "xml-stylesheet" is the first word
        break;
      case xnComment:
        child.Name = kCommentName;
        child.Value = Slice(start, finish);
        break;
      case xnCData:
        child.Name = kCDataName;
        child.Value = Slice(start, finish);
        break;
      default:
        child.ParseStartTag(text_, start, finish);
        break;
    }
    frame.node->AddNode(std::move(made));
    if (kind != xnElement) {
      frame.pos = next;
      return true;
    }
    // Safeguard: no recursion.
    if (frames_.size() >= static_cast<size_t>(XmlMaxNestingDepth)) FailNestedTooDeep(child.Name);
    const int64_t rangeFinish = frame.finish;
    frames_.push_back({&child, next, rangeFinish});  // frame is stale from here
    return Begin(frames_.back());
  }

  // After a child element's content, which ended at e: its close tag must
  // follow. True when the frame goes on after it.
  bool AfterChild(Frame& frame, const TXmlNode& child, int64_t e) {
    int64_t start = e;
    int64_t finish = frame.finish;
    if (!TrimBounds(text_, start, finish)) FailIn("Missing close tag in element %s", frame.node->Name);
    std::string close = Format("</%s>", {child.Name});
    if (!MatchesInRange(close, text_, start, frame.finish)) {
      FailIn("Incorrect close tag in element %s", frame.node->Name);
    }
    start += static_cast<int64_t>(close.size());
    finish = frame.finish;
    if (!TrimBounds(text_, start, finish)) return false;
    if (MatchesInRange("</", text_, start, frame.finish)) {
      frame.finish = start;
      return false;
    }
    frame.pos = start;
    return true;
  }

  std::string_view text_;
  std::vector<Frame> frames_;
  StopFinder finder_;
};

}  // namespace

bool TXmlNode::DetectNodeType(std::string_view text, int64_t& start, int64_t& finish, int64_t& next,
                              uint8_t& kind) const {
  StopFinder finder;
  return DetectNodeTypeIn(text, start, finish, next, kind, finder);
}

void TXmlNode::ReadFromString(std::string_view text, int64_t start, int64_t& finish) {
  StringRangeReader(text).Read(*this, start, finish);
}

}  // namespace tov
