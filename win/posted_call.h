#pragma once
// One piece of work on a thread of its own that reports by a posted message: the
// window's thread starts it, goes on serving messages, and takes the result when
// the message comes (or waits for it, bounded, without serving messages). The
// thread is never joined and never killed; what it uses is shared with it, so it
// may outlive whoever started it (the end of the process included). A call that
// is no longer waited for is abandoned: its result, when it comes, is discarded
// on its own thread and nobody is told.
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
  // What becomes of a result that comes after the call was abandoned, on the
  // call's thread (a late pipe is closed there, say).
  using Discard = void (*)(Result& late);

  PostedCall() noexcept = default;
  PostedCall(PostedCall&&) noexcept = default;
  PostedCall& operator=(PostedCall&& other) noexcept {
    if (this != &other) {
      abandon();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  PostedCall(const PostedCall&) = delete;
  PostedCall& operator=(const PostedCall&) = delete;
  ~PostedCall() { abandon(); }

  // Starts `work`; when it has returned, `message` is posted to `window` (when
  // not null) with wParam serial(). Not started() when no thread could be made
  // or memory ran out for it. `abandoned_running`, when given, counts the
  // abandoned calls of this kind whose threads are still at work.
  static PostedCall start(HWND window, UINT message, Work work, Discard discard = nullptr,
                          std::atomic<int>* abandoned_running = nullptr) noexcept {
    PostedCall call;
    try {
      auto state = std::make_shared<State>();
      state->window = window;
      state->message = message;
      state->serial = next_posted_call_serial();
      state->work = std::move(work);
      state->discard = discard;
      state->abandoned_running = abandoned_running;
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
  // Whether `wp` of a posted message is this call's (never once it is abandoned).
  bool is(WPARAM wp) const noexcept {
    return state_ && !abandoned() && static_cast<std::uint32_t>(wp) == state_->serial;
  }
  // Waits up to `bound_ms` without serving messages: whether the work has returned.
  bool wait(unsigned bound_ms) const noexcept {
    return state_ && ::WaitForSingleObject(state_->done.get(), bound_ms) == WAIT_OBJECT_0;
  }
  bool returned() const noexcept { return wait(0); }
  bool abandoned() const noexcept {
    if (!state_) return false;
    std::lock_guard<std::mutex> lock(state_->lock);
    return state_->abandoned;
  }
  // Reads the result (empty until the work returned, after it was taken, and
  // when memory ran out in the work) under the call's lock.
  template <class Reader>
  void read(Reader&& reader) const {
    if (!state_) return reader(std::optional<Result>());
    std::lock_guard<std::mutex> lock(state_->lock);
    reader(state_->result);
  }
  template <class Reader>
  void read(Reader&& reader) {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->lock);
    reader(state_->result);
  }
  // The result, once; see read().
  std::optional<Result> take() noexcept {
    if (!state_) return std::nullopt;
    std::lock_guard<std::mutex> lock(state_->lock);
    std::optional<Result> result = std::move(state_->result);
    state_->result.reset();
    return result;
  }
  // Asks the work to stop (a flag it looks at); it is still waited for.
  void ask_to_stop() noexcept {
    if (state_) state_->stop.store(true, std::memory_order_release);
  }
  // No longer waited for: asked to stop, its result discarded when it comes and
  // nobody told. Its state stays readable here (late results, for the record).
  void abandon() noexcept {
    if (!state_) return;
    ask_to_stop();
    std::lock_guard<std::mutex> lock(state_->lock);
    if (state_->abandoned) return;
    state_->abandoned = true;
    if (!state_->ended && state_->abandoned_running) state_->abandoned_running->fetch_add(1);
    if (state_->ended && state_->result && state_->discard) state_->discard(*state_->result);
  }
  // Abandons it and forgets it.
  void forget() noexcept {
    abandon();
    state_.reset();
  }

 private:
  struct State {
    HWND window = nullptr;
    UINT message = 0;
    std::uint32_t serial = 0;
    Work work;
    Discard discard = nullptr;
    std::atomic<int>* abandoned_running = nullptr;
    std::atomic<bool> stop{false};
    UniqueHandle done;  // manual reset: set once the result is in
    mutable std::mutex lock;  // guards the three below
    std::optional<Result> result;
    bool ended = false;
    bool abandoned = false;
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
    bool tell = false;
    {
      std::lock_guard<std::mutex> lock(state->lock);
      state->result = std::move(result);
      state->ended = true;
      if (state->abandoned) {
        if (state->result && state->discard) state->discard(*state->result);
        if (state->abandoned_running) state->abandoned_running->fetch_sub(1);
      } else {
        tell = state->window != nullptr;
      }
      ::SetEvent(state->done.get());
    }
    if (tell) ::PostMessageW(state->window, state->message, state->serial, 0);
    return 0;
  }

  std::shared_ptr<State> state_;
};

}  // namespace pw
