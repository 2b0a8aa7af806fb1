// One port's element of the options document: its thirteen keys, written from a
// port record and read back into one.
#pragma once

class OptionsDocument;
struct PortRecord;

// Adds the element named by the record's `name` with its thirteen keys, in the
// file's order. Nothing is written when an element of that name exists
// already (the first slot of a name wins) or the name is no element name.
void WritePortOptions(OptionsDocument& options, const PortRecord& record);

// Reads a port's settings from the element named by its `name`, each key with
// its default when missing or empty: addresses and ports by the address
// reader, MODE by name (unchanged when unknown, "tcpserver" when missing),
// the device name cut to 31 characters, DEADPEER the default unless it is 0
// or 5 to 3600, LINE the default unless it reads; emuBR is always set on.
void ReadPortOptions(OptionsDocument& options, PortRecord* record);
