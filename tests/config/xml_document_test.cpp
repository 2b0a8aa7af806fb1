#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/xml_document.h"

namespace {

struct Pos {
    int32_t sto, stc, eto, etc;
    bool operator==(const Pos&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Pos& p)
{
    return os << p.sto << "," << p.stc << "," << p.eto << "," << p.etc;
}

// Element positions in document order, following the links.
std::vector<Pos> Walk(const CXmlDocument& doc)
{
    std::vector<Pos> out;
    if (!doc.IsWellFormed())
        return out;
    std::vector<int32_t> stack{doc.Record(0).firstChild};
    while (!stack.empty()) {
        int32_t i = stack.back();
        stack.pop_back();
        if (!i)
            continue;
        const ElemRecord& r = doc.Record(i);
        out.push_back({r.startTagOpen, r.startTagClose, r.endTagOpen, r.endTagClose});
        stack.push_back(r.nextSibling);
        stack.push_back(r.firstChild);
    }
    return out;
}

// The text and the records of an edited document agree with a fresh parse.
void ExpectReparseSame(const CXmlDocument& doc)
{
    CXmlDocument again;
    ASSERT_TRUE(again.SetDocument(doc.GetDocument())) << again.ErrorText();
    EXPECT_EQ(Walk(doc), Walk(again)) << doc.GetDocument();
}

std::string ErrorOf(const char* text)
{
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDocument(text)) << text;
    EXPECT_FALSE(doc.IsWellFormed());
    return doc.ErrorText();
}

std::string ValueOf(const char* text)
{
    CXmlDocument doc;
    EXPECT_TRUE(doc.SetDocument(text)) << doc.ErrorText();
    return doc.ElementData(doc.Record(0).firstChild);  // the root's value
}

std::string Nested(int depth)
{
    std::string s;
    for (int i = 0; i < depth; ++i)
        s += "<E>";
    for (int i = 0; i < depth; ++i)
        s += "</E>";
    return s;
}

}  // namespace

// ---- parsing ---------------------------------------------------------------

TEST(XmlParse, RecordsPointAtTheTagsAndLinkInDocumentOrder)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument("<X><Y>1</Y><Z/></X>"));
    ASSERT_EQ(doc.RecordCount(), 4);
    const ElemRecord& x = doc.Record(doc.Record(0).firstChild);
    ASSERT_NE(x.firstChild, 0);
    const ElemRecord& y = doc.Record(x.firstChild);
    ASSERT_NE(y.nextSibling, 0);
    const ElemRecord& z = doc.Record(y.nextSibling);
    EXPECT_EQ(z.nextSibling, 0);
    EXPECT_EQ(z.firstChild, 0);
    EXPECT_EQ(y.parent, doc.Record(0).firstChild);

    EXPECT_EQ((Pos{x.startTagOpen, x.startTagClose, x.endTagOpen, x.endTagClose}), (Pos{0, 2, 15, 18}));
    // "<A>x</A>" at s holds s, s+2, s+4, s+7; "<A/>" at s holds s, s+3, s+2, s+3.
    EXPECT_EQ((Pos{y.startTagOpen, y.startTagClose, y.endTagOpen, y.endTagClose}), (Pos{3, 5, 7, 10}));
    EXPECT_EQ((Pos{z.startTagOpen, z.startTagClose, z.endTagOpen, z.endTagClose}), (Pos{11, 14, 13, 14}));
}

TEST(XmlParse, WhatComesBeforeAndAfterTheRootIsPassedOver)
{
    const char* kText =
        "junk \xEF\xBB\xBF <?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<!-- a comment with <tags> -->\n"
        "<!DOCTYPE R [ <!ELEMENT R (A)> <!ATTLIST R x CDATA \">\"> ]>\n"
        "<R x=\"1\" y='2'>\n"
        "  <?pi inside?><!-- c --><A>1</A junk>\n"
        "</R>\n"
        "<Second><unclosed>";
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(kText)) << doc.ErrorText();
    ASSERT_TRUE(doc.FindElement());
    EXPECT_EQ(doc.TagName(doc.MainPos()), "R");
    ASSERT_TRUE(doc.FindChildElement("A"));
    EXPECT_EQ(doc.GetChildData(), "1");
    EXPECT_FALSE(doc.FindChildElement());   // the PI and the comment are no elements
    EXPECT_FALSE(doc.FindElement());        // the second root is not parsed
    EXPECT_EQ(doc.RecordCount(), 3);
}

