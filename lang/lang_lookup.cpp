#include "lang/lang_lookup.h"

#include <utility>

#include "lang/builtin_texts.h"
#include "lang/utf.h"

namespace pw {

std::u16string lang_text_from(std::optional<std::string_view> file_bytes, const char* section, const char* key,
                              AnsiDecoder decode_ansi) {
  if (!section || !key) return std::u16string();
  if (auto text = read_ini_text(file_bytes, section, key, decode_ansi)) return *std::move(text);
  const char* builtin = builtin_text(section, key);
  return builtin ? utf8_to_utf16(builtin) : std::u16string();
}

}  // namespace pw
