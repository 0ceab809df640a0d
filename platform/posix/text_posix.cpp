// MultiByteToWideChar and WideCharToMultiByte on POSIX: the ANSI code page is UTF-8, converted
// to and from UTF-16 with the rules Windows applies to CP_UTF8.
#include "platform/callermemory.h"
#include "platform/win32.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kInvalid = 0xFFFFFFFF;

bool IsUtf8CodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
           codePage == CP_UTF8;
}

template <typename Unit>
int LengthWithTerminator(const Unit* text) {
    return static_cast<int>(tarn::TextLength(text)) + 1;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// One code point from [p, end), or kInvalid for an ill-formed part, cut as Windows cuts it:
// an invalid lead byte or a stray continuation byte alone; a lead byte with the continuation
// bytes that follow it up to the first byte that is not one, where the first continuation
// byte is taken even when it makes the sequence overlong, a surrogate or beyond U+10FFFF; and
// a sequence that would run past the end of the input takes the whole rest of it.
char32_t DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
    const unsigned char lead = *p++;
    if (lead < 0x80)
        return lead;
    int follow;
    char32_t cp;
    unsigned char low = 0x80, high = 0xBF;  // the valid range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        follow = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        follow = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;  // overlong below U+0800
        else if (lead == 0xED)
            high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        follow = 3;
        cp = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;  // overlong below U+10000
        else if (lead == 0xF4)
            high = 0x8F;  // beyond U+10FFFF
    } else {
        return kInvalid;
    }
    if (end - p < follow) {
        p = end;
        return kInvalid;
    }
    for (int i = 0; i < follow; ++i) {
        if (!IsContinuation(*p))
            return kInvalid;
        const unsigned char byte = *p++;
        cp = (cp << 6) | (byte & 0x3F);
        if (i == 0 && (byte < low || byte > high))
            return kInvalid;
    }
    return cp;
}

// One code point from [p, end) of UTF-16, or kInvalid for an unpaired surrogate.
char32_t DecodeUtf16(const WCHAR*& p, const WCHAR* end) {
    const char32_t unit = *p++;
    if (unit < 0xD800 || unit > 0xDFFF)
        return unit;
    if (unit <= 0xDBFF && p != end && *p >= 0xDC00 && *p <= 0xDFFF)
        return 0x10000 + ((unit - 0xD800) << 10) + (*p++ - 0xDC00);
    return kInvalid;
}

// Collects the output units: counts them all, stores while they fit. A unit group (a
// surrogate pair, the bytes of one character) is stored whole or not at all.
template <typename Unit>
class Output {
public:
    Output(Unit* out, int size) : out_(out), size_(size) {}

    template <typename... Units>
    void Put(Units... units) {
        constexpr int n = sizeof...(Units);
        if (out_ && count_ + n <= size_) {
            Unit* at = out_ + count_;
            ((*at++ = static_cast<Unit>(units)), ...);
        } else if (out_) {
            overflow_ = true;
        }
        count_ += n;
    }

    // The function's answer: the count, or 0 with the last error when the output was too small.
    int Result() const {
        if (overflow_) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        return count_;
    }

private:
    Unit* out_;
    int size_;
    int count_ = 0;
    bool overflow_ = false;
};

// The parameter checks both directions share, in Windows' order; false with the last error set.
template <typename In, typename Out>
bool ValidArguments(UINT codePage, DWORD flags, DWORD allowedFlags, const In* text, int length,
                    const Out* out, int outSize) {
    if (!text || length == 0 || outSize < 0 || (!out && outSize != 0) ||
        !IsUtf8CodePage(codePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (flags & ~allowedFlags) {
        SetLastError(ERROR_INVALID_FLAGS);
        return false;
    }
    return true;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                               int outSize) {
    if (!ValidArguments(codePage, flags, MB_ERR_INVALID_CHARS, text, length, out, outSize))
        return 0;
    if (length < 0)
        length = LengthWithTerminator(text);
    if (outSize == 0)
        out = nullptr;
    Output<WCHAR> output(out, outSize);
    auto p = reinterpret_cast<const unsigned char*>(text);
    const auto end = p + length;
    while (p != end) {
        char32_t cp = DecodeUtf8(p, end);
        if (cp == kInvalid) {
            if (flags & MB_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        if (cp < 0x10000)
            output.Put(cp);
        else
            output.Put(0xD800 + ((cp - 0x10000) >> 10), 0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    return output.Result();
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out,
                               int outSize, LPCSTR defaultChar, LPBOOL usedDefault) {
    if (!ValidArguments(codePage, flags, WC_ERR_INVALID_CHARS, text, length, out, outSize))
        return 0;
    // UTF-8 can express every character, so Windows refuses a default character for it.
    if (defaultChar || usedDefault) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (length < 0)
        length = LengthWithTerminator(text);
    if (outSize == 0)
        out = nullptr;
    Output<char> output(out, outSize);
    const WCHAR* p = text;
    const WCHAR* const end = p + length;
    while (p != end) {
        char32_t cp = DecodeUtf16(p, end);
        if (cp == kInvalid) {
            if (flags & WC_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        if (cp < 0x80)
            output.Put(cp);
        else if (cp < 0x800)
            output.Put(0xC0 | (cp >> 6), 0x80 | (cp & 0x3F));
        else if (cp < 0x10000)
            output.Put(0xE0 | (cp >> 12), 0x80 | ((cp >> 6) & 0x3F), 0x80 | (cp & 0x3F));
        else
            output.Put(0xF0 | (cp >> 18), 0x80 | ((cp >> 12) & 0x3F), 0x80 | ((cp >> 6) & 0x3F),
                       0x80 | (cp & 0x3F));
    }
    return output.Result();
}