TEST(XmlParse, EveryErrorHasItsMessage)
{
    EXPECT_EQ(ErrorOf("no tag at all"), "No element tag found");
    EXPECT_EQ(ErrorOf("<A><B>x</B>"), "No element tag found");
    EXPECT_EQ(ErrorOf("<"), "Text ends inside a tag");
    EXPECT_EQ(ErrorOf("< \r\n\t"), "Text ends inside a tag");
    EXPECT_EQ(ErrorOf("<\"A\">x</A>"), "Tag name is quoted");
    EXPECT_EQ(ErrorOf("<!-- open"), "Unclosed special node");
    EXPECT_EQ(ErrorOf("<?pi"), "Unclosed special node");
    EXPECT_EQ(ErrorOf("<![CDATA[x"), "Unclosed special node");
    EXPECT_EQ(ErrorOf("<!DOCTYPE x [ > "), "Unclosed special node");
    EXPECT_EQ(ErrorOf("<!"), "Unclosed special node");
    EXPECT_EQ(ErrorOf("<A"), "Start tag not closed");
    EXPECT_EQ(ErrorOf("<A>x</B>"), "End tag does not match A");
    EXPECT_EQ(ErrorOf("<COM1>x</COM10>"), "End tag does not match COM1");
    EXPECT_EQ(ErrorOf("<COM10>x</COM1>"), "End tag does not match COM10");
    EXPECT_EQ(ErrorOf("<A>x</\"A\">"), "End tag does not match A");
    EXPECT_EQ(ErrorOf("<A>x</A"), "Incomplete end tag of A");
    EXPECT_EQ(ErrorOf("<A>x</"), "Incomplete end tag of A");
    EXPECT_EQ(ErrorOf("<R><A>x</A"), "Incomplete end tag of A");
    // "< ?" reads as a special node by its first token but is none; the
    // parse must fail rather than scan the same "<" forever.
    EXPECT_EQ(ErrorOf("< ?x?><A/>"), "Unclosed special node");
    EXPECT_EQ(ErrorOf("<A>< !-- c --></A>"), "Unclosed special node");
}

TEST(XmlParse, AFailedParseLeavesNoElementsAndKeepsTheText)
{
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDocument(nullptr));
    EXPECT_FALSE(doc.SetDocument("</A>"));  // a leading end tag: no message
    EXPECT_EQ(doc.ErrorText(), "");
    EXPECT_EQ(doc.GetDocument(), "</A>");

    ASSERT_FALSE(doc.SetDocument("<A><B/><C>x</D></A>"));
    EXPECT_EQ(doc.ErrorText(), "End tag does not match C");
    EXPECT_EQ(doc.RecordCount(), 1);
    EXPECT_FALSE(doc.FindElement());
    EXPECT_FALSE(doc.FindChildElement());
    EXPECT_EQ(doc.GetChildData(), "");

    ASSERT_TRUE(doc.SetDocument("<A><B/></A>"));
    EXPECT_EQ(doc.ErrorText(), "End tag does not match C");  // kept until the next error
    EXPECT_EQ(doc.RecordCount(), 3);
}

TEST(XmlParse, NestingIsLimitedSoAHostileFileCannotExhaustTheStack)
{
    CXmlDocument doc;
    EXPECT_TRUE(doc.SetDocument(Nested(CXmlDocument::kMaxDepth))) << doc.ErrorText();
    EXPECT_EQ(ErrorOf(Nested(CXmlDocument::kMaxDepth + 1).c_str()), "Elements nested too deeply at E");
    // Far deeper than any stack would take one frame per level.
    std::string deep(2'000'000, '<');
    EXPECT_EQ(ErrorOf(deep.c_str()), "Start tag not closed");  // "<" is a name here
    std::string opened;
    for (int i = 0; i < 300000; ++i)
        opened += "<a>";
    EXPECT_EQ(ErrorOf(opened.c_str()), "Elements nested too deeply at a");
}

TEST(XmlParse, TheTextIsBytesAndEndsAtItsFirstZero)
{
    std::string text = "<R><A>\xC3\xA9\xFF\x80</A></R>";
    text += '\0';
    text += "<garbage";
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(text));
    EXPECT_EQ(doc.GetDocument(), "<R><A>\xC3\xA9\xFF\x80</A></R>");
    ASSERT_TRUE(doc.FindChildElement());
    EXPECT_EQ(doc.GetChildData(), "\xC3\xA9\xFF\x80");
}

// ---- values ----------------------------------------------------------------

