#include "config/xml_document.h"

namespace {

const char kCrLf[] = "\r\n";

char At(std::string_view text, int32_t index)
{
    if (index < 0 || static_cast<size_t>(index) >= text.size())
        return '\0';
    return text[static_cast<size_t>(index)];
}

int32_t Length(std::string_view text) { return static_cast<int32_t>(text.size()); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsTokenDelimiter(char c)
{
    return IsBlank(c) || c == '<' || c == '>' || c == '=' || c == '\\' || c == '/' || c == '?' ||
           c == '!' || c == '\0';
}

// Finds `what` at or after `from`; gives its index or -1.
int32_t FindText(std::string_view text, int32_t from, std::string_view what)
{
    if (from < 0 || static_cast<size_t>(from) > text.size())
        return -1;
    size_t at = text.find(what, static_cast<size_t>(from));
    return at == std::string_view::npos ? -1 : static_cast<int32_t>(at);
}

std::string_view TokenView(const TokenSpan& span)
{
    int32_t end = span.right + 1;
    if (end > Length(span.text))
        end = Length(span.text);
    if (span.left < 0 || span.left >= end)
        return {};
    return span.text.substr(static_cast<size_t>(span.left), static_cast<size_t>(end - span.left));
}

// A tag name token matches a searched name when it is the whole name, or the
// name's first part up to a blank, "=", "/" or "[" (so "COM1" misses "COM10").
bool NameMatches(std::string_view token, std::string_view name)
{
    if (token.size() > name.size() || name.compare(0, token.size(), token) != 0)
        return false;
    if (token.size() == name.size())
        return true;
    char c = name[token.size()];
    return c == ' ' || c == '=' || c == '/' || c == '[';
}

}  // namespace

XmlDocument::XmlDocument() { SetDocument(nullptr); }

XmlDocument::~XmlDocument() = default;

// ---- scanning --------------------------------------------------------------

bool XmlDocument::SkipWhitespace(std::string_view text, int32_t& index)
{
    while (IsBlank(At(text, index)))
        ++index;
    return At(text, index) != '\0';
}

bool XmlDocument::FindChar(std::string_view text, int32_t& index, char c)
{
    if (index < 0)
        index = 0;
    while (index < Length(text) && text[static_cast<size_t>(index)] != c)
        ++index;
    if (index > Length(text))
        index = Length(text);
    return index < Length(text);
}

bool XmlDocument::FindToken(TokenSpan& span)
{
    span.quoted = false;
    int32_t end = Length(span.text);
    if (span.next < 0)
        span.next = 0;
    int32_t i = span.next;
    if (!SkipWhitespace(span.text, i) || i >= end) {
        span.left = span.right = span.next = end;
        return false;
    }
    char c = span.text[static_cast<size_t>(i)];
    if (c == '"' || c == '\'') {
        span.quoted = true;
        span.left = i + 1;
        int32_t close = i + 1;
        FindChar(span.text, close, c);
        span.right = close - 1;
        span.next = close < end ? close + 1 : end;
        return true;
    }
    span.left = i;
    while (!IsTokenDelimiter(At(span.text, i)))
        ++i;
    if (i == span.left)
        ++i;  // a delimiter is a token of its own
    span.right = i - 1;
    span.next = i;
    return true;
}

std::string XmlDocument::TokenText(const TokenSpan& span) { return std::string(TokenView(span)); }

NodeKind XmlDocument::ParseNode(TokenSpan& span)
{
    std::string_view text = span.text;
    int32_t end = Length(text);
    int32_t p = span.next;
    if (p < 0 || p >= end)
        return NodeNone;

    if (text[static_cast<size_t>(p)] != '<') {
        int32_t i = p;
        if (!SkipWhitespace(text, i) || At(text, i) == '<') {
            span.next = i;
            return NodeWhitespace;
        }
        FindChar(text, i, '<');
        span.next = i;
        return NodeText;
    }

    if (p + 2 >= end)
        return NodeNone;
    char c1 = text[static_cast<size_t>(p + 1)];
    char c2 = text[static_cast<size_t>(p + 2)];

    std::string_view close;
    NodeKind kind = NodeNone;
    if (c1 == '?') {
        close = "?>";
        kind = NodeProcessingInstruction;
    } else if (c1 == '!' && c2 == '[') {
        close = "]]>";
        kind = NodeCData;
    } else if (c1 == '!' && c2 == '-') {
        close = "-->";
        kind = NodeComment;
    } else if (c1 == '!') {
        // A declaration: tokens up to a ">" outside any [...] section.
        TokenSpan t{text, 0, -1, p, false};
        int depth = 0;
        while (FindToken(t)) {
            if (t.quoted)
                continue;
            std::string_view tok = TokenView(t);
            if (tok == ">" && depth == 0) {
                span.next = t.next;
                return NodeDocType;
            }
            for (char ch : tok) {
                if (ch == '[')
                    ++depth;
                else if (ch == ']' && depth > 0)
                    --depth;
            }
        }
        return NodeNone;
    } else if (c1 == '/') {
        return NodeNone;
    } else {
        return NodeElement;
    }

    int32_t at = FindText(text, p, close);
    if (at < 0)
        return NodeNone;
    span.next = at + Length(close);
    return kind;
}

std::string XmlDocument::EncodeText(std::string_view value)
{
    std::string out;
    out.reserve(value.size() + value.size() / 10 + 7);
    for (char c : value) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '&': out += "&amp;"; break;
        case '>': out += "&gt;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string XmlDocument::DecodeText(int32_t first, int32_t last) const
{
    static const struct {
        std::string_view ref;
        char c;
    } kEntities[] = {{"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};

    std::string out;
    if (first < 0)
        first = 0;
    if (last >= Length(docText))
        last = Length(docText) - 1;
    if (last < first)
        return out;
    std::string_view range(docText.data() + first, static_cast<size_t>(last - first + 1));
    out.reserve(range.size());
    for (size_t i = 0; i < range.size(); ++i) {
        char c = range[i];
        if (c == '&') {
            std::string_view rest = range.substr(i + 1);
            bool decoded = false;
            for (const auto& e : kEntities) {
                if (rest.substr(0, e.ref.size()) == e.ref) {
                    out += e.c;
                    i += e.ref.size();
                    decoded = true;
                    break;
                }
            }
            if (decoded)
                continue;
        }
        out += c;
    }
    return out;
}

// ---- records and parsing ---------------------------------------------------

int32_t XmlDocument::NewPosition()
{
    if (static_cast<size_t>(freePos) >= positions.size()) {
        size_t size = positions.size();
        size_t grown = size + size / 2;
        if (grown <= static_cast<size_t>(freePos))
            grown = static_cast<size_t>(freePos) + 1;
        positions.resize(grown);
    }
    positions[static_cast<size_t>(freePos)] = ElemRecord{};
    return freePos++;
}

int32_t XmlDocument::ReleasePosition()
{
    if (freePos > 1)
        --freePos;
    return 0;
}

int32_t XmlDocument::ParseError(const char* format, std::string_view name)
{
    errorText.clear();
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            errorText.append(name);
            ++p;
        } else {
            errorText += *p;
        }
    }
    ReleasePosition();
    return -1;
}

void XmlDocument::ClearDocumentRecord()
{
    if (positions.empty())
        positions.resize(1);
    positions[0] = ElemRecord{};
}

void XmlDocument::SetPositions(int32_t parent, int32_t main, int32_t child)
{
    parentPos = parent;
    mainPos = main;
    childPos = child;
    nodeType = main ? 1 : 0;
}

bool XmlDocument::SetDocument(const std::string& text) { return SetDocument(text.c_str()); }

bool XmlDocument::SetDocument(const char* text)
{
    freePos = 1;
    SetPositions(0, 0, 0);
    docText = text ? text : "";

    size_t wanted = docText.size() / 64 + 8;
    if (positions.size() < wanted)
        positions.resize(wanted);

    if (!docText.empty()) {
        ClearDocumentRecord();
        int32_t root = ParseElement(0, 1);
        if (root > 0) {
            positions[0].firstChild = root;
            SetPositions(0, 0, 0);
            return true;
        }
    }
    ClearDocumentRecord();
    freePos = 1;
    SetPositions(0, 0, 0);
    return false;
}

// Finds element i's start tag from where its parent's content goes on,
// stepping over comments, processing instructions and declarations. 1 with
// the tag's name in tok; 0 at the parent's end tag; -1 on a parse error.
int32_t XmlDocument::FindStartTag(int32_t i, TokenSpan& tok)
{
    const std::string_view text = docText;
    const int32_t parent = positions[i].parent;
    int32_t scan = positions[parent].endTagOpen;
    for (;;) {
        int32_t open = scan;
        if (!FindChar(text, open, '<'))
            return ParseError("No element tag found");
        positions[i].startTagOpen = open;
        // The parent's end tag is looked for from here on.
        positions[parent].endTagOpen = open;

        tok.next = open + 1;
        if (!FindToken(tok))
            return ParseError("Text ends inside a tag");
        if (tok.quoted)
            return ParseError("Tag name is quoted");

        char first = text[static_cast<size_t>(tok.left)];
        if (first == '/')
            return ReleasePosition();
        if (first != '?' && first != '!')
            return 1;
        TokenSpan node{text, 0, -1, open, false};
        NodeKind kind = ParseNode(node);
        // "< !" or "< ?" is no special node either: refuse it rather than
        // scan the same "<" again.
        if (kind != NodeProcessingInstruction && kind != NodeCData && kind != NodeComment &&
            kind != NodeDocType)
            return ParseError("Unclosed special node");
        scan = node.next;
    }
}

// Parses element i's children one after another up to its end tag. False
// on a parse error.
bool XmlDocument::ParseChildren(int32_t i, int depth)
{
    int32_t previous = 0;
    for (;;) {
        int32_t c = ParseElement(i, depth + 1);
        if (c < 0)
            return false;
        if (c == 0)
            return true;
        if (previous == 0)
            positions[i].firstChild = c;
        else
            positions[previous].nextSibling = c;
        previous = c;
        positions[i].endTagOpen = positions[c].endTagClose + 1;
    }
}

// Reads element i's end tag "</name ... >". i, or -1 on a parse error.
int32_t XmlDocument::ParseEndTag(int32_t i, std::string_view name)
{
    int32_t endOpen = positions[i].endTagOpen;
    if (!FindChar(docText, endOpen, '<'))
        return ParseError("Missing end tag of %s", name);
    positions[i].endTagOpen = endOpen;

    TokenSpan tok{docText};
    tok.next = endOpen + 1;
    int count = 0;
    while (FindToken(tok)) {
        ++count;
        std::string_view t = TokenView(tok);
        if (count == 1) {
            if (tok.quoted || t != "/")
                return ParseError("Expected end tag of %s", name);
        } else if (count == 2) {
            if (tok.quoted || !NameMatches(t, name))
                return ParseError("End tag does not match %s", name);
        } else if (!tok.quoted && t == ">") {
            positions[i].endTagClose = tok.left;
            return i;
        }
    }
    return ParseError("Incomplete end tag of %s", name);
}

int32_t XmlDocument::ParseElement(int32_t parent, int depth)
{
    int32_t i = NewPosition();
    positions[i].parent = parent;
    TokenSpan tok{docText};
    int32_t found = FindStartTag(i, tok);
    if (found <= 0)
        return found;

    const std::string_view name = TokenView(tok);
    if (depth > kMaxDepth)
        return ParseError("Elements nested too deeply at %s", name);

    int32_t close = tok.right + 1;
    if (!FindChar(docText, close, '>'))
        return ParseError("Start tag not closed");
    positions[i].startTagClose = close;

    if (At(docText, close - 1) == '/') {
        positions[i].endTagOpen = close - 1;
        positions[i].endTagClose = close;
        return i;
    }
    positions[i].endTagOpen = close + 1;
    if (!ParseChildren(i, depth))
        return -1;
    return ParseEndTag(i, name);
}

std::string XmlDocument::ElementData(int32_t index) const
{
    if (index <= 0 || index >= freePos)
        return {};
    const ElemRecord& r = positions[static_cast<size_t>(index)];
    if (r.firstChild != 0 || IsEmptyElement(index))
        return {};

    int32_t i = r.startTagClose + 1;
    SkipWhitespace(docText, i);
    if (At(docText, i) == '<' && i + 11 < r.endTagOpen &&
        docText.compare(static_cast<size_t>(i), 9, "<![CDATA[") == 0) {
        int32_t end = FindText(docText, i + 9, "]]>");
        if (end >= 0 && end < r.endTagOpen)
            return docText.substr(static_cast<size_t>(i + 9), static_cast<size_t>(end - i - 9));
    }
    return DecodeText(r.startTagClose + 1, r.endTagOpen - 1);
}

bool XmlDocument::IsWellFormed() const { return !positions.empty() && positions[0].firstChild != 0; }

// ---- navigation ------------------------------------------------------------

void XmlDocument::ResetPosition() { SetPositions(0, 0, 0); }

std::string XmlDocument::TagName(int32_t index) const
{
    if (index <= 0 || index >= freePos)
        return {};
    TokenSpan t{docText, 0, -1, positions[static_cast<size_t>(index)].startTagOpen + 1, false};
    if (!FindToken(t))
        return {};
    return TokenText(t);
}

int32_t XmlDocument::FindElementIn(int32_t parent, int32_t after, const char* name) const
{
    if (positions.empty() || freePos <= 1)
        return 0;
    int32_t candidate = after ? positions[static_cast<size_t>(after)].nextSibling
                              : positions[static_cast<size_t>(parent)].firstChild;
    if (!name || !*name)
        return candidate;
    for (; candidate; candidate = positions[static_cast<size_t>(candidate)].nextSibling) {
        TokenSpan t{docText, 0, -1, positions[static_cast<size_t>(candidate)].startTagOpen + 1,
                    false};
        if (FindToken(t) && NameMatches(TokenView(t), name))
            return candidate;
    }
    return 0;
}

bool XmlDocument::FindElement(const char* name)
{
    int32_t found = FindElementIn(parentPos, mainPos, name);
    if (!found)
        return false;
    SetPositions(positions[static_cast<size_t>(found)].parent, found, 0);
    return true;
}

bool XmlDocument::FindChildElement(const char* name)
{
    if (!mainPos && !FindElement(nullptr))
        return false;
    int32_t found = FindElementIn(mainPos, childPos, name);
    if (!found)
        return false;
    int32_t main = positions[static_cast<size_t>(found)].parent;
    SetPositions(positions[static_cast<size_t>(main)].parent, main, found);
    return true;
}

bool XmlDocument::IntoElement()
{
    if (!mainPos || nodeType != 1)
        return false;
    SetPositions(mainPos, childPos, 0);
    return true;
}

// ---- additions -------------------------------------------------------------

bool XmlDocument::IsEmptyElement(int32_t index) const
{
    if (index <= 0)
        return false;  // the document record has no tags
    const ElemRecord& r = positions[static_cast<size_t>(index)];
    return r.startTagClose == r.endTagOpen + 1;
}

bool XmlDocument::IsBlankContent(int32_t index) const
{
    if (index <= 0)
        return false;
    const ElemRecord& r = positions[static_cast<size_t>(index)];
    return r.startTagClose + 1 == r.endTagOpen;
}

void XmlDocument::LocateNew(int32_t parent, int32_t& after, int32_t& offset) const
{
    const bool empty = IsEmptyElement(parent);
    if (after)
        offset = positions[static_cast<size_t>(after)].endTagClose + 1;
    else if (parent)
        offset = empty ? positions[static_cast<size_t>(parent)].startTagClose
                       : positions[static_cast<size_t>(parent)].endTagOpen;
    else
        offset = Length(docText);

    if (!empty) {
        int32_t i = offset;
        if (!SkipWhitespace(docText, i) || At(docText, i) == '<')
            offset = i;
    }

    if (!after) {
        for (int32_t c = positions[static_cast<size_t>(parent)].firstChild; c;
             c = positions[static_cast<size_t>(c)].nextSibling)
            after = c;
    }
}

void XmlDocument::ReplaceText(int32_t index, int32_t count, const std::string& text)
{
    if (index < 0)
        index = 0;
    if (index > Length(docText))
        index = Length(docText);
    if (count < 0)
        count = 0;
    if (count > Length(docText) - index)
        count = Length(docText) - index;
    docText.replace(static_cast<size_t>(index), static_cast<size_t>(count), text);
}

void XmlDocument::ShiftSubtree(int32_t root, int32_t shift)
{
    int32_t n = root;
    for (;;) {
        ElemRecord& r = positions[static_cast<size_t>(n)];
        r.startTagOpen += shift;
        r.startTagClose += shift;
        r.endTagOpen += shift;
        r.endTagClose += shift;
        if (r.firstChild) {
            n = r.firstChild;
            continue;
        }
        while (n != root && positions[static_cast<size_t>(n)].nextSibling == 0)
            n = positions[static_cast<size_t>(n)].parent;
        if (n == root)
            return;
        n = positions[static_cast<size_t>(n)].nextSibling;
    }
}

void XmlDocument::AdjustPositions(int32_t index, int32_t shift)
{
    if (shift == 0)
        return;
    for (int32_t n = index; n > 0; n = positions[static_cast<size_t>(n)].parent) {
        for (int32_t s = positions[static_cast<size_t>(n)].nextSibling; s;
             s = positions[static_cast<size_t>(s)].nextSibling)
            ShiftSubtree(s, shift);
        if (n != index) {
            positions[static_cast<size_t>(n)].endTagOpen += shift;
            positions[static_cast<size_t>(n)].endTagClose += shift;
        }
    }
}

bool XmlDocument::AddElement(const char* name, const char* value)
{
    return AddNew(name, value, false);
}

bool XmlDocument::AddChildElement(const char* name, const char* value)
{
    return AddNew(name, value, true);
}

// Where AddNew puts its element: the parent and the sibling it follows (0
// for the first child). False when there is no such place.
bool XmlDocument::PlaceOfNew(bool child, int32_t& parent, int32_t& after)
{
    if (positions.empty())
        ClearDocumentRecord();
    if (child) {
        parent = mainPos;
        after = childPos;
        return mainPos != 0;
    }
    parent = parentPos;
    after = mainPos;
    if (parent == 0) {
        if (IsWellFormed())
            return false;
        positions[0].endTagOpen = Length(docText);
    }
    return true;
}

// The text change that makes room in the parent: an empty-element parent
// "<P/>" opens up into "<P>", the new line, "</P>" (its "/" is replaced);
// a parent with nothing between its tags gets a line break first.
XmlDocument::Splice XmlDocument::OpenParent(int32_t parent, int32_t offset) const
{
    Splice s;
    s.where = offset;
    s.offset = offset;
    const ElemRecord& p = positions[static_cast<size_t>(parent)];
    if (IsEmptyElement(parent)) {
        // In "<P //>" the "/" that stays would still close the tag, so a
        // blank goes between.
        s.where = p.endTagOpen;
        s.replaced = 1;
        s.lead = At(docText, s.where - 1) == '/' ? " >" : ">";
        s.lead += kCrLf;
        s.reopened = true;
    } else if (IsBlankContent(parent)) {
        s.where = p.startTagClose + 1;
        s.lead = kCrLf;
    } else {
        return s;
    }
    s.offset = s.where + Length(s.lead);
    return s;
}

// The element's own text at `offset`, its tag positions set in r.
std::string XmlDocument::ElementText(const std::string& tag, const char* value, int32_t offset,
                                     ElemRecord& r)
{
    const int32_t n = Length(tag);
    r.startTagOpen = offset;
    if (!value || !*value) {
        r.startTagClose = r.startTagOpen + n + 2;
        r.endTagOpen = r.startTagClose - 1;
        r.endTagClose = r.endTagOpen + 1;
        return "<" + tag + "/>" + kCrLf;
    }
    std::string e = EncodeText(value);
    r.startTagClose = r.startTagOpen + n + 1;
    r.endTagOpen = r.startTagClose + Length(e) + 1;
    r.endTagClose = r.endTagOpen + n + 2;
    return "<" + tag + ">" + e + "</" + tag + ">" + kCrLf;
}

// An opened empty-element parent's end tag follows the new element; its
// positions are moved back here and forward by the shift that follows.
std::string XmlDocument::ParentEndTag(int32_t parent, const Splice& s)
{
    const std::string parentName = TagName(parent);
    ElemRecord& p = positions[static_cast<size_t>(parent)];
    p.startTagClose = s.offset - 3;
    p.endTagOpen -= Length(parentName) + 1;
    return "</" + parentName;
}

// Puts record r into the table as the sibling after `after`, or as the
// parent's first child. Gives its index.
int32_t XmlDocument::LinkNew(int32_t parent, int32_t after, ElemRecord r)
{
    int32_t i = NewPosition();
    int32_t& link = after ? positions[static_cast<size_t>(after)].nextSibling
                          : positions[static_cast<size_t>(parent)].firstChild;
    r.nextSibling = link;
    link = i;
    positions[static_cast<size_t>(i)] = r;
    return i;
}

bool XmlDocument::AddNew(const char* name, const char* value, bool child)
{
    int32_t parent = 0, after = 0;
    if (!PlaceOfNew(child, parent, after))
        return false;
    int32_t offset = 0;
    LocateNew(parent, after, offset);
    const Splice s = OpenParent(parent, offset);

    ElemRecord r;
    r.parent = parent;
    std::string x = s.lead + ElementText(name ? name : "", value, s.offset, r);
    if (s.reopened)
        x += ParentEndTag(parent, s);
    int32_t i = LinkNew(parent, after, r);

    ReplaceText(s.where, s.replaced, x);
    AdjustPositions(i, Length(x) - s.replaced);

    if (child)
        SetPositions(parentPos, parent, i);
    else
        SetPositions(parent, i, 0);
    return true;
}
