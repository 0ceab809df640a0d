// The owning descriptor and the whole-buffer transfers, all through the system-call table.
#include "platform/posix/descriptor.h"

#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>

#include <utility>

namespace tarn::posix {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    const Descriptor old(std::exchange(fd_, other.Release()));
    return *this;
}

Descriptor::~Descriptor() {
    const int error = errno;
    Close();
    errno = error;
}

int Descriptor::Close() {
    const int fd = Release();
    return fd < 0 || Sys().close(fd) == 0 ? 0 : errno;
}

namespace {

// Calls `transfer` on what is left of `count` bytes until all are moved, it moves none (`none`:
// the errno that ends the transfer then, 0 for a plain end) or it fails with other than EINTR.
template <typename Bytes, typename Function>
Transfer Finish(Function transfer, int fd, Bytes* buffer, size_t count, int none) {
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

}  // namespace

Transfer ReadAll(int fd, void* buffer, size_t count) {
    return Finish(Sys().read, fd, static_cast<char*>(buffer), count, 0);
}

Transfer WriteAll(int fd, const void* buffer, size_t count) {
    return Finish(Sys().write, fd, static_cast<const char*>(buffer), count, ENOSPC);
}

int LoadFile(const char* path, std::string& bytes) {
    const Descriptor file(Sys().open(path, O_RDONLY | O_CLOEXEC, 0));
    if (!file)
        return errno;
    char chunk[16384];
    for (;;) {
        const Transfer read = ReadAll(file.Get(), chunk, sizeof chunk);
        bytes.append(chunk, read.done);
        if (read.error || read.done < sizeof chunk)
            return read.error;
    }
}

}  // namespace tarn::posix
