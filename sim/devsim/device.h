#pragma once
// The simulated device: serves the out pipe (host writes), the in pipe (host
// reads) and the control pipe on one thread with overlapped I/O, so every
// operation it starts is also one it can cancel and wait for.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devsim/settings.h"
#include "win/handles.h"

namespace pw {
namespace sim {

// Every byte read on the out pipe, appended to a file a test may read at any time.
class Capture {
 public:
  bool open(const std::string& path, std::string* error);
  void append(const std::uint8_t* data, std::size_t size);
  void clear();
  std::uint64_t size() const { return size_; }

 private:
  UniqueHandle file_;
  std::uint64_t size_ = 0;
};

class Device {
 public:
  explicit Device(Settings settings);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Opens the control pipe and the capture; plugs unless told to start unplugged.
  bool start(std::string* error);
  // Serves until a `stop` command, `stop_event` or the parent's exit. Returns the exit code.
  int run(HANDLE stop_event);

 private:
  using Clock = std::chrono::steady_clock;
  enum class PipeKind { out, in, control };

  struct Op {
    OVERLAPPED ov{};
    UniqueHandle event;
    bool pending = false;
  };

  struct PendingReply {
    std::string bytes;  // empty: the request claims a connection but gets no answer
    Clock::time_point due;
  };

  struct Instance {
    PipeKind kind = PipeKind::out;
    std::uint64_t serial = 0;
    UniqueHandle pipe;
    bool connected = false;
    bool dead = false;
    Op read_op;  // the connect, then reads
    Op write_op;
    std::vector<std::uint8_t> read_buffer;
    // out pipe
    bool saw_first_byte = false;
    std::uint64_t received = 0;
    std::optional<Clock::time_point> resume_at;  // throttled: next read not before
    Clock::time_point next_peek{};
    // in pipe: one identification request claims one connection
    bool claimed = false;
    std::optional<PendingReply> reply;
    std::string outgoing;  // stays alive while its write is pending
    // control pipe
    std::string message;
    bool message_too_long = false;
    bool stop_after_reply = false;
  };

  // Connections and listeners
  bool create_instance(PipeKind kind, std::string* error);
  void start_connect(Instance& inst);
  void on_connected(Instance& inst);
  void maintain_listeners();
  void close_instance(Instance& inst);
  void sweep();
  int count(PipeKind kind, bool connected_only) const;

  // The out pipe
  void schedule_read(Instance& inst);
  void begin_read(Instance& inst);
  void on_out_read(Instance& inst, DWORD bytes, bool ok);
  void take_bytes(Instance& inst, const std::uint8_t* data, DWORD bytes);
  void refresh_out_reads();
  std::uint64_t read_limit() const;
  bool starts_burst(Clock::time_point now) const;
  Clock::duration line_time(std::uint64_t bytes) const;
  // Bytes the line could have carried by `now` in this burst beyond those it did.
  std::uint64_t line_credit(Clock::time_point now) const;
  void pace_line(DWORD bytes);
  bool stalled() const;

  // The in pipe
  void on_identify_request();
  void assign_reply(Instance& inst, PendingReply reply);
  void try_send_reply(Instance& inst);
  void begin_monitor_read(Instance& inst);

  // The control pipe
  void begin_control_read(Instance& inst);
  void on_control_read(Instance& inst, DWORD bytes, DWORD error);
  void send_control_reply(Instance& inst, const std::string& text);
  std::string execute(const std::string& line, bool* stop);
  std::string status_text() const;

  // Device state
  bool plug(std::string* error);
  void unplug();
  bool set_refuse_load(bool on, std::string* error);
  bool set_switch(UniqueHandle* event, const std::string& name, bool on, std::string* error);
  // Opening the out pipe takes `delay_ms` from its `from_open`-th open on, then
  // fails when `fails`; nullopt: as usual, and an open held now goes on at once.
  bool set_slow_open(std::optional<unsigned> delay_ms, bool fails, unsigned from_open, std::string* error);
  // open_dev does not return for `delay_ms`; nullopt: it does, a probe held now too.
  bool set_hang_probe(std::optional<unsigned> delay_ms, std::string* error);
  // A fault that holds the library's caller: its settings in `mapping`, and
  // `release`, set to let a held call go. Writes `size` bytes of `data`.
  bool hold_calls(UniqueHandle* mapping, UniqueHandle* release, const std::string& mapping_name,
                  const std::string& release_name, const void* data, DWORD size, std::string* error);
  void release_calls(UniqueHandle* mapping, UniqueHandle* release);
  // The opens of the out pipe the library counted since start or the last reset.
  long out_pipe_opens() const;
  void reset_out_pipe_opens();

  bool any_completed() const;
  void handle_completions();
  void run_timers();
  DWORD next_timeout() const;
  void log(const char* format, ...) const;

  Settings settings_;
  Capture capture_;
  std::vector<std::unique_ptr<Instance>> instances_;
  std::uint64_t next_serial_ = 1;
  bool plugged_ = false;
  UniqueHandle running_mutex_;  // one device process per name
  UniqueHandle plugged_event_;
  UniqueHandle refuse_load_event_;
  UniqueHandle missed_checks_;  // semaphore: each count makes one presence check miss the device
  UniqueHandle refuse_out_pipe_event_;
  UniqueHandle refuse_probe_event_;
  UniqueHandle slow_open_;  // file mapping holding a SlowOpen
  UniqueHandle slow_open_release_;
  UniqueHandle hang_probe_;  // file mapping holding a HangProbe
  UniqueHandle hang_probe_release_;
  UniqueHandle out_pipe_opens_;  // file mapping holding the library's count of out-pipe opens
  UniqueHandle parent_;
  std::uint64_t received_ = 0;
  // When bytes came, on the machine's clock (microseconds), since start or the
  // last reset: the first and the latest byte, and the first byte of each out
  // connection in turn (the first few).
  std::int64_t first_byte_us_ = 0;
  std::int64_t last_byte_us_ = 0;
  std::vector<std::int64_t> connection_first_bytes_us_;
  std::uint64_t identify_requests_ = 0;
  std::optional<PendingReply> unassigned_reply_;
  Clock::time_point next_read_at_{};
  // The current burst on a rate-limited line: when its first byte came, and the
  // bytes since then.
  std::optional<Clock::time_point> burst_start_;
  std::uint64_t burst_bytes_ = 0;
  Clock::time_point started_at_;
  bool stopping_ = false;
  std::optional<Clock::time_point> stop_deadline_;
  std::string out_name_, in_name_, control_name_, plugged_name_, refuse_name_, refuse_out_pipe_name_, running_name_,
      missed_checks_name_, refuse_probe_name_, slow_open_name_, slow_open_release_name_, hang_probe_name_,
      hang_probe_release_name_, out_pipe_opens_name_;
};

}  // namespace sim
}  // namespace pw
