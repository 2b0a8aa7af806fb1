#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../test_folder.h"
#include "config/xml_document.h"

namespace {

using uitest::Repeat;

// Tag positions in document order, following the links.
std::vector<int32_t> Walk(const XmlDocument& doc, int32_t i, std::vector<int32_t> out = {})
{
    for (; i; i = doc.Record(i).nextSibling) {
        const ElemRecord& r = doc.Record(i);
        out.insert(out.end(), {r.startTagOpen, r.startTagClose, r.endTagOpen, r.endTagClose});
        out = Walk(doc, r.firstChild, std::move(out));
    }
    return out;
}

}  // namespace

TEST(XmlParse, EveryErrorHasItsMessageAndLeavesNoElements)
{
    const std::pair<std::string, std::string> kCases[] = {
        {"no tag at all", "No element tag found"}, {"<A><B>x</B>", "No element tag found"},
        {"</A>", ""}, {"< \r\n\t", "Text ends inside a tag"}, {"<\"A\">x</A>", "Tag name is quoted"},
        {"<!-- open", "Unclosed special node"}, {"<?pi", "Unclosed special node"},
        {"<![CDATA[x", "Unclosed special node"}, {"<!DOCTYPE x [ > ", "Unclosed special node"},
        // Special nodes by their first token but none: must not loop.
        {"< ?x?><A/>", "Unclosed special node"}, {"<A>< !-- c --></A>", "Unclosed special node"},
        {"<A", "Start tag not closed"}, {std::string(2'000'000, '<'), "Start tag not closed"},
        {"<COM1>x</COM10>", "End tag does not match COM1"}, {"<COM10>x</COM1>", "End tag does not match COM10"},
        {"<A><B/><C>x</D></A>", "End tag does not match C"}, {"<R><A>x</", "Incomplete end tag of A"},
        // A hostile file must not exhaust the stack.
        {Repeat("<E>", 257) + Repeat("</E>", 257), "Elements nested too deeply at E"},
        {Repeat("<a>", 300000), "Elements nested too deeply at a"}};
    for (const auto& [text, error] : kCases) {
        XmlDocument doc;
        EXPECT_FALSE(doc.SetDocument(text)) << text.substr(0, 40);
        EXPECT_EQ(doc.ErrorText(), error) << text.substr(0, 40);
        EXPECT_FALSE(doc.FindElement());
    }
    XmlDocument doc;
    EXPECT_TRUE(doc.SetDocument(Repeat("<E>", 256) + Repeat("</E>", 256))) << doc.ErrorText();
}

TEST(XmlParse, OnlyTheFirstRootIsReadAndTheTextEndsAtItsFirstZero)
{
    const std::string text = "junk \xEF\xBB\xBF <?xml version=\"1.0\"?>\r\n<!-- <tags> -->\n<!DOCTYPE R [ <!ATTLIST R x "
                             "CDATA \">\"> ]>\n<R x=\"1\" y='2'>\n  <?pi?><!-- c --><A>\xC3\xA9\xFF\x80</A junk>\n</R>\n<S><T>";
    XmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(text + '\0' + "<garbage")) << doc.ErrorText();
    EXPECT_EQ(doc.GetDocument(), text);
    ASSERT_TRUE(doc.FindChildElement("A"));
    EXPECT_EQ(doc.GetChildData(), "\xC3\xA9\xFF\x80");  // bytes, not characters
    EXPECT_EQ(doc.RecordCount(), 3);  // the PI, the comment and the second root are no elements
}

TEST(XmlValue, ContentIsDecodedOnceUntrimmedCdataRawAndParentsEmpty)
{
    const char* kCases[][2] = {
        {"<A> x&lt;&amp;&gt;&apos;&quot;&amp;lt;&copy;&#65;&LT;a&lt</A>", " x<&>'\"&lt;&copy;&#65;&LT;a&lt"},
        {"<A> \n<![CDATA[<&amp;>]]>tail</A>", "<&amp;>"}, {"<A>text<B>1</B></A>", ""}, {"<A x=\"1\"/>", ""}};
    for (const auto& c : kCases) {
        XmlDocument doc;
        EXPECT_TRUE(doc.SetDocument(c[0]));
        EXPECT_EQ(doc.ElementData(doc.Record(0).firstChild), c[1]) << c[0];
    }
}

// Additions into each parent shape (blank, empty with tokens, "//>" as fuzzing found,
// text, indented, trailing siblings) keep text and records as a fresh parse has them.
TEST(XmlAdd, AdditionsIntoEveryParentShapeKeepTextAndRecordsInStep)
{
    for (const char* text : {"<R></R>", "<R x='1' />", "<R //>", "<R>text</R>",
                             "<?xml?>\n<R>\n  <A>1</A>\n  <B><C/></B>\n  <D/>\n</R>\n",
                             "<R><A><B>1</B></A><Z>9</Z></R  >"}) {
        SCOPED_TRACE(text);
        XmlDocument doc, again;
        ASSERT_TRUE(doc.SetDocument(text) && doc.FindElement());
        ASSERT_TRUE(doc.AddChildElement("N", "v") && doc.AddChildElement("M"));
        ASSERT_TRUE(doc.IntoElement() && doc.AddChildElement("Q", "&"));  // into M, an empty tag
        doc.ResetPosition();
        // Into the first child, before its siblings.
        ASSERT_TRUE(doc.FindChildElement() && doc.IntoElement() && doc.AddChildElement("F"));
        ASSERT_TRUE(doc.AddElement("G", "after the first"));
        ASSERT_TRUE(again.SetDocument(doc.GetDocument())) << again.ErrorText();
        EXPECT_EQ(Walk(doc, doc.Record(0).firstChild), Walk(again, again.Record(0).firstChild)) << doc.GetDocument();
    }
}
