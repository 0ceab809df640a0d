// The exported and fault-safe parts of `str`: the shared empty string, copies and joins of
// caller texts that may be unreadable, window text, wide text, formatting, strError.
#include "tarnkernl/text.h"

#include "log/faults.h"
#include "log/startorder.h"
#include "platform/callermemory.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"
#include "text/format.h"

#include <cinttypes>

namespace {

// The shared empty string: one zero-filled word that nothing ever writes into.
constinit uint32_t gEmptyWord = 0;

// Publishes the shared empty string from the library's initialisation to its shutdown; strings
// built before or after that start null, which every releasing operation treats as empty.
class EmptyStringHolder {
public:
    EmptyStringHolder() : text(reinterpret_cast<char*>(&gEmptyWord)) {}
    ~EmptyStringHolder() { text = nullptr; }

    char* text;
};

EmptyStringHolder gEmptyString TARN_START(EmptyString);

char* NewBlock(size_t size) { return static_cast<char*>(calloc(1, size)); }

// Text blocks go back through operator delete, whichever module releases them; the runtime
// sends calloc and operator delete to the same heap.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void ReleaseBlock(char* block) { ::operator delete(block); }
#pragma GCC diagnostic pop

void Release(char* text) {
    if (text != str::GetStrNull())
        ReleaseBlock(text);
}

// A new block with up to `length` characters of a caller's text; the empty text when the text
// faulted part way.
char* NewCopy(const char* text, size_t length) {
    char* block = NewBlock(length + 1);
    if (!block || tarn::ReadGuarded([&] { tarn::CopyText(block, text, length); }))
        return block;
    ReleaseBlock(block);
    return str::GetStrNull();
}

}  // namespace

namespace tarn {

char* NewText(const char* text) {
    const size_t length = text ? ReadGuarded(size_t(0), [text] { return TextLength(text); }) : 0;
    return length == 0 ? str::GetStrNull() : NewCopy(text, length);
}

char* NewText(const char* text, int count) {
    if (!text || count <= 0)
        return NewBlock(count > 0 ? static_cast<size_t>(count) + 1 : 1);
    return NewCopy(text, static_cast<size_t>(count));
}

char* JoinParts(const char* const* parts) {
    int count;
    int total = str::CalcLen(parts, &count);
    if (total + 2 < 0)
        return nullptr;
    char* block = NewBlock(total + 2);
    if (!block)
        return nullptr;
    // The parts were measured readable; bounding each copy by what is left keeps a part that
    // changed since then from overrunning the block.
    char* out = block;
    try {
        for (int i = 0; i < count && parts[i]; ++i)
            out = CopyText(out, parts[i], block + total - out);
    } catch (unsigned long) {
        // What was copied stays; the block is zero behind it.
    }
    return block;
}

const char* AssignParts(str& s, const char* const* parts) {
    if (IsBadReadPtr(&s, sizeof(str)))
        return nullptr;
    char* old = s.p;
    s.p = JoinParts(parts);
    Release(old);
    return s.p;
}

}  // namespace tarn

char* str::GetStrNull() { return gEmptyString.text; }

int str::CalcLen(const char* const* parts, int* count) {
    int measured;
    if (!count)
        count = &measured;
    *count = 0;
    int total = 0;
    const char* part = nullptr;
    try {
        for (const char* const* next = parts; (part = *next) != nullptr; ++next) {
            if (IsBadStringPtrA(part, 0x7FFFFFFF))
                break;
            total += static_cast<int>(tarn::TextLength(part));
            ++*count;
        }
    } catch (unsigned long) {
        // Addresses keep at least eight digits where they are wider than 32 bits.
        exceptout(sizeof(void*) == 4 ? "CalcLen( 0x%" PRIXPTR ", %d ) catched"
                                     : "CalcLen( 0x%08" PRIXPTR ", %d ) catched",
                  reinterpret_cast<uintptr_t>(part), *count);
    }
    return total;
}

str& str::Append(const char* text) {
    const char* parts[] = {p, text, nullptr};
    tarn::AssignParts(*this, parts);
    return *this;
}

const char* str::operator=(unsigned int count) {
    if (!Alloc(static_cast<int>(count + 1)))
        return nullptr;
    memset(p, ' ', count);
    p[count] = 0;
    return p;
}

const char* str::Set(const WCHAR* text) {
    Clear();
    if (!text)
        return p;
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (Alloc(size))
        WideCharToMultiByte(CP_ACP, 0, text, -1, p, size, nullptr, nullptr);
    return p;
}

const char* str::operator()(HWND window) {
    Clear();
    return ConstructHWND(window);
}

const char* str::operator()(HWND dialog, int item) {
    Clear();
    return ConstructHWND(dialog, item);
}

const char* str::ConstructHWND(HWND window) {
    LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    if (length != 0) {
        int size = static_cast<int>(length) + 2;
        if (size < 1)
            size = 1;
        if (AllocRaw(size) && GetWindowTextA(window, p, size) != 0) {
            p[size - 1] = 0;
            return p;
        }
        ReleaseBlock(p);
    }
    p = GetStrNull();
    return p;
}

const char* str::ConstructHWND(HWND dialog, int item) {
    return ConstructHWND(GetDlgItem(dialog, item));
}

int vsprintf(str& s, const char* format, va_list args) {
    int n = tarn::FormattedLength(format, args);
    if (n <= 0)
        return 0;
    // The old text goes only after formatting, so the arguments may point into it.
    char* text = NewBlock(static_cast<size_t>(n) + 1);
    int written = 0;
    if (text) {
        written = tarn::FormatMeasured(text, n, format, args);
        if (written < 0)
            written = n;
        text[written] = 0;
    }
    char* old = s.p;
    s.p = text;
    Release(old);
    return written;
}

int sprintf(str& s, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsprintf(s, format, args);
    va_end(args);
    return n;
}

int vfprintf(str& s, const char* format, va_list args) {
    PrintBuffer<256> buffer;
    int n = vfprintf(buffer, format, args);
    // An append without memory leaves the string null: nothing of the text was added.
    return s.Append(buffer.data).p ? n : 0;
}

int fprintf(str& s, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(s, format, args);
    va_end(args);
    return n;
}

strError::strError() {
    unsigned long code = GetLastError();
    if (Alloc(512))
        PrintError(p, 512, code);
}
