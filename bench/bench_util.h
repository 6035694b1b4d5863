#pragma once
// Small helpers shared by the benchmark programs: a high-resolution stopwatch,
// order statistics, the markdown they print and the figures they hand on.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "sim/machine_clock.h"

namespace bench {

// Seconds on the machine's clock, the one devsim times its bytes with.
inline double now_seconds() { return static_cast<double>(pw::sim::machine_microseconds()) / 1e6; }

// The q-quantile (0..1) by the nearest-rank method; 0 for no samples.
inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(values.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, values.size());
  return values[rank - 1];
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

struct Spread {
  double median, min, max;
};
inline Spread spread(const std::vector<double>& values) {
  return {median(values), quantile(values, 0.0), quantile(values, 1.0)};
}

inline std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

inline std::string join(const std::vector<double>& values, const char* pattern) {
  std::string s;
  for (double v : values) s += (s.empty() ? "" : ", ") + format(pattern, v);
  return s;
}

inline const char* verdict(bool met) { return met ? "**met**" : "**missed**"; }

// Progress for the person watching; stdout carries only the results.
inline void note(const std::string& text) {
  std::fprintf(stderr, "  %s\n", text.c_str());
  std::fflush(stderr);
}

[[noreturn]] inline void fail(const std::string& text) {
  std::fprintf(stderr, "bench: %s\n", text.c_str());
  std::printf("\nNot measured: %s\n", text.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// `--name value` from the command line, or `fallback`.
inline std::string option(int argc, char** argv, const std::string& name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (name == argv[i]) return argv[i + 1];
  return fallback;
}

inline double number_option(int argc, char** argv, const std::string& name, double fallback) {
  const std::string text = option(argc, argv, name, "");
  return text.empty() ? fallback : std::atof(text.c_str());
}

// One number per figure, `key value` a line, appended to a file that
// bench/run.sh gathers into results.json. No file named: nothing is written.
class Figures {
 public:
  explicit Figures(std::string path) : path_(std::move(path)) {}
  void add(const char* key, double value) const {
    if (path_.empty()) return;
    if (std::FILE* f = std::fopen(path_.c_str(), "a")) {
      std::fprintf(f, "%s %.6g\n", key, value);
      std::fclose(f);
    }
  }

 private:
  std::string path_;
};

}  // namespace bench
