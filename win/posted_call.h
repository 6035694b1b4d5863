#pragma once
// One piece of work on a thread of its own that reports by a posted message: the
// window's thread starts it, goes on serving messages, and takes the result when
// the message comes. The thread is never joined and never killed; what it uses is
// shared with it, so it may outlive whoever started it (the end of the process
// included). A stop is a request the work looks at, never a wait.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "win/handles.h"

namespace pw {

// Tells one call's posted message from another's, across every kind of call.
std::uint32_t next_posted_call_serial() noexcept;

template <class Result>
class PostedCall {
 public:
  using Work = std::function<Result(const std::atomic<bool>& stop)>;

  PostedCall() noexcept = default;
  PostedCall(PostedCall&&) noexcept = default;
  PostedCall& operator=(PostedCall&&) noexcept = default;
  PostedCall(const PostedCall&) = delete;
  PostedCall& operator=(const PostedCall&) = delete;

  // Starts `work`; when it has returned, `message` is posted to `window` (when
  // not null) with wParam serial(). Not started() when no thread could be made
  // or memory ran out for it.
  static PostedCall start(HWND window, UINT message, Work work) noexcept {
    PostedCall call;
    try {
      auto state = std::make_shared<State>();
      state->window = window;
      state->message = message;
      state->serial = next_posted_call_serial();
      state->work = std::move(work);
      state->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!state->done) return call;
      auto* parameter = new std::shared_ptr<State>(state);
      HANDLE thread = ::CreateThread(nullptr, 0, &PostedCall::run, parameter, 0, nullptr);
      if (thread == nullptr) {
        delete parameter;
        return call;
      }
      ::CloseHandle(thread);  // never joined
      call.state_ = std::move(state);
    } catch (const std::bad_alloc&) {
    }
    return call;
  }

  bool started() const noexcept { return state_ != nullptr; }
  std::uint32_t serial() const noexcept { return state_ ? state_->serial : 0; }
  // Whether `wp` of a posted message is this call's.
  bool is(WPARAM wp) const noexcept { return state_ && static_cast<std::uint32_t>(wp) == state_->serial; }
  // Waits up to `bound_ms` without serving messages: whether the work has returned.
  bool wait(unsigned bound_ms) const noexcept {
    return state_ && ::WaitForSingleObject(state_->done.get(), bound_ms) == WAIT_OBJECT_0;
  }
  // The result, once, after the work has returned; empty before, and when memory ran out in it.
  std::optional<Result> take() noexcept {
    if (!state_) return std::nullopt;
    std::lock_guard<std::mutex> lock(state_->lock);
    std::optional<Result> result = std::move(state_->result);
    state_->result.reset();
    return result;
  }
  // Asks the work to stop and forgets it: its message is no longer this call's.
  void stop() noexcept {
    if (state_) state_->stop.store(true, std::memory_order_release);
    state_.reset();
  }
  ~PostedCall() { stop(); }

 private:
  struct State {
    HWND window = nullptr;
    UINT message = 0;
    std::uint32_t serial = 0;
    Work work;
    std::atomic<bool> stop{false};
    UniqueHandle done;     // manual reset: set once the result is in
    std::mutex lock;       // guards result
    std::optional<Result> result;
  };

  static DWORD WINAPI run(void* parameter) noexcept {
    const std::shared_ptr<State> state = std::move(*static_cast<std::shared_ptr<State>*>(parameter));
    delete static_cast<std::shared_ptr<State>*>(parameter);
    std::optional<Result> result;
    try {
      result.emplace(state->work(state->stop));
    } catch (const std::bad_alloc&) {
      result.reset();  // taken as memory that ran out
    }
    {
      std::lock_guard<std::mutex> lock(state->lock);
      state->result = std::move(result);
    }
    ::SetEvent(state->done.get());
    if (state->window && !state->stop.load(std::memory_order_acquire))
      ::PostMessageW(state->window, state->message, state->serial, 0);
    return 0;
  }

  std::shared_ptr<State> state_;
};

}  // namespace pw