TEST(XmlValue, ContentIsDecodedUntrimmedCdataRawAndParentsEmpty)
{
    const struct {
        const char* text;
        const char* value;
    } kCases[] = {
        {"<A> TRUE </A>", " TRUE "},
        {"<A>&lt;&amp;&gt;&apos;&quot;</A>", "<&>'\""},
        {"<A>&copy;&#65;&LT;</A>", "&copy;&#65;&LT;"},
        {"<A>&amp;lt;</A>", "&lt;"},
        {"<A>a&lt</A>", "a&lt"},  // an unfinished reference stays
        {"<A>x\r\ny</A>", "x\r\ny"},
        {"<A><![CDATA[<x>]]></A>", "<x>"},
        {"<A> \n<![CDATA[&amp;]]>tail</A>", "&amp;"},
        {"<A><![CDATA[]]></A>", ""},
        {"<A><B/></A>", ""},
        {"<A>text<B>1</B></A>", ""},
        {"<A/>", ""},
        {"<A></A>", ""},
        {"<A x=\"1\"/>", ""},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(ValueOf(c.text), c.value) << c.text;
}

// ---- navigation --------------------------------------------------------------

TEST(XmlNavigate, NamesMatchWholeAndCaseSensitive)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument("<R><COM10>10</COM10><COM1 x=\"y\">1</COM1><com2>2</com2></R>"));
    ASSERT_TRUE(doc.FindChildElement("COM1"));
    EXPECT_EQ(doc.GetChildData(), "1");

    doc.ResetPosition();
    ASSERT_TRUE(doc.FindChildElement("COM1 x"));  // a name's first part is its tag name
    EXPECT_EQ(doc.GetChildData(), "1");

    for (const char* missing : {"COM", "COM2", "Com1", "COM1x"}) {
        doc.ResetPosition();
        EXPECT_FALSE(doc.FindChildElement(missing)) << missing;
    }
}

TEST(XmlNavigate, PositionsMoveDownAndFailingFindsKeepThem)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument("<Whatever><S><K>1</K><K>2</K></S><T><K>3</K></T></Whatever>"));
    EXPECT_FALSE(doc.IntoElement());  // no main position
    EXPECT_EQ(doc.NodeType(), 0);

    ASSERT_TRUE(doc.FindElement());  // the root, whatever its name
    EXPECT_EQ(doc.TagName(doc.MainPos()), "Whatever");
    EXPECT_EQ(doc.NodeType(), 1);
    EXPECT_EQ(doc.ParentPos(), 0);

    ASSERT_TRUE(doc.FindChildElement("T"));
    const int32_t root = doc.MainPos(), t = doc.ChildPos();
    EXPECT_FALSE(doc.FindChildElement("S"));  // searches after the child position
    EXPECT_EQ(doc.MainPos(), root);
    EXPECT_EQ(doc.ChildPos(), t);

    ASSERT_TRUE(doc.IntoElement());
    EXPECT_EQ(doc.ParentPos(), root);
    EXPECT_EQ(doc.MainPos(), t);
    EXPECT_EQ(doc.ChildPos(), 0);
    ASSERT_TRUE(doc.FindChildElement("K"));
    EXPECT_EQ(doc.GetChildData(), "3");  // the children of T, not of S
    EXPECT_FALSE(doc.FindChildElement("K"));

    EXPECT_FALSE(doc.FindElement("Nope"));
    EXPECT_EQ(doc.MainPos(), t);
    ASSERT_TRUE(doc.IntoElement());  // into K: a main position with no child
    EXPECT_EQ(doc.NodeType(), 1);
    EXPECT_FALSE(doc.FindChildElement());

    doc.ResetPosition();
    ASSERT_TRUE(doc.FindChildElement("S"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.FindChildElement("K"));
    ASSERT_TRUE(doc.FindChildElement("K"));
    EXPECT_EQ(doc.GetChildData(), "2");
}

// ---- additions and layout ------------------------------------------------------

