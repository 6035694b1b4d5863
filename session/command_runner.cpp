#include "session/command_runner.h"

namespace pw {

namespace {

// Waiting twice says no more than waiting once: the progress shown is the latest,
// and a second click, close or probe behind the first asks the same again.
bool once_is_enough(Event event) noexcept { return event != Event::box_opened && event != Event::box_closed; }

}  // namespace

void CommandRunner::insert(std::size_t position, Event event) noexcept {
  if (position > queued_) position = queued_;
  if (event == Event::worker_progress) {
    for (std::size_t i = 0; i < queued_; ++i)
      if (queue_[i] == event) return;
  } else if (once_is_enough(event) && position > 0 && position == queued_ && queue_[position - 1] == event) {
    return;
  }
  if (queued_ == kCapacity) return;  // cannot happen with the sources there are; nothing is overwritten
  for (std::size_t i = queued_; i > position; --i) queue_[i] = queue_[i - 1];
  queue_[position] = event;
  ++queued_;
}

Event CommandRunner::take_first() noexcept {
  const Event first = queue_[0];
  for (std::size_t i = 1; i < queued_; ++i) queue_[i - 1] = queue_[i];
  --queued_;
  return first;
}

void CommandRunner::post(Event event) noexcept {
  // A box the table opened (why a close is refused, why the command ended, the
  // final box) has the user's attention: it answers every close asked while it is open.
  if (box_answers_closes_ && event == Event::close_asked) return;
  if (boxes_ > 0) effects_.waits(event);
  insert(queued_, event);
  run();
}

void CommandRunner::box_opens() noexcept {
  post(Event::box_opened);
  if (boxes_ < static_cast<int>(kDeepestBoxes)) box_marks_[static_cast<std::size_t>(boxes_)] = queued_;
  ++boxes_;
}

void CommandRunner::box_closes(bool answer_ends) noexcept {
  if (boxes_ == 0) return;
  --boxes_;
  const std::size_t mark =
      boxes_ < static_cast<int>(kDeepestBoxes) ? box_marks_[static_cast<std::size_t>(boxes_)] : queued_;
  insert(mark, Event::box_closed);
  if (answer_ends) insert(mark, Event::lost_device_end);
  run();
}

bool CommandRunner::session_end_refused() noexcept {
  if (holding()) {
    const bool refused = machine_.protects_device();
    post(Event::session_end_asked);
    return refused;
  }
  session_end_refused_ = false;
  post(Event::session_end_asked);
  return session_end_refused_;
}

void CommandRunner::run() noexcept {
  if (holding()) return;
  deciding_ = true;
  while (queued_ > 0 && boxes_ == 0) decide(take_first());
  deciding_ = false;
}

void CommandRunner::decide(Event event) noexcept {
  if (++depth_ > deepest_) deepest_ = depth_;
  const Decision decision = machine_.handle(event);
  effects_.decided(event, decision);
  effects_.phase_followed(machine_.phase());
  carry_out(decision);
  // What waited goes first: it came before anything queued since.
  Event again;
  if (machine_.take_deferred(again)) insert(0, again);
  --depth_;
}

// One order for every decision: the boxes that say why nothing starts, the work
// that moves the command on, what the user sees, then the stops and the end.
void CommandRunner::carry_out(const Decision& d) noexcept {
  const Action a = d.actions;
  for (const Action box : {Action::say_why, Action::say_driver_held, Action::say_driver_stuck, Action::say_not_linked,
                           Action::say_out_of_memory})
    if (has(a, box)) answering_closes([&] { effects_.say(box); });
  if (has(a, Action::start_command)) insert(queued_, effects_.start_command());
  if (has(a, Action::read_folder) && !effects_.read_folder()) insert(queued_, Event::folder_read);
  if (has(a, Action::stop_folder_read)) effects_.stop_folder_read();
  if (has(a, Action::take_folder)) insert(queued_, effects_.take_folder());
  if (has(a, Action::identify)) insert(queued_, effects_.identify());
  if (has(a, Action::next_file)) insert(queued_, effects_.next_file(machine_.files_held()));
  if (has(a, Action::finish_file)) insert(queued_, effects_.finish_file());
  if (has(a, Action::stop_unsent_file) || has(a, Action::stop_worker)) effects_.stop_unsent_file();
  if (has(a, Action::give_up_worker)) insert(queued_, effects_.give_up_worker());
  if (has(a, Action::abandon_worker)) effects_.abandon_worker();
  if (has(a, Action::show_sending)) effects_.show_sending();
  if (has(a, Action::show_progress)) effects_.show_progress();
  if (has(a, Action::show_ending_box)) answering_closes([&] { effects_.show_ending_box(); });
  if (has(a, Action::end_command)) effects_.end_command(d.reason, has(a, Action::end_process));
  if (has(a, Action::refuse_session_end)) session_end_refused_ = true;
  if (has(a, Action::refuse_close)) answering_closes([&] { effects_.refuse_close(); });
  if (has(a, Action::close_program)) effects_.close_program();
  if (has(a, Action::end_process)) effects_.end_process();
  effects_.phase_followed(machine_.phase());
}

}  // namespace pw
