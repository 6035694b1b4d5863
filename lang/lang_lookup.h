#pragma once
// One language text from the contents of a language file, with the built-in
// wording of the newer keys when the file lacks them.
#include <optional>
#include <string>
#include <string_view>

#include "lang/ini_reader.h"

namespace pw {

// The value of `key` in `section` (cut as read_ini_text cuts it); when the file
// (nullopt), the section or the key is missing, the built-in wording of the key
// (builtin_texts.h), or the empty text when it has none. An empty value in the file
// stays empty: that is the translator's choice.
std::u16string lang_text_from(std::optional<std::string_view> file_bytes, const char* section, const char* key,
                              AnsiDecoder decode_ansi);

}  // namespace pw
