// The compiled resource format (".res", what a resource compiler makes of an ".rc" script): a
// run of entries, each a header followed by its data, each beginning on a four-byte boundary.
// The first entry is an empty one that marks the 32-bit form. A header holds the data size and
// its own size, the type and the name (each a number after 0xFFFF, or a UTF-16 text ending in
// zero), then fixed fields with the language. The bytes come from outside (a file, a module
// built elsewhere): every length is checked against the end before anything behind it is read.
#pragma once

#include "platform/win32.h"

namespace tarn::posix {

// A resource type or name as a caller gives it: a number below 0x10000, "#123" (the number 123)
// or a text, compared without regard to the case of ASCII letters.
class ResourceKey {
public:
    explicit ResourceKey(LPCSTR key);
    // False for a text that is not UTF-8 or longer than any name a resource file holds here.
    bool Valid() const { return valid_; }
    // True when the entry field at `field` (`units` UTF-16 units, or a number) names this key.
    bool MatchesNumber(WORD number) const { return isNumber_ && number == number_; }
    bool MatchesText(const unsigned char* field, size_t units) const;

private:
    static constexpr size_t kMaxUnits = 256;
    bool valid_ = false;
    bool isNumber_ = false;
    WORD number_ = 0;
    WCHAR text_[kMaxUnits];
    size_t units_ = 0;
};

// One entry: where its header begins, its data and the data's size.
struct ResourceEntry {
    const unsigned char* header;
    const unsigned char* data;
    DWORD size;
};

class ResourceFile {
public:
    ResourceFile(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    // True when the bytes are a resource file whose every entry lies whole within them.
    bool Valid() const;

    enum class Lookup { Found, NoType, NoName, Damaged };
    // The first entry of that type and name. The whole file is checked on the way: a damaged
    // one answers Damaged, whatever it holds before the damage.
    Lookup Find(const ResourceKey& type, const ResourceKey& name, ResourceEntry& found) const;

    // The data of the entry whose header begins at `header`, as Find gave it.
    static ResourceEntry EntryAt(const unsigned char* header);

private:
    const unsigned char* data_;
    size_t size_;
};

}  // namespace tarn::posix
