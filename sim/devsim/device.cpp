#include "sim/devsim/device.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "sim/machine_clock.h"
#include "sim/sim_names.h"

namespace pw {
namespace sim {

namespace {

// A whole host write fits, so what is captured never depends on how a
// cancelled host write was split.
constexpr DWORD kReadBufferSize = 256 * 1024;
// No buffer on the out pipe: a host write completes only once the device has read
// it, as a USB bulk write completes only once the device has taken it. A buffer
// would let writes complete that an unplug or a dropped connection then loses.
constexpr DWORD kOutPipeBufferSize = 0;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kMonitorBufferSize = 256;
constexpr DWORD kControlBufferSize = 4096;
constexpr std::size_t kMaxControlMessage = 64 * 1024;
// Bounded so every pending operation fits one WaitForMultipleObjects:
// out 16 x 1 + in 16 x 2 + control 4 x 2 + stop + parent = 58.
constexpr int kMaxOutInstances = 16;
constexpr int kMaxInInstances = 16;
constexpr int kMaxControlInstances = 4;
// Out connections whose first byte is timed after a reset: the identification
// and five files fit with room to spare.
constexpr std::size_t kTimedConnections = 16;
// Rounds of the loop that may take finished operations without a wait.
constexpr int kMaxSkippedWaits = 64;
// While no read is pending on an out connection (stalled or throttled), this
// is how often the device looks whether the host has closed it.
constexpr std::chrono::milliseconds kPeekInterval{50};
constexpr std::chrono::milliseconds kStopGrace{2000};
// A throttled read that starts late may catch up on this much lost time, so
// wake-up latency does not pull the average below the line rate; it never
// catches up beyond the line's own pace since the burst began.
constexpr std::chrono::milliseconds kRateSlack{20};
// A throttled line reads about this much at a time: the host's chunk.
constexpr std::uint64_t kLineQuantum = 2048;
// A pause this long between reads starts a new burst on the line.
constexpr std::chrono::milliseconds kLineIdle{100};

std::string name_of(SimObject object, const std::string& device) {
  char name[kMaxObjectNameLength];
  return object_name(object, device.c_str(), name) ? std::string(name) : std::string();
}

std::string optional_text(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : std::string("none");
}

const char* kind_name(int kind) {
  static const char* const names[] = {"out", "in", "control"};
  return names[kind];
}

// True when an overlapped call is under way or done: a message longer than the
// buffer may finish at once with ERROR_MORE_DATA, its event set like any other.
bool started(BOOL result) {
  if (result) return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_IO_PENDING || error == ERROR_MORE_DATA;
}

// ReadFile and WriteFile reset the event as they start; only a connect needs it done.
void reset_op(OVERLAPPED* ov, HANDLE event) {
  ZeroMemory(ov, sizeof *ov);
  ov->hEvent = event;
}

}  // namespace

// --- Capture -----------------------------------------------------------------

bool Capture::open(const std::string& path, std::string* error) {
  file_.reset(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    *error = "cannot create capture file " + path + " (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

void Capture::append(const std::uint8_t* data, std::size_t size) {
  size_ += size;
  // Unbuffered here: WriteFile hands the bytes to the system at once, so a
  // test reading the file sees them as soon as the device has them.
  while (file_ && size > 0) {
    DWORD written = 0;
    if (!::WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      std::fprintf(stderr, "devsim: capture write failed (error %lu)\n", ::GetLastError());
      return;
    }
    data += written;
    size -= written;
  }
}

void Capture::clear() {
  size_ = 0;
  if (!file_) return;
  LARGE_INTEGER zero{};
  ::SetFilePointerEx(file_.get(), zero, nullptr, FILE_BEGIN);
  ::SetEndOfFile(file_.get());
}

// --- Device ------------------------------------------------------------------

Device::Device(Settings settings) : settings_(std::move(settings)), started_at_(Clock::now()) {
  out_name_ = name_of(SimObject::out_pipe, settings_.device);
  in_name_ = name_of(SimObject::in_pipe, settings_.device);
  control_name_ = name_of(SimObject::control_pipe, settings_.device);
  plugged_name_ = name_of(SimObject::plugged_event, settings_.device);
  refuse_name_ = name_of(SimObject::refuse_load_event, settings_.device);
  refuse_out_pipe_name_ = name_of(SimObject::refuse_out_pipe_event, settings_.device);
  running_name_ = name_of(SimObject::running_mutex, settings_.device);
  missed_checks_name_ = name_of(SimObject::missed_checks_semaphore, settings_.device);
  refuse_probe_name_ = name_of(SimObject::refuse_probe_event, settings_.device);
  slow_open_name_ = name_of(SimObject::slow_open_mapping, settings_.device);
  slow_open_release_name_ = name_of(SimObject::slow_open_release_event, settings_.device);
  hang_probe_name_ = name_of(SimObject::hang_probe_mapping, settings_.device);
  hang_probe_release_name_ = name_of(SimObject::hang_probe_release_event, settings_.device);
  out_pipe_opens_name_ = name_of(SimObject::out_pipe_opens_mapping, settings_.device);
}

Device::~Device() {
  // A call held in the library goes on when the device ends.
  release_calls(&slow_open_, &slow_open_release_);
  release_calls(&hang_probe_, &hang_probe_release_);
  unplug();
  for (auto& inst : instances_) close_instance(*inst);
}

void Device::log(const char* format, ...) const {
  if (!settings_.verbose) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_at_).count();
  std::fprintf(stderr, "[devsim %s %6lld ms] ", settings_.device.c_str(), static_cast<long long>(ms));
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

bool Device::start(std::string* error) {
  if (out_name_.empty()) {
    *error = "invalid device name: " + settings_.device;
    return false;
  }
  if (!settings_.capture_path.empty() && !capture_.open(settings_.capture_path, error)) return false;
  if (settings_.parent_pid != 0) {
    parent_.reset(::OpenProcess(SYNCHRONIZE, FALSE, settings_.parent_pid));
    if (!parent_) {
      *error = "parent process " + std::to_string(settings_.parent_pid) + " is not running";
      return false;
    }
  }
  // A second devsim with the same name must fail instead of sharing pipes with
  // the first (Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE, so a mutex decides).
  running_mutex_.reset(::CreateMutexA(nullptr, FALSE, running_name_.c_str()));
  if (!running_mutex_ || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    running_mutex_.reset();
    *error = "device " + settings_.device + " is already running";
    return false;
  }
  if (!create_instance(PipeKind::control, error)) return false;
  if (settings_.refuse_load && !set_refuse_load(true, error)) return false;
  if (settings_.refuse_probe && !set_switch(&refuse_probe_event_, refuse_probe_name_, true, error)) return false;
  out_pipe_opens_.reset(
      ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), out_pipe_opens_name_.c_str()));
  if (!out_pipe_opens_) {
    *error = "cannot create " + out_pipe_opens_name_ + " (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  reset_out_pipe_opens();  // a mapping a host still held from an earlier run keeps its count
  if (settings_.slow_open_ms &&
      !set_slow_open(settings_.slow_open_ms, settings_.slow_open_fails, settings_.slow_open_from, error))
    return false;
  if (settings_.hang_probe_ms && !set_hang_probe(settings_.hang_probe_ms, error)) return false;
  if (settings_.start_plugged && !plug(error)) return false;
  if (settings_.faults.unplug_after && received_ >= *settings_.faults.unplug_after) {
    settings_.faults.unplug_after.reset();
    unplug();
  }
  return true;
}

int Device::run(HANDLE stop_event) {
  int skipped_waits = 0;
  for (;;) {
    maintain_listeners();
    sweep();
    if (stopping_) {
      const bool reply_unread = std::any_of(instances_.begin(), instances_.end(),
                                            [](const auto& inst) { return inst->stop_after_reply; });
      if (!reply_unread || Clock::now() >= *stop_deadline_) break;
    }

    // An operation that ended already (a read that completed at once) needs no
    // wait: taking it now saves a round trip per chunk. The wait still comes
    // every kMaxSkippedWaits rounds, so a stop or the parent's end is never starved.
    if (skipped_waits < kMaxSkippedWaits && any_completed()) {
      ++skipped_waits;
      handle_completions();
      run_timers();
      continue;
    }
    skipped_waits = 0;

    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD n = 0;
    handles[n++] = stop_event;
    const DWORD parent_index = n;
    if (parent_) handles[n++] = parent_.get();
    for (const auto& inst : instances_) {
      for (const Op* op : {&inst->read_op, &inst->write_op}) {
        if (op->pending && n < MAXIMUM_WAIT_OBJECTS) handles[n++] = op->event.get();
      }
    }
    const DWORD r = ::WaitForMultipleObjects(n, handles, FALSE, next_timeout());
    if (r == WAIT_FAILED) {
      std::fprintf(stderr, "devsim: wait failed (error %lu)\n", ::GetLastError());
      return 1;
    }
    // The wait's own answer says which woke it: no further call per wake.
    if (r == WAIT_OBJECT_0) {
      log("stop requested");
      break;
    }
    if (parent_ && r == WAIT_OBJECT_0 + parent_index) {
      log("parent process ended");
      break;
    }
    handle_completions();
    run_timers();
  }
  unplug();
  for (auto& inst : instances_) close_instance(*inst);
  sweep();
  log("stopped");
  return 0;
}

// --- Connections and listeners -------------------------------------------------

bool Device::create_instance(PipeKind kind, std::string* error) {
  const bool control = kind == PipeKind::control;
  const std::string& name = kind == PipeKind::out ? out_name_ : kind == PipeKind::in ? in_name_ : control_name_;
  const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  const DWORD pipe_mode =
      (control ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE) | PIPE_WAIT;
  const DWORD buffer = control ? kControlBufferSize : kind == PipeKind::out ? kOutPipeBufferSize : kPipeBufferSize;

  auto inst = std::make_unique<Instance>();
  inst->kind = kind;
  inst->serial = next_serial_++;
  inst->pipe.reset(
      ::CreateNamedPipeA(name.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, buffer, buffer, 0, nullptr));
  if (!inst->pipe) {
    *error = "CreateNamedPipe " + name + " failed (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  inst->read_op.event.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  inst->write_op.event.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!inst->read_op.event || !inst->write_op.event) {
    *error = "CreateEvent failed";
    return false;
  }
  Instance& ref = *inst;
  instances_.push_back(std::move(inst));
  start_connect(ref);
  if (ref.dead) *error = "cannot listen on " + name;
  return !ref.dead;
}

void Device::start_connect(Instance& inst) {
  reset_op(&inst.read_op.ov, inst.read_op.event.get());
  ::ResetEvent(inst.read_op.event.get());
  if (::ConnectNamedPipe(inst.pipe.get(), &inst.read_op.ov)) {
    on_connected(inst);
    return;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    inst.read_op.pending = true;
  } else if (error == ERROR_PIPE_CONNECTED) {
    on_connected(inst);
  } else {
    log("%s listener failed (error %lu)", kind_name(static_cast<int>(inst.kind)), error);
    close_instance(inst);
  }
}

void Device::on_connected(Instance& inst) {
  inst.connected = true;
  log("%s client #%llu connected", kind_name(static_cast<int>(inst.kind)),
      static_cast<unsigned long long>(inst.serial));
  switch (inst.kind) {
    case PipeKind::out:
      schedule_read(inst);
      break;
    case PipeKind::in:
      begin_monitor_read(inst);
      if (unassigned_reply_ && !inst.dead) {
        PendingReply reply = std::move(*unassigned_reply_);
        unassigned_reply_.reset();
        assign_reply(inst, std::move(reply));
      }
      break;
    case PipeKind::control:
      begin_control_read(inst);
      break;
  }
}

void Device::maintain_listeners() {
  struct Need {
    PipeKind kind;
    int cap;
    bool wanted;
  };
  const Need needs[] = {{PipeKind::out, kMaxOutInstances, plugged_},
                        {PipeKind::in, kMaxInInstances, plugged_},
                        {PipeKind::control, kMaxControlInstances, !stopping_}};
  for (const Need& need : needs) {
    if (!need.wanted) continue;
    const bool listening = std::any_of(instances_.begin(), instances_.end(), [&](const auto& inst) {
      return inst->kind == need.kind && !inst->dead && !inst->connected;
    });
    if (listening || count(need.kind, false) >= need.cap) continue;
    std::string error;
    if (!create_instance(need.kind, &error)) std::fprintf(stderr, "devsim: %s\n", error.c_str());
  }
}

void Device::close_instance(Instance& inst) {
  if (inst.dead) return;
  inst.dead = true;
  inst.stop_after_reply = false;
  for (Op* op : {&inst.read_op, &inst.write_op}) {
    if (!op->pending) continue;
    // The record and buffer must outlive the operation: wait for it to end.
    ::CancelIoEx(inst.pipe.get(), &op->ov);
    DWORD bytes = 0;
    const BOOL ok = ::GetOverlappedResult(inst.pipe.get(), &op->ov, &bytes, TRUE);
    op->pending = false;
    // Bytes that arrived before the cancel took effect were read: keep them.
    if (ok && bytes > 0 && op == &inst.read_op && inst.kind == PipeKind::out && inst.connected) {
      take_bytes(inst, inst.read_buffer.data(), bytes);
    }
  }
  if (inst.connected) {
    ::DisconnectNamedPipe(inst.pipe.get());
    log("%s client #%llu closed", kind_name(static_cast<int>(inst.kind)),
        static_cast<unsigned long long>(inst.serial));
  }
  inst.pipe.reset();
}

void Device::sweep() {
  instances_.erase(std::remove_if(instances_.begin(), instances_.end(), [](const auto& inst) { return inst->dead; }),
                   instances_.end());
}

int Device::count(PipeKind kind, bool connected_only) const {
  return static_cast<int>(std::count_if(instances_.begin(), instances_.end(), [&](const auto& inst) {
    return inst->kind == kind && !inst->dead && (!connected_only || inst->connected);
  }));
}

bool Device::any_completed() const {
  return std::any_of(instances_.begin(), instances_.end(), [](const auto& inst) {
    return !inst->dead && ((inst->read_op.pending && HasOverlappedIoCompleted(&inst->read_op.ov)) ||
                           (inst->write_op.pending && HasOverlappedIoCompleted(&inst->write_op.ov)));
  });
}

void Device::handle_completions() {
  // By index: handlers may add instances; dead ones are only swept later.
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    Instance& inst = *instances_[i];
    for (Op* op : {&inst.read_op, &inst.write_op}) {
      // The record itself tells whether the operation has ended, without a wait.
      if (inst.dead || !op->pending || !HasOverlappedIoCompleted(&op->ov)) continue;
      DWORD bytes = 0;
      const BOOL ok = ::GetOverlappedResult(inst.pipe.get(), &op->ov, &bytes, FALSE);
      const DWORD error = ok ? 0 : ::GetLastError();
      if (!ok && error == ERROR_IO_INCOMPLETE) continue;
      op->pending = false;

      if (op == &inst.write_op) {
        inst.outgoing.clear();
        if (!ok) {
          close_instance(inst);
        } else if (inst.kind == PipeKind::control) {
          if (inst.stop_after_reply) {
            stopping_ = true;
            stop_deadline_ = Clock::now() + kStopGrace;
          }
          begin_control_read(inst);
        }
        continue;
      }
      if (!inst.connected) {
        if (ok) {
          on_connected(inst);
        } else {
          close_instance(inst);
        }
        continue;
      }
      switch (inst.kind) {
        case PipeKind::out:
          on_out_read(inst, bytes, ok != FALSE);
          break;
        case PipeKind::in:
          // The host has nothing to say on the in pipe; a read ending in an
          // error means it closed its handle.
          if (ok) {
            begin_monitor_read(inst);
          } else {
            close_instance(inst);
          }
          break;
        case PipeKind::control:
          on_control_read(inst, bytes, error);
          break;
      }
    }
  }
}

// --- The out pipe ----------------------------------------------------------------

bool Device::stalled() const {
  return settings_.faults.stall_after && received_ >= *settings_.faults.stall_after;
}

bool Device::starts_burst(Clock::time_point now) const {
  return !burst_start_ || now > next_read_at_ + kLineIdle;
}

Device::Clock::duration Device::line_time(std::uint64_t bytes) const {
  // Rounded up, so a read scheduled at this time finds the bytes paid for.
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::microseconds((bytes * std::uint64_t{1000000} + settings_.rate - 1) / settings_.rate));
}

std::uint64_t Device::line_credit(Clock::time_point now) const {
  if (!burst_start_ || now <= *burst_start_) return 0;
  const auto elapsed_us = std::chrono::duration_cast<std::chrono::microseconds>(now - *burst_start_).count();
  const std::uint64_t carried = static_cast<std::uint64_t>(elapsed_us) * settings_.rate / 1000000;
  return carried > burst_bytes_ ? carried - burst_bytes_ : 0;
}

void Device::pace_line(DWORD bytes) {
  const Clock::time_point now = Clock::now();
  if (starts_burst(now)) {
    burst_start_ = now;  // the burst's first byte (a read of one) starts the clock
    burst_bytes_ = 0;
  }
  burst_bytes_ += bytes;
  // A host that fell behind may catch up only kRateSlack of the line's time:
  // the burst's clock slips forward, which only ever lowers the pace.
  const Clock::time_point paid_until = *burst_start_ + line_time(burst_bytes_);
  if (paid_until + kRateSlack < now) *burst_start_ += now - kRateSlack - paid_until;
  next_read_at_ = *burst_start_ + line_time(burst_bytes_ + kLineQuantum);
}

std::uint64_t Device::read_limit() const {
  // Stop each read exactly at the next threshold so a fault fires at its byte.
  std::uint64_t limit = kReadBufferSize;
  const auto& f = settings_.faults;
  for (const auto* threshold : {&f.unplug_after, &f.stall_after, &f.fail_after}) {
    if (*threshold && **threshold > received_) limit = std::min(limit, **threshold - received_);
  }
  return limit;
}

void Device::schedule_read(Instance& inst) {
  if (inst.dead || !inst.connected || inst.read_op.pending) return;
  const Clock::time_point now = Clock::now();
  inst.resume_at.reset();
  inst.next_peek = now + kPeekInterval;
  if (stalled()) return;
  if (settings_.faults.fail_after && received_ >= *settings_.faults.fail_after) {
    log("fault: dropping out client #%llu at %llu bytes", static_cast<unsigned long long>(inst.serial),
        static_cast<unsigned long long>(received_));
    settings_.faults.fail_after.reset();
    close_instance(inst);
    return;
  }
  if (settings_.rate > 0 && next_read_at_ > now) {
    inst.resume_at = next_read_at_;
    return;
  }
  begin_read(inst);
}

void Device::begin_read(Instance& inst) {
  if (inst.read_buffer.size() < kReadBufferSize) inst.read_buffer.resize(kReadBufferSize);
  reset_op(&inst.read_op.ov, inst.read_op.event.get());
  DWORD limit = static_cast<DWORD>(read_limit());
  // A read takes no more than the line has carried since its burst began, so
  // the bytes the device has seen never run ahead of the rate. A burst's first
  // read takes one byte: it starts the clock.
  if (settings_.rate > 0) {
    const Clock::time_point now = Clock::now();
    const std::uint64_t credit = starts_burst(now) ? 1 : line_credit(now);
    limit = static_cast<DWORD>(std::min<std::uint64_t>(limit, std::max<std::uint64_t>(credit, 1)));
  }
  if (started(::ReadFile(inst.pipe.get(), inst.read_buffer.data(), limit, nullptr, &inst.read_op.ov))) {
    // A read that completed at once also sets the event: handled by the loop.
    inst.read_op.pending = true;
  } else {
    close_instance(inst);
  }
}

void Device::take_bytes(Instance& inst, const std::uint8_t* data, DWORD bytes) {
  const std::int64_t now_us = machine_microseconds();
  if (received_ == 0) first_byte_us_ = now_us;
  last_byte_us_ = now_us;
  if (inst.received == 0 && connection_first_bytes_us_.size() < kTimedConnections)
    connection_first_bytes_us_.push_back(now_us);
  capture_.append(data, bytes);
  received_ += bytes;
  inst.received += bytes;
}

void Device::on_out_read(Instance& inst, DWORD bytes, bool ok) {
  if (!ok) {
    close_instance(inst);  // the host closed its handle
    return;
  }
  if (bytes > 0) {
    const bool first = !inst.saw_first_byte;
    inst.saw_first_byte = true;
    take_bytes(inst, inst.read_buffer.data(), bytes);
    log("out client #%llu: %lu bytes (total %llu)", static_cast<unsigned long long>(inst.serial), bytes,
        static_cast<unsigned long long>(received_));
    if (first && inst.read_buffer[0] == kIdentifyRequest) on_identify_request();
    if (settings_.rate > 0) pace_line(bytes);
    auto& faults = settings_.faults;
    if (faults.unplug_after && received_ >= *faults.unplug_after) {
      log("fault: unplugging at %llu bytes", static_cast<unsigned long long>(received_));
      faults.unplug_after.reset();
      unplug();
      return;
    }
    if (faults.fail_after && received_ >= *faults.fail_after) {
      log("fault: dropping out client #%llu at %llu bytes", static_cast<unsigned long long>(inst.serial),
          static_cast<unsigned long long>(received_));
      faults.fail_after.reset();
      close_instance(inst);
      return;
    }
    if (stalled()) log("fault: stalled at %llu bytes", static_cast<unsigned long long>(received_));
  }
  schedule_read(inst);
}

void Device::refresh_out_reads() {
  // Settings changed: a pending read may be sized for old thresholds, so end it
  // and start again. A read that got data before the cancel counts normally.
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    Instance& inst = *instances_[i];
    if (inst.dead || inst.kind != PipeKind::out || !inst.connected) continue;
    if (!inst.read_op.pending) {
      schedule_read(inst);
      continue;
    }
    ::CancelIoEx(inst.pipe.get(), &inst.read_op.ov);
    DWORD bytes = 0;
    const BOOL ok = ::GetOverlappedResult(inst.pipe.get(), &inst.read_op.ov, &bytes, TRUE);
    const DWORD error = ok ? 0 : ::GetLastError();
    inst.read_op.pending = false;
    if (ok) {
      on_out_read(inst, bytes, true);
    } else if (error == ERROR_OPERATION_ABORTED) {
      schedule_read(inst);
    } else {
      close_instance(inst);
    }
  }
}

