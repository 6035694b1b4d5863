#include "host/run_details.h"

#include <cstdio>

namespace pw {

std::string time_stamp(std::chrono::milliseconds since_start) {
  const long long ms = since_start.count() < 0 ? 0 : static_cast<long long>(since_start.count());
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "+%lld.%03lld", ms / 1000, ms % 1000);
  return stamp;
}

std::string one_line(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += "\\n";
    } else {
      line += text[i];
    }
  }
  return line;
}

void RunDetails::add(const std::string& event) {
  add_at(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_), event);
}

void RunDetails::add_at(std::chrono::milliseconds since_start, const std::string& event) {
  std::string line = time_stamp(since_start) + " " + one_line(event);
  std::lock_guard<std::mutex> lock(mutex_);
  if (head_.size() < kHeadLines) {
    head_.push_back(std::move(line));
    return;
  }
  tail_.push_back(std::move(line));
  // Once lines are left out, the line that says so takes the place of one more.
  while (tail_.size() > (left_out_ > 0 ? kTailLines - 1 : kTailLines)) {
    tail_.pop_front();
    ++left_out_;
  }
}

std::vector<std::string> RunDetails::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> all(head_.begin(), head_.end());
  if (left_out_ > 0) all.push_back("... " + std::to_string(left_out_) + " lines left out ...");
  all.insert(all.end(), tail_.begin(), tail_.end());
  return all;
}

std::string RunDetails::text() const {
  std::string joined;
  for (const std::string& line : lines()) joined += line + "\r\n";
  return joined;
}

}  // namespace pw
