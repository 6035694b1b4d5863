// The command's table against what the host would carry out: every (phase,
// event) pair, and seeded random walks, each checked for the promises of an
// update: no byte after a refusal or a stop, completion only after every file
// went out whole, at most one worker, no end while a worker may still write,
// nothing started behind an open box, and the session's end refused exactly
// while the device may receive bytes.
#include "session/command_machine.h"
#include "session/command_runner.h"

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

// Where the choices of a run come from: a seeded generator, or a script the
// exhaustive exploration extends one choice at a time.
class Choices {
 public:
  explicit Choices(std::uint32_t seed) : random_(seed), scripted_(false) {}
  explicit Choices(std::vector<std::size_t> script) : script_(std::move(script)), scripted_(true) {}

  bool scripted() const { return scripted_; }
  // Only the usual outcome, nothing taken from the script or the generator.
  void usual_only(bool on) { usual_only_ = on; }
  // One of `n` (the first is the usual one); past the end of a script: 0, and the
  // run is over, with `n` kept for the exploration to extend it.
  std::size_t pick(std::size_t n) {
    if (usual_only_) return 0;
    if (!scripted_) return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    if (used_ < script_.size()) return script_[used_++] % n;
    if (!beyond_) options_beyond_ = n;
    beyond_ = true;
    return 0;
  }
  bool beyond() const { return beyond_; }
  std::size_t options_beyond() const { return options_beyond_; }

 private:
  std::mt19937 random_;
  std::vector<std::size_t> script_;
  std::size_t used_ = 0;
  bool scripted_;
  bool usual_only_ = false;
  bool beyond_ = false;
  std::size_t options_beyond_ = 0;
};

// The program around the table as the shipped runner drives it: the work each
// action does picks one of its possible outcomes, a worker moves through its
// stages, the boxes the work opens serve the world's events while they are open.
class World final : private pw::CommandEffects {
 public:
  explicit World(Choices choices, int budget = 1 << 30) : choices_(std::move(choices)), budget_(budget) {}

  pw::CommandRunner runner{*this};
  std::vector<std::string> trail;  // what happened, for a failure's message
  std::string broken;              // the first promise broken, if any
  bool over = false;               // the process ended or the program closed
  std::vector<bool> reached = std::vector<bool>(pw::kPhaseCount, false);
  int world_events = 0;            // events the world brought, at rest or behind a box
  int refusals = 0;                // boxes that said why a close was refused
  void (*during_refusal)(World&) = nullptr;

  const CommandMachine& machine() const { return runner.machine(); }
  bool done() const { return over || !broken.empty() || choices_.beyond(); }
  std::size_t options_beyond() const { return choices_.options_beyond(); }

  // The world's events that may come now, each with how often it comes in a walk.
  std::vector<std::pair<Event, int>> possible() const {
    std::vector<std::pair<Event, int>> events;
    if (world_events >= budget_) return events;
    const auto add = [&](Event e, int weight) { events.emplace_back(e, weight); };
    if (!stop_asked_by_world_) {
      add(Event::update_asked, 4);
      add(Event::probe_started, 2);
      add(Event::linked, 4);
      add(Event::unlinked, 1);
      add(Event::probe_stuck, 1);
      add(Event::session_end_asked, 2);
      add(Event::box_opened, 1);
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
        add(Event::worker_progress, stop_asked_by_world_ ? 1 : 3);
        add(Event::worker_ended, 8);
        break;
      default: break;
    }
    return events;
  }

  // One event of the world's, at random in a walk, as scripted in an exploration.
  bool step() {
    const std::vector<std::pair<Event, int>> events = possible();
    if (events.empty()) return false;
    std::size_t chosen = 0;
    if (choices_.scripted()) {
      chosen = choices_.pick(events.size());
      if (choices_.beyond()) return false;
    } else {
      int total = 0;
      for (const auto& e : events) total += e.second;
      int ticket = static_cast<int>(choices_.pick(static_cast<std::size_t>(total)));
      while (ticket >= events[chosen].second) ticket -= events[chosen++].second;
    }
    bring(events[chosen].first);
    return true;
  }