// --- The in pipe -------------------------------------------------------------------

void Device::on_identify_request() {
  ++identify_requests_;
  PendingReply reply;
  if (settings_.reply.enabled) reply.bytes = settings_.reply.bytes;
  reply.due = Clock::now() + std::chrono::milliseconds(settings_.reply.delay_ms);
  // The reply belongs to the newest in connection no earlier request claimed;
  // without one it waits for the next in connection. A newer request replaces
  // a waiting one: that host has evidently moved on.
  Instance* target = nullptr;
  for (auto& inst : instances_) {
    if (inst->kind == PipeKind::in && inst->connected && !inst->dead && !inst->claimed &&
        (!target || inst->serial > target->serial)) {
      target = inst.get();
    }
  }
  log("identification request %llu -> %s", static_cast<unsigned long long>(identify_requests_),
      target ? "in client" : "next in client");
  if (target) {
    assign_reply(*target, std::move(reply));
  } else {
    unassigned_reply_ = std::move(reply);
  }
}

void Device::assign_reply(Instance& inst, PendingReply reply) {
  inst.claimed = true;
  inst.reply = std::move(reply);
  try_send_reply(inst);
}

void Device::try_send_reply(Instance& inst) {
  if (inst.dead || !inst.reply || inst.write_op.pending || inst.reply->due > Clock::now()) return;
  inst.outgoing = std::move(inst.reply->bytes);
  inst.reply.reset();
  if (inst.outgoing.empty()) return;
  reset_op(&inst.write_op.ov, inst.write_op.event.get());
  if (started(::WriteFile(inst.pipe.get(), inst.outgoing.data(), static_cast<DWORD>(inst.outgoing.size()), nullptr,
                  &inst.write_op.ov))) {
    inst.write_op.pending = true;
    log("in client #%llu: reply of %lu bytes", static_cast<unsigned long long>(inst.serial),
        static_cast<unsigned long>(inst.outgoing.size()));
  } else {
    close_instance(inst);
  }
}

