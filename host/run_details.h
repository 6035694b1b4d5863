#pragma once
// The run's details for support: one event a line, each stamped with the time
// since the run started, kept in memory only. A long run keeps its beginning and
// its end. Safe from any thread.
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace pw {

class RunDetails {
 public:
  static constexpr std::size_t kMaxLines = 2000;
  static constexpr std::size_t kHeadLines = 200;
  static constexpr std::size_t kTailLines = kMaxLines - kHeadLines;

  RunDetails() noexcept : started_(std::chrono::steady_clock::now()) {}

  // Records `event` now; line breaks in it are written as "\n".
  void add(const std::string& event);
  // Records `event` at `since_start` (for a clock of the caller's own).
  void add_at(std::chrono::milliseconds since_start, const std::string& event);

  // The lines as recorded, at most kMaxLines, among them the one that says how many were left out.
  std::vector<std::string> lines() const;
  // The lines joined with CRLF, as the clipboard and a console take them.
  std::string text() const;

 private:
  std::chrono::steady_clock::time_point started_;
  mutable std::mutex mutex_;
  std::vector<std::string> head_;
  std::deque<std::string> tail_;
  std::size_t left_out_ = 0;
};

// "+s.mmm": the stamp of an event `since_start` after the run started.
std::string time_stamp(std::chrono::milliseconds since_start);

// `text` on one line: CR LF, CR and LF each written as the two characters "\n".
std::string one_line(const std::string& text);

}  // namespace pw
