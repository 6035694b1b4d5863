#pragma once

// The application object: registers the common controls, runs the main dialog
// modally, and the process ends when the dialog ends.
class CPushwellApp {
 public:
  // The settings key name the application identifies itself with; nothing is stored under it.
  static constexpr const char* kRegistryKey = "Local AppWizard-Generated Applications";

  int run() noexcept;
};