void Device::begin_monitor_read(Instance& inst) {
  if (inst.read_buffer.size() < kMonitorBufferSize) inst.read_buffer.resize(kMonitorBufferSize);
  reset_op(&inst.read_op.ov, inst.read_op.event.get());
  if (started(::ReadFile(inst.pipe.get(), inst.read_buffer.data(), kMonitorBufferSize, nullptr, &inst.read_op.ov))) {
    inst.read_op.pending = true;
  } else {
    close_instance(inst);
  }
}

// --- The control pipe ------------------------------------------------------------

void Device::begin_control_read(Instance& inst) {
  if (inst.read_buffer.size() < kControlBufferSize) inst.read_buffer.resize(kControlBufferSize);
  reset_op(&inst.read_op.ov, inst.read_op.event.get());
  if (started(::ReadFile(inst.pipe.get(), inst.read_buffer.data(), kControlBufferSize, nullptr, &inst.read_op.ov))) {
    inst.read_op.pending = true;
  } else {
    close_instance(inst);
  }
}

void Device::on_control_read(Instance& inst, DWORD bytes, DWORD error) {
  if (error != 0 && error != ERROR_MORE_DATA) {
    log("control client #%llu: read ended (error %lu)", static_cast<unsigned long long>(inst.serial), error);
    close_instance(inst);  // the client went away
    return;
  }
  if (inst.message.size() + bytes > kMaxControlMessage) {
    inst.message_too_long = true;
  } else {
    inst.message.append(reinterpret_cast<const char*>(inst.read_buffer.data()), bytes);
  }
  if (error == ERROR_MORE_DATA) {
    begin_control_read(inst);  // the rest of the same message
    return;
  }
  bool stop = false;
  const std::string reply = inst.message_too_long ? std::string("error command too long") : execute(inst.message, &stop);
  inst.message.clear();
  inst.message_too_long = false;
  inst.stop_after_reply = stop;
  send_control_reply(inst, reply);
}

