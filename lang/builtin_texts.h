#pragma once
// Wording of the texts added after the first language files shipped (keys from 2001
// up in the message section), used when an older lang.ini lacks them.

namespace pw {

// The built-in wording of `key` in `section`, or nullptr when there is none.
const char* builtin_text(const char* section, const char* key);

}  // namespace pw
