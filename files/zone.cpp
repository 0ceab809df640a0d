// Zones stored inside files and the primitives of their record format: stored strings and
// sizes, little-endian on every target.
#include "tarnkernl/files.h"

#include "log/faults.h"
#include "platform/callermemory.h"
#include "platform/win32.h"

namespace {

constexpr uint8_t kMarker[2] = {0, 0};
// A stored length counts the terminator and is read back as a signed 16-bit number.
constexpr size_t kMaxStoredLength = 32766;

bool WriteWhole(File* file, const void* data, uint32_t count) {
    return file->write(data, count) == count;
}

bool ReadWhole(File* file, void* data, uint32_t count) { return file->read(data, count) == count; }

bool Write32(File* file, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return WriteWhole(file, bytes, sizeof bytes);
}

bool Read32(File* file, uint32_t& value) {
    uint8_t bytes[4];
    if (!ReadWhole(file, bytes, sizeof bytes))
        return false;
    value =
        bytes[0] | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
    return true;
}

bool ReadMarker(File* file) {
    uint8_t bytes[2];
    return ReadWhole(file, bytes, sizeof bytes) && bytes[0] == 0 && bytes[1] == 0;
}

// Bytes from the file's position to its end; the position is kept.
uint32_t BytesLeft(File* file) {
    const long here = file->tell();
    const long end = file->seekend(0);
    file->seekset(here);
    return end > here ? static_cast<uint32_t>(end - here) : 0;
}

// The zone's image as Zone::open reads it; false when the record is not sound.
bool ReadRecord(Zone& zone, File* parent, const char* wanted) {
    unsigned short tag;
    if (!ReadMarker(parent) || !Load(zone.name, parent) || !LoadSizer(tag, parent))
        return false;
    zone.tag = tag;
    if (!Read32(parent, zone.length))
        return false;
    if (wanted && !tarn::SameText(zone.name.p, wanted))
        return false;
    if (static_cast<int16_t>(zone.tag) < 0 || zone.length > BytesLeft(parent))
        return false;
    zone.image = static_cast<char*>(calloc(zone.length ? zone.length : 1, 1));
    if (!zone.image)
        return false;
    zone.capacity = zone.length;
    return ReadWhole(parent, zone.image, zone.length) && ReadMarker(parent);
}

// The zone's state before it is filled: an empty image of its own, in memory mode.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void Reset(Zone& zone) {
    zone.keepHandle = 0;
    if (zone.ownsImage && zone.image)
        ::operator delete(zone.image);
    zone.image = nullptr;
    zone.pos = zone.length = zone.capacity = 0;
    zone.ownsImage = 1;
}
#pragma GCC diagnostic pop

}  // namespace

bool SaveSizer(unsigned short size, File* file) {
    return tarn::ReadGuarded(false, [&] {
        const uint8_t bytes[2] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
        return WriteWhole(file, bytes, sizeof bytes);
    });
}

bool LoadSizer(unsigned short& size, File* file) {
    return tarn::ReadGuarded(false, [&] {
        uint8_t bytes[2];
        if (!ReadWhole(file, bytes, sizeof bytes))
            return false;
        size = static_cast<unsigned short>(bytes[0] | bytes[1] << 8);
        return true;
    });
}

bool Save(const char* text, File* file) {
    return tarn::ReadGuarded(false, [&] {
        const size_t length = tarn::TextLength(text);
        if (length > kMaxStoredLength)
            return false;
        const auto stored = static_cast<unsigned short>(length + 1);
        return SaveSizer(stored, file) && WriteWhole(file, text, stored);
    });
}

bool Load(str& text, File* file) {
    return tarn::ReadGuarded(false, [&] {
        unsigned short stored;
        if (!LoadSizer(stored, file))
            return false;
        if (stored == 0)
            return true;
        if (!(text = static_cast<unsigned int>(stored)))
            return false;
        return ReadWhole(file, text.p, stored) && text.p[stored - 1] == '\0';
    });
}

bool Zone::create(File* newParent, const char* newName) {
    parent = newParent;
    name = newName;
    Reset(*this);
    return true;
}

bool Zone::close(int newTag) {
    tag = static_cast<uint16_t>(newTag);
    if (!parent)
        return false;
    return tarn::ReadGuarded(false, [&] {
        return WriteWhole(parent, kMarker, sizeof kMarker) && Save(name, parent) &&
               SaveSizer(tag, parent) && Write32(parent, length) &&
               WriteWhole(parent, image, length) && WriteWhole(parent, kMarker, sizeof kMarker);
    });
}

bool Zone::open(File* newParent, const char* wanted) {
    parent = newParent;
    if (!parent)
        return false;
    return tarn::ReadGuarded(false, [&] {
        const long start = parent->tell();
        Reset(*this);
        if (ReadRecord(*this, parent, wanted))
            return true;
        parent->seekset(start);
        return false;
    });
}