void Device::send_control_reply(Instance& inst, const std::string& text) {
  if (inst.dead) return;
  inst.outgoing = text;
  reset_op(&inst.write_op.ov, inst.write_op.event.get());
  if (started(::WriteFile(inst.pipe.get(), inst.outgoing.data(), static_cast<DWORD>(inst.outgoing.size()), nullptr,
                  &inst.write_op.ov))) {
    inst.write_op.pending = true;
  } else {
    const bool stop = inst.stop_after_reply;
    close_instance(inst);
    if (stop) {
      stopping_ = true;
      stop_deadline_ = Clock::now();
    }
  }
}

std::string Device::status_text() const {
  const auto& f = settings_.faults;
  std::string s;
  s += "device=" + settings_.device;
  s += " plugged=" + std::string(plugged_ ? "1" : "0");
  s += " received=" + std::to_string(received_);
  s += " captured=" + std::to_string(capture_.size());
  s += " out_clients=" + std::to_string(count(PipeKind::out, true));
  s += " in_clients=" + std::to_string(count(PipeKind::in, true));
  s += " identify_requests=" + std::to_string(identify_requests_);
  s += " first_byte_us=" + std::to_string(first_byte_us_);
  s += " last_byte_us=" + std::to_string(last_byte_us_);
  std::string firsts;
  for (std::int64_t t : connection_first_bytes_us_) firsts += (firsts.empty() ? "" : ",") + std::to_string(t);
  s += " connection_first_bytes_us=" + (firsts.empty() ? std::string("none") : firsts);
  s += " stalled=" + std::string(stalled() ? "1" : "0");
  s += " rate=" + std::to_string(settings_.rate);
  s += " reply=" + (settings_.reply.enabled ? to_hex(settings_.reply.bytes) : std::string("none"));
  s += " reply_delay=" + std::to_string(settings_.reply.delay_ms);
  s += " unplug_after=" + optional_text(f.unplug_after);
  s += " stall_after=" + optional_text(f.stall_after);
  s += " fail_after=" + optional_text(f.fail_after);
  s += " refuse_load=" + std::string(refuse_load_event_ ? "1" : "0");
  s += " refuse_out_pipe=" + std::string(refuse_out_pipe_event_ ? "1" : "0");
  s += " refuse_probe=" + std::string(refuse_probe_event_ ? "1" : "0");
  s += " slow_open=" + (settings_.slow_open_ms ? std::to_string(*settings_.slow_open_ms) +
                                                     (settings_.slow_open_fails ? "/fail" : "")
                                               : std::string("none"));
  s += " slow_open_from=" + std::to_string(settings_.slow_open_from);
  s += " hang_probe=" + (settings_.hang_probe_ms ? std::to_string(*settings_.hang_probe_ms) : std::string("none"));
  s += " out_pipe_opens=" + std::to_string(out_pipe_opens());
  return s;
}

