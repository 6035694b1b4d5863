#include "device/identification.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "device/busy_delay.h"
#include "device/driver_call.h"
#include "device/identify_reader.h"
#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "win/handles.h"
#include "win/overlapped_pipe.h"
#include "win/posted_call.h"

namespace pw {

namespace {

constexpr char kWrongDeviceText[] = "This is Not ZORVIK !";
// A device gets at least this long after the identification byte to answer.
constexpr DWORD kMinimumAnswerTimeMs = 1000;
// How long the window thread waits for a stopped reader to end.
constexpr DWORD kReaderJoinMs = 5000;
constexpr DWORD kReaderCancelRepeatMs = 50;

// Shared by the window thread and one reader; outlives whichever ends last, so
// the in pipe a cancel reaches is never closed under it.
struct ReaderContext {
  DeviceState reply;  // written by the reader only; read once it has ended
  UniqueHandle in_pipe;
};

void write_identification_byte(HANDLE out_pipe) {
  static const std::uint8_t byte = kIdentifyByte;
  OverlappedPipe pipe(out_pipe);
  const IoOutcome started = pipe.start_write(&byte, 1);
  if (started.status == IoStatus::pending && pipe.wait(kIdentifyReadWaitMs).status == IoStatus::timed_out)
    pipe.cancel();  // waited for, so the record is not left behind; the outcome is not examined
}

// Stops the reader and waits for it to end; false when it did not end in time.
bool stop_reader(PostedCall<bool>& reader, ReaderContext& context) {
  reader.ask_to_stop();
  const ULONGLONG deadline = ::GetTickCount64() + kReaderJoinMs;
  for (;;) {
    ::CancelIoEx(context.in_pipe.get(), nullptr);
    if (reader.wait(kReaderCancelRepeatMs)) return true;
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

Identified Identification::driver_not_answering(CommandResult& why, Saying& said) {
  refuse(why, said, CommandResult::driver_held, LangText(text::kDriverDoesNotAnswer));
  return Identified::driver_held;
}

Identified Identification::refuse(CommandResult& why, Saying& said, CommandResult result, const std::string& text) {
  why = result;
  said = {text, MessageStyle::warning};
  return Identified::refused;
}

Identified Identification::run(Frontend& frontend, CommandResult& why, Saying& said) {
  const ULONGLONG started_at = ::GetTickCount64();
  // The driver's opens are waited for without serving messages, as the delay below.
  DriverCall open = DriverCall::open(kOutPipeName);
  const DriverCallResult opened = open.wait(kDriverCallBoundMs);
  if (opened == DriverCallResult::out_of_memory) throw std::bad_alloc();
  if (opened == DriverCallResult::no_thread)
    return refuse(why, said, CommandResult::transfer_failed, LangText(text::kWorkerNotStarted));
  if (opened == DriverCallResult::no_library)
    return refuse(why, said, CommandResult::no_library,
                  library_failure_text(LangText(text::kLibraryNotLoaded), open.binding().foreign));
  if (opened == DriverCallResult::timed_out) return driver_not_answering(why, said);
  tell_binding(open, frontend);
  HANDLE out_pipe = open.take_handle().release();
  if (!UniqueHandle::is_valid(out_pipe))
    return refuse(why, said, CommandResult::not_linked, LangText(text::kDeviceNotLinked));
  try {
    kept_out_pipes_.emplace_back(out_pipe);
  } catch (...) {
    // Without room to keep it, the handle simply stays open unowned, as intended.
  }

  write_identification_byte(out_pipe);
  const ULONGLONG written_at = ::GetTickCount64();
  // The in pipe opens on a bounded call of its own; a reply that comes before
  // the reader starts waits in the pipe. The reader runs through the busy delay,
  // so a device that answers while the window thread is held is heard at once.
  DriverCall in_open = DriverCall::open(kInPipeName);
  const DriverCallResult in_opened = in_open.wait(kDriverCallBoundMs);
  if (in_opened == DriverCallResult::timed_out) return driver_not_answering(why, said);
  auto context = std::make_shared<ReaderContext>();
  context->in_pipe = in_open.take_handle();
  PostedCall<bool> reader;
  if (context->in_pipe) {
    reader = PostedCall<bool>::start(nullptr, 0, [context](const std::atomic<bool>& stop) {
      OverlappedPipe pipe(context->in_pipe.get());
      run_identify_reader(pipe, context->reply, stop);
      return true;
    });
  }
  busy_delay();
  // The reader ends at the first reply, so this waits only for a device that
  // has not answered yet.
  if (reader.started()) {
    const ULONGLONG elapsed = ::GetTickCount64() - written_at;
    if (elapsed < kMinimumAnswerTimeMs) reader.wait(static_cast<unsigned>(kMinimumAnswerTimeMs - elapsed));
  }
  const bool reader_ended = reader.started() && stop_reader(reader, *context);
  // Only this command's own reply decides: a device swapped since an earlier one is asked anew.
  const bool identified = reader_ended && context->reply.identified.load();
  {
    // A wrong reply is kept too, for the record only; a reader that did not end may still write it.
    const std::uint32_t size = reader_ended ? context->reply.reply_size.load(std::memory_order_acquire) : 0;
    frontend.identification_done(context->reply.reply, size, identified,
                                 static_cast<unsigned>(::GetTickCount64() - started_at));
  }
  if (identified) return Identified::yes;

  // No answer from a device that has meanwhile gone is no wrong model.
  const DriverCallResult presence = probe_device();
  if (presence == DriverCallResult::timed_out) return driver_not_answering(why, said);
  if (presence == DriverCallResult::not_found)
    return refuse(why, said, CommandResult::not_linked, LangText(text::kDeviceNotLinked));
  why = CommandResult::wrong_device;
  said = {kWrongDeviceText, MessageStyle::stop};
  return Identified::wrong_device;
}

}  // namespace pw
