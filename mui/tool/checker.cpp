#include "mui/tool/checker.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace tarn::mui {
namespace {

namespace fs = std::filesystem;

// The texts of every table of the directory, by identifier (the first of duplicates).
std::map<uint32_t, Text> ReadDirectory(const std::string& directory, Problems& problems) {
    std::map<uint32_t, Text> texts;
    const std::string description = (fs::path(directory) / "langid.cfg").string();
    bool ok = false;
    const std::string bytes = ReadFile(description, ok);
    uint32_t id;
    std::string name;
    if (!ok)
        problems.Add(description, 0, "cannot be read");
    else if (!ReadDescription(bytes, id, name))
        problems.Add(description, 1, "does not begin with a language identifier and a line end");
    std::error_code error;
    std::vector<fs::path> tables;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        if (entry.path().extension() == ".mui")
            tables.push_back(entry.path());
    }
    if (error)
        problems.Add(directory, 0, "cannot be listed: " + error.message());
    std::sort(tables.begin(), tables.end());
    std::vector<Text> all;
    for (const fs::path& table : tables) {
        const std::string content = ReadFile(table.string(), ok);
        if (!ok) {
            problems.Add(table.string(), 0, "cannot be read");
            continue;
        }
        for (Text& text : ReadTable(table.string(), content, problems))
            all.push_back(text);
    }
    CheckUnique(all, problems);
    for (const Text& text : all)
        texts.emplace(text.id, text);
    return texts;
}

}  // namespace

void CheckLanguage(const std::string& language, const std::string& defaults, Problems& problems) {
    const std::map<uint32_t, Text> expected = ReadDirectory(defaults, problems);
    const std::map<uint32_t, Text> given = ReadDirectory(language, problems);
    for (const auto& [id, text] : expected) {
        auto found = given.find(id);
        if (found == given.end()) {
            problems.Add(language, 0,
                         "identifier " + std::to_string(id) + " of " + text.file + " is missing");
        } else if (Conversions(found->second.text) != Conversions(text.text)) {
            problems.Add(found->second.file, found->second.line,
                         "identifier " + std::to_string(id) + " has the conversions \"" +
                             Conversions(found->second.text) + "\" where the default has \"" +
                             Conversions(text.text) + "\"");
        }
    }
    for (const auto& [id, text] : given) {
        if (!expected.count(id))
            problems.Add(text.file, text.line,
                         "identifier " + std::to_string(id) + " is not in the default language");
    }
}

}  // namespace tarn::mui
