#pragma once
#include <string>

#include "lang/text_keys.h"

namespace pw {

// The text of `key` in `section` of lang.ini beside the executable, read afresh on
// every call (never from the current directory). Empty when the file, section or key
// is missing, except for keys with a built-in wording, which then get that wording.
// Each caller gets its own copy, so lookups on different threads never overwrite
// one another. The file may be UTF-8, UTF-16 with its mark, or in the system's
// code page; the text comes back as UTF-8.
std::string LangText(const char* section, const char* key);
std::string LangText(const char* section, int key);

// The text of a named key (lang/text_keys.h).
inline std::string LangText(TextKey key) { return LangText(key.section, key.key); }

// The same lookup in a given language file.
std::string read_lang_text(const std::string& ini_path, const char* section, const char* key);

// Full path of lang.ini beside the executable, or "" when the executable's path does
// not fit in 260 UTF-16 units.
std::string lang_file_path();

}  // namespace pw