  // An event of the world's, as the host turns a message into one.
  void bring(Event e) {
    if (done()) return;
    ++world_events;
    if (e == Event::quit_posted) quit_asked_ = true;
    if (e == Event::quit_posted || e == Event::console_closing) stop_asked_by_world_ = true;
    if (e == Event::folder_read) folder_pending_ = false;
    if (e == Event::worker_loading) stage_ = Stage::loading;
    if (e == Event::worker_sending) stage_ = Stage::sending;
    if (e == Event::worker_ended) {
      file_whole_ = stage_ == Stage::sending && !stop_asked_;
      file_unsent_ = stage_ != Stage::sending;
      stage_ = Stage::ended;
    }
    if (e == Event::box_opened) {
      ++user_boxes_;
      return runner.box_opens();
    }
    if (e == Event::box_closed) {
      --user_boxes_;
      return runner.box_closes();
    }
    if (e == Event::session_end_asked) {
      const bool protects = machine().protects_device();
      const bool held = runner.holding();
      const bool reading = machine().phase() == Phase::reading_folder;
      const bool refused = runner.session_end_refused();
      if (!held && refused != protects) fail("the session's end refused other than while the device may receive bytes");
      if (!refused && reading) session_end_agreed_ = true;
      return;
    }
    runner.post(e);
  }

  // From now on the work has its usual outcomes, and no box brings an event of the world's.
  void usual_outcomes_only() { choices_.usual_only(true); }

  // The way to a phase at rest, with the usual outcomes.
  void bring_usual(const std::vector<Event>& events) {
    choices_.usual_only(true);
    for (Event e : events) bring(e);
    choices_.usual_only(false);
    world_events = 0;
  }

  // After a WM_QUIT or a closing console, the world brings only what ends the
  // work under way, with the usual outcomes: the program must be over (the
  // console's command ended) within a few of the worker's reports and bounds.
  bool stop_ended_within(int steps) {
    choices_.usual_only(choices_.scripted());
    for (int i = 0; i < steps && !done(); ++i) {
      // First the slowest way each piece of work may end: an open that never returns.
      std::vector<Event> ending;
      if (user_boxes_ > 0) ending.push_back(Event::box_closed);
      if (folder_pending_) ending.push_back(Event::folder_read);
      if (stage_ == Stage::opening) ending.insert(ending.end(), {Event::open_not_returning, Event::worker_ended});
      if (stage_ == Stage::loading || stage_ == Stage::sending) ending.push_back(Event::worker_ended);
      if (ending.empty()) break;
      bring(ending[choices_.pick(ending.size())]);
    }
    if (quit_asked_) return over;  // a WM_QUIT ends the program; a closing console leaves once no command runs
    return over || (machine().phase() == Phase::idle && (stage_ == Stage::none || stage_ == Stage::ended));
  }
  bool stop_asked() const { return stop_asked_by_world_; }

 private:
  void fail(const std::string& why) {
    if (broken.empty()) broken = why;
  }
  // The first outcome is the usual one; the others come now and then.
  Event one_of(std::initializer_list<Event> events) {
    if (choices_.scripted()) return *(events.begin() + choices_.pick(events.size()));
    return choices_.pick(3) != 0 ? *events.begin() : *(events.begin() + choices_.pick(events.size()));
  }
  // A box of the workflow's own: the world's events come while it is open.
  void box(bool through_the_link = true) {
    if (through_the_link) runner.box_opens();
    const std::vector<std::pair<Event, int>> events = possible();
    if (choices_.scripted() && !events.empty()) {
      const std::size_t chosen = choices_.pick(events.size() + 1);
      if (chosen > 0 && !choices_.beyond()) bring(events[chosen - 1].first);
    } else if (!choices_.scripted()) {
      for (std::size_t n = choices_.pick(4) == 0 ? choices_.pick(3) : 0; n > 0; --n) step();
    }
    if (through_the_link) runner.box_closes();
  }

