// The owning descriptor and the loading of a whole file, through the system-call table.
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
