#pragma once
// How an update run can end, and how each program says so: the name the run's
// details give it ("update command ended: <name>"), the console program's exit
// status, and whether the dialog ends its process after it. The one table the
// oracle reads statuses from: adjust a row here when the program's words change.
#include <cstdint>

namespace pw::campaign {

enum class Outcome {
  completed,
  not_linked,
  wrong_device,
  file_refused,
  transfer_failed,
  no_library,
  out_of_memory,
  driver_not_answering,
  low_battery,
  folder_refused,
  stopped,      // stopped as asked (a close, a WM_QUIT, a session's end) with no file cut
  interrupted,  // Ctrl+C before the command began: Windows' own end of a console program
  no_command,   // the dialog's click started none (a driver that does not answer the probe says so)
  unknown,      // the program never said
};

struct OutcomeRow {
  Outcome outcome;
  const char* name;         // in the run's details; null: never written there
  std::uint32_t exit_status;  // pushwell-cli's
};

inline constexpr std::uint32_t kInterruptedStatus = 0xC000013A;

inline constexpr OutcomeRow kOutcomes[] = {
    {Outcome::completed, "completed", 0},
    {Outcome::not_linked, "device not linked", 2},
    {Outcome::wrong_device, "wrong device", 3},
    {Outcome::file_refused, "file refused", 4},
    {Outcome::transfer_failed, "transfer failed", 5},
    {Outcome::no_library, "pipe library not loaded", 7},
    {Outcome::out_of_memory, "memory ran out", 5},
    {Outcome::driver_not_answering, "the device driver does not answer", 10},
    {Outcome::low_battery, "on battery with a low charge", 8},
    {Outcome::folder_refused, "update folder refused", 9},
    {Outcome::stopped, "stopped as asked", 11},
    {Outcome::interrupted, nullptr, kInterruptedStatus},
};

// The dialog's boxes after which its process ends, by [message] key, and what
// each one reports. The device-lost question (1021, the same text as "not
// linked") ends it only once an update got under way, and reports a failed
// transfer only when it comes while the command runs.
struct EndingBox {
  int key;
  Outcome outcome;
};
inline constexpr EndingBox kEndingBoxes[] = {
    {1010, Outcome::completed},
    {1035, Outcome::file_refused},
    {1021, Outcome::transfer_failed},
};

}  // namespace pw::campaign
