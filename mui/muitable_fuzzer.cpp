// A ".mui" text table of any bytes, loaded by a language set from its directory: every record
// the table holds is found by its identifier and gives a text inside the table; identifiers the
// table lacks are not found.
#include "mui/languageset.h"

#include "tests/fuzz/fuzz.h"

#include <cstring>
#include <set>

namespace {

constexpr unsigned kLanguage = 1049;

uint32_t IdAt(const char* at) {
    uint32_t id;
    memcpy(&id, at, sizeof id);
    return id;
}

std::string Record(uint32_t id, const std::string& text) {
    return std::string(reinterpret_cast<const char*>(&id), 4) + text + '\0';
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    return {Record(1034005, "Datei") + Record(7, "") + Record(1034005, "twice"),
            Record(0xFFFFFFFF, "last") + std::string("\1\2\3\4unterminated"),
            Record(12, "a").substr(0, 5)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16)
        return 0;
    static bool described = false;
    if (!described) {
        tarn::fuzz::WriteFile("MUI/ru/langid.cfg", std::string("1\0"
                                                               "0\0"
                                                               "4\0"
                                                               "9\0"
                                                               "\n\0"
                                                               "R\0",
                                                               12));
        described = true;
    }
    const std::string table(reinterpret_cast<const char*>(data), size);
    tarn::fuzz::WriteFile("MUI/ru/texts.mui", table);
    tarn::MuiLanguageSet set(kLanguage, tarn::fuzz::ScratchPath("MUI").c_str());
    FUZZ_CHECK(set.directory.Length() > 0);

    // The records as the format gives them: four bytes of identifier and a text up to its zero,
    // while five bytes are left; the table's end counts as a zero.
    std::set<uint32_t> held;
    for (size_t at = 0; at + 5 <= size;) {
        held.insert(IdAt(table.data() + at));
        at += 4;
        const size_t zero = table.find('\0', at);
        at = (zero == std::string::npos ? size : zero) + 1;
    }
    FUZZ_CHECK(set.index.Count() >= held.size());
    if (held.empty())
        return 0;
    FUZZ_CHECK(set.buffers.Count() == 1);
    const char* const tableBegin = *set.buffers.At(0);
    for (uint32_t id : held) {
        const char* text = set.Find(id);
        FUZZ_CHECK(text != nullptr);
        FUZZ_CHECK(text - 4 >= tableBegin && text < tableBegin + size + 1);
        FUZZ_CHECK(IdAt(text - 4) == id);
        FUZZ_CHECK(text + strlen(text) <= tableBegin + size);
        if (!held.count(id + 1))
            FUZZ_CHECK(set.Find(id + 1) == nullptr);
    }
    return 0;
}
