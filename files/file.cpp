// The buffered file: unbuffered on an open handle, otherwise a growable memory image that can
// be captured from disk, read line by line, changed in place and written back.
#include "tarnkernl/files.h"

#include "log/faults.h"
#include "platform/callermemory.h"
#include "platform/win32.h"

#include <algorithm>

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// The image block is the runtime's, like every block that may cross modules.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void ReleaseImage(File& file) {
    if (file.ownsImage && file.image)
        ::operator delete(file.image);
    file.image = nullptr;
}
#pragma GCC diagnostic pop

// An empty image of the file's own, as capture and zones start.
void ResetImage(File& file) {
    ReleaseImage(file);
    file.length = file.pos = file.capacity = 0;
    file.keepHandle = 0;
    file.ownsImage = 1;
}

// A zero-filled image of `size` bytes; false when the runtime has none.
bool AllocImage(File& file, uint32_t size) {
    file.image = static_cast<char*>(calloc(size ? size : 1, 1));
    if (!file.image)
        return false;
    file.capacity = size;
    return true;
}

// The bytes of one line at `pos`: its characters, then every line-end character after them,
// scanning at most `limit` bytes.
uint32_t LineLength(const char* image, uint32_t pos, uint32_t limit) {
    uint32_t n = 0;
    while (n < limit && !IsLineEnd(image[pos + n]))
        ++n;
    while (n < limit && IsLineEnd(image[pos + n]))
        ++n;
    return n;
}

}  // namespace

File::~File() {
    tarn::ReadGuarded([this] {
        if (!keepHandle)
            handle.attach(TFileHandle::InvalidHandle(), false);
        ReleaseImage(*this);
    });
}

bool File::capture(const char* name) {
    if (!existfile(name))
        return false;
    handle.open(name, 0, OPEN_EXISTING);
    if (!handle.IsOpen() && !image)
        return false;
    const bool read = tarn::ReadGuarded(false, [&] {
        const auto size = static_cast<int32_t>(handle.size());
        ResetImage(*this);
        if (size < 0 || !AllocImage(*this, static_cast<uint32_t>(size))) {
            handle.close();
            return false;
        }
        const auto got = handle.read(image, static_cast<unsigned long>(size));
        const DWORD error = handle.lastError;
        handle.close();
        if (error != 0)
            SetLastError(error);
        if (got < static_cast<unsigned long>(size))
            return false;
        length = static_cast<uint32_t>(size);
        return true;
    });
    if (!read)
        handle.close();
    return read;
}

bool File::capture(TFileHandle& from, long size) {
    return tarn::ReadGuarded(false, [&] {
        if (size == -1) {
            const long start = from.tell();
            size = from.seek(0, FILE_END) - start;
            from.seek(start, FILE_BEGIN);
        }
        close();
        ResetImage(*this);
        if (size < 0 || !AllocImage(*this, static_cast<uint32_t>(size)))
            return false;
        if (from.read(image, static_cast<unsigned long>(size)) < static_cast<unsigned long>(size))
            return false;
        length = static_cast<uint32_t>(size);
        return true;
    });
}

bool File::close() {
    return tarn::ReadGuarded(false, [&] {
        bool complete = true;
        if (handle.IsOpen() && image)
            complete = handle.write(image, length) == length;
        if (!handle.IsOpen())
            return false;
        return handle.close() && complete;
    });
}

unsigned int File::read(void* buffer, unsigned int count) {
    if (count == 0)
        return 0;
    if (handle.IsOpen())
        return static_cast<unsigned int>(handle.read(buffer, count));
    return tarn::ReadGuarded(0u, [&]() -> unsigned int {
        if (pos >= length)
            return 0;
        const uint32_t n = std::min(count, length - pos);
        tarn::CopyBytes(buffer, image + pos, n);
        pos += n;
        return n;
    });
}

unsigned int File::write(const void* data, unsigned int count) {
    if (count == 0)
        return 0;
    if (handle.IsOpen())
        return static_cast<unsigned int>(handle.write(data, count));
    return tarn::ReadGuarded(0u, [&]() -> unsigned int {
        const uint64_t end = uint64_t{pos} + count;
        if (end > UINT32_MAX)
            return 0;
        if (end > length) {
            if (end > capacity) {
                if (!image)
                    ownsImage = 1;
                const uint64_t wanted = 2 * uint64_t{capacity} + count;
                char* grown = nullptr;
                if (wanted <= UINT32_MAX)
                    grown = static_cast<char*>(realloc(image, static_cast<size_t>(wanted)));
                uint64_t grownSize = wanted;
                if (!grown) {
                    grown = static_cast<char*>(realloc(image, static_cast<size_t>(end)));
                    grownSize = end;
                }
                if (grown) {
                    image = grown;
                    capacity = static_cast<uint32_t>(grownSize);
                }
            }
            if (end <= capacity) {
                // Bytes between the old end and a position beyond it read as zeros.
                if (pos > length)
                    std::fill(image + length, image + pos, 0);
                length = static_cast<uint32_t>(end);
            }
        }
        const uint32_t n = pos < length ? std::min(count, length - pos) : 0;
        tarn::CopyBytes(image + pos, data, n);
        pos += n;
        return n;
    });
}

long File::seek(long offset, int method) {
    if (handle.IsOpen())
        return handle.seek(offset, method);
    switch (method) {
        case FILE_BEGIN:
            pos = static_cast<uint32_t>(offset);
            break;
        case FILE_CURRENT:
            pos += static_cast<uint32_t>(offset);
            break;
        case FILE_END:
            pos = length - static_cast<uint32_t>(offset);
            break;
    }
    return static_cast<long>(static_cast<int32_t>(pos));
}

long File::puts(const char* text) {
    return tarn::ReadGuarded(0, [&] {
        return static_cast<long>(write(text, static_cast<unsigned int>(tarn::TextLength(text))));
    });
}

char* File::gets(char* buffer, int size) {
    if (pos >= length || size <= 0)
        return nullptr;
    return tarn::ReadGuarded(nullptr, [&] {
        const uint32_t limit =
            static_cast<uint32_t>(std::min<int64_t>(size, int64_t{length} - pos + 1)) - 1;
        const uint32_t n = LineLength(image, pos, limit);
        tarn::CopyBytes(buffer, image + pos, n);
        buffer[n] = '\0';
        pos += n;
        return buffer;
    });
}

const char* File::gets(str& line) {
    line = "";
    if (pos >= length)
        return nullptr;
    const uint32_t n = LineLength(image, pos, length - pos);
    // A line that could not be copied stays unread.
    const char* text = line.AssignN(image + pos, static_cast<int>(n));
    if (text)
        pos += n;
    return text;
}

int vfprintf(File* file, const char* format, va_list args) {
    if (!file)
        return -1;
    PrintBuffer<1024> buffer;
    vsprintf(buffer, format, args);
    return static_cast<int>(file->write(buffer.data, buffer.length));
}

int fprintf(File* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = vfprintf(file, format, args);
    va_end(args);
    return result;
}

int fprintf(File& file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = vfprintf(&file, format, args);
    va_end(args);
    return result;
}

int vfprintf(File& file, const char* format, va_list args) { return vfprintf(&file, format, args); }
