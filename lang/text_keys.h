#pragma once
// Every text the program looks up in lang.ini, by what it is for.
namespace pw {

struct TextKey {
  const char* section;
  int key;
};

namespace text {
// Window and controls, set at start.
inline constexpr TextKey kWindowCaption{"title", 100};
inline constexpr TextKey kUpdateButton{"control", 1002};
inline constexpr TextKey kCancelButton{"control", 1001};
inline constexpr TextKey kGroupCaption{"control", 1004};
// Font faces for the window, the first installed one wins; empty: the template's own.
inline constexpr TextKey kDialogFont{"control", 1100};
inline constexpr TextKey kVersionLabel{"info", 1037};
inline constexpr TextKey kDateLabel{"info", 1038};
inline constexpr TextKey kLanguageLabel{"info", 1039};
// Link status.
inline constexpr TextKey kLinked{"message", 1024};
inline constexpr TextKey kNotLinked{"message", 1025};
// Step texts, one per update file.
inline constexpr TextKey kStepFirmware{"message", 1027};
inline constexpr TextKey kStepImage{"message", 1033};
inline constexpr TextKey kStepImageRu{"message", 1034};
inline constexpr TextKey kStepSound{"message", 1028};
inline constexpr TextKey kStepDatabase{"message", 1026};
// Boxes and results.
inline constexpr TextKey kDeviceNotLinked{"message", 1021};
inline constexpr TextKey kLibraryNotLoaded{"message", 1031};
inline constexpr TextKey kFileTooShort{"message", 1023};
inline constexpr TextKey kFileBadMarker{"message", 1022};
inline constexpr TextKey kTransferDone{"message", 1030};
inline constexpr TextKey kDatabaseMissing{"message", 1035};
inline constexpr TextKey kUpdateFinished{"message", 1010};
// Added later; the executable carries their English wording (builtin_texts.h).
inline constexpr TextKey kTransferFailedResult{"message", 2001};
inline constexpr TextKey kTransferFailed{"message", 2002};
inline constexpr TextKey kWorkerNotStarted{"message", 2003};
inline constexpr TextKey kFileTooLarge{"message", 2005};
inline constexpr TextKey kFileReadFailed{"message", 2006};
inline constexpr TextKey kFileChanged{"message", 2007};
inline constexpr TextKey kFileLocked{"message", 2008};
inline constexpr TextKey kFolderTooLong{"message", 2009};
inline constexpr TextKey kUpdateInProgress{"message", 2010};  // a close attempt during an update
inline constexpr TextKey kShutdownReason{"message", 2011};    // why a log-off or shutdown waits
inline constexpr TextKey kDoNotDisconnect{"message", 2012};   // result text while a file goes out
inline constexpr TextKey kAnotherUpdater{"message", 2013};    // a second start while one updater runs
// Added to the library box when the library is of the other bitness.
inline constexpr TextKey kLibraryIs32Bit{"message", 2014};
inline constexpr TextKey kLibraryIs64Bit{"message", 2015};
inline constexpr TextKey kCopyDetails{"message", 2016};  // the system menu item that copies the run's details
// Link status while a presence probe has not returned for a while.
inline constexpr TextKey kDriverNotAnswering{"message", 2017};
inline constexpr TextKey kDriverDoesNotAnswer{"message", 2018};  // the box once the updater gives up on the driver
inline constexpr TextKey kLowBattery{"message", 2019};           // the box when a start is refused on battery
// The update folder's list and signature (folder_verdict.h).
inline constexpr TextKey kFolderChecking{"message", 2020};          // step while the files are hashed
inline constexpr TextKey kFolderCheckingSignedBy{"message", 2021};  // the same, the signer's key appended
inline constexpr TextKey kFolderNoList{"message", 2022};
inline constexpr TextKey kFolderNoSignature{"message", 2023};
inline constexpr TextKey kFolderSignatureNotTrusted{"message", 2024};
inline constexpr TextKey kFolderListMalformed{"message", 2025};  // why (in English) follows
inline constexpr TextKey kFolderFileNotListed{"message", 2026};
inline constexpr TextKey kFolderListedFileMissing{"message", 2027};
inline constexpr TextKey kFolderFileDiffers{"message", 2028};
// The driver installer of the folder is not the one the folder's list names.
inline constexpr TextKey kInstallerNotStarted{"message", 2029};

// Every key above, for the checks that every language file words them all.
inline constexpr TextKey kAll[] = {
    kWindowCaption, kUpdateButton, kCancelButton, kGroupCaption, kDialogFont, kVersionLabel, kDateLabel, kLanguageLabel,
    kLinked, kNotLinked, kStepFirmware, kStepImage, kStepImageRu, kStepSound, kStepDatabase, kDeviceNotLinked,
    kLibraryNotLoaded, kFileTooShort, kFileBadMarker, kTransferDone, kDatabaseMissing, kUpdateFinished,
    kTransferFailedResult, kTransferFailed, kWorkerNotStarted, kFileTooLarge, kFileReadFailed, kFileChanged,
    kFileLocked, kFolderTooLong, kUpdateInProgress, kShutdownReason, kDoNotDisconnect, kAnotherUpdater,
    kLibraryIs32Bit, kLibraryIs64Bit, kCopyDetails, kDriverNotAnswering, kDriverDoesNotAnswer, kLowBattery,
    kFolderChecking, kFolderCheckingSignedBy, kFolderNoList,
    kFolderNoSignature, kFolderSignatureNotTrusted, kFolderListMalformed, kFolderFileNotListed, kFolderListedFileMissing,
    kFolderFileDiffers, kInstallerNotStarted,
};
}  // namespace text

}  // namespace pw
