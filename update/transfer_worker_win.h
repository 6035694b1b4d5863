#pragma once
// The transfer worker thread: runs run_transfer on the process-wide state over
// the device's write pipe.
#include <cstdint>

#include "update/transfer.h"
#include "win/handles.h"

namespace pw {

// The process-wide transfer state.
TransferState& transfer_state();

// Starts a worker over transfer_state(), whose file_buffer, file_size and
// out_pipe (an overlapped pipe HANDLE) the caller has filled. The worker calls
// `host` from its own thread and owns buffer and pipe from now on; `host` must
// outlive it. Returns the thread handle, or an empty one when no thread could
// be created: then nothing was started and the caller still owns buffer and pipe.
UniqueHandle start_transfer_worker(TransferHost& host, const TransferTimeouts& timeouts = {});

// From another thread: cancels the running worker's pipe I/O and keeps it
// from starting more, so it ends as failed quickly. No effect without a worker.
void cancel_transfer_io();

// The usual TransferHost::release: frees the malloc'd buffer and closes the pipe.
void release_transfer_resources(std::uint8_t* file_buffer, void* out_pipe);

}  // namespace pw
