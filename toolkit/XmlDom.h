// A small XML document model: a tree of TXmlNode objects owned by a
// TXmlDocument, the readers that build it from 8-bit text (from a stream, or
// from a range of a string), the writer that turns it back into text, and typed
// accessors that keep settings-like values in a tree.
//
// The readers do not validate: no document types, no namespaces, no numeric
// character references. Element text and attribute values keep their entity
// references as written; GetValue and AttributeValue decode the five standard
// ones, and the writer writes them as stored. Files may hold UTF-16 with a
// byte-order mark (see Utf8Stream.h). Malformed input and misuse raise
// EFilerError with fixed English texts; nothing here logs.
//
// The model lives in XmlDom.cpp, the readers in XmlParser.cpp, the writer in
// XmlWriter.cpp and the typed accessors in XmlTypedValues.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Graphics.h"
#include "platform/Persistent.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"

namespace tov {

class TXmlDocument;

// Node kinds (TXmlNode::NodeType), the same numbers as the marker table's Kind.
enum : uint8_t {
  xnElement = 0,
  xnCloseTag = 1,      // a close tag met where a node was expected
  xnEmptyElement = 2,  // a start tag ending in "/"
  xnComment = 3,
  xnCData = 4,
  xnDeclaration = 5,   // "<?xml"
  xnStyleSheet = 6,    // "<?xml-stylesheet"
  xnOther = 7,         // any other "<!" or "<?" markup
};

// One node marker: the text that opens a node, the text that ends it and the
// kind of node it opens.
struct TTagType {
  std::string_view Start;
  std::string_view Stop;
  uint8_t Kind;
};

// In matching order: every marker stands before each marker that is a prefix of
// it, so the first that fits is the longest.
inline constexpr std::array<TTagType, 8> TagTypes = {{
    {"<![CDATA[", "]]>", xnCData},
    {"<?xml-stylesheet", "?>", xnStyleSheet},
    {"<?xml", "?>", xnDeclaration},
    {"<!--", "-->", xnComment},
    {"<!", ">", xnOther},
    {"<?", "?>", xnOther},
    {"</", ">", xnCloseTag},
    {"<", ">", xnElement},
}};

inline constexpr std::string_view XmlEntityChars = "&<>'\"";
inline constexpr std::array<std::string_view, 5> XmlEntities = {"&amp;", "&lt;", "&gt;", "&apos;",
                                                                "&quot;"};
inline constexpr std::string_view QuoteChars = "\"'";
inline constexpr std::string_view BlankChars = "\t\n\r ";
inline bool IsBlankChar(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Open elements one read may nest. Far above any real document; it keeps a
// hostile input from building a tree that recursive walkers cannot handle.
// Neither the readers nor the writer recurse, so trees built deeper through
// AddChild are written (and freed) safely too.
inline constexpr int XmlMaxNestingDepth = 1000;

// The typed accessors' texts: booleans, hexadecimal digits (upper case, then
// lower case) and the 64 characters of the six-bit binary text in value order.
inline constexpr std::array<std::string_view, 2> BoolNames = {"False", "True"};
inline constexpr std::string_view HexDigits = "0123456789ABCDEF0123456789abcdef";
inline constexpr std::string_view SixBitChars =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ*-";

// One node of the tree. A node owns its attribute lines and its children;
// Document and Parent are plain back references.
class TXmlNode : public TPersistent {
 public:
  using TNodeList = std::vector<std::unique_ptr<TXmlNode>>;

  // One line per attribute: the name, "=" and the value as written, quotes and
  // entity references kept. Document order; duplicates are possible.
  std::vector<std::string> Attributes;
  TXmlDocument* Document = nullptr;  // may be null
  uint8_t NodeType = xnElement;
  std::string Name;  // element name as written, or the reader's fixed name
  TNodeList Nodes;   // the children, in order
  TXmlNode* Parent = nullptr;  // null for a root and a node outside a tree
  std::string Value;  // text with entity references still encoded

  explicit TXmlNode(TXmlDocument* document);
  TXmlNode(TXmlDocument* document, std::string name);
  TXmlNode(TXmlDocument* document, std::string name, std::string value);
  // Frees the whole subtree, however deep, without recursion.
  ~TXmlNode() override;

  const char* ClassName() const override { return "TXmlNode"; }

  static std::unique_ptr<TXmlNode> Create(TXmlDocument* document);
  static std::unique_ptr<TXmlNode> CreateName(TXmlDocument* document, std::string name);
  static std::unique_ptr<TXmlNode> CreateNameValue(TXmlDocument* document, std::string name,
                                                   std::string value);
  static std::unique_ptr<TXmlNode> CreateType(TXmlDocument* document, uint8_t kind);

  // The child at index; null when out of range.
  virtual TXmlNode* GetNode(int index) const;
  virtual int NodeCount() const;
  // Reads one node with its whole subtree into this node, which is normally
  // new, empty and already appended to its parent. At the end of the input, or
  // when the first character that is not a blank is not "<", it returns and the
  // node stays untouched. Raises EFilerError on malformed input; the nodes read
  // so far stay in the tree.
  virtual void ReadFromStream(TStream& stream);
  // Reads this node's content (its text and child nodes) from positions start
  // to finish - 1 of text (counting from 1); a fragment is read with start 1
  // and finish text.size() + 1. finish is trimmed of blanks; when the content
  // ends at a close tag, finish is set to the position of its "<". Only the
  // text before the first child becomes Value; text after a child element
  // that is not markup ends the read. Markers compare without regard to case,
  // markup of kind 7 makes no node. Raises EFilerError "Missing close tag in
  // element %s" or "Incorrect close tag in element %s" (naming this node) and
  // "Missing element name"; the children read so far stay appended.
  virtual void ReadFromString(std::string_view text, int64_t start, int64_t& finish);
  // "<" Name, a blank and each attribute line, then "/>" when the node has no
  // content, else ">".
  virtual std::string GetStartTag() const;
  // Writes the node and its subtree as stored, laid out by the document's
  // Layout; a node without a document is written compact.
  virtual void WriteToStream(TStream& stream) const;
  // Exactly what WriteToStream writes.
  virtual std::string WriteToString() const;
  virtual void ClearAttributes();
  // Empties name, value, attributes and children; kind, parent and document stay.
  virtual void Clear();
  virtual bool HasAttribute(std::string_view name) const;
  // No name and no content.
  virtual bool IsEmpty() const;
  // No value, no children and no attributes.
  virtual bool HasNoContent() const;
  // Appends node as the last child and sets its Parent; returns its index, or
  // -1 for a null node. The node's Document is not changed.
  virtual int AddNode(std::unique_ptr<TXmlNode> node);
  // The first child of that name, compared without regard to case.
  virtual TXmlNode* FindNode(std::string_view name) const;
  // Removes and frees a child; an index out of range does nothing.
  virtual void DeleteNode(int index);
  // Removes node from the children without freeing it; null when it is not a
  // child. Its Parent is left as it was.
  virtual std::unique_ptr<TXmlNode> ExtractNode(TXmlNode* node);
  virtual int IndexOfNode(std::string_view name) const;
  // The same search from start on; a negative start counts as 0.
  virtual int IndexOfNodeFrom(std::string_view name, int start) const;
  // A new child of that name in this node's document, appended.
  virtual TXmlNode* AddChild(std::string name);
  virtual void ClearNodes();

  // Typed values. A value named N lives in the first child named N (without
  // regard to case); writers always append a new child. Readers return the
  // default when the child is absent or its text is unreadable. With the
  // document's StoreDefaults false, the scalar writers add nothing for a value
  // equal to its default.

  // The attribute N as an integer, converted as ValueAsInteger converts.
  virtual int32_t ReadAttributeInteger(std::string_view name, int32_t defaultValue = 0) const;
  virtual bool ReadBool(std::string_view name, bool defaultValue = false) const;
  // Colour and style from the child N (the bitmap is left alone); without it
  // the bitmap cleared, white and solid.
  virtual void ReadBrush(std::string_view name, TBrush& brush) const;
  // Strict: a child whose text is not an integer (as ValueAsInteger reads
  // one) raises EConvertError.
  virtual TColor ReadColor(std::string_view name, TColor defaultValue = clBlack) const;
  virtual double ReadFloat(std::string_view name, double defaultValue = 0.0) const;
  // The style set is emptied first; without the child N: Arial, black, 14.
  virtual void ReadFont(std::string_view name, TFont& font) const;
  virtual int32_t ReadInteger(std::string_view name, int32_t defaultValue = 0) const;
  // Without the child N: black, copy, solid, width 1. Modes and styles outside
  // their enumerations read as copy and solid.
  virtual void ReadPen(std::string_view name, TPen& pen) const;
  // The child's text entity-decoded.
  virtual std::string ReadString(std::string_view name, std::string_view defaultValue = "") const;
  // Fills buffer from this node's Value, blanks ignored, by the document's
  // BinaryMode: 0 hexadecimal, 2 six-bit text. EFilerError "Missing data in
  // binary stream" (buffer untouched) when the text is too short; any other
  // mode leaves the buffer untouched.
  virtual void ReadBinary(std::span<uint8_t> buffer) const;
  // Replaces Value by the bytes' text in BinaryMode 0 or 2, wrapped at 80
  // characters with LineBreak() and Indent(). Other modes have no encoding:
  // EFilerError "Binary mode %d is not supported", Value untouched.
  virtual void WriteBinary(std::span<const uint8_t> buffer);
  // Value as true ("TRUE", or T... or Y...) or false ("FALSE", F... or N...),
  // letters in any case; anything else gives the default.
  virtual bool ValueAsBool(bool defaultValue = false) const;
  // Value read as a decimal number, its first comma taken as the decimal
  // point; anything that is not wholly a number gives the default.
  virtual double ValueAsFloat(double defaultValue = 0.0) const;
  // Value through StrToInt, a sign allowed before a hexadecimal prefix;
  // anything it refuses gives the default.
  virtual int32_t ValueAsInteger(int32_t defaultValue = 0) const;
  // Replaces the value of the first attribute N, or appends one; always.
  virtual void WriteAttributeInteger(std::string_view name, int32_t value);
  virtual void WriteBool(std::string_view name, bool value, bool defaultValue = false);
  virtual void WriteBrush(std::string_view name, const TBrush& brush);
  // The colour's RGB value as "$" and 8 digits; with StoreDefaults false, black
  // is never written.
  virtual void WriteColor(std::string_view name, TColor value, TColor defaultValue = clBlack);
  virtual void WriteFloat(std::string_view name, double value, double defaultValue = 0.0);
  virtual void WriteFont(std::string_view name, const TFont& font);
  // "$" and at least digits upper-case digits (negative values as 8 digits).
  virtual void WriteHex(std::string_view name, int32_t value, int digits, int32_t defaultValue = 0);
  virtual void WriteInteger(std::string_view name, int32_t value, int32_t defaultValue = 0);
  virtual void WritePen(std::string_view name, const TPen& pen);
  // The value entity-encoded.
  virtual void WriteString(std::string_view name, std::string_view value, std::string_view defaultValue = "");

  // Appends the line name="value" with the value entity-encoded and quoted;
  // an attribute of that name already there is not looked for.
  void AddAttribute(std::string_view name, std::string_view value);
  // value := AttributeValue of the first attribute of that name; left as it was
  // when there is none, so callers pass their default in it.
  void ReadAttribute(std::string_view name, std::string& value) const;
  int IndexOfAttribute(std::string_view name) const;
  int AttributeCount() const;
  // The part of line index before its first "="; empty when out of range or
  // when the line has no "=".
  std::string AttributeName(int index) const;
  // The whole line; empty when out of range.
  std::string AttributeText(int index) const;
  // The value of the first line that bears line index's name, unquoted and
  // decoded. An index out of range raises EListError.
  std::string AttributeValue(int index) const;
  // Replaces line index by name="value"; an index out of range does nothing.
  void SetAttributeValue(int index, std::string_view value);
  uint8_t BinaryMode() const;
  bool StoreDefaults() const;
  // 0 for the root and for a node without parent or document; one more per
  // parent below it.
  int Level() const;
  // Value with entity references decoded: how element text is read.
  std::string GetValue() const;

  // Sets Name and Attributes from the text of a start tag, positions start to
  // finish - 1 of text (counting from 1). A declaration (kind 5) is named
  // "Xml-Stylesheet" and keeps every word as an attribute line; any other kind
  // takes its first word as Name and raises EFilerError "Missing element name"
  // when there is none. Remaining words replace the attribute lines; with none
  // left the lines stay as they were.
  void ParseStartTag(std::string_view text, int64_t start, int64_t finish);
  // Finds the node marker at start in the range start .. finish - 1: the first
  // row of TagTypes whose Start stands at start and whose Stop follows within
  // the range, both compared without regard to ASCII case. Then start is just
  // after the marker, finish at the stop text, next just after it, and kind the
  // row's kind (2 for a start tag ending in "/", finish then before the "/").
  // False when no row fits.
  bool DetectNodeType(std::string_view text, int64_t& start, int64_t& finish, int64_t& next,
                      uint8_t& kind) const;
  // Two blanks per level in layout 0, else none.
  std::string Indent() const;
  // Between nodes: CR LF in layout 0, none in layout 1, LF in the others; none
  // for a node without a document.
  std::string LineBreak() const;
};

// Called with the document and the node that has begun or finished loading. A
// handler must neither free nodes of the tree being read nor start another read
// into the same document.
using TXmlNodeEvent = std::function<void(TXmlDocument& sender, TXmlNode& node)>;
using TXmlNotifyEvent = std::function<void(TXmlDocument& sender)>;

// A document: the root element and the settings of the declaration and layout.
class TXmlDocument : public TPersistent {
 public:
  uint8_t BinaryMode = 2;
  std::string Comment;  // the one top-level comment, entities decoded
  std::string Encoding = "windows-1252";
  std::unique_ptr<TXmlNode> Root;  // never null unless a caller resets it
  bool Unicode = false;
  std::unique_ptr<TXmlNode> ContainerNode;  // holds the top-level nodes while ReadFromStream runs
  std::string Version = "1.0";
  bool StoreDefaults = true;
  uint8_t Layout = 1;  // 0 indented with CR LF, 1 compact, other values LF only

  TXmlNodeEvent OnNodeNew;      // a node's start has been read
  TXmlNodeEvent OnNodeLoaded;   // a node has been read completely, or its read failed
  TXmlNotifyEvent OnConversionLoss;  // 16-bit text lost characters while loading

  // A nameless, empty root and the defaults.
  TXmlDocument();
  // The same with the root named.
  explicit TXmlDocument(std::string rootName);
  ~TXmlDocument() override;

  static std::unique_ptr<TXmlDocument> Create();
  static std::unique_ptr<TXmlDocument> CreateName(std::string rootName);

  const char* ClassName() const override { return "TXmlDocument"; }
  // A document source is copied with AssignDocument; anything else raises
  // EConvertError "Cannot assign a %s to a %s".
  void Assign(const TPersistent* source) override;
  // Clears, then copies what the source's text carries: the tree, Version,
  // Encoding and Comment (the other settings keep their defaults). A null
  // source just clears. A source that is this document keeps its tree.
  virtual void AssignDocument(const TXmlDocument* source);
  // CR LF for layout 0, otherwise LF.
  virtual std::string GetLineBreak() const;
  // Reads every top-level node and keeps the single root element, the
  // declaration's version and encoding and the one top-level comment. Raises
  // EFilerError on malformed input; a failure before the root is found leaves
  // Root, Version, Encoding and Comment as they were.
  virtual void ReadFromStream(TStream& stream);
  // The declaration (when Version or Encoding is set) and the comment (when
  // set), each ending with GetLineBreak(), then the root; 8-bit, no mark.
  // EFilerError "XML root element not defined." without a root, nothing
  // written.
  virtual void WriteToStream(TStream& stream) const;
  // Comment, Encoding, Unicode, Version, Layout, StoreDefaults and BinaryMode
  // to their defaults; the tree is not touched.
  virtual void SetDefaults();
  // The defaults and an empty, nameless root (the same root object).
  virtual void Clear();
  virtual bool IsEmpty() const;
  // Clears, then reads the stream from its position through a TUtf8Stream:
  // 16-bit text with a byte-order mark is narrowed to 8-bit and sets Unicode,
  // and OnConversionLoss fires (once) when characters were lost doing so.
  virtual void LoadFromStream(TStream& stream);
  // Opens the file for reading and loads it; a file that cannot be opened
  // raises EFOpenError and leaves the document as it was.
  virtual void LoadFromFile(const std::string& fileName);
  // Reads a document from the bytes of text. It does not clear first: a
  // second read replaces the root and keeps an earlier Comment, and Version
  // and Encoding unless the new declaration carries them.
  virtual void ReadFromString(std::string_view text);
  // WriteToStream through a TUtf8Stream: with Unicode set, the mark FF FE and
  // the text as 16-bit little-endian units.
  virtual void SaveToStream(TStream& stream) const;
  // Creates (or truncates) the file and saves into it; EFCreateError "Cannot
  // create file %s" when it cannot be created. A document without a root
  // raises before the file is touched.
  virtual void SaveToFile(const std::string& fileName) const;
  // What WriteToStream writes, as a string (never 16-bit).
  virtual std::string WriteToString() const;

  void DoNodeNew(TXmlNode& node);
  void DoNodeLoaded(TXmlNode& node);
  void DoConversionLoss();
};

// Each character of XmlEntityChars replaced by its reference.
std::string EncodeXmlEntities(std::string_view text);
// Only "&", "<" and ">" replaced by their references: what element text needs
// so that it cannot close its element or start markup. Quotes stay as typed.
std::string EncodeXmlText(std::string_view text);
// The five references of XmlEntities replaced by their characters in one pass
// from the left; other references stay as written.
std::string DecodeXmlEntities(std::string_view text);
// In double quotes, or in single quotes when text holds a double quote; the
// quote character chosen is doubled inside.
std::string QuoteXmlValue(std::string_view text);
// The quoted string taken out of a text that begins with a quote character (a
// doubled quote counts as one, text after the closing quote is dropped, no
// closing quote: up to the end); any other text, and a text of one character,
// unchanged.
std::string UnquoteXmlValue(std::string_view text);
// Narrows the range start .. finish - 1 (positions from 1, finish exclusive) to
// the text and then past the blanks at both ends; true when something is left.
bool TrimBounds(std::string_view text, int64_t& start, int64_t& finish);
// text without any character of BlankChars.
std::string StripWhitespace(std::string_view text);
// Writes the bytes of text, all of them or EWriteError; nothing for an empty text.
void StreamWriteString(TStream& stream, std::string_view text);
// text with lineBreak before characters 1, width + 1, 2 x width + 1 ... and once
// more at the end (an empty text gives lineBreak alone); text unchanged when
// lineBreak is empty or width is not positive.
std::string WrapString(std::string_view text, std::string_view lineBreak, int width);
// Swaps the two bytes of each 16-bit unit in place, up to the first unit that is
// zero; an odd last byte is not touched.
void SwapUnicodeBytes(std::span<uint8_t> buffer);

// The readers' pieces, shared with other readers of the same markup.

// Reads characters until one that is not a blank and leaves it in ch; false at
// the end of the input.
bool SkipBlankChars(TStream& stream, char& ch);
// The same for CR and LF only.
bool SkipLineBreakChars(TStream& stream, char& ch);
// Called just after a "<" has been read: the row of TagTypes whose Start stands
// there, the stream left just after that marker.
int ReadNodeMarker(TStream& stream);
// Reads until the text read ends with stop, which is then removed from it:
// true. At the end of the input: false, text holding everything read.
bool StreamReadUntil(TStream& stream, std::string_view stop, std::string& text);
// The words of a tag's text, range start .. finish - 1: split at blanks outside
// quoted runs and at line breaks anywhere, each word trimmed, empty ones
// dropped. list is replaced.
void SplitTagText(std::string_view text, int64_t start, int64_t finish, std::vector<std::string>& list);
// The first position p from start on with p + what.size() <= limit at which
// what stands (ASCII letters in either case); false when there is none.
bool SearchText(std::string_view what, std::string_view text, int64_t start, int64_t& found, int64_t limit);
// Whether what stands at position p of text (counting from 1), ASCII letters
// in either case; false when text is too short.
bool TextMatchesAt(std::string_view what, std::string_view text, int64_t p);

}  // namespace tov
