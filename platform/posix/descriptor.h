// File descriptors of the POSIX system layer: one that closes itself, and the reads and writes
// that finish what a single system call may leave half done (a signal, a short count).
#pragma once

#include "platform/posix/syscalls.h"
#include "tarnkernl/api.h"

#include <errno.h>
#include <stddef.h>

#include <string>

namespace tarn::posix {

// Owns a descriptor (-1: none) and closes it through the system-call table. Closing when it
// goes keeps errno, so that a failure read after its scope ends is still the one that failed.
class TARNRT_API Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Hands the descriptor to the caller, who closes it.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes it now: 0, or the errno of the close that failed.
    int Close();

private:
    int fd_ = -1;
};

// How far a transfer got: the bytes moved, and 0 or the errno of the call that stopped it.
struct Transfer {
    size_t done = 0;
    int error = 0;
};

// Calls `transfer` on what is left of `count` bytes until all are moved, it moves none (`none`:
// the errno that ends the transfer then, 0 for a plain end) or it fails with other than EINTR.
// Inline with its system call, in the frame of its caller.
template <typename Bytes, typename Function>
[[gnu::always_inline]] inline Transfer FinishTransfer(Function transfer, int fd, Bytes* buffer,
                                                      size_t count, int none) {
    Transfer result;
    while (result.done < count) {
        const ssize_t n = transfer(fd, buffer + result.done, count - result.done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result.error = n < 0 ? errno : none;
            break;
        }
        result.done += static_cast<size_t>(n);
    }
    return result;
}

// The transfers are async-signal-safe (no allocation, no lock but the failure seam's, which
// only a test plans): a fault report writes through them.
// Reads until `count` bytes are in or the file ends; an interrupted read is made again.
inline Transfer ReadAll(int fd, void* buffer, size_t count) {
    return FinishTransfer(SystemRead, fd, static_cast<char*>(buffer), count, 0);
}
// Writes all `count` bytes; an interrupted write is made again, a write that takes no byte
// ends the transfer with ENOSPC.
inline Transfer WriteAll(int fd, const void* buffer, size_t count) {
    return FinishTransfer(SystemWrite, fd, static_cast<const char*>(buffer), count, ENOSPC);
}

// Appends the whole file at `path` to `bytes`: 0, or the errno of the call that failed.
int LoadFile(const char* path, std::string& bytes);

}  // namespace tarn::posix
