// Zone records and stored strings of any bytes, read from a file in memory mode whose image is
// exactly the input: every record accepted lies inside the input, moves the parent to its end,
// and written again reads back the same; a refused record leaves the parent where it was.
#include "tarnkernl/files.h"

#include "tests/fuzz/fuzz.h"

#include <cstring>

namespace {

// A file in memory mode over the caller's bytes, which it neither grows nor releases.
struct InputFile : File {
    InputFile(const uint8_t* data, size_t size) {
        image = const_cast<char*>(reinterpret_cast<const char*>(data));
        length = capacity = static_cast<uint32_t>(size);
    }
    ~InputFile() { image = nullptr; }
};

std::string Stored(const std::string& text) {
    const uint16_t length = static_cast<uint16_t>(text.size() + 1);
    return std::string(reinterpret_cast<const char*>(&length), 2) + text + '\0';
}

std::string Record(const std::string& name, uint16_t tag, const std::string& data) {
    const uint32_t size = static_cast<uint32_t>(data.size());
    return std::string(2, '\0') + Stored(name) +
           std::string(reinterpret_cast<const char*>(&tag), 2) +
           std::string(reinterpret_cast<const char*>(&size), 4) + data + std::string(2, '\0');
}

void CheckRewrite(const Zone& zone, const uint8_t* record, size_t size) {
    File copy;
    Zone out;
    FUZZ_CHECK(out.create(&copy, zone.name.p));
    FUZZ_CHECK(out.write(zone.image, zone.length) == zone.length);
    FUZZ_CHECK(out.close(zone.tag));
    // A name with a zero inside is read up to that zero; any other record comes back byte for
    // byte.
    if (copy.length == size)
        FUZZ_CHECK(memcmp(copy.image, record, size) == 0);
    copy.seekset(0);
    Zone again;
    FUZZ_CHECK(again.open(&copy, nullptr));
    FUZZ_CHECK(strcmp(again.name.p, zone.name.p) == 0 && again.tag == zone.tag);
    FUZZ_CHECK(again.length == zone.length && memcmp(again.image, zone.image, zone.length) == 0);
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    return {Record("settings", 1, "abc") + Record("", 0x7FFF, ""), Record("x", 0x8000, "refused"),
            Record(std::string("a\0b", 3), 2, "zero in name"),
            Record("cut", 3, "data").substr(0, 12), Stored("text") + Stored("")};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20)
        return 0;
    InputFile parent(data, size);
    for (;;) {
        const long start = parent.tell();
        Zone zone;
        if (!zone.open(&parent, nullptr)) {
            FUZZ_CHECK(parent.tell() == start);
            break;
        }
        FUZZ_CHECK(parent.tell() > start && size_t(parent.tell()) <= size);
        FUZZ_CHECK(zone.length <= size_t(parent.tell() - start));
        FUZZ_CHECK(zone.tag < 0x8000);
        CheckRewrite(zone, data + start, size_t(parent.tell() - start));
    }

    parent.seekset(0);
    for (;;) {
        const long start = parent.tell();
        str text;
        if (!Load(text, &parent))
            break;
        const long used = parent.tell() - start;
        FUZZ_CHECK(used >= 2 && size_t(parent.tell()) <= size);
        FUZZ_CHECK(used == 2 || size_t(text.Length()) < size_t(used - 2));
        File copy;
        FUZZ_CHECK(Save(text.p, &copy));
        copy.seekset(0);
        str again;
        FUZZ_CHECK(Load(again, &copy) && strcmp(again.p, text.p) == 0);
    }

    parent.seekset(0);
    unsigned short sizer = 0;
    if (LoadSizer(sizer, &parent)) {
        FUZZ_CHECK(size >= 2 && parent.tell() == 2);
        uint16_t expected;
        memcpy(&expected, data, 2);
        FUZZ_CHECK(sizer == expected);
    } else {
        FUZZ_CHECK(size < 2);
    }
    return 0;
}
