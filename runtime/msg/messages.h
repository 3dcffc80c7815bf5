// Numbered messages. A message the code carries as one literal reads
// "<number>##<default text>" ("1835##not enough memory for buffering"); it
// is looked up by number in set 1 of the message catalogue of the
// LC_MESSAGES locale, and the default text stands when there is no
// catalogue or the catalogue lacks the number. Lookups never change errno.
#pragma once

#include "runtime/msg/message_table.h"
#include "runtime/prelude.h"

namespace rt {

// Resolves a numbered message literal; any other text comes back as it is.
const char* msg_text(const char* text);

// The catalogue's text for a number of set 1, or default_text. The class
// names the kind of message for a reader of the code ("E filename", "U");
// the lookup does not use it. A catalogue text is used only when it takes
// the same kinds of argument in the same order as the default text.
const char* msg_lookup(int number, const char* default_text, const char* message_class);
// The same for a message of the table (runtime/msg/message_table.h).
inline const char* msg_lookup(const Message& message) {
  return msg_lookup(message.number, message.text, message.kind);
}

// The code page of the texts msg_lookup gives from the catalogue of the
// current LC_MESSAGES locale (opened here when no lookup has opened it yet):
// 850 (the OEM page) or 65001 (UTF-8). 0 when no catalogue is open, or when
// the catalogue does not say: its texts are then taken to be in the OEM
// page, in which the built-in ASCII texts read the same.
unsigned msg_codepage();

// A text msg_lookup gave, as a name: in the names' page, newly allocated,
// so that it is shown as names are. Null without memory.
char* msg_as_name(const char* text);

// Closes the open catalogue, if any, and remembers a copy of the name to
// open next (no name for null).
void set_catalog_name(const char* name);

}  // namespace rt
