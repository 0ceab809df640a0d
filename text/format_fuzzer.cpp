// Formats of any shape, made of the conversions every C library shares, checked before they
// are formatted: with readable strings in every argument the text is made; with unreadable ones
// the call is refused as an access violation or needs no string, and never ends the process.
// Where the library's own formatter takes a format, its text is the C library's.
#include "tarnkernl/text.h"

#include "tests/fuzz/fuzz.h"
#include "text/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// What the input's bytes become: the conversions, flags, lengths and precisions of C99.
constexpr char kAlphabet[] = "%%%%sssdixXcpfeEgGaAuoS.-+ #0lhzjt*12abc";

// Readable as a narrow and as a wide string.
alignas(8) const char kText[16] = "text";
const char* const kBad = reinterpret_cast<const char*>(uintptr_t{16});

// FormatCommon's text and the C library's, when FormatCommon takes the format.
bool SameAsTheCLibrary(const char* format, ...) {
    char common[512], library[512];
    va_list args;
    va_start(args, format);
    const int n = tarn::FormatCommon(common, sizeof common - 1, format, args);
    const int m = vsnprintf(library, sizeof library, format, args);
    va_end(args);
    return n == tarn::kNotCommon || (n == m && strcmp(common, library) == 0);
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    return {"%s %d %.2s", "%ls", "%*s %-*.*s", "%%s%c%p", "%5.1f %s", "%lls %hs %zx %S"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 48)
        return 0;
    std::string format;
    size_t conversions = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = kAlphabet[data[i] % (sizeof kAlphabet - 1)];
        // Two digits at most in a row: widths stay small.
        if (c >= '0' && c <= '9' && format.size() >= 2 && isdigit(format.end()[-1]) &&
            isdigit(format.end()[-2]))
            continue;
        conversions += c == '%' || c == '*';
        format += c;
    }
    // Sixteen arguments are enough for four conversions of up to four each.
    if (conversions > 4)
        return 0;

    if (format.find('*') == std::string::npos) {
        str made;
        bool raised = false;
        try {
            sprintf(made, format.c_str(), kText, kText, kText, kText, kText, kText, kText, kText,
                    kText, kText, kText, kText, kText, kText, kText, kText);
        } catch (unsigned long) {
            raised = true;
        }
        FUZZ_CHECK(!raised);
        FUZZ_CHECK(SameAsTheCLibrary(format.c_str(), kText, kText, kText, kText, kText, kText,
                                     kText, kText, kText, kText, kText, kText, kText, kText, kText,
                                     kText));
    }
    str refused;
    try {
        sprintf(refused, format.c_str(), kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad,
                kBad, kBad, kBad, kBad, kBad, kBad);
    } catch (unsigned long code) {
        FUZZ_CHECK(code == 0xC0000005);
    }
    return 0;
}
