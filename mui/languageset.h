// A loaded language: its text tables merged into one index sorted by identifier, and its
// resource modules; and the directories below the language root that describe a language.
#pragma once

#include "tarnkernl/files.h"
#include "tarnkernl/text.h"

#include "platform/win32.h"

#include <cstddef>

namespace tarn {

// "MUI" beside the executable.
TFileName LanguageRoot();

// What a "langid.cfg" says: the language's identifier and its display name (`nameLength`
// units at `name`, inside the parsed text).
struct LanguageDescription {
    unsigned int identifier;
    const WCHAR* name;
    size_t nameLength;
};

// The bytes a "langid.cfg" may have.
constexpr unsigned long kLargestDescription = 1000000;

// Parses the `size` bytes of a "langid.cfg" read into `text`, which holds (size + 16) / 2
// units with the ones behind the data zero. False when it describes no language.
TARN_API bool ParseLanguageDescription(const WCHAR* text, unsigned long size,
                                       LanguageDescription& out);

// Told about one language directory; answers whether to go on.
typedef bool (*LanguageVisitor)(const char* directory, unsigned int identifier, const WCHAR* name,
                                void* context);
// Visits the directories of `root` whose "langid.cfg" describes a language, in the order the
// directory search gives.
TARN_API void EnumLanguageDirectories(const char* root, LanguageVisitor visitor, void* context);

// A resource module of a language, loaded as data: serves the modules whose file name is its
// base name followed by a dot.
class TARN_API MuiResourceModule {
public:
    HINSTANCE module = nullptr;
    str baseName;

    MuiResourceModule() = default;
    ~MuiResourceModule();
    MuiResourceModule(const MuiResourceModule&) = delete;
    MuiResourceModule& operator=(const MuiResourceModule&) = delete;

    // Loads `file` of `directory` when its extension is ".rmui" (in any case).
    bool Load(const char* directory, const char* file);
    // True for a module file name (without directory) that begins with the base name and a dot.
    bool Serves(const char* fileName) const;
};

class TARN_API MuiLanguageSet {
public:
    pVector<char*> buffers;           // the text tables, each ending in an added zero
    pConstVector<const char*> index;  // the records, sorted by identifier
    Vector<uint32_t> ids;             // their identifiers in the same order, searched
    Vector<uint64_t> present;         // a bit per hash of the identifiers held
    unsigned presentBits = 0;         // log2 of the bits in `present`
    pVector<MuiResourceModule*> modules;
    str directory;  // empty until a directory was loaded
    unsigned int identifier;
    Vector<WCHAR> displayName;  // with its terminator; empty without one

    // The set of `identifier`: the first directory of `root` that describes it, or empty.
    MuiLanguageSet(unsigned int identifier, const char* root);
    MuiLanguageSet(const MuiLanguageSet&) = delete;
    MuiLanguageSet& operator=(const MuiLanguageSet&) = delete;

    // Loads the language directory when it describes this set's language.
    bool Load(const char* path, unsigned int languageId, const WCHAR* name);
    // The text of the string `id`, or null.
    const char* Find(unsigned int id) const;
    // The first resource module that serves `fileName` when it holds the resource, or null.
    HINSTANCE FindModule(const char* fileName, const char* name, const char* type) const;

    // The records of a text table of `size` bytes with its added zero: an identifier of four
    // bytes and a text that ends in a zero, taken while five bytes are left.
    void AddRecords(const char* table, unsigned long size);

private:
    void LoadTables(const char* path);
    void BuildSearch();
    uint32_t PresentBit(uint32_t id) const;
    void LoadModules(const char* path);
};

}  // namespace tarn
