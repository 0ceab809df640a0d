// Path names of any shape, cut from the input at its zero bytes: the splits and searches give
// pieces of the path itself, joins put exactly one separator between plain parts (also when a
// part lies in the result's own text), and the extended-length form keeps the name.
#include "tarnkernl/files.h"

#include "tests/fuzz/fuzz.h"

#include <cstring>
#include <string>

namespace {

bool Inside(const char* p, const std::string& text) {
    return p >= text.c_str() && p <= text.c_str() + text.size();
}

// Not empty, and neither an extension nor a part with a separator at either end.
bool Plain(const std::string& part) {
    return !part.empty() && part[0] != '.' && part.front() != '\\' && part.back() != '\\';
}

void CheckSplits(const std::string& path) {
    const char* text = path.c_str();
    const size_t length = strlen(text);
    const size_t ext = size_t(GetExtPointPos(text));
    const size_t name = size_t(GetFileNamePos(text));
    FUZZ_CHECK(ext <= length && name <= length);
    FUZZ_CHECK(ext == length || (text[ext] == '.' && !strchr(text + ext, '\\')));

    std::string copy(text, length);
    char *dir, *base, *extension;
    StrictPath(copy.data(), dir, base, extension);
    for (const char* piece : {dir, base, extension})
        FUZZ_CHECK(piece && (Inside(piece, copy) || !*piece || strcmp(piece, "\\") == 0));
    FUZZ_CHECK(!strchr(base, '\\') && !strchr(extension, '\\') && !strchr(extension, '.'));
    FUZZ_CHECK(strlen(dir) + strlen(base) + strlen(extension) <= length);

    const char *begin = nullptr, *end = nullptr;
    if (FindFileName(text, begin, end)) {
        FUZZ_CHECK(begin >= text && begin <= end && end <= text + length);
        // A quoted name runs to its closing quote, any other to the next blank or the end.
        const bool quoted = begin > text && begin[-1] == '"';
        FUZZ_CHECK(!memchr(begin, quoted ? '"' : ' ', size_t(end - begin)));
        FUZZ_CHECK(quoted ? *end == '"' : (*end == ' ' || *end == 0));
    }

    SplitDrive drive(text);
    FUZZ_CHECK(strncmp(drive.p, text, strlen(drive.p)) == 0);

    UNCFileName unc(text);
    FUZZ_CHECK(strncmp(unc.p, "\\\\?\\", 4) == 0);
    const char* last = strrchr(text, '\\');
    const char* tail = last ? last + 1 : text;
    FUZZ_CHECK(strlen(unc.p) >= strlen(tail) &&
               strcmp(unc.p + strlen(unc.p) - strlen(tail), tail) == 0);
}

void CheckJoin(const std::string& first, const std::string& second, const std::string& third) {
    TFileName joined(first.c_str(), second.c_str(), third.c_str());
    FUZZ_CHECK(joined.p != nullptr);
    FUZZ_CHECK(strlen(joined.p) <= first.size() + second.size() + third.size() + 2);
    if (Plain(first) && Plain(second) && Plain(third))
        FUZZ_CHECK(joined.p == first + "\\" + second + "\\" + third);

    // The same join with the first part taken from the object's own text.
    TFileName own(first.c_str(), nullptr);
    const std::string alone = own.p;
    own.Remake(own.p, second.c_str(), third.c_str());
    TFileName fresh(alone.c_str(), second.c_str(), third.c_str());
    FUZZ_CHECK(strcmp(own.p, fresh.p) == 0);
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    using namespace std::string_literals;
    return {"C:\\dir\\file.txt"s,
            "\\\\server\\share\\dir\0name.log\0.hst"s,
            "  \"C:\\Program Files\\x.exe\" /mem"s,
            "C:file.txt\0\\\\\0..\\"s,
            "\\\\?\\UNC\\s\\x\0"s,
            "a.b:c\\d.\0.e\0f"s};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string parts[3];
    size_t at = 0;
    for (std::string& part : parts) {
        if (at > input.size())
            break;
        const size_t zero = std::min(input.find('\0', at), input.size());
        part = input.substr(at, zero - at);
        at = zero + 1;
    }
    for (const std::string& part : parts)
        CheckSplits(part);
    CheckJoin(parts[0], parts[1], parts[2]);
    return 0;
}
