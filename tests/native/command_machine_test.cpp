// The command's table against what the host would carry out: every (phase,
// event) pair, and seeded random walks, each checked for the promises of an
// update: no byte after a refusal or a stop, completion only after every file
// went out whole, at most one worker, no end while a worker may still write,
// nothing started behind an open box, and the session's end refused exactly
// while the device may receive bytes.
#include "session/command_machine.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using pw::Action;
using pw::CommandMachine;
using pw::Decision;
using pw::Event;
using pw::Phase;

enum class Stage { none, opening, loading, sending, ended };

// The host and the world around it as the machine sees them: the work an action
// does picks one of its possible outcomes, a worker moves through its stages.
class World {
 public:
  explicit World(std::uint32_t seed) : random_(seed) {}

  CommandMachine machine;
  std::vector<std::string> trail;  // what happened, for a failure's message
  std::string broken;              // the first promise broken, if any
  bool over = false;               // the process ended or the program closed
  std::vector<bool> reached = std::vector<bool>(pw::kPhaseCount, false);

  void feed(Event event) {
    if (over || !broken.empty()) return;
    const Phase before = machine.phase();
    const bool protects = machine.protects_device();
    const int boxes = machine.boxes_open();
    const Decision d = machine.handle(event);
    reached[static_cast<std::size_t>(d.next)] = true;
    trail.push_back(std::string(pw::phase_name(before)) + " --" + pw::event_name(event) + "--> " +
                    pw::phase_name(d.next) + (d.deferred ? " (deferred)" : ""));
    check(event, d, protects, boxes);
    carry_out(d);
    Event again;
    while (!over && broken.empty() && machine.take_deferred(again)) feed(again);
  }

