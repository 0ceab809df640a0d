// The loops over caller memory (see callermemory.h). Each is out of line and opaque, so that a
// call keeps its landing pad and the compiler assumes nothing about what it reads. They are plain
// loops, which the compiler would turn into calls of the C library: the build holds it back
// (platform/CMakeLists.txt) and checks the object. They read addresses that may be anything, which
// have no shadow for a race detector to look up.
#include "platform/callermemory.h"

#include <cstdint>

#define TARN_CALLER_MEMORY TARN_NOIPA __attribute__((no_sanitize("thread")))
// Scans that read a text a block at a time, from the aligned block that holds its first byte. An
// aligned block never spans two pages, and a block is read only when the text goes on into it,
// so such a scan faults exactly where a byte-wise one would. It reads bytes before the text and
// behind its terminator in their blocks, which an address checker would take for overruns.
#define TARN_UNCHECKED __attribute__((no_sanitize("thread"), no_sanitize("address")))
#define TARN_BLOCKWISE TARN_NOIPA TARN_UNCHECKED

namespace tarn {
namespace {

// The smallest page on x86: touching one byte in every 4 KiB touches every page.
constexpr uintptr_t kPage = 4096;

// The hits of a block: the bytes that are zero or `wanted`, as a mask of kBitsPerByte bits per
// byte, the first byte lowest. Inlined into the scans, which share its attributes: an address
// checker sees no block read.
#if defined(__SSE2__)
typedef char Block __attribute__((vector_size(16), may_alias));
typedef unsigned Mask;
constexpr unsigned kBitsPerByte = 1;

[[gnu::always_inline]] inline TARN_UNCHECKED Mask HitsAt(const char* p, char wanted) {
    const Block block = *reinterpret_cast<const Block*>(p);
    return static_cast<Mask>(
        __builtin_ia32_pmovmskb128(reinterpret_cast<Block>((block == 0) | (block == wanted))));
}
#else
typedef uintptr_t Block;
typedef uintptr_t Mask;
constexpr unsigned kBitsPerByte = 8;
typedef Block __attribute__((may_alias)) AliasedBlock;
constexpr Block kOnes = ~Block{0} / 0xFF;
constexpr Block kLows = kOnes * 0x7F;

// The high bit of every zero byte of `word`, and of no other: no carry crosses a byte.
[[gnu::always_inline]] inline Block Zeros(Block word) {
    return ~(((word & kLows) + kLows) | word | kLows);
}

[[gnu::always_inline]] inline TARN_UNCHECKED Mask HitsAt(const char* p, char wanted) {
    const Block word = *reinterpret_cast<const AliasedBlock*>(p);
    return Zeros(word) | Zeros(word ^ (kOnes * static_cast<unsigned char>(wanted)));
}
#endif
constexpr size_t kBlock = sizeof(Block);

// A piece of a copy, from anywhere to anywhere, neither aligned.
template <typename Piece>
struct [[gnu::packed, gnu::may_alias]] Loose {
    Piece piece;
};
template <typename Piece>
[[gnu::always_inline]] inline void CopyPiece(char* to, const char* from) {
    *reinterpret_cast<Loose<Piece>*>(to) = *reinterpret_cast<const Loose<Piece>*>(from);
}

// The offset of the first byte of `text` that is zero or `wanted`, within its first `limit`
// bytes; `limit` when none of those is.
[[gnu::always_inline]] inline TARN_UNCHECKED size_t FirstHit(const char* text, char wanted,
                                                             size_t limit) {
    if (limit == 0)
        return 0;
    const size_t before = reinterpret_cast<uintptr_t>(text) % kBlock;
    Mask hits = HitsAt(text - before, wanted) >> (before * kBitsPerByte);
    size_t start = 0;  // the offset in `text` of the first byte that `hits` tells of
    for (size_t next = kBlock - before; hits == 0; next += kBlock) {
        if (next >= limit)
            return limit;
        hits = HitsAt(text + next, wanted);
        start = next;
    }
    const size_t at = start + static_cast<size_t>(__builtin_ctzll(hits)) / kBitsPerByte;
    return at < limit ? at : limit;
}

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

TARN_BLOCKWISE size_t TextLength(const char* text, size_t limit) {
    return FirstHit(text, '\0', limit);
}

TARN_BLOCKWISE const char* ByteOrEnd(const char* text, char wanted) {
    return text + FirstHit(text, wanted, SIZE_MAX);
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
    // Whole pieces, the last one ending at the end: it may cover bytes of the one before again.
    if (count >= kBlock) {
        for (size_t at = 0; at < count - kBlock; at += kBlock)
            CopyPiece<Block>(out + at, in + at);
        CopyPiece<Block>(out + count - kBlock, in + count - kBlock);
    } else if (count >= 4) {
        if (count >= 8) {
            CopyPiece<uint64_t>(out, in);
            CopyPiece<uint64_t>(out + count - 8, in + count - 8);
        } else {
            CopyPiece<uint32_t>(out, in);
            CopyPiece<uint32_t>(out + count - 4, in + count - 4);
        }
    } else {
        for (size_t i = 0; i < count; ++i)
            out[i] = in[i];
    }
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