TEST(XmlAdd, ARootAndItsChildrenOpenUpInTheWrittenLayout)
{
    CXmlDocument doc;
    EXPECT_FALSE(doc.AddChildElement("A"));  // no main position
    EXPECT_EQ(doc.GetDocument(), "");
    ASSERT_TRUE(doc.AddElement("OPTIONS"));
    EXPECT_EQ(doc.GetDocument(), "<OPTIONS/>\r\n");
    EXPECT_FALSE(doc.AddElement("R2"));  // a second root
    EXPECT_EQ(doc.GetDocument(), "<OPTIONS/>\r\n");
    EXPECT_EQ(doc.TagName(doc.MainPos()), "OPTIONS");
    ExpectReparseSame(doc);

    ASSERT_TRUE(doc.AddChildElement("SYSTEM", ""));
    EXPECT_EQ(doc.GetDocument(), "<OPTIONS>\r\n<SYSTEM/>\r\n</OPTIONS>\r\n");
    ExpectReparseSame(doc);

    ASSERT_TRUE(doc.AddChildElement("COM5"));
    ASSERT_TRUE(doc.IntoElement());
    ASSERT_TRUE(doc.AddChildElement("MODE", "udp"));
    ASSERT_TRUE(doc.AddChildElement("DEVNAME", nullptr));
    EXPECT_EQ(doc.GetDocument(),
              "<OPTIONS>\r\n<SYSTEM/>\r\n<COM5>\r\n<MODE>udp</MODE>\r\n<DEVNAME/>\r\n</COM5>\r\n</OPTIONS>\r\n");
    ExpectReparseSame(doc);
}

TEST(XmlAdd, ValuesAreEscapedAndReadBack)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.AddElement("R"));
    ASSERT_TRUE(doc.AddChildElement("A", "x<y&z"));
    ASSERT_TRUE(doc.AddChildElement("B", "'\"&lt;>"));
    EXPECT_EQ(doc.GetDocument(),
              "<R>\r\n<A>x&lt;y&amp;z</A>\r\n<B>'\"&amp;lt;&gt;</B>\r\n</R>\r\n");
    EXPECT_EQ(CXmlDocument::EncodeText("a<b>c&d'e\"f"), "a&lt;b&gt;c&amp;d'e\"f");

    CXmlDocument back;
    ASSERT_TRUE(back.SetDocument(doc.GetDocument()));
    ASSERT_TRUE(back.FindChildElement("A"));
    EXPECT_EQ(back.GetChildData(), "x<y&z");
    ASSERT_TRUE(back.FindChildElement("B"));
    EXPECT_EQ(back.GetChildData(), "'\"&lt;>");
}

TEST(XmlAdd, AdditionsIntoParsedDocumentsKeepTextAndRecordsInStep)
{
    // Each parent shape: blank content, empty tag with tokens, empty tag
    // closed by "//>", text content, indented children, trailing siblings.
    const char* kDocs[] = {
        "<R></R>",
        "<R x='1' />",
        "<R //>",
        "<R>text</R>",
        "<?xml?>\n<R>\n  <A>1</A>\n  <B><C/></B>\n  <D/>\n</R>\n",
        "<R><A><B>1</B></A><Z>9</Z></R  >",
    };
    for (const char* text : kDocs) {
        SCOPED_TRACE(text);
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocument(text));
        ASSERT_TRUE(doc.FindElement());
        ASSERT_TRUE(doc.AddChildElement("N", "v"));
        ExpectReparseSame(doc);
        ASSERT_TRUE(doc.AddChildElement("M"));
        ExpectReparseSame(doc);
        ASSERT_TRUE(doc.IntoElement());  // into M, an empty tag
        ASSERT_TRUE(doc.AddChildElement("Q", "&"));
        ExpectReparseSame(doc);

        // Into the first child and before its later siblings.
        doc.ResetPosition();
        ASSERT_TRUE(doc.FindChildElement());
        ASSERT_TRUE(doc.IntoElement());
        ASSERT_TRUE(doc.AddChildElement("F"));
        ExpectReparseSame(doc);
        ASSERT_TRUE(doc.AddElement("G", "after the first"));
        ExpectReparseSame(doc);

        CXmlDocument back;
        ASSERT_TRUE(back.SetDocument(doc.GetDocument()));
        ASSERT_TRUE(back.FindChildElement("M"));
        ASSERT_TRUE(back.IntoElement());
        ASSERT_TRUE(back.FindChildElement("Q"));
        EXPECT_EQ(back.GetChildData(), "&");
    }
}

TEST(XmlAdd, AnElementAddedAfterTheChildPositionGoesBetweenSiblings)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument("<R>\r\n<A/>\r\n<C/>\r\n</R>\r\n"));
    ASSERT_TRUE(doc.FindChildElement("A"));
    ASSERT_TRUE(doc.AddChildElement("B", "2"));
    EXPECT_EQ(doc.GetDocument(), "<R>\r\n<A/>\r\n<B>2</B>\r\n<C/>\r\n</R>\r\n");
    ExpectReparseSame(doc);
    ASSERT_TRUE(doc.FindChildElement());
    EXPECT_EQ(doc.TagName(doc.ChildPos()), "C");
}
