// The loops over caller memory (see callermemory.h). Each is out of line and opaque, so that a
// call keeps its landing pad and the compiler assumes nothing about what it reads. They are plain
// loops, which the compiler would turn into calls of the C library: the build holds it back
// (platform/CMakeLists.txt) and checks the object. They read addresses that may be anything, which
// have no shadow for a race detector to look up.
#include "platform/callermemory.h"

#define TARN_CALLER_MEMORY TARN_NOIPA __attribute__((no_sanitize("thread")))
// Scans that read a text a machine word at a time. An aligned word never spans two pages, so
// each word read lies on a page that holds a byte of the text: such a scan faults exactly where
// a byte-wise one would. It may read bytes behind the terminator in the terminator's own word,
// which an address checker would take for an overrun.
#define TARN_UNCHECKED __attribute__((no_sanitize("thread"), no_sanitize("address")))
#define TARN_WORDWISE TARN_NOIPA TARN_UNCHECKED

namespace tarn {
namespace {

// The smallest page on x86: touching one byte in every 4 KiB touches every page.
constexpr uintptr_t kPage = 4096;

using Word = uintptr_t;
typedef Word __attribute__((may_alias)) AliasedWord;
constexpr Word kOnes = ~Word{0} / 0xFF;
constexpr Word kHighs = kOnes << 7;

bool Aligned(const char* p) { return reinterpret_cast<uintptr_t>(p) % sizeof(Word) == 0; }
// Inlined into the scans, which share its attributes: an address checker sees no word read.
[[gnu::always_inline]] inline TARN_UNCHECKED Word WordAt(const char* p) {
    return *reinterpret_cast<const AliasedWord*>(p);
}
// Whether a byte of `word` is zero.
bool HasZero(Word word) { return ((word - kOnes) & ~word & kHighs) != 0; }

template <typename Unit>
size_t UnitsBeforeTerminator(const Unit* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

}  // namespace

TARN_CALLER_MEMORY size_t TextLength(const char* text) { return UnitsBeforeTerminator(text); }

TARN_CALLER_MEMORY size_t TextLength(const WCHAR* text) { return UnitsBeforeTerminator(text); }

TARN_WORDWISE size_t TextLength(const char* text, size_t limit) {
    size_t n = 0;
    for (; n < limit && !Aligned(text + n); ++n) {
        if (text[n] == '\0')
            return n;
    }
    while (limit - n >= sizeof(Word) && !HasZero(WordAt(text + n)))
        n += sizeof(Word);
    while (n < limit && text[n] != '\0')
        ++n;
    return n;
}

TARN_WORDWISE const char* ByteOrEnd(const char* text, char wanted) {
    const Word pattern = kOnes * static_cast<unsigned char>(wanted);
    for (; !Aligned(text); ++text) {
        if (*text == '\0' || *text == wanted)
            return text;
    }
    for (;; text += sizeof(Word)) {
        const Word word = WordAt(text);
        if (HasZero(word) || HasZero(word ^ pattern))
            break;
    }
    while (*text != '\0' && *text != wanted)
        ++text;
    return text;
}

TARN_CALLER_MEMORY size_t LineFeedOrEnd(const char* text) {
    size_t n = 0;
    while (text[n] != '\0' && text[n] != '\n')
        ++n;
    return n;
}

TARN_CALLER_MEMORY bool SameText(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (*a != *b)
            return false;
        if (*a == '\0')
            return true;
    }
}

TARN_CALLER_MEMORY bool BeginsWithText(const char* text, const char* prefix) {
    for (; *prefix; ++prefix, ++text) {
        if (*text != *prefix)
            return false;
    }
    return true;
}

TARN_CALLER_MEMORY void CopyBytes(void* to, const void* from, size_t count) {
    char* out = static_cast<char*>(to);
    const char* in = static_cast<const char*>(from);
    for (size_t i = 0; i < count; ++i)
        out[i] = in[i];
}

TARN_CALLER_MEMORY char* CopyText(char* out, const char* in, size_t room) {
    for (; room > 0 && *in; --room)
        *out++ = *in++;
    return out;
}

TARN_CALLER_MEMORY void CountText(const char* text, size_t limit, volatile size_t& count) {
    while (count < limit && text[count] != '\0')
        count = count + 1;
}

TARN_CALLER_MEMORY void TouchRange(uintptr_t first, uintptr_t last) {
    (void)*reinterpret_cast<const volatile char*>(first);
    for (uintptr_t page = (first | (kPage - 1)) + 1; page != 0 && page <= last; page += kPage)
        (void)*reinterpret_cast<const volatile char*>(page);
    (void)*reinterpret_cast<const volatile char*>(last);
}

}  // namespace tarn
