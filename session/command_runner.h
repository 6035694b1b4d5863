#pragma once
// Runs the command's table (command_machine.h): every event goes on one queue,
// and each is decided and carried out whole, its actions in one order, before the
// next is taken. The work an action does returns the event it led to, which is
// queued, never decided inside the action. A box of the workflow's own is the one
// place where messages are served inside an action (or a presence answer): what
// they bring waits until the box has closed. The work itself is the effects'
// (the program's calls, or a test's model), so the program and its tests share
// everything between an event and a call. Pure, one thread.
#include <array>
#include <cstddef>

#include "session/command_machine.h"

namespace pw {

// The work behind the table's actions. An action whose work leads to an event
// returns it; the runner queues it.
class CommandEffects {
 public:
  // A box (the console: a line), seen before this returns: say_why (what the
  // command's work found, if anything), say_driver_held, say_driver_stuck,
  // say_not_linked or say_out_of_memory.
  virtual void say(Action box) noexcept = 0;
  // The command's checks (the link, the battery, the folder's paths).
  virtual Event start_command() noexcept = 0;
  // The folder's reading on a thread of its own: false when it could not start,
  // and folder_read follows at once.
  virtual bool read_folder() noexcept = 0;
  virtual void stop_folder_read() noexcept = 0;
  virtual Event take_folder() noexcept = 0;
  virtual Event identify() noexcept = 0;
  // With `held`, no worker starts.
  virtual Event next_file(bool held) noexcept = 0;
  virtual Event finish_file() noexcept = 0;
  // A worker that has not sent its first byte stops and sends nothing; one that
  // sends goes on (the end of the process stops it).
  virtual void stop_unsent_file() noexcept = 0;
  virtual Event give_up_worker() noexcept = 0;
  virtual void abandon_worker() noexcept = 0;
  // The worker loaded its file and sends it: the front end hears its size.
  virtual void show_sending() noexcept = 0;
  virtual void show_progress() noexcept = 0;
  // The final box, or the missing database's; seen before this returns.
  virtual void show_ending_box() noexcept = 0;
  virtual void end_command(EndReason reason, bool process_ends) noexcept = 0;
  virtual void refuse_close() noexcept = 0;
  virtual void close_program() noexcept = 0;
  // The worker, if any, stopped and waited for (bounded); then the end. May not return.
  virtual void end_process() noexcept = 0;
  // The watches and the views that follow the phase.
  virtual void phase_followed(Phase phase) noexcept = 0;
  // `event` came while a box is open: it is decided once the box has closed.
  virtual void waits(Event /*event*/) noexcept {}
  // The table decided `event` (a decision kept it when `deferred`); its actions follow.
  virtual void decided(Event /*event*/, const Decision& /*decision*/) noexcept {}

 protected:
  ~CommandEffects() = default;
};

class CommandRunner {
 public:
  explicit CommandRunner(CommandEffects& effects) noexcept : effects_(effects) {}
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // Queues `event`, and decides the queue to its end unless a decision is under
  // way or a box is open: then it waits its turn.
  void post(Event event) noexcept;
  // A box of the workflow's own opens (box_opened); what comes while it is open
  // is decided once it has closed.
  void box_opens() noexcept;
  // It closed: box_closed, after `answer_ends` (the lost-device question's
  // answer) as lost_device_end, both before anything that came meanwhile.
  void box_closes(bool answer_ends = false) noexcept;
  // The session's end is asked: whether the table refuses it. Behind a box or
  // within a decision, the event waits its turn and the answer is the table's
  // as it stands: refused while the device may receive bytes.
  bool session_end_refused() noexcept;

  const CommandMachine& machine() const noexcept { return machine_; }
  // A decision or a box holds the queue.
  bool holding() const noexcept { return deciding_ || boxes_ > 0; }
  // The deepest nesting of decisions seen (one, unless something decided inside an action).
  int deepest_decision() const noexcept { return deepest_; }

 private:
  void run() noexcept;
  void decide(Event event) noexcept;
  void carry_out(const Decision& decision) noexcept;
  void insert(std::size_t position, Event event) noexcept;
  Event take_first() noexcept;

  CommandEffects& effects_;
  CommandMachine machine_;
  // Far more than can wait at once: the worker's progress waits once, and each
  // other source brings a handful of events at most.
  static constexpr std::size_t kCapacity = 256;
  std::array<Event, kCapacity> queue_{};
  std::size_t queued_ = 0;
  // Where each open box's box_closed goes: after what came before it opened.
  static constexpr std::size_t kDeepestBoxes = 8;
  std::array<std::size_t, kDeepestBoxes> box_marks_{};
  int boxes_ = 0;
  bool deciding_ = false;
  bool box_answers_closes_ = false;  // a box the table opened is open
  template <class ShowBox>
  void answering_closes(ShowBox&& show) noexcept {
    box_answers_closes_ = true;
    show();
    box_answers_closes_ = false;
  }
  int depth_ = 0;
  int deepest_ = 0;
  bool session_end_refused_ = false;
};

}  // namespace pw
