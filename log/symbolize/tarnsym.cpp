// tarnsym: a log, history or exception file of the family with every code address resolved.
// It prints the file as it stands and, below each line that holds code addresses, one line
// per address: "      at 0x<address> module!function+0x1A (file:line)". The module map beside
// the file ("<program>.map") says which modules the run that wrote each record had loaded.
//
//   tarnsym [--map FILE] [--wine-prefix DIR] FILE
#include "log/symbolize/records.h"
#include "log/symbolize/resolver.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tarn::symbolize;

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

void Warn(const std::string& text) { std::cerr << "tarnsym: " << text << "\n"; }

struct Line {
    std::string_view text;  // without its end
    std::string_view end;   // "\r\n", "\n" or nothing
    std::vector<CodeAddress> addresses;
    size_t run = 0;
};

struct Run {
    std::string started;
    std::vector<uint64_t> addresses;
    std::vector<MapModule> modules;
};

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        const size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
        Line line;
        line.text = text.substr(0, length);
        size_t body = line.text.size();
        if (body && line.text[body - 1] == '\n')
            --body;
        if (body && line.text[body - 1] == '\r')
            --body;
        line.end = line.text.substr(body);
        line.text = line.text.substr(0, body);
        lines.push_back(line);
        text.remove_prefix(length);
    }
    return lines;
}

const MapModule* ModuleOf(const std::vector<MapModule>& modules, uint64_t address) {
    for (const MapModule& module : modules)
        if (module.Holds(address))
            return &module;
    return nullptr;
}

int Usage() {
    std::cerr << "usage: tarnsym [--map FILE] [--wine-prefix DIR] FILE\n"
                 "  FILE   a .log, .hst or .exc file of the family\n"
                 "  --map  the module map (default: FILE with the extension .map)\n"
                 "  --wine-prefix  the Wine prefix the program ran in, for drives other than Z:\n"
                 "                 (default: $WINEPREFIX)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, mapPath;
    const char* prefix = getenv("WINEPREFIX");
    std::string winePrefix = prefix ? prefix : "";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--map" && i + 1 < argc)
            mapPath = argv[++i];
        else if (argument == "--wine-prefix" && i + 1 < argc)
            winePrefix = argv[++i];
        else if (argument.rfind("--", 0) == 0 || !input.empty())
            return Usage();
        else
            input = argument;
    }
    if (input.empty())
        return Usage();
    if (mapPath.empty()) {
        const size_t dot = input.find_last_of('.');
        const size_t slash = input.find_last_of('/');
        mapPath = (dot == std::string::npos || (slash != std::string::npos && dot < slash)
                       ? input
                       : input.substr(0, dot)) +
                  ".map";
    }
    std::string text, map;
    if (!ReadFile(input, text)) {
        Warn(input + ": cannot be read");
        return 1;
    }
    if (!ReadFile(mapPath, map))
        Warn(mapPath + ": cannot be read; addresses stay as they are");
    const std::vector<MapBlock> blocks = ReadMap(map);

    // Which run wrote each line, and the addresses of each run.
    std::vector<Line> lines = SplitLines(text);
    std::vector<Run> runs(1);
    for (Line& line : lines) {
        bool opens = false;
        const std::string started = RunStart(line.text, opens);
        if (opens)
            runs.push_back({started, {}, {}});
        else if (!started.empty())
            runs.back().started = started;
        line.run = runs.size() - 1;
        line.addresses = FindCodeAddresses(line.text);
        for (const CodeAddress& address : line.addresses)
            runs.back().addresses.push_back(address.value);
    }
    for (Run& run : runs)
        if (!run.started.empty() && !run.addresses.empty())
            run.modules = ModulesOfRun(blocks, run.started, run.addresses);

    Resolver resolver(winePrefix, &Warn);
    std::string out;
    for (const Line& line : lines) {
        out.append(line.text).append(line.end);
        const std::string end = line.end.empty() ? "\n" : std::string(line.end);
        if (line.end.empty() && !line.addresses.empty())
            out += end;
        for (const CodeAddress& address : line.addresses) {
            const std::vector<MapModule>& modules = runs[line.run].modules;
            const MapModule* module = ModuleOf(modules, address.value);
            const size_t digits = address.end - address.begin;
            out.append("      at 0x").append(line.text.substr(address.begin, digits)).append(" ");
            if (module)
                out += resolver.Describe(*module, address.value, address.returns);
            else
                out += modules.empty() ? "(no module map for this run)" : "(in no module)";
            out += end;
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
