// The resolver: each module file opened once, checked against the build the map names, its
// addresses looked up through llvm::symbolize::LLVMSymbolizer; results are kept, as the same
// return addresses recur in every stack of a file.
#include "log/symbolize/resolver.h"

#include <llvm/DebugInfo/Symbolize/Symbolize.h>
#include <llvm/Object/COFF.h>
#include <llvm/Object/ELFObjectFile.h>
#include <llvm/Object/ObjectFile.h>
#include <llvm/Support/Error.h>

#include <cstdio>
#include <sys/stat.h>

namespace tarn::symbolize {
namespace {

using llvm::object::ObjectFile;

std::string Hex(uint64_t value, int digits = 1) {
    char text[32];
    snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string HexBytes(llvm::ArrayRef<uint8_t> bytes) {
    std::string text;
    for (uint8_t byte : bytes)
        text += Hex(byte, 2);
    return text;
}

// The image's first address in the file's own addresses (the lowest loaded page) and its
// GNU build id.
template <class ELFT>
bool ReadElf(const ObjectFile& object, uint64_t& imageBase, std::string& id) {
    const auto* elf = llvm::dyn_cast<llvm::object::ELFObjectFile<ELFT>>(&object);
    if (!elf)
        return false;
    auto headers = elf->getELFFile().program_headers();
    if (!headers) {
        llvm::consumeError(headers.takeError());
        return true;
    }
    uint64_t lowest = UINT64_MAX;
    for (const auto& header : *headers) {
        if (header.p_type == llvm::ELF::PT_LOAD && header.p_vaddr - header.p_offset % 4096 < lowest)
            lowest = header.p_vaddr - header.p_offset % 4096;
        if (header.p_type != llvm::ELF::PT_NOTE)
            continue;
        llvm::Error error = llvm::Error::success();
        for (const auto& note : elf->getELFFile().notes(header, error))
            if (note.getType() == llvm::ELF::NT_GNU_BUILD_ID && note.getName() == "GNU")
                id = "elf:" + HexBytes(note.getDesc());
        llvm::consumeError(std::move(error));
    }
    imageBase = lowest == UINT64_MAX ? 0 : lowest;
    return true;
}

// The image base and the identifier the map gives a PE image: its CodeView GUID and age, or
// its time stamp and size.
bool ReadCoff(const ObjectFile& object, uint64_t& imageBase, std::string& id) {
    const auto* coff = llvm::dyn_cast<llvm::object::COFFObjectFile>(&object);
    if (!coff)
        return false;
    imageBase = coff->getImageBase();
    const llvm::codeview::DebugInfo* info = nullptr;
    llvm::StringRef pdb;
    if (llvm::Error error = coff->getDebugPDBInfo(info, pdb)) {
        llvm::consumeError(std::move(error));
        info = nullptr;
    }
    if (info && info->Signature.CVSignature == llvm::OMF::Signature::PDB70) {
        const uint8_t* g = info->PDB70.Signature;
        const uint32_t data1 =
            uint32_t(g[0]) | uint32_t(g[1]) << 8 | uint32_t(g[2]) << 16 | uint32_t(g[3]) << 24;
        id = "pdb:" + Hex(data1, 8) + Hex(uint32_t(g[4]) | uint32_t(g[5]) << 8, 4) +
             Hex(uint32_t(g[6]) | uint32_t(g[7]) << 8, 4) +
             HexBytes(llvm::ArrayRef<uint8_t>(g + 8, 8)) + Hex(info->PDB70.Age);
        return true;
    }
    uint32_t size = 0;
    if (coff->getPE32PlusHeader())
        size = coff->getPE32PlusHeader()->SizeOfImage;
    else if (coff->getPE32Header())
        size = coff->getPE32Header()->SizeOfImage;
    id = "pe:" + Hex(coff->getTimeDateStamp(), 8) + Hex(size);
    return true;
}

bool Known(const std::string& text) { return !text.empty() && text != llvm::DILineInfo::BadString; }

}  // namespace

struct Resolver::Symbolizer {
    llvm::symbolize::LLVMSymbolizer llvm;

    static llvm::symbolize::LLVMSymbolizer::Options Options() {
        llvm::symbolize::LLVMSymbolizer::Options options;
        options.Demangle = true;
        options.UseSymbolTable = true;
        return options;
    }
    Symbolizer() : llvm(Options()) {}
};

struct Resolver::Binary {
    llvm::object::OwningBinary<ObjectFile> file;
    uint64_t imageBase = 0;  // the file's own address of the image's first byte
    bool usable = false;
};

Resolver::Resolver(std::string winePrefix, void (*warn)(const std::string& text))
    : winePrefix_(std::move(winePrefix)), warn_(warn), symbolizer_(new Symbolizer) {}

Resolver::~Resolver() = default;

Resolver::Binary& Resolver::Open(const MapModule& module) {
    std::unique_ptr<Binary>& slot = binaries_[{module.path, module.base}];
    if (slot)
        return *slot;
    slot.reset(new Binary);
    const std::string path = HostPath(module.path, winePrefix_);
    struct stat status;
    if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        warn_(module.path + ": no such file here");
        return *slot;
    }
    auto file = ObjectFile::createObjectFile(path);
    if (!file) {
        warn_(module.path + ": " + llvm::toString(file.takeError()));
        return *slot;
    }
    slot->file = std::move(*file);
    const ObjectFile& object = *slot->file.getBinary();
    std::string id;
    if (!ReadElf<llvm::object::ELF64LE>(object, slot->imageBase, id) &&
        !ReadElf<llvm::object::ELF32LE>(object, slot->imageBase, id) &&
        !ReadCoff(object, slot->imageBase, id)) {
        warn_(module.path + ": neither an ELF nor a PE image");
        return *slot;
    }
    if (id.empty())
        id = "-";
    if (module.id != id) {
        warn_(module.path + ": another build than the process ran (" + id + ", not " + module.id +
              ")");
        return *slot;
    }
    slot->usable = true;
    return *slot;
}

std::string Resolver::Describe(const MapModule& module, uint64_t address, bool returns) {
    const std::string name = ModuleName(module.path);
    const uint64_t offset = address - module.base;
    const std::string plain = name + "+0x" + Hex(offset);
    Binary& binary = Open(module);
    if (!binary.usable)
        return plain;
    // A return address follows its call: the call's line is the one before it.
    const uint64_t lookup = binary.imageBase + offset - (returns && offset ? 1 : 0);
    std::string& text = described_[{module.path, lookup}];
    if (!text.empty())
        return text;

    auto frames = symbolizer_->llvm.symbolizeInlinedCode(
        *binary.file.getBinary(), {lookup, llvm::object::SectionedAddress::UndefSection});
    if (!frames) {
        warn_(module.path + ": " + llvm::toString(frames.takeError()));
        return text = plain;
    }
    const uint32_t count = frames->getNumberOfFrames();
    for (uint32_t i = 0; i < count; ++i) {
        const llvm::DILineInfo& frame = frames->getFrame(i);
        if (!Known(frame.FunctionName))
            continue;
        if (!text.empty())
            text += ", inlined into ";
        text += name + "!" + frame.FunctionName;
        const bool outermost = i + 1 == count;
        if (outermost && frame.StartAddress && *frame.StartAddress <= lookup)
            text += "+0x" + Hex(binary.imageBase + offset - *frame.StartAddress);
        if (Known(frame.FileName))
            text += " (" + frame.FileName + ":" + std::to_string(frame.Line) + ")";
        else if (outermost)
            text += " (" + plain + ")";
    }
    if (text.empty())
        text = plain;
    return text;
}

}  // namespace tarn::symbolize