std::string Device::execute(const std::string& line, bool* stop) {
  // One command per message; surrounding blanks and a line end are tolerated.
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && blank(line[begin])) ++begin;
  while (end > begin && blank(line[end - 1])) --end;
  const std::string text = line.substr(begin, end - begin);
  if (text.find('\0') != std::string::npos) return "error command holds a NUL byte";

  std::vector<std::string> words;
  for (std::size_t i = 0; i < text.size();) {
    while (i < text.size() && blank(text[i])) ++i;
    std::size_t j = i;
    while (j < text.size() && !blank(text[j])) ++j;
    if (j > i) words.push_back(text.substr(i, j - i));
    i = j;
  }
  if (words.empty()) return "error empty command";
  log("control: %s", text.c_str());
  const std::string& cmd = words[0];
  const auto arity = [&](std::size_t n) { return words.size() == n + 1; };
  std::string error;

  if (cmd == "ping" && arity(0)) return "ok pong";
  if (cmd == "status" && arity(0)) return "ok " + status_text();
  if (cmd == "plug" && arity(0)) return plug(&error) ? "ok plugged" : "error " + error;
  if (cmd == "unplug" && arity(0)) {
    unplug();
    return "ok unplugged";
  }
  if (cmd == "stop" && arity(0)) {
    *stop = true;
    return "ok stopping";
  }
  if (cmd == "flush" && arity(0)) return "ok captured=" + std::to_string(capture_.size());
  if ((cmd == "reset" || cmd == "reset-counters") && arity(0)) {
    if (cmd == "reset") capture_.clear();
    received_ = 0;
    first_byte_us_ = last_byte_us_ = 0;
    connection_first_bytes_us_.clear();
    identify_requests_ = 0;
    reset_out_pipe_opens();
    next_read_at_ = Clock::now();
    burst_start_.reset();
    refresh_out_reads();
    return "ok";
  }
  if (cmd == "reply" && words.size() >= 2) {
    // `text` keeps the rest of the line as typed, inner spaces included.
    std::string value;
    if (words.size() > 2) value = text.substr(text.find(words[1], cmd.size()) + words[1].size() + 1);
    while (!value.empty() && blank(value.front())) value.erase(0, 1);
    if (words[1] != "text" && words[1] != "hex" && words.size() > 3) return "error reply " + words[1] + ": one value";
    if (!apply_reply_setting(&settings_.reply, words[1], value, &error)) return "error " + error;
    return "ok reply=" + (settings_.reply.enabled ? to_hex(settings_.reply.bytes) : std::string("none")) +
           " reply_delay=" + std::to_string(settings_.reply.delay_ms);
  }
  if (cmd == "rate" && arity(1)) {
    std::uint64_t rate = 0;
    if (words[1] != "unlimited" && !parse_number(words[1], &rate)) return "error bad rate: " + words[1];
    settings_.rate = rate;
    next_read_at_ = Clock::now();
    burst_start_.reset();
    refresh_out_reads();
    return "ok rate=" + std::to_string(rate);
  }
  if (cmd == "fault" && arity(1) && words[1] == "none") {
    settings_.faults = FaultSettings{};
    refresh_out_reads();
    return "ok";
  }
  if (cmd == "fault" && arity(2)) {
    std::uint64_t n = 0;
    if (!parse_number(words[2], &n)) return "error bad byte count: " + words[2];
    auto& f = settings_.faults;
    if (words[1] == "unplug") {
      f.unplug_after = n;
    } else if (words[1] == "stall") {
      f.stall_after = n;
    } else if (words[1] == "fail") {
      f.fail_after = n;
    } else {
      return "error unknown fault: " + words[1];
    }
    if (f.unplug_after && received_ >= *f.unplug_after) {
      f.unplug_after.reset();
      unplug();
    }
    refresh_out_reads();
    return "ok";
  }
  if (cmd == "refuse-load" && arity(1) && (words[1] == "on" || words[1] == "off")) {
    return set_refuse_load(words[1] == "on", &error) ? "ok refuse_load=" + words[1] : "error " + error;
  }
  if (cmd == "refuse-out-pipe" && arity(1) && (words[1] == "on" || words[1] == "off")) {
    return set_switch(&refuse_out_pipe_event_, refuse_out_pipe_name_, words[1] == "on", &error)
               ? "ok refuse_out_pipe=" + words[1]
               : "error " + error;
  }
  if (cmd == "refuse-probe" && arity(1) && (words[1] == "on" || words[1] == "off")) {
    return set_switch(&refuse_probe_event_, refuse_probe_name_, words[1] == "on", &error)
               ? "ok refuse_probe=" + words[1]
               : "error " + error;
  }
  if (cmd == "slow-open" && arity(1) && words[1] == "off") {
    return set_slow_open(std::nullopt, false, 1, &error) ? "ok slow_open=none" : "error " + error;
  }
  if (cmd == "slow-open" && words.size() >= 2) {
    // slow-open MS [fail] [from N]
    unsigned ms = 0;
    if (!parse_hold_ms(words[1], &ms)) return "error bad delay: " + words[1];
    std::size_t next = 2;
    const bool fails = next < words.size() && words[next] == "fail";
    if (fails) ++next;
    unsigned from = 1;
    if (next + 1 < words.size() && words[next] == "from") {
      if (!parse_open_ordinal(words[next + 1], &from)) return "error bad open number: " + words[next + 1];
      next += 2;
    }
    if (next != words.size()) return "error slow-open MS [fail] [from N]";
    return set_slow_open(ms, fails, from, &error)
               ? "ok slow_open=" + words[1] + (fails ? "/fail" : "") + " slow_open_from=" + std::to_string(from)
               : "error " + error;
  }
  if (cmd == "hang-probe" && arity(1)) {
    unsigned ms = 0;
    if (words[1] != "off" && !parse_hold_ms(words[1], &ms)) return "error bad delay: " + words[1];
    const std::optional<unsigned> hang = words[1] == "off" ? std::nullopt : std::optional<unsigned>(ms);
    return set_hang_probe(hang, &error) ? "ok hang_probe=" + (hang ? words[1] : std::string("none"))
                                        : "error " + error;
  }
  if (cmd == "miss-checks" && arity(1)) {
    std::uint64_t n = 0;
    if (!parse_number(words[1], &n) || n == 0 || n > 1000) return "error bad check count: " + words[1];
    if (!missed_checks_) missed_checks_.reset(::CreateSemaphoreA(nullptr, 0, 1000, missed_checks_name_.c_str()));
    if (!missed_checks_ || !::ReleaseSemaphore(missed_checks_.get(), static_cast<LONG>(n), nullptr))
      return "error cannot arm missed checks (error " + std::to_string(::GetLastError()) + ")";
    return "ok";
  }
  if (cmd == "help" && arity(0)) {
    return "ok commands: ping status plug unplug stop flush reset reset-counters "
           "reply(default|none|text T|hex H|byte 0xNN|delay MS) rate(BPS|unlimited) "
           "fault(unplug|stall|fail N|none) refuse-load(on|off) refuse-out-pipe(on|off) refuse-probe(on|off) "
           "slow-open(MS [fail] [from N]|off) hang-probe(MS|off) miss-checks N";
  }
  return "error bad command: " + (text.size() > 80 ? text.substr(0, 80) + "..." : text);
}

