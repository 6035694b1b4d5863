#include "lang/builtin_texts.h"

#include <cstring>

namespace pw {

namespace {
struct Builtin {
  const char* key;
  const char* text;
};
// Same wording as the shipped lang.ini.
constexpr Builtin kMessageTexts[] = {
    {"2001", "Transfer failed: the file did not arrive whole."},
    {"2002", "The update was stopped: the device did not receive the whole file. Check the cable, then start the "
             "updater again."},
    {"2003", "The update could not start the transfer. Close other programs, then press Update File again. If the "
             "button is greyed out, close the updater and start it again."},
    {"2005", "The update file is too large (4 GiB or more) and was not sent."},
    {"2006", "The update file could not be read. The update was stopped."},
    {"2007", "The update file changed while it was being loaded and was not sent."},
    {"2008", "The update file exists but could not be opened. Close any program that uses it, then press Update File "
             "again. If the button is greyed out, close the updater and start it again."},
    {"2009", "The current folder's path is too long for the update files. Move them to a shorter path."},
    {"2010", "An update is in progress. Do not disconnect the device or close the updater until the update has "
             "ended."},
    {"2011", "Updating the device: do not turn off the computer."},
    {"2012", "Do not disconnect the device."},
    {"2013", "Another Pushwell updater is already running on this computer. Wait until it has finished, then start "
             "this one again."},
    {"2014", "This BMC51xUSB.dll is a 32-bit library: only the 32-bit updater (the win32 package) can load it."},
    {"2015", "This BMC51xUSB.dll is a 64-bit library: only the 64-bit updater (the win64 package) can load it."},
    {"2016", "Copy details"},
    {"2017", "The device driver is not answering..."},
    {"2018", "The device driver does not answer. Unplug the device, plug it in again, then start the updater again."},
    {"2019", "The computer runs on battery with a low charge. Nothing was written to the device. Connect the charger, "
             "then start the update again."},
    {"2020", "Checking the update files..."},
    {"2021", "Checking the files signed by"},
    {"2022", "The update files are not signed: SHA256SUMS is missing from the folder. The update was not started. "
             "Ask the device's maker for the complete update folder."},
    {"2023", "The update files are not signed: SHA256SUMS.sig is missing from the folder. The update was not "
             "started. Ask the device's maker for the complete update folder."},
    {"2024", "The signature of the update files (SHA256SUMS.sig) is not from a key this updater trusts, or the list "
             "SHA256SUMS was changed. The update was not started."},
    {"2025", "The list of the update files, SHA256SUMS, cannot be read. The update was not started."},
    {"2026", "This update file is not in the list SHA256SUMS, so it cannot be checked. The update was not started."},
    {"2027", "This update file is in the list SHA256SUMS but missing from the folder. The update was not started."},
    {"2028", "This update file does not match the list SHA256SUMS: it is damaged or was changed. The update was not "
             "started."},
    {"2029", "The driver installer in the update folder is not the one its list SHA256SUMS names, so it was not "
             "started. Ask the device's maker for the complete update folder."},
};

bool equal_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char ca = *a, cb = *b;
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
    if (ca != cb) return false;
  }
  return *a == *b;
}
}  // namespace

const char* builtin_text(const char* section, const char* key) {
  if (!section || !key || !equal_ignoring_case(section, "message")) return nullptr;
  for (const Builtin& b : kMessageTexts)
    if (std::strcmp(b.key, key) == 0) return b.text;
  return nullptr;
}

}  // namespace pw
