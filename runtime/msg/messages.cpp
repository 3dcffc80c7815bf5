// Numbered messages and their lookup in the message catalogue.
#include "runtime/msg/messages.h"

#include "runtime/msg/catalog.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

constexpr char kDefaultCatalog[] = "nvo";

char* g_catalog_name = nullptr;
MessageCatalog* g_catalog = nullptr;
// The LC_MESSAGES value for which the last open was tried: while it stays
// the same, a failed open is not tried again.
char* g_messages_locale = nullptr;
bool g_close_registered = false;

void close_catalog_at_exit() { set_catalog_name(nullptr); }

bool same_locale(const char* locale) { return g_messages_locale && strcmp(g_messages_locale, locale) == 0; }

// The open catalogue for the current LC_MESSAGES value, or null.
MessageCatalog* catalog_for_locale() {
  const char* locale = setlocale(LC_MESSAGES, nullptr);
  if (g_catalog && same_locale(locale)) return g_catalog;
  if (g_catalog_name && same_locale(locale)) return nullptr;  // the open for this locale failed
  if (g_catalog) {
    catclose(g_catalog);
    g_catalog = nullptr;
  }
  if (!g_catalog_name) set_catalog_name(kDefaultCatalog);
  if (!g_catalog_name) return nullptr;  // no memory for the name: the next lookup tries again
  free(g_messages_locale);
  g_messages_locale = strdup(locale);
  g_catalog = catopen(g_catalog_name, NL_CAT_LOCALE);
  // One hook is enough: it closes whatever catalogue is open at exit.
  if (g_catalog && !g_close_registered) g_close_registered = atexit(close_catalog_at_exit) == 0;
  return g_catalog;
}

}  // namespace

void set_catalog_name(const char* name) {
  if (g_catalog) {
    catclose(g_catalog);
    g_catalog = nullptr;
  }
  free(g_catalog_name);
  g_catalog_name = name ? strdup(name) : nullptr;
}

const char* msg_lookup(int number, const char* default_text, const char* /*message_class*/) {
  const int saved = errno;
  const char* text = default_text;
  if (MessageCatalog* catalog = catalog_for_locale()) {
    text = catgets(catalog, 1, number, default_text);
    // A text that would take other arguments than the caller passes is not used.
    if (text != default_text && !same_conversions(text, default_text)) text = default_text;
  }
  errno = saved;
  return text;
}

unsigned msg_codepage() {
  const int saved = errno;
  const unsigned page = catalog_codepage(catalog_for_locale());
  errno = saved;
  return page;
}

char* msg_as_name(const char* text) {
  const unsigned page = msg_codepage();
  return name_from_page(page != 0 ? page : w32::GetOEMCP(), text);
}

const char* msg_text(const char* text) {
  const int saved = errno;
  const char* end;
  const std::int32_t number = strtol(text, &end, 0);
  errno = saved;
  if (end[0] == '#' && end[1] == '#') return msg_lookup(number, end + 2, "");
  return text;
}

}  // namespace rt