// --- Device state -----------------------------------------------------------------

bool Device::plug(std::string* error) {
  if (plugged_) return true;
  // Pipes first, event last: once a host sees the device, open_file works.
  plugged_ = true;
  if (!create_instance(PipeKind::out, error) || !create_instance(PipeKind::in, error)) {
    unplug();
    return false;
  }
  plugged_event_.reset(::CreateEventA(nullptr, TRUE, TRUE, plugged_name_.c_str()));
  // It may already exist, kept alive by a host's handle from an earlier plug.
  if (!plugged_event_ || !::SetEvent(plugged_event_.get())) {
    *error = "cannot create the plugged event (error " + std::to_string(::GetLastError()) + ")";
    unplug();
    return false;
  }
  log("plugged");
  return true;
}

void Device::unplug() {
  if (!plugged_) return;
  plugged_ = false;
  // Reset before closing: a host holding an open_dev handle keeps the event alive.
  if (plugged_event_) ::ResetEvent(plugged_event_.get());
  plugged_event_.reset();
  for (auto& inst : instances_) {
    if (inst->kind != PipeKind::control) close_instance(*inst);
  }
  unassigned_reply_.reset();
  log("unplugged");
}

bool Device::set_refuse_load(bool on, std::string* error) {
  return set_switch(&refuse_load_event_, refuse_name_, on, error);
}

