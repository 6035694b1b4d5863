#include "device/identification.h"

#include <windows.h>
#include <process.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "device/busy_delay.h"
#include "device/driver_call.h"
#include "device/identify_reader.h"
#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "win/handles.h"
#include "win/overlapped_pipe.h"

namespace pw {

namespace {

constexpr char kWrongDeviceText[] = "This is Not ZORVIK !";
// A device gets at least this long after the identification byte to answer.
constexpr DWORD kMinimumAnswerTimeMs = 1000;
// How long the window thread waits for a stopped reader to end.
constexpr DWORD kReaderJoinMs = 5000;
constexpr DWORD kReaderCancelRepeatMs = 50;

// Shared by the window thread and one reader; outlives whichever ends last.
struct ReaderContext {
  DeviceState reply;  // written by the reader only; read once it has ended
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> out_of_memory{false};  // the reader could not even load the library
  std::mutex pipe_mutex;  // guards in_pipe against a cancel racing its close
  HANDLE in_pipe = INVALID_HANDLE_VALUE;

  void cancel_pending_read() {
    std::lock_guard<std::mutex> lock(pipe_mutex);
    if (UniqueHandle::is_valid(in_pipe)) ::CancelIoEx(in_pipe, nullptr);
  }
};

unsigned __stdcall reader_thread(void* param) {
  std::unique_ptr<std::shared_ptr<ReaderContext>> owned(static_cast<std::shared_ptr<ReaderContext>*>(param));
  std::shared_ptr<ReaderContext> context = *owned;

  std::optional<PipeLibrary> library;  // held until the reads are over
  try {
    library = PipeLibrary::load();
  } catch (const std::bad_alloc&) {
    context->out_of_memory.store(true);  // the window thread reports it
    return 1;
  }
  if (!library) return 1;
  UniqueHandle in_pipe(library->open_file(kInPipeName));
  if (!in_pipe) return 1;
  {
    std::lock_guard<std::mutex> lock(context->pipe_mutex);
    context->in_pipe = in_pipe.get();
  }
  if (!context->stop_requested.load()) {
    OverlappedPipe pipe(in_pipe.get());
    run_identify_reader(pipe, context->reply, context->stop_requested);
  }
  {
    std::lock_guard<std::mutex> lock(context->pipe_mutex);
    context->in_pipe = INVALID_HANDLE_VALUE;
  }
  in_pipe.reset();
  library.reset();
  return 1;
}

void write_identification_byte(HANDLE out_pipe) {
  static const std::uint8_t byte = kIdentifyByte;
  OverlappedPipe pipe(out_pipe);
  const IoOutcome started = pipe.start_write(&byte, 1);
  if (started.status == IoStatus::pending && pipe.wait(kIdentifyReadWaitMs).status == IoStatus::timed_out)
    pipe.cancel();  // waited for, so the record is not left behind; the outcome is not examined
}

// Stops the reader and waits for it to end; false when it did not end in time.
bool stop_reader(HANDLE thread, ReaderContext& context) {
  context.stop_requested.store(true);
  const ULONGLONG deadline = ::GetTickCount64() + kReaderJoinMs;
  for (;;) {
    context.cancel_pending_read();
    if (::WaitForSingleObject(thread, kReaderCancelRepeatMs) == WAIT_OBJECT_0) return true;
    if (::GetTickCount64() >= deadline) return false;
  }
}

// How long the identification waits for the driver's pipe open and for the probe
// that tells a lost device from a wrong one.
constexpr unsigned kDriverCallBoundMs = 15000;

// The library loads and finds no device (`gone`), or finds it; or the driver
// does not answer (timed_out). One that cannot be loaded tells nothing.
DriverCallResult probe_device() { return DriverCall::probe().wait(kDriverCallBoundMs); }

void tell_binding(const DriverCall& call, Frontend& frontend) {
  const DriverBinding binding = call.binding();
  if (binding.path.empty()) return;
  frontend.library_bound(binding.path, binding.version, binding.open_dev_export, binding.open_file_export);
}

}  // namespace

Outcome Identification::driver_not_answering(Frontend& frontend, CommandResult& why) {
  why = CommandResult::driver_not_answering;
  driver_held_ = true;
  frontend.message(LangText(text::kDriverDoesNotAnswer), MessageStyle::warning);
  return Outcome::command_ended;
}

Outcome Identification::run(Frontend& frontend, CommandResult& why) {
  const ULONGLONG started_at = ::GetTickCount64();
  // The driver's open is waited for without serving messages, as the delay below.
  DriverCall open = DriverCall::open(kOutPipeName);
  const DriverCallResult opened = open.wait(kDriverCallBoundMs);
  if (opened == DriverCallResult::out_of_memory) throw std::bad_alloc();
  if (opened == DriverCallResult::no_library || opened == DriverCallResult::no_thread) {
    why = CommandResult::no_library;
    frontend.message(library_failure_text(LangText(text::kLibraryNotLoaded), open.binding().foreign),
                     MessageStyle::warning);
    return Outcome::command_ended;
  }
  if (opened == DriverCallResult::timed_out) return driver_not_answering(frontend, why);
  tell_binding(open, frontend);
  HANDLE out_pipe = open.take_handle().release();
  if (!UniqueHandle::is_valid(out_pipe)) {
    why = CommandResult::not_linked;
    frontend.message(LangText(text::kDeviceNotLinked), MessageStyle::warning);
    return Outcome::command_ended;
  }
  try {
    kept_out_pipes_.emplace_back(out_pipe);
  } catch (...) {
    // Without room to keep it, the handle simply stays open unowned, as intended.
  }

  write_identification_byte(out_pipe);
  const ULONGLONG written_at = ::GetTickCount64();

  auto context = std::make_shared<ReaderContext>();
  auto* param = new (std::nothrow) std::shared_ptr<ReaderContext>(context);
  UniqueHandle reader;
  if (param) {
    reader.reset(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, &reader_thread, param, 0, nullptr)));
    if (!reader) delete param;
  }

  busy_delay();
  // The reader ends at the first reply, so this waits only for a device that
  // has not answered yet.
  if (reader) {
    const ULONGLONG elapsed = ::GetTickCount64() - written_at;
    if (elapsed < kMinimumAnswerTimeMs)
      ::WaitForSingleObject(reader.get(), static_cast<DWORD>(kMinimumAnswerTimeMs - elapsed));
  }
  const bool reader_ended = reader && stop_reader(reader.get(), *context);
  if (reader_ended && context->out_of_memory.load()) throw std::bad_alloc();  // not a wrong model
  // Only this command's own reply decides: a device swapped since an earlier one is asked anew.
  const bool identified = reader_ended && context->reply.identified.load();
  {
    // A wrong reply is kept too, for the record only; a reader that did not end may still write it.
    const std::uint32_t size = reader_ended ? context->reply.reply_size.load(std::memory_order_acquire) : 0;
    frontend.identification_done(context->reply.reply, size, identified,
                                 static_cast<unsigned>(::GetTickCount64() - started_at));
  }

  if (!identified) {
    // No answer from a device that has meanwhile gone is no wrong model.
    const DriverCallResult presence = probe_device();
    if (presence == DriverCallResult::timed_out) return driver_not_answering(frontend, why);
    if (presence == DriverCallResult::not_found) {
      why = CommandResult::not_linked;
      frontend.message(LangText(text::kDeviceNotLinked), MessageStyle::warning);
      return Outcome::command_ended;
    }
    why = CommandResult::wrong_device;
    frontend.message(kWrongDeviceText, MessageStyle::stop);
    return Outcome::end_process;
  }
  return Outcome::go_on;
}

}  // namespace pw