  // One event the world may bring now, at random: mostly what moves an update on,
  // now and then what ends or disturbs it.
  void step() {
    std::vector<Event> possible;
    const auto add = [&](Event e, int weight) { possible.insert(possible.end(), weight, e); };
    add(Event::update_asked, 4);
    add(Event::probe_started, 2);
    add(Event::linked, 4);
    add(Event::unlinked, 1);
    add(Event::probe_stuck, 1);
    add(Event::session_end_asked, 2);
    add(Event::box_opened, 1);
    if (pick(4) == 0) {
      for (Event e : {Event::close_asked, Event::session_ending, Event::console_closing, Event::quit_posted,
                      Event::out_of_memory, Event::lost_device_end})
        add(e, 1);
    }
    if (user_boxes_ > 0) add(Event::box_closed, 4);
    if (folder_pending_) add(Event::folder_read, 10);
    switch (stage_) {
      case Stage::opening:
        add(Event::worker_loading, 10);
        add(Event::worker_ended, 1);
        add(Event::open_not_returning, 1);
        break;
      case Stage::loading:
        add(stop_asked_ ? Event::worker_ended : Event::worker_sending, 10);
        add(Event::worker_ended, 1);
        break;
      case Stage::sending:
        add(Event::worker_progress, 3);
        add(Event::worker_ended, 8);
        break;
      default: break;
    }
    const Event e = possible[pick(possible.size())];
    if (e == Event::box_opened) ++user_boxes_;
    if (e == Event::box_closed) --user_boxes_;
    if (e == Event::folder_read) folder_pending_ = false;
    if (e == Event::worker_loading) stage_ = Stage::loading;
    if (e == Event::worker_sending) {
      stage_ = Stage::sending;
      ever_sent_ = true;
    }
    if (e == Event::worker_ended) {
      file_whole_ = stage_ == Stage::sending && !stop_asked_;
      file_unsent_ = stage_ != Stage::sending;
      stage_ = Stage::ended;
    }
    feed(e);
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
  // The first outcome is the usual one; the others come now and then.
  Event one_of(std::initializer_list<Event> events) {
    return pick(3) != 0 ? *events.begin() : *(events.begin() + pick(events.size()));
  }

  void fail(const std::string& why) {
    if (broken.empty()) broken = why;
  }

  void check(Event event, const Decision& d, bool protected_before, int boxes_before) {
    const Action starts[] = {Action::start_command, Action::read_folder, Action::identify, Action::next_file};
    for (Action a : starts)
      if (pw::has(d.actions, a) && boxes_before > 0 && event != Event::box_closed)
        fail("something started behind an open box");
    if (pw::has(d.actions, Action::next_file) && (stop_asked_ || refused_)) fail("a file after a stop or a refusal");
    if (event == Event::session_end_asked && pw::has(d.actions, Action::refuse_session_end) != protected_before)
      fail("the session's end refused other than while the device may receive bytes");
    if (pw::has(d.actions, Action::close_program) && stage_ != Stage::none && stage_ != Stage::ended)
      fail("the program closed while a worker runs");
    if (pw::has(d.actions, Action::show_ending_box) && event == Event::files_done && (stop_asked_ || !file_whole_))
      fail("completed without every file whole");
  }

  void carry_out(const Decision& d) {
    const Action a = d.actions;
    if (pw::has(a, Action::stop_worker) || pw::has(a, Action::stop_unsent_file)) {
      if (stage_ != Stage::none && stage_ != Stage::ended && (pw::has(a, Action::stop_worker) || stage_ != Stage::sending))
        stop_asked_ = true;
    }
    if (pw::has(a, Action::end_process)) {
      if (stage_ != Stage::none && stage_ != Stage::ended && !stop_asked_) fail("the end while a worker may write");
      over = true;  // the host waits for a stopped worker, bounded, and keeps one that does not end
      return;
    }
    if (pw::has(a, Action::close_program)) {
      over = true;
      return;
    }
    if (pw::has(a, Action::stop_folder_read)) folder_pending_ = false;
    if (pw::has(a, Action::end_command)) command_ = false;
    if (pw::has(a, Action::start_command)) {
      command_ = true;
      stop_asked_ = refused_ = ever_sent_ = false;
      file_whole_ = true;
      feed(one_of({Event::folder_wanted, Event::command_refused}));
    }
    if (pw::has(a, Action::read_folder)) folder_pending_ = true;
    if (pw::has(a, Action::take_folder)) feed(one_of({Event::folder_accepted, Event::command_refused}));
    if (pw::has(a, Action::identify))
      feed(one_of({Event::identified, Event::command_refused, Event::driver_held, Event::wrong_device}));
    if (pw::has(a, Action::next_file)) {
      if (stage_ != Stage::none && stage_ != Stage::ended) fail("a second worker");
      const Event next = machine.files_held()
                             ? one_of({Event::file_stopped, Event::files_done, Event::database_missing})
                             : one_of({Event::worker_started, Event::files_done, Event::database_missing,
                                       Event::command_refused});
      if (next == Event::worker_started) stage_ = Stage::opening;
      if (next == Event::command_refused) refused_ = true;
      feed(next);
    }
    if (pw::has(a, Action::finish_file)) {
      stage_ = Stage::none;
      if (file_whole_) {
        feed(Event::file_sent);
      } else if (file_unsent_ && stop_asked_) {
        feed(Event::file_stopped);
      } else {
        refused_ = true;
        feed(Event::command_refused);
      }
    }
    if (pw::has(a, Action::abandon_worker)) stage_ = Stage::none;  // inside the driver: it never sends
    if (pw::has(a, Action::give_up_worker)) {
      stage_ = Stage::none;  // abandoned inside the driver: it never sends
      feed(Event::driver_held);
    }
    if (pw::has(a, Action::show_ending_box)) {
      feed(Event::box_opened);
      feed(Event::box_closed);
    }
  }

  std::mt19937 random_;
  Stage stage_ = Stage::none;
  int user_boxes_ = 0;
  bool folder_pending_ = false;
  bool command_ = false;
  bool stop_asked_ = false;
  bool refused_ = false;
  bool ever_sent_ = false;
  bool file_whole_ = true;
  bool file_unsent_ = false;
};

std::string trail_of(const World& world) {
  std::ostringstream out;
  for (const std::string& line : world.trail) out << "\n  " << line;
  return out.str();
}

// The way to each phase from the start, with the device linked.
std::vector<Event> way_to(Phase phase) {
  std::vector<Event> way = {Event::probe_started, Event::linked, Event::update_asked};
  const auto until = [&](Phase p, std::initializer_list<Event> more) {
    if (phase == p) return true;
    way.insert(way.end(), more);
    return false;
  };
  if (phase == Phase::idle) return {Event::probe_started, Event::linked};
  if (until(Phase::reading_folder, {Event::folder_wanted, Event::folder_read, Event::folder_accepted})) return way;
  if (until(Phase::identifying, {Event::identified})) return way;
  if (until(Phase::between_files, {Event::worker_started})) return way;
  if (until(Phase::opening, {Event::worker_loading})) return way;
  if (until(Phase::loading, {Event::worker_sending})) return way;
  if (until(Phase::sending, {Event::worker_ended, Event::file_sent, Event::files_done})) return way;
  if (until(Phase::final_box, {Event::lost_device_end})) return way;
  return way;
}

TEST(CommandMachine, EveryPhaseAndEventKeepsThePromises) {
  int rows_hit = 0;
  for (std::size_t p = 0; p < pw::kPhaseCount; ++p) {
    for (std::size_t e = 0; e < pw::kEventCount; ++e) {
      const Phase phase = static_cast<Phase>(p);
      CommandMachine machine;
      for (Event step : way_to(phase)) machine.handle(step);
      ASSERT_EQ(machine.phase(), phase) << pw::phase_name(phase);
      const bool protects = machine.protects_device();
      const Decision d = machine.handle(static_cast<Event>(e));
      SCOPED_TRACE(std::string(pw::phase_name(phase)) + " + " + pw::event_name(static_cast<Event>(e)));
      if (d.actions != Action::none || d.next != phase || d.deferred) ++rows_hit;
      if (static_cast<Event>(e) == Event::session_end_asked) {
        EXPECT_EQ(pw::has(d.actions, Action::refuse_session_end), protects);
      }
      if (protects) {
        EXPECT_FALSE(pw::has(d.actions, Action::close_program)) << "a close cut the update";
      }
      if (pw::has(d.actions, Action::close_program) || pw::has(d.actions, Action::end_process)) {
        EXPECT_FALSE(machine.worker_running() && !pw::has(d.actions, Action::stop_worker))
            << "the end while a worker may write";
      }
    }
  }
  std::size_t count = 0;
  CommandMachine::rows(count);
  EXPECT_GT(rows_hit, 0);
  RecordProperty("table_rows", static_cast<int>(count));
}

TEST(CommandMachine, ACloseOrAQuitWhileAFileOpensSendsNothingOfItAndWhileItGoesOutLetsItFinish) {
  for (Event ask : {Event::console_closing, Event::quit_posted, Event::session_ending}) {
    SCOPED_TRACE(pw::event_name(ask));
    CommandMachine opening;
    for (Event step : way_to(Phase::opening)) opening.handle(step);
    EXPECT_TRUE(pw::has(opening.handle(ask).actions, Action::stop_unsent_file));
    EXPECT_EQ(opening.handle(Event::worker_ended).next, Phase::between_files);
    const Decision stopped = opening.handle(Event::file_stopped);
    EXPECT_TRUE(pw::has(stopped.actions, Action::end_command));

    CommandMachine sending;
    for (Event step : way_to(Phase::sending)) sending.handle(step);
    EXPECT_EQ(sending.handle(ask).actions, Action::none) << "the file under way goes on";
    sending.handle(Event::worker_ended);
    EXPECT_TRUE(sending.files_held()) << "no further file";
    EXPECT_TRUE(pw::has(sending.handle(Event::file_sent).actions, Action::next_file)) << "the rest is looked at";
    const Decision after = sending.handle(Event::file_stopped);
    EXPECT_TRUE(pw::has(after.actions, Action::end_command));
    EXPECT_EQ(pw::has(after.actions, Action::end_process), ask == Event::quit_posted) << "a WM_QUIT ends the program";
  }
}

// A WM_QUIT while the driver never returns from the pipe open, or while a refusal
// box is open: the program ends as asked, without a further box, once the open's
// bound has passed or the box has closed.
TEST(CommandMachine, AQuitDuringAnOpenThatNeverReturnsOrBehindARefusalEndsTheProgram) {
  CommandMachine opening;
  for (Event step : way_to(Phase::opening)) opening.handle(step);
  opening.handle(Event::quit_posted);
  const Decision bound = opening.handle(Event::open_not_returning);
  EXPECT_TRUE(pw::has(bound.actions, Action::abandon_worker));
  EXPECT_FALSE(pw::has(bound.actions, Action::give_up_worker)) << "no box while the program ends as asked";
  EXPECT_TRUE(pw::has(bound.actions, Action::end_process));
  EXPECT_EQ(bound.reason, pw::EndReason::stopped);
  EXPECT_FALSE(opening.worker_running());

  for (Phase phase : {Phase::identifying, Phase::between_files}) {
    for (Event refusal : {Event::command_refused, Event::driver_held}) {
      SCOPED_TRACE(std::string(pw::phase_name(phase)) + " + " + pw::event_name(refusal));
      CommandMachine m;
      for (Event step : way_to(phase)) m.handle(step);
      m.handle(Event::box_opened);
      m.handle(Event::quit_posted);
      m.handle(Event::box_closed);
      EXPECT_TRUE(pw::has(m.handle(refusal).actions, Action::end_process));
    }
  }
}

TEST(CommandMachine, TheFolderReadBehindABoxWaitsAndStartsNothingUnlessStillLinked) {
  CommandMachine m;
  for (Event step : way_to(Phase::reading_folder)) {
    if (step == Event::folder_read) break;
    m.handle(step);
  }
  m.handle(Event::box_opened);  // the lost-device question, say
  EXPECT_TRUE(m.handle(Event::folder_read).deferred);
  Event again;
  EXPECT_FALSE(m.take_deferred(again)) << "still behind the box";
  m.handle(Event::unlinked);
  m.handle(Event::box_closed);
  ASSERT_TRUE(m.take_deferred(again));
  const Decision d = m.handle(again);
  EXPECT_FALSE(pw::has(d.actions, Action::take_folder));
  EXPECT_TRUE(pw::has(d.actions, Action::say_not_linked));
  EXPECT_EQ(d.next, Phase::idle);
}

TEST(CommandMachine, RandomWalksKeepThePromises) {
  const std::uint32_t first_seed = 20261209;
  std::vector<int> walks_reaching(pw::kPhaseCount, 0);
  for (std::uint32_t walk = 0; walk < 10000; ++walk) {
    const std::uint32_t seed = first_seed + walk;
    World world(seed);
    for (int i = 0; i < 80 && !world.over && world.broken.empty(); ++i) world.step();
    ASSERT_TRUE(world.broken.empty()) << world.broken << " (seed " << seed << "):" << trail_of(world);
    for (std::size_t p = 0; p < pw::kPhaseCount; ++p) walks_reaching[p] += world.reached[p];
  }
  for (std::size_t p = 0; p < pw::kPhaseCount; ++p)
    EXPECT_GT(walks_reaching[p], 100) << "few walks reach " << pw::phase_name(static_cast<Phase>(p));
}

}  // namespace