// A switch the pipe library sees is on while its named event exists.
bool Device::set_switch(UniqueHandle* event, const std::string& name, bool on, std::string* error) {
  if (!on) {
    event->reset();
    return true;
  }
  if (*event) return true;
  event->reset(::CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
  if (!*event) {
    *error = "cannot create event " + name + " (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

bool Device::set_slow_open(std::optional<unsigned> delay_ms, bool fails, unsigned from_open, std::string* error) {
  settings_.slow_open_ms = delay_ms;
  settings_.slow_open_fails = delay_ms && fails;
  settings_.slow_open_from = delay_ms ? from_open : 1;
  if (!delay_ms) {
    release_calls(&slow_open_, &slow_open_release_);
    return true;
  }
  const SlowOpen slow{*delay_ms, fails ? 1u : 0u, from_open};
  if (hold_calls(&slow_open_, &slow_open_release_, slow_open_name_, slow_open_release_name_, &slow, sizeof slow, error))
    return true;
  settings_.slow_open_ms.reset();
  return false;
}

bool Device::set_hang_probe(std::optional<unsigned> delay_ms, std::string* error) {
  settings_.hang_probe_ms = delay_ms;
  if (!delay_ms) {
    release_calls(&hang_probe_, &hang_probe_release_);
    return true;
  }
  const HangProbe hang{*delay_ms};
  if (hold_calls(&hang_probe_, &hang_probe_release_, hang_probe_name_, hang_probe_release_name_, &hang, sizeof hang,
                 error))
    return true;
  settings_.hang_probe_ms.reset();
  return false;
}

bool Device::hold_calls(UniqueHandle* mapping, UniqueHandle* release, const std::string& mapping_name,
                        const std::string& release_name, const void* data, DWORD size, std::string* error) {
  // The release event first: the library waits on it once it has read the mapping.
  if (!*release) {
    release->reset(::CreateEventA(nullptr, TRUE, FALSE, release_name.c_str()));
    // A host still waiting on an earlier one keeps it, set: unset it for the calls to come.
    if (*release) ::ResetEvent(release->get());
  }
  if (!*mapping) mapping->reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                                     mapping_name.c_str()));
  void* view = *release && *mapping ? ::MapViewOfFile(mapping->get(), FILE_MAP_WRITE, 0, 0, size) : nullptr;
  if (view == nullptr) {
    *error = "cannot create " + mapping_name + " (error " + std::to_string(::GetLastError()) + ")";
    release_calls(mapping, release);
    return false;
  }
  ::CopyMemory(view, data, size);
  ::UnmapViewOfFile(view);
  return true;
}

void Device::release_calls(UniqueHandle* mapping, UniqueHandle* release) {
  // The mapping first, so no new call starts waiting on an event about to go.
  mapping->reset();
  if (*release) ::SetEvent(release->get());
  release->reset();
}

long Device::out_pipe_opens() const {
  if (!out_pipe_opens_) return 0;
  const void* view = ::MapViewOfFile(out_pipe_opens_.get(), FILE_MAP_READ, 0, 0, sizeof(LONG));
  if (view == nullptr) return 0;
  const long n = *static_cast<const volatile LONG*>(view);
  ::UnmapViewOfFile(view);
  return n;
}

void Device::reset_out_pipe_opens() {
  if (!out_pipe_opens_) return;
  if (void* view = ::MapViewOfFile(out_pipe_opens_.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG))) {
    ::InterlockedExchange(static_cast<volatile LONG*>(view), 0);
    ::UnmapViewOfFile(view);
  }
}

