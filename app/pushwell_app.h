#pragma once
#include "session/run_details.h"

// The application object: registers the common controls, runs the main dialog
// modally, and the process ends when the dialog ends.
class CPushwellApp {
 public:
  // The settings key name the application identifies itself with; nothing is stored under it.
  static constexpr const char* kRegistryKey = "Local AppWizard-Generated Applications";

  int run() noexcept;

 private:
  // The run's details, lent to the dialog; Ctrl+C copies them from any of the thread's windows.
  pw::RunDetails details_;
};
