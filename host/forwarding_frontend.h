#pragma once
// A Frontend that hands every event on to the next one, if any; a listener
// that acts on a few events derives from it and overrides only those.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "session/frontend.h"

namespace pw {

class ForwardingFrontend : public Frontend {
 public:
  ForwardingFrontend() noexcept = default;
  explicit ForwardingFrontend(Frontend* next) noexcept : next_(next) {}
  void forward_to(Frontend* next) noexcept { next_ = next; }

#define PW_FORWARD_NOTICE(name, parameters, arguments) \
  void name parameters noexcept override {             \
    if (next_) next_->name arguments;                  \
  }
  PW_FRONTEND_NOTICES(PW_FORWARD_NOTICE)
#undef PW_FORWARD_NOTICE

  // With no one to ask, a message counts as seen and a lost device ends the process.
  bool message(const std::string& text, MessageStyle style) noexcept override {
    return next_ ? next_->message(text, style) : true;
  }
  bool device_lost(const std::string& question) noexcept override {
    return next_ ? next_->device_lost(question) : true;
  }

 protected:
  ~ForwardingFrontend() = default;

 private:
  Frontend* next_ = nullptr;
};

}  // namespace pw
