// INI files of any bytes: every answer fits its buffer with its zeros in place, also when cut
// short; a key written reads back as written, and every other key of the file keeps its value.
#include "platform/win32.h"

#include "tests/fuzz/fuzz.h"

#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace {

constexpr DWORD kRoom = 8192;
constexpr int kMostNames = 16;

// The zero-separated names of a list answer.
std::vector<std::string> Names(const char* list, DWORD count) {
    std::vector<std::string> names;
    for (const char* p = list; p < list + count && *p && names.size() < kMostNames;
         p += strlen(p) + 1)
        names.push_back(p);
    return names;
}

void CheckAnswer(DWORD count, const char* out, DWORD size, bool list) {
    FUZZ_CHECK(count <= size - 1);
    FUZZ_CHECK(out[count] == '\0');
    // A list ends in two zeros: after its last name's zero, or, cut short, after size - 2
    // characters.
    if (list)
        FUZZ_CHECK(count <= size - 2 && (count == 0 || out[count - 1] == '\0' ||
                                         (count == size - 2 && out[count + 1] == '\0')));
}

std::string Get(const std::string& file, const char* section, const char* key, DWORD size) {
    std::vector<char> out(size, '\x7F');
    const DWORD count = GetPrivateProfileStringA(section, key, "", out.data(), size, file.c_str());
    CheckAnswer(count, out.data(), size, !section || !key);
    return std::string(out.data(), count);
}

// Every key of the first sections and its value.
std::map<std::pair<std::string, std::string>, std::string> Contents(const std::string& file) {
    std::map<std::pair<std::string, std::string>, std::string> contents;
    std::string sections = Get(file, nullptr, nullptr, kRoom);
    for (const std::string& section : Names(sections.c_str(), DWORD(sections.size()))) {
        std::string keys = Get(file, section.c_str(), nullptr, kRoom);
        for (const std::string& key : Names(keys.c_str(), DWORD(keys.size())))
            contents.emplace(std::pair(section, key),
                             Get(file, section.c_str(), key.c_str(), kRoom));
        std::vector<char> lines(kRoom);
        CheckAnswer(GetPrivateProfileSectionA(section.c_str(), lines.data(), kRoom, file.c_str()),
                    lines.data(), kRoom, true);
        // Cut answers keep their zeros inside the buffer.
        Get(file, section.c_str(), nullptr, 3);
        if (!keys.empty())
            Get(file, section.c_str(), keys.c_str(), 2);
    }
    return contents;
}

// A text the file keeps as it is: printable, without blanks at the ends or surrounding quotes,
// and without the characters that end a name.
std::string Plain(const std::string& text, const char* forbidden) {
    std::string plain;
    for (char c : text)
        if (c > ' ' && c < 0x7F && !strchr(forbidden, c))
            plain += c;
    if (plain.size() > 40)
        plain.resize(40);
    while (!plain.empty() && (plain.front() == '"' || plain.front() == '\''))
        plain.erase(0, 1);
    return plain.empty() ? "v" : plain;
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    return {"[Log]\r\nLevel = 3\r\n; comment\r\nPath=\"C:\\x\"\r\n[Other]\nk=v",
            "\xEF\xBB\xBF[a]\nb=c\n[A]\nB=duplicate",
            "no section=1\n[s]\nkey",
            "[s]\nx=1\n[",
            std::string("\xFF\xFE[\0s\0]\0\n\0k\0=\0w\0", 16),
            "[ spaced ]\n  key  =  'q'  \n"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 14)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    tarn::fuzz::WriteFile("profile.ini", input);
    const std::string file = tarn::fuzz::ScratchPath("profile.ini");
    auto before = Contents(file);

    std::string section = "fuzz";
    if (!before.empty() &&
        before.begin()->first.first == Plain(before.begin()->first.first, "[]=;"))
        section = before.begin()->first.first;
    const std::string key = "fuzzkey" + std::to_string(before.size());
    const std::string value = Plain(input.substr(size / 2), "");
    if (before.count(std::pair(section, key)))
        return 0;
    FUZZ_CHECK(
        WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str()));
    FUZZ_CHECK(Get(file, section.c_str(), key.c_str(), kRoom) == value);
    auto after = Contents(file);
    for (const auto& [name, old] : before)
        FUZZ_CHECK(after.count(name) && after[name] == old);
    return 0;
}