// --- Timers ------------------------------------------------------------------------

void Device::run_timers() {
  const Clock::time_point now = Clock::now();
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    Instance& inst = *instances_[i];
    if (inst.dead || !inst.connected) continue;
    if (inst.kind == PipeKind::out && !inst.read_op.pending) {
      if (inst.resume_at && *inst.resume_at <= now) schedule_read(inst);
      if (!inst.dead && !inst.read_op.pending && now >= inst.next_peek) {
        DWORD available = 0;
        if (!::PeekNamedPipe(inst.pipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
          close_instance(inst);
        } else {
          inst.next_peek = now + kPeekInterval;
        }
      }
    } else if (inst.kind == PipeKind::in && inst.reply) {
      try_send_reply(inst);
    }
  }
}

DWORD Device::next_timeout() const {
  std::optional<Clock::time_point> next;
  const auto consider = [&](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  for (const auto& inst : instances_) {
    if (inst->dead || !inst->connected) continue;
    if (inst->kind == PipeKind::out && !inst->read_op.pending) {
      if (inst->resume_at) consider(*inst->resume_at);
      consider(inst->next_peek);
    } else if (inst->kind == PipeKind::in && inst->reply && !inst->write_op.pending) {
      consider(inst->reply->due);
    }
  }
  if (stop_deadline_) consider(*stop_deadline_);
  if (!next) return INFINITE;
  const auto now = Clock::now();
  if (*next <= now) return 0;
  // Round up: waking a little early would only spin once more.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count() + 1;
  return static_cast<DWORD>(std::min<long long>(ms, 60000));
}

}  // namespace sim
}  // namespace pw
