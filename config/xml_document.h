// The program's own small XML document engine. A document is one text plus a
// flat table of element records that point into it; nothing is copied out of
// the text until a value is asked for, and additions splice text into it so
// that the text is the document at every moment.
//
// The text is handled as bytes: no character-set conversion is made, and
// UTF-8 continuation bytes never equal a delimiter, so UTF-8 passes through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One element. Positions are byte indices into the document text; links are
// indices into the record table, 0 meaning none.
struct ElemRecord {
    int32_t startTagOpen = 0;   // "<" of the start tag
    int32_t startTagClose = 0;  // ">" of the start tag
    int32_t endTagOpen = 0;     // "<" of the end tag; the "/" of an empty-element tag
    int32_t endTagClose = 0;    // ">" of the end tag; startTagClose for an empty-element tag
    int32_t parent = 0;
    int32_t firstChild = 0;
    int32_t nextSibling = 0;
};

// The scanner's state over a text.
struct TokenSpan {
    std::string_view text;
    int32_t left = 0;    // first byte of the token
    int32_t right = -1;  // last byte of the token
    int32_t next = 0;    // where the next scan starts
    bool quoted = false;
};

enum NodeKind : int32_t {
    NodeNone = 0,
    NodeElement = 1,
    NodeText = 2,
    NodeWhitespace = 4,
    NodeCData = 8,
    NodeProcessingInstruction = 16,
    NodeComment = 32,
    NodeDocType = 64,
};

class XmlDocument {
public:
    // Nesting deeper than this is refused as a parse error: the parse recurses
    // once per level and must not run out of stack on a hostile file.
    static constexpr int kMaxDepth = 256;

    XmlDocument();
    virtual ~XmlDocument();

    // Replaces the text (none gives the empty text; a text ends at its first
    // zero byte) and parses it. True when a root element was parsed; false
    // leaves a document without elements and, for a malformed text, the
    // message in ErrorText().
    bool SetDocument(const char* text = nullptr);
    bool SetDocument(const std::string& text);

    std::string GetDocument() const { return docText; }
    const std::string& ErrorText() const { return errorText; }
    bool IsWellFormed() const;

    // Navigation. The main position is the element main-level operations act
    // on, the parent position its parent, the child position one of its
    // children. A failing find leaves the positions as they were.
    void ResetPosition();
    bool FindElement(const char* name = nullptr);
    bool FindChildElement(const char* name = nullptr);
    bool IntoElement();
    std::string GetChildData() const { return ElementData(childPos); }

    // Additions. A value is escaped; a name is written as given. AddElement
    // adds after the main position (a root element on an empty document);
    // AddChildElement adds after the child position, or as the last child.
    bool AddElement(const char* name, const char* value = nullptr);
    bool AddChildElement(const char* name, const char* value = nullptr);

    // The value of an element: entity references decoded, a CDATA section
    // taken raw, empty for an element that has children or is empty.
    std::string ElementData(int32_t index) const;

    // Read access to the records and positions.
    int32_t RecordCount() const { return freePos; }  // records in use, record 0 included
    const ElemRecord& Record(int32_t index) const { return positions[index]; }
    int32_t ParentPos() const { return parentPos; }
    int32_t MainPos() const { return mainPos; }
    int32_t ChildPos() const { return childPos; }
    int32_t NodeType() const { return nodeType; }
    std::string TagName(int32_t index) const;

    // Scanning primitives over a text; the end of the text counts as its
    // terminating zero.
    static bool SkipWhitespace(std::string_view text, int32_t& index);
    static bool FindChar(std::string_view text, int32_t& index, char c);
    static bool FindToken(TokenSpan& span);
    static std::string TokenText(const TokenSpan& span);
    static NodeKind ParseNode(TokenSpan& span);
    static std::string EncodeText(std::string_view value);
    std::string DecodeText(int32_t first, int32_t last) const;

private:
    int32_t ParseElement(int32_t parent, int depth);
    int32_t FindStartTag(int32_t i, TokenSpan& tok);
    bool ParseChildren(int32_t i, int depth);
    int32_t ParseEndTag(int32_t i, std::string_view name);
    int32_t ParseError(const char* format, std::string_view name = {});
    int32_t NewPosition();
    int32_t ReleasePosition();
    void ClearDocumentRecord();
    void SetPositions(int32_t parent, int32_t main, int32_t child);

    int32_t FindElementIn(int32_t parent, int32_t after, const char* name) const;
    // The text an addition puts in at `where` in place of `replaced` bytes:
    // `lead`, then the element at `offset`.
    struct Splice {
        int32_t where = 0;
        int32_t replaced = 0;
        int32_t offset = 0;
        std::string lead;
        bool reopened = false;  // an empty-element parent opened up
    };
    bool AddNew(const char* name, const char* value, bool child);
    bool PlaceOfNew(bool child, int32_t& parent, int32_t& after);
    Splice OpenParent(int32_t parent, int32_t offset) const;
    static std::string ElementText(const std::string& tag, const char* value, int32_t offset,
                                   ElemRecord& r);
    std::string ParentEndTag(int32_t parent, const Splice& s);
    int32_t LinkNew(int32_t parent, int32_t after, ElemRecord r);
    bool IsEmptyElement(int32_t index) const;
    bool IsBlankContent(int32_t index) const;
    void LocateNew(int32_t parent, int32_t& after, int32_t& offset) const;
    void ReplaceText(int32_t index, int32_t count, const std::string& text);
    void AdjustPositions(int32_t index, int32_t shift);
    void ShiftSubtree(int32_t root, int32_t shift);

    std::string docText;
    std::string errorText;
    std::vector<ElemRecord> positions;
    int32_t parentPos = 0;
    int32_t mainPos = 0;
    int32_t childPos = 0;
    int32_t freePos = 1;
    int32_t nodeType = 0;
};