  void decided(Event event, const Decision& d) noexcept override {
    reached[static_cast<std::size_t>(d.next)] = true;
    trail.push_back(std::string(pw::phase_name(before_)) + " --" + pw::event_name(event) + "--> " +
                    pw::phase_name(d.next) + (d.deferred ? " (deferred)" : ""));
    if (runner.deepest_decision() > 1) fail("a decision began inside another");
    const Action starts[] = {Action::start_command, Action::read_folder, Action::identify, Action::next_file};
    for (Action a : starts)
      if (pw::has(d.actions, a) && boxes_before_ > 0 && event != Event::box_closed)
        fail("something started behind an open box");
    if (pw::has(d.actions, Action::next_file) && (stop_asked_ || refused_)) fail("a file after a stop or a refusal");
    if (event == Event::session_end_asked && pw::has(d.actions, Action::refuse_session_end) != protects_before_)
      fail("the session's end refused other than while the device may receive bytes");
    if (pw::has(d.actions, Action::close_program) && stage_ != Stage::none && stage_ != Stage::ended)
      fail("the program closed while a worker runs");
    if (pw::has(d.actions, Action::show_ending_box) && event == Event::files_done && (stop_asked_ || !file_whole_))
      fail("completed without every file whole");
    if (pw::has(d.actions, Action::end_process) && stage_ != Stage::none && stage_ != Stage::ended && !stop_asked_ &&
        !pw::has(d.actions, Action::stop_worker) && !pw::has(d.actions, Action::abandon_worker))
      fail("the end while a worker may write");
    before_ = d.next;
    protects_before_ = machine().protects_device();
    boxes_before_ = machine().boxes_open();
  }
  void phase_followed(Phase) noexcept override {}

  void say(Action) noexcept override { box(); }
  Event start_command() noexcept override {
    command_ = true;
    stop_asked_ = refused_ = session_end_agreed_ = false;
    file_whole_ = true;
    return one_of({Event::folder_wanted, Event::command_refused});
  }
  bool read_folder() noexcept override {
    folder_pending_ = one_of({Event::folder_wanted, Event::folder_read}) == Event::folder_wanted;
    return folder_pending_;
  }
  void stop_folder_read() noexcept override { folder_pending_ = false; }
  Event take_folder() noexcept override {
    return one_of({Event::folder_accepted, Event::command_refused});
  }
  Event identify() noexcept override {
    if (session_end_agreed_) fail("the identification began after the session's end was agreed to");
    return one_of({Event::identified, Event::command_refused, Event::driver_held, Event::wrong_device});
  }
  Event next_file(bool held) noexcept override {
    if (stage_ != Stage::none && stage_ != Stage::ended) fail("a second worker");
    if (!held && session_end_agreed_) fail("a file started after the session's end was agreed to");
    const Event next = held ? one_of({Event::file_stopped, Event::files_done, Event::database_missing})
                            : one_of({Event::worker_started, Event::files_done, Event::database_missing,
                                      Event::command_refused});
    if (next == Event::worker_started) stage_ = Stage::opening;
    if (next == Event::command_refused) refused_ = true;
    return next;
  }
  Event finish_file() noexcept override {
    stage_ = Stage::none;
    if (file_whole_) return Event::file_sent;
    if (file_unsent_ && stop_asked_) return Event::file_stopped;
    refused_ = true;
    return Event::command_refused;
  }
  void stop_unsent_file() noexcept override {
    if (stage_ == Stage::opening || stage_ == Stage::loading) stop_asked_ = true;
  }
  Event give_up_worker() noexcept override {
    stage_ = Stage::none;  // abandoned inside the driver: it never sends
    return Event::driver_held;
  }
  void abandon_worker() noexcept override { stage_ = Stage::none; }
  void show_sending() noexcept override {}
  void show_progress() noexcept override {}
  void show_ending_box() noexcept override { box(); }
  void end_command(pw::EndReason, bool) noexcept override { command_ = false; }
  // The face's own box: the queue waits for the decision.
  void refuse_close() noexcept override {
    ++refusals;
    if (during_refusal) during_refusal(*this);
    box(false);
  }
  void close_program() noexcept override { over = true; }
  void end_process() noexcept override {
    // The host stops a sending worker here and waits for it, bounded, keeping one that does not end.
    if (stage_ == Stage::sending) stop_asked_ = true;
    over = true;
  }

