// Typed access to one options document. Every lookup and addition starts from
// the root element, whatever its name: an element is a child of the root, a
// child key a child of that element.
//
// Values are added, never updated: SetValue on an existing key changes
// nothing, which is why a document is always built anew from an empty one.
#pragma once

#include <cstdint>
#include <string>

#include "config/xml_document.h"

class OptionsDocument {
public:
    OptionsDocument();                               // an empty document
    explicit OptionsDocument(const char* text);      // parsed; unparsable -> every lookup fails
    explicit OptionsDocument(const std::string& text);
    virtual ~OptionsDocument();

    // Replaces the document by one that holds only the empty root "OPTIONS".
    void NewDocument();
    int GetText(std::string& text) const;
    const XmlDocument& Document() const { return doc; }

    // 1 when the element (or its child) was added, 0 when it exists already,
    // when the element of a child key is missing, or when a name could not be
    // read back as itself. A null child means the element itself.
    int SetValue(const char* element, const char* child, const char* text);
    int HasElement(const char* element, const char* child);
    // 1 and the decoded value when found; 0 and the text untouched otherwise.
    int GetValue(const char* element, const char* child, std::string& text);

    int SetBoolOption(const char* element, const char* child, int32_t value);     // "TRUE"/"FALSE"
    int SetIntOption(const char* element, const char* child, int32_t value);      // "%d"
    int SetAddrOption(const char* element, const char* child, uint32_t address); // dotted, host order in
    int SetStringOption(const char* element, const char* child, const char* text);

    // Each gives its default when the key is missing or its value empty.
    int GetBoolOption(const char* element, const char* child, int def);       // 1 only for "TRUE"
    int32_t GetIntOption(const char* element, const char* child, int32_t def);  // decimal, as atoi
    uint32_t GetAddrOption(const char* element, const char* child, uint32_t def);  // inet_addr forms
    std::string GetStringOption(const char* element, const char* child, const char* def = nullptr);

private:
    bool Locate(const char* element, const char* child);

    XmlDocument doc;
};

// True when `name` can be written as an element name and found again by it:
// not empty, not quoted, and free of blanks and of the bytes that end a tag name.
bool IsElementName(const char* name);
