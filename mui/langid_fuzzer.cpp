// A "langid.cfg" of any bytes, in the zeroed room the reader gives it: a description found lies
// inside that room, leaves space for the terminator the reader writes, and holds one line.
#include "mui/languageset.h"

#include "tests/fuzz/fuzz.h"

#include <cstring>

std::vector<std::string> tarn::fuzz::Seeds() {
    return {std::string("\xFF\xFE"
                        "1\0"
                        "0\0"
                        "4\0"
                        "9\0"
                        "\r\0\n\0"
                        "R\0"
                        "u\0",
                        18),
            std::string("7\0\n\0\n\0"
                        "X\0\r\0",
                        10),
            std::string("\xFF\xFE"
                        "1\0",
                        4)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > tarn::kLargestDescription)
        return 0;
    std::vector<WCHAR> room((size + 16) / 2, 0);
    memcpy(room.data(), data, size);
    tarn::LanguageDescription out{};
    if (!tarn::ParseLanguageDescription(room.data(), static_cast<unsigned long>(size), out))
        return 0;
    const WCHAR* const begin = room.data();
    FUZZ_CHECK(out.name >= begin);
    FUZZ_CHECK(out.name + out.nameLength < begin + room.size());
    for (size_t i = 0; i < out.nameLength; ++i)
        FUZZ_CHECK(out.name[i] != 0 && out.name[i] != u'\r' && out.name[i] != u'\n');
    // The identifier's first digit is the first unit, or the second after a byte-order mark.
    const WCHAR first = room[0] >= u'0' && room[0] <= u'9' ? room[0] : room[1];
    FUZZ_CHECK(first >= u'0' && first <= u'9');
    return 0;
}