  Choices choices_;
  int budget_;
  Stage stage_ = Stage::none;
  Phase before_ = Phase::idle;
  bool protects_before_ = false;
  int boxes_before_ = 0;
  int user_boxes_ = 0;
  bool folder_pending_ = false;
  bool command_ = false;
  bool stop_asked_ = false;
  bool stop_asked_by_world_ = false;
  bool quit_asked_ = false;
  bool refused_ = false;
  bool session_end_agreed_ = false;  // while the folder was read: nothing may start after
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

// The phases where the program waits for the world, and the world's events that lead there.
std::vector<std::pair<Phase, std::vector<Event>>> phases_at_rest() {
  const std::vector<Event> idle = {Event::probe_started, Event::linked};
  std::vector<Event> reading = idle;
  reading.push_back(Event::update_asked);
  std::vector<Event> opening = reading;
  opening.push_back(Event::folder_read);
  std::vector<Event> loading = opening;
  loading.push_back(Event::worker_loading);
  std::vector<Event> sending = loading;
  sending.push_back(Event::worker_sending);
  return {{Phase::idle, idle},
          {Phase::reading_folder, reading},
          {Phase::opening, opening},
          {Phase::loading, loading},
          {Phase::sending, sending}};
}

int kExploreDepth = 4;
struct Explored {
  long runs = 0;
  std::string first_broken;
};

// Every sequence of the world's events (at rest and behind each box the work
// opens) up to `depth` of them, with every outcome of the work in between.
void explore(const std::vector<Event>& way, std::vector<std::size_t>& script, int depth, Explored& explored) {
  World world(Choices(script), depth);
  world.bring_usual(way);
  while (!world.done() && world.world_events < depth && world.step()) {
  }
  ++explored.runs;
  const bool beyond = world.done() && world.broken.empty() && !world.over && world.options_beyond() > 0;
  if (beyond) {
    for (std::size_t i = 0; i < world.options_beyond() && explored.first_broken.empty(); ++i) {
      script.push_back(i);
      explore(way, script, depth, explored);
      script.pop_back();
    }
    return;
  }
  if (world.broken.empty() && world.stop_asked() && !world.stop_ended_within(30))
    world.broken = "a WM_QUIT or a closing console did not end the program within the bounds";
  if (!world.broken.empty() && explored.first_broken.empty())
    explored.first_broken = world.broken + ":" + trail_of(world);
}

TEST(CommandRunner, EverySequenceOfFourEventsFromEveryPhaseAtRestKeepsThePromises) {
  for (const auto& start : phases_at_rest()) {
    SCOPED_TRACE(pw::phase_name(start.first));
    World reaches(Choices(std::vector<std::size_t>{}));
    reaches.bring_usual(start.second);
    ASSERT_EQ(reaches.machine().phase(), start.first);
    Explored explored;
    std::vector<std::size_t> script;
    explore(start.second, script, kExploreDepth, explored);
    EXPECT_EQ(explored.first_broken, "");
    EXPECT_GT(explored.runs, 10000);
    RecordProperty(std::string("runs_from_") + pw::phase_name(start.first), static_cast<int>(explored.runs));
  }
}

// Cancel pressed again, or a WM_CLOSE posted, while the box that says why the
// first was refused is open: that box has answered it, and no second box follows.
TEST(CommandRunner, ACloseAskedWhileItsRefusalIsShownIsAnsweredByThatBox) {
  World world(Choices(std::vector<std::size_t>{}));
  world.bring_usual(phases_at_rest()[4].second);
  ASSERT_EQ(world.machine().phase(), Phase::sending);
  world.usual_outcomes_only();
  world.during_refusal = [](World& w) { w.runner.post(Event::close_asked); };
  world.bring(Event::close_asked);
  EXPECT_EQ(world.refusals, 1) << trail_of(world);
  world.bring(Event::close_asked);
  EXPECT_EQ(world.refusals, 2) << "a close asked after the box has closed is refused again";
}

TEST(CommandRunner, RandomWalksKeepThePromisesAndEveryStopEndsWithinTheBounds) {
  const std::uint32_t first_seed = 20261209;
  std::vector<int> walks_reaching(pw::kPhaseCount, 0);
  int stops = 0;
  for (std::uint32_t walk = 0; walk < 10000; ++walk) {
    const std::uint32_t seed = first_seed + walk;
    World world{Choices(seed)};
    for (int i = 0; i < 80 && !world.done() && !world.stop_asked() && world.step(); ++i) {
    }
    if (world.broken.empty() && world.stop_asked()) {
      ++stops;
      if (!world.stop_ended_within(30)) world.broken = "a WM_QUIT or a closing console did not end the program";
    }
    ASSERT_TRUE(world.broken.empty()) << world.broken << " (seed " << seed << "):" << trail_of(world);
    EXPECT_EQ(world.runner.deepest_decision(), world.trail.empty() ? 0 : 1);
    for (std::size_t p = 0; p < pw::kPhaseCount; ++p) walks_reaching[p] += world.reached[p];
  }
  EXPECT_GT(stops, 1000);
  for (std::size_t p = 0; p < pw::kPhaseCount; ++p)
    EXPECT_GT(walks_reaching[p], 100) << "few walks reach " << pw::phase_name(static_cast<Phase>(p));
}

}  // namespace
