// Resource files of any bytes: an entry found lies whole inside the file, behind its header; a
// file that is not valid answers nothing but damage; keys of any text parse without harm.
#include "platform/posix/resfile.h"

#include "tests/fuzz/fuzz.h"

#include <cstring>

namespace {

using tarn::posix::ResourceEntry;
using tarn::posix::ResourceFile;
using tarn::posix::ResourceKey;

void Put16(std::string& out, uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, uint16_t(v));
    Put16(out, uint16_t(v >> 16));
}
void Align(std::string& out) {
    while (out.size() % 4)
        out += '\0';
}

// One entry; a name of text when `name` is given, else the number `id`.
std::string Entry(uint16_t type, uint16_t id, const std::u16string& name, const std::string& data) {
    std::string header;
    Put16(header, 0xFFFF);
    Put16(header, type);
    if (name.empty()) {
        Put16(header, 0xFFFF);
        Put16(header, id);
    } else {
        for (char16_t c : name)
            Put16(header, c);
        Put16(header, 0);
    }
    Align(header);
    Put32(header, 0);       // data version
    Put16(header, 0x1030);  // memory flags
    Put16(header, 0x0409);  // language
    Put32(header, 0);       // version
    Put32(header, 0);       // characteristics
    std::string out;
    Put32(out, uint32_t(data.size()));
    Put32(out, uint32_t(header.size() + 8));
    out += header + data;
    Align(out);
    return out;
}

std::string Empty() { return Entry(0, 0, u"", ""); }

void Check(const ResourceFile& file, const uint8_t* data, size_t size, const ResourceKey& type,
           const ResourceKey& name) {
    ResourceEntry entry{};
    const ResourceFile::Lookup lookup = file.Find(type, name, entry);
    if (!file.Valid())
        FUZZ_CHECK(lookup == ResourceFile::Lookup::Damaged);
    if (lookup != ResourceFile::Lookup::Found)
        return;
    FUZZ_CHECK(entry.header >= data && entry.header < entry.data);
    FUZZ_CHECK(entry.data <= data + size && entry.size <= size_t(data + size - entry.data));
    FUZZ_CHECK((entry.header - data) % 4 == 0);
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    // Two bytes of numbered type and two of numbered name to look for, then the file.
    const std::string file = Empty() + Entry(6, 1, u"", std::string("\3\0abc", 5)) +
                             Entry(5, 0, u"DIALOG1", "dlg") + Entry(10, 7, u"", "");
    return {std::string("\6\0\1\0", 4) + file, std::string("\5\0\0\0", 4) + file,
            std::string("\12\0\7\0", 4) + file.substr(0, file.size() - 3),
            std::string("\1\0\1\0", 4) + Empty()};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    uint16_t numbers[2];
    memcpy(numbers, data, 4);
    const ResourceFile file(data + 4, size - 4);
    const ResourceKey type(MAKEINTRESOURCEA(numbers[0]));
    Check(file, data + 4, size - 4, type, ResourceKey(MAKEINTRESOURCEA(numbers[1])));
    Check(file, data + 4, size - 4, type, ResourceKey("dialog1"));

    // The same bytes as key texts: "#" and digits, or any text up to the first zero.
    std::string text(reinterpret_cast<const char*>(data + 4), std::min<size_t>(size - 4, 600));
    text = text.substr(0, text.find('\0'));
    const ResourceKey key(text.c_str());
    const ResourceKey numbered(("#" + text).c_str());
    Check(file, data + 4, size - 4, key, numbered);
    return 0;
}
