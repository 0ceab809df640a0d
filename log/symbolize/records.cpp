// Reading the module map and finding the code addresses and the runs in record files.
#include "log/symbolize/records.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>

namespace tarn::symbolize {
namespace {

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The hexadecimal number at `at` (after an optional "0x"); false when there are no digits.
bool HexAt(std::string_view line, size_t at, CodeAddress& found) {
    if (line.substr(at, 2) == "0x")
        at += 2;
    size_t end = at;
    while (end < line.size() && IsHex(line[end]))
        ++end;
    if (end == at || end - at > 16)
        return false;
    found.begin = at;
    found.end = end;
    found.value = std::stoull(std::string(line.substr(at, end - at)), nullptr, 16);
    return true;
}

void Add(std::vector<CodeAddress>& out, std::string_view line, size_t at, bool returns) {
    CodeAddress found;
    found.returns = returns;
    if (!HexAt(line, at, found))
        return;
    for (const CodeAddress& known : out)
        if (known.begin == found.begin)
            return;
    out.push_back(found);
}

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string_view::npos; start = end + 1)
        parts.emplace_back(text.substr(start, end - start));
    parts.emplace_back(text.substr(start));
    return parts;
}

}  // namespace

std::vector<MapBlock> ReadMap(std::string_view text) {
    static const std::regex process(
        R"(process (\d+) started (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) at (.*))");
    static const std::regex module(R"(module 0x([0-9A-Fa-f]+) 0x([0-9A-Fa-f]+) (\S+) (.*))");
    static const std::regex closing(R"(modules (\d+|incomplete))");
    std::vector<MapBlock> blocks;
    for (std::string line : Split(text, '\n')) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::smatch m;
        if (std::regex_match(line, m, process)) {
            MapBlock block;
            block.pid = std::stoul(m[1]);
            block.started = m[2];
            block.occasion = m[3];
            blocks.push_back(std::move(block));
        } else if (blocks.empty()) {
            continue;
        } else if (std::regex_match(line, m, module)) {
            MapModule entry;
            entry.base = std::stoull(m[1], nullptr, 16);
            entry.size = std::stoull(m[2], nullptr, 16);
            entry.id = m[3];
            entry.path = m[4];
            blocks.back().modules.push_back(std::move(entry));
        } else if (std::regex_match(line, m, closing)) {
            blocks.back().complete =
                m[1] != "incomplete" && std::stoul(m[1]) == blocks.back().modules.size();
        }
    }
    return blocks;
}

std::vector<MapModule> ModulesOfRun(const std::vector<MapBlock>& blocks, const std::string& started,
                                    const std::vector<uint64_t>& addresses) {
    std::map<unsigned long, std::vector<MapModule>> processes;
    std::vector<unsigned long> order;
    for (const MapBlock& block : blocks) {
        if (block.started != started)
            continue;
        auto [at, isNew] = processes.try_emplace(block.pid);
        if (isNew)
            order.push_back(block.pid);
        for (const MapModule& module : block.modules) {
            const auto same = [&](const MapModule& m) {
                return m.base == module.base && m.path == module.path;
            };
            const bool known = std::any_of(at->second.begin(), at->second.end(), same);
            if (!known)
                at->second.push_back(module);
        }
    }
    std::vector<MapModule> best;
    size_t bestHeld = 0;
    for (unsigned long pid : order) {
        const std::vector<MapModule>& modules = processes[pid];
        size_t held = 0;
        for (uint64_t address : addresses)
            held += std::any_of(modules.begin(), modules.end(),
                                [&](const MapModule& m) { return m.Holds(address); });
        if (best.empty() || held > bestHeld) {
            best = modules;
            bestHeld = held;
        }
    }
    return best;
}

std::vector<CodeAddress> FindCodeAddresses(std::string_view line) {
    std::vector<CodeAddress> found;
    // Stack lines of the crash records: every entry is a return address.
    const bool stackLine = line.find("[Advanced STACK:") != std::string_view::npos ||
                           line.find("[STACK:") != std::string_view::npos;
    for (size_t at = line.find("IP="); at != std::string_view::npos;
         at = line.find("IP=", at + 1)) {
        const bool allocator = (at >= 10 && line.substr(at - 10, 10) == "allocator ") ||
                               (at >= 8 && line.substr(at - 8, 8) == "caller E");
        const bool stackEntry = stackLine && at >= 2 && line.substr(at - 2, 2) == " E";
        Add(found, line, at + 3, allocator || stackEntry);
    }
    // The memory report's lists: " 0x..." after "STACK:".
    for (size_t at = line.find("STACK:"); at != std::string_view::npos;
         at = line.find("STACK:", at + 1)) {
        CodeAddress entry;
        entry.returns = true;
        for (size_t p = at + 6; line.substr(p, 3) == " 0x" && HexAt(line, p + 1, entry);
             p = entry.end)
            Add(found, line, entry.begin, true);
    }
    // Mark records: "[%d]:%X->%X" and the INVALID records, the frame and its return address.
    for (size_t at = line.find("->"); at != std::string_view::npos; at = line.find("->", at + 1))
        Add(found, line, at + 2, true);
    std::sort(found.begin(), found.end(),
              [](const CodeAddress& a, const CodeAddress& b) { return a.begin < b.begin; });
    // Zero entries fill the memory report's lists and stand for no frame.
    std::erase_if(found, [](const CodeAddress& a) { return a.value == 0; });
    return found;
}

std::string RunStart(std::string_view line, bool& opens) {
    static const std::regex header(R"(// (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d))");
    static const std::regex since(R"([Ww]orking since.*?(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d))");
    std::match_results<std::string_view::const_iterator> m;
    if (std::regex_search(line.begin(), line.end(), m, since)) {
        opens = false;
        return m[1];
    }
    if (std::regex_search(line.begin(), line.end(), m, header)) {
        opens = true;
        return m[1];
    }
    return "";
}

std::string HostPath(const std::string& path, const std::string& winePrefix) {
    std::string p = path;
    if (p.rfind("\\\\?\\", 0) == 0)
        p = p.substr(4);
    const bool drive = p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) &&
                       p[1] == ':' && (p[2] == '\\' || p[2] == '/');
    if (!drive)
        return p;
    std::string rest = p.substr(3);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    const char letter = char(std::tolower(static_cast<unsigned char>(p[0])));
    if (letter == 'z')
        return "/" + rest;
    if (winePrefix.empty())
        return "";
    return winePrefix + "/dosdevices/" + letter + ":/" + rest;
}

std::string ModuleName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tarn::symbolize
