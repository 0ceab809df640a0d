#include "platform/posix/resfile.h"

namespace tarn::posix {
namespace {

constexpr WORD kNumberMark = 0xFFFF;
// Data version, memory flags, language, version and characteristics.
constexpr size_t kFixedFields = 16;
// The two sizes, a numbered type and a numbered name, and the fixed fields.
constexpr size_t kSmallestHeader = 8 + 4 + 4 + kFixedFields;

DWORD Read32(const unsigned char* p) {
    return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

WORD Read16(const unsigned char* p) { return WORD(p[0] | p[1] << 8); }

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? WCHAR(c - u'a' + u'A') : c; }

size_t AlignUp4(size_t n) { return (n + 3) & ~size_t(3); }

// A type or name field of a header: a number, or `units` UTF-16 units at `text`.
struct Field {
    bool isNumber;
    WORD number;
    const unsigned char* text;
    size_t units;
};

// Reads the field at `at` of a header that ends at `end`; the offset after it, or 0 when the
// field does not end inside the header.
size_t ReadField(const unsigned char* base, size_t at, size_t end, Field& field) {
    if (end - at < 2)
        return 0;
    if (Read16(base + at) == kNumberMark) {
        if (end - at < 4)
            return 0;
        field = {true, Read16(base + at + 2), nullptr, 0};
        return at + 4;
    }
    for (size_t p = at; end - p >= 2; p += 2) {
        if (Read16(base + p) == 0) {
            field = {false, 0, base + at, (p - at) / 2};
            return p + 2;
        }
    }
    return 0;
}

bool Matches(const ResourceKey& key, const Field& field) {
    return field.isNumber ? key.MatchesNumber(field.number)
                          : key.MatchesText(field.text, field.units);
}

// One step of the walk: the entry at `at`, checked whole. The offset of the next entry, or 0
// when the entry is damaged.
size_t ReadEntry(const unsigned char* base, size_t size, size_t at, Field& type, Field& name) {
    if (size - at < 8)
        return 0;
    const DWORD dataSize = Read32(base + at);
    const DWORD headerSize = Read32(base + at + 4);
    if (headerSize % 4 != 0 || headerSize < kSmallestHeader || headerSize > size - at)
        return 0;
    const size_t headerEnd = at + headerSize;
    size_t p = ReadField(base, at + 8, headerEnd, type);
    if (p)
        p = ReadField(base, p, headerEnd, name);
    if (!p || AlignUp4(p) + kFixedFields != headerEnd)
        return 0;
    if (dataSize > size - headerEnd || AlignUp4(dataSize) > size - headerEnd)
        return 0;
    return headerEnd + AlignUp4(dataSize);
}

}  // namespace

ResourceKey::ResourceKey(LPCSTR key) {
    const auto value = reinterpret_cast<uintptr_t>(key);
    if (IS_INTRESOURCE(key)) {
        isNumber_ = valid_ = true;
        number_ = WORD(value);
        return;
    }
    if (key[0] == '#') {
        unsigned long number = 0;
        const char* p = key + 1;
        for (; *p >= '0' && *p <= '9' && number <= 0xFFFF; ++p)
            number = number * 10 + unsigned(*p - '0');
        isNumber_ = true;
        valid_ = *p == '\0' && p != key + 1 && number <= 0xFFFF;
        number_ = WORD(number);
        return;
    }
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, key, -1, text_, int(kMaxUnits));
    valid_ = units > 0;
    units_ = valid_ ? size_t(units - 1) : 0;
}

bool ResourceKey::MatchesText(const unsigned char* field, size_t units) const {
    if (isNumber_ || units != units_)
        return false;
    for (size_t i = 0; i < units; ++i) {
        if (Upper(Read16(field + 2 * i)) != Upper(text_[i]))
            return false;
    }
    return true;
}

bool ResourceFile::Valid() const {
    Field type, name;
    const size_t first = size_ ? ReadEntry(data_, size_, 0, type, name) : 0;
    // The marker entry: no data, numbered type and name 0.
    if (!first || Read32(data_) != 0 || !type.isNumber || type.number || !name.isNumber ||
        name.number)
        return false;
    for (size_t at = first; at < size_;) {
        at = ReadEntry(data_, size_, at, type, name);
        if (!at)
            return false;
    }
    return true;
}

ResourceFile::Lookup ResourceFile::Find(const ResourceKey& typeKey, const ResourceKey& nameKey,
                                        ResourceEntry& found) const {
    if (!Valid())
        return Lookup::Damaged;
    Lookup result = Lookup::NoType;
    Field type, name;
    for (size_t at = 0, next; at < size_; at = next) {
        next = ReadEntry(data_, size_, at, type, name);
        if (at == 0 || !Matches(typeKey, type))
            continue;
        if (Matches(nameKey, name)) {
            found = EntryAt(data_ + at);
            return Lookup::Found;
        }
        result = Lookup::NoName;
    }
    return result;
}

ResourceEntry ResourceFile::EntryAt(const unsigned char* header) {
    return {header, header + Read32(header + 4), Read32(header)};
}

}  // namespace tarn::posix
