// libFuzzer target: the XML document engine and the option readers on
// arbitrary bytes. Besides the sanitizers' findings it checks that every
// parsed record lies inside the text, and that an addition keeps the text and
// the records in step (a re-parse gives the same positions).
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "config/port_options.h"
#include "config/options_document.h"
#include "config/xml_document.h"
#include "engine/port_table.h"

namespace {

void Fail(const char* what)
{
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Element records in document order.
std::vector<ElemRecord> Walk(const XmlDocument& doc)
{
    std::vector<ElemRecord> out;
    if (!doc.IsWellFormed())
        return out;
    std::vector<int32_t> stack{doc.Record(0).firstChild};
    while (!stack.empty()) {
        int32_t i = stack.back();
        stack.pop_back();
        if (i == 0)
            continue;
        if (i < 0 || i >= doc.RecordCount())
            Fail("link out of range");
        if (out.size() > static_cast<size_t>(doc.RecordCount()))
            Fail("links form a cycle");
        const ElemRecord& r = doc.Record(i);
        out.push_back(r);
        stack.push_back(r.nextSibling);
        stack.push_back(r.firstChild);
    }
    return out;
}

void CheckRecords(const XmlDocument& doc)
{
    const int32_t len = static_cast<int32_t>(doc.GetDocument().size());
    const std::string text = doc.GetDocument();
    for (const ElemRecord& r : Walk(doc)) {
        if (r.startTagOpen < 0 || r.endTagClose >= len || r.startTagOpen >= r.startTagClose)
            Fail("record outside the text");
        if (text[r.startTagOpen] != '<' || text[r.startTagClose] != '>' || text[r.endTagClose] != '>')
            Fail("record not on its tags");
        bool empty = r.startTagClose == r.endTagOpen + 1;
        if (empty ? r.endTagClose != r.startTagClose : r.endTagOpen <= r.startTagClose)
            Fail("record positions out of order");
    }
}

bool SamePositions(const std::vector<ElemRecord>& a, const std::vector<ElemRecord>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].startTagOpen != b[i].startTagOpen || a[i].startTagClose != b[i].startTagClose ||
            a[i].endTagOpen != b[i].endTagOpen || a[i].endTagClose != b[i].endTagClose)
            return false;
    }
    return true;
}

void CheckReparse(const XmlDocument& doc)
{
    XmlDocument again;
    if (!again.SetDocument(doc.GetDocument()))
        Fail("an addition made the text unparsable");
    if (!SamePositions(Walk(doc), Walk(again)))
        Fail("re-parse gives other positions");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    // Value for additions: the last bytes of the input, up to 40.
    std::string value = text.substr(size > 40 ? size - 40 : 0);
    value = value.c_str();

    XmlDocument doc;
    bool parsed = doc.SetDocument(text);
    if (parsed != doc.IsWellFormed())
        Fail("result and records disagree");
    CheckRecords(doc);

    if (parsed) {
        // Visit the first levels by navigation, reading every value.
        doc.ResetPosition();
        int steps = 0;
        while (doc.FindChildElement() && steps++ < 200) {
            (void)doc.GetChildData();
            XmlDocument probe = doc;
            if (probe.IntoElement())
                while (probe.FindChildElement() && steps++ < 200)
                    (void)probe.GetChildData();
        }
        for (int32_t i = 0; i < doc.RecordCount() + 1; ++i)
            (void)doc.ElementData(i);

        // Additions under the root: text and records must stay in step.
        doc.ResetPosition();
        if (!doc.FindElement())
            Fail("no root to find");
        if (!doc.AddChildElement("K", value.c_str()))
            Fail("addition under the root refused");
        CheckRecords(doc);
        CheckReparse(doc);
        if (doc.AddChildElement("E") && doc.IntoElement()) {
            // "E" is the main position now: open it up with a child.
            if (doc.AddChildElement("F", value.c_str()))
                CheckReparse(doc);
        }
        doc.ResetPosition();
        if (!doc.FindElement() || doc.AddElement("R2"))
            Fail("a second root was added");
    }

    // The option readers and writers on the same text.
    OptionsDocument options(text);
    (void)options.GetBoolOption("SYSTEM", "ADDNEW", 0);
    (void)options.GetIntOption("SYSTEM", "STARTUP", 7);
    (void)options.GetAddrOption("SYSTEM", nullptr, 1);
    (void)options.GetStringOption("SYSTEM", "AUTORUN", "x");
    PortRecord record;
    CopyField(record.name, sizeof record.name, "COM1", 7);
    ReadPortOptions(options, &record);
    if (record.devName[sizeof record.devName - 1] != '\0')
        Fail("device name not terminated");
    if (options.SetStringOption("COM1", "DEVNAME", value.c_str()) == 1) {
        XmlDocument again;
        if (!again.SetDocument(options.Document().GetDocument()) ||
            !SamePositions(Walk(options.Document()), Walk(again)))
            Fail("a written key breaks the document");
        std::string back;
        options.GetValue("COM1", "DEVNAME", back);
        if (back != value)
            Fail("a written value reads back otherwise");
    }
    return 0;
}
