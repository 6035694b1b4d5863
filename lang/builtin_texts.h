#pragma once
// Wording of the texts added after the first language files shipped (keys from 2001
// up in the message section), used when an older lang.ini lacks them.

namespace pw {

// Message keys added to the language file.
enum MessageKey : int {
  kMsgTransferFailedResult = 2001,  // result text under the bar after a failed transfer
  kMsgTransferFailed = 2002,        // box after a failed transfer
  kMsgWorkerNotStarted = 2003,
  kMsgFileTooLarge = 2005,
  kMsgFileReadFailed = 2006,
  kMsgFileChanged = 2007,
  kMsgFileLocked = 2008,
  kMsgFolderTooLong = 2009,
};

// The built-in wording of `key` in `section`, or nullptr when there is none.
const char* builtin_text(const char* section, const char* key);

}  // namespace pw
