// Resolving a code address of a mapped module to its function and line, from the module's
// file on this machine (ELF, or PE with DWARF) through LLVM's symbolizer.
#pragma once

#include "log/symbolize/records.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

namespace tarn::symbolize {

class Resolver {
public:
    // `winePrefix` finds the drives other than Z: of Windows paths; `warn` is told once per
    // module what keeps it from being resolved (file missing, another build, no debug data).
    Resolver(std::string winePrefix, void (*warn)(const std::string& text));
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // "module!function+0x1A (file:line)", with the functions inlined at the address first
    // ("module!inner (file:line), inlined into module!outer+0x1A (file:line)"). Without debug
    // data, what the symbol table gives and "(module+0x1234)"; without the module's file, only
    // "module+0x1234".
    std::string Describe(const MapModule& module, uint64_t address, bool returns);

private:
    struct Binary;
    Binary& Open(const MapModule& module);

    std::string winePrefix_;
    void (*warn_)(const std::string& text);
    struct Symbolizer;
    std::unique_ptr<Symbolizer> symbolizer_;
    std::map<std::pair<std::string, uint64_t>, std::unique_ptr<Binary>> binaries_;
    std::map<std::pair<std::string, uint64_t>, std::string> described_;
};

}  // namespace tarn::symbolize
