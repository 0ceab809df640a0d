#include "mui/languageset.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tarn {
namespace {

// The bytes a text table may have.
constexpr unsigned long kLargestTable = 100000000;

bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

bool IsLineEnd(WCHAR c) { return c == u'\r' || c == u'\n'; }

unsigned int RecordId(const char* record) {
    uint32_t id;
    memcpy(&id, record, sizeof id);
    return id;
}

void DeleteBuffer(char** buffer) { delete[] * buffer; }

// True when the text after the last dot of `name` is `extension` (with its dot), in any case.
bool HasExtension(const char* name, const char* extension) {
    const char* dot = strrchr(name, '.');
    return dot && _stricmp(dot, extension) == 0;
}

// Calls `each` with the name of every file of `directory` whose extension is `extension`.
// Windows' search for "*.mui" also gives "a.muix": the extension is checked here.
template <class Each>
void ForEachFile(const char* directory, const char* extension, Each each) {
    WIN32_FIND_DATAA found;
    void* search = UNI_FindFirstFile(TFileName(directory, str("*", extension).p).p, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            HasExtension(found.cFileName, extension))
            each(static_cast<const char*>(found.cFileName));
    } while (UNI_FindNextFile(search, &found));
    FindClose(search);
}

// Reads the whole file into a buffer of `room(size)` zeroed bytes; null when it cannot be
// opened, when its size is outside 1..`largest` or when memory runs out.
template <class Room>
char* LoadWholeFile(const char* name, unsigned long largest, unsigned long& size, Room room,
                    bool needWhole) {
    TFileHandle file;
    if (!file.open(name, 0, 3))
        return nullptr;
    size = file.size();
    if (size == 0 || size > largest)
        return nullptr;
    const size_t bytes = room(size);
    char* buffer = new (std::nothrow) char[bytes]();
    if (!buffer)
        return nullptr;
    const unsigned long read = file.read(buffer, size);
    if (needWhole && read != size) {
        delete[] buffer;
        return nullptr;
    }
    size = read;
    return buffer;
}

}  // namespace

TFileName LanguageRoot() { return TFileName(TModuleDir(nullptr).p, "MUI"); }

bool ParseLanguageDescription(const WCHAR* text, unsigned long size, LanguageDescription& out) {
    const WCHAR* p = text;
    // One leading unit that is not a digit (the byte-order mark) is skipped; the end lies
    // size / 2 units after the first unit kept, inside the zeroed room behind the data.
    if (!IsDigit(*p))
        ++p;
    const WCHAR* end = p + size / 2;
    if (p >= end || !IsDigit(*p))
        return false;
    unsigned int identifier = 0;
    for (const WCHAR* digit = p; digit < end && IsDigit(*digit); ++digit)
        identifier = identifier * 10 + unsigned(*digit - u'0');
    while (p < end && !IsLineEnd(*p))
        ++p;
    if (p == end)
        return false;
    while (p < end && IsLineEnd(*p))
        ++p;
    const WCHAR* name = p;
    while (p < end && !IsLineEnd(*p) && *p)
        ++p;
    out = {identifier, name, size_t(p - name)};
    return true;
}

void EnumLanguageDirectories(const char* root, LanguageVisitor visitor, void* context) {
    if (!visitor)
        return;
    WIN32_FIND_DATAA found;
    void* search = UNI_FindFirstFile(TFileName(root, "*").p, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    bool goOn = true;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        TFileName directory(root, found.cFileName);
        TFileName description(directory.p, "langid.cfg");
        if (!existfile(description.p))
            continue;
        unsigned long size;
        char* text = LoadWholeFile(
            description.p, kLargestDescription, size,
            [](unsigned long n) { return size_t((n + 16) / 2) * 2; }, true);
        if (!text)
            continue;
        LanguageDescription language;
        if (ParseLanguageDescription(reinterpret_cast<const WCHAR*>(text), size, language)) {
            // The name ends where its line ends.
            WCHAR* name = const_cast<WCHAR*>(language.name);
            name[language.nameLength] = 0;
            goOn = visitor(directory.p, language.identifier, name, context);
        }
        delete[] text;
    } while (goOn && UNI_FindNextFile(search, &found));
    FindClose(search);
}

MuiResourceModule::~MuiResourceModule() {
    if (module)
        FreeLibrary(module);
}

bool MuiResourceModule::Load(const char* directory, const char* file) {
    // A name or base name that found no memory is null: such a module is not loaded.
    TFullName full(TFileName(directory, file).p);
    if (!full.p || !HasExtension(full.p, ".rmui"))
        return false;
    const char* dot = strrchr(full.p, '.');
    const char* name = strrchr(full.p, '\\');
    name = name ? name + 1 : full.p;
    if (!baseName.AssignN(name, int(dot - name)))
        return false;
    module = LoadLibraryExA(full.p, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module != nullptr;
}

bool MuiResourceModule::Serves(const char* fileName) const {
    const size_t n = strlen(baseName.p);
    return _strnicmp(fileName, baseName.p, n) == 0 && fileName[n] == '.';
}

MuiLanguageSet::MuiLanguageSet(unsigned int identifier, const char* root)
    : buffers(DeleteBuffer), identifier(identifier) {
    EnumLanguageDirectories(
        root,
        [](const char* path, unsigned int id, const WCHAR* name, void* set) {
            return !static_cast<MuiLanguageSet*>(set)->Load(path, id, name);
        },
        this);
}

bool MuiLanguageSet::Load(const char* path, unsigned int languageId, const WCHAR* name) {
    if (languageId != identifier || !path || !path[0])
        return false;
    // Without memory for its name the directory is not loaded; the set stays empty.
    if (!(directory = path)) {
        directory.Clear();
        return false;
    }
    displayName.Clear();
    size_t length = 0;
    while (name && name[length])
        ++length;
    if (name && displayName.SetCount(uint32_t(length + 1)))
        memcpy(displayName.At(0), name, (length + 1) * sizeof(WCHAR));
    if (!existdirectory(path))
        return false;
    index.Clear();
    ids.Clear();
    buffers.Clear();
    modules.Clear();
    LoadTables(path);
    LoadModules(path);
    return true;
}

void MuiLanguageSet::LoadTables(const char* path) {
    ForEachFile(path, ".mui", [&](const char* file) {
        unsigned long size;
        char* table = LoadWholeFile(
            TFileName(path, file).p, kLargestTable, size,
            [](unsigned long n) { return size_t(n) + 1; }, false);
        if (!table)
            return;
        if (!buffers.Append(table)) {
            delete[] table;
            return;
        }
        AddRecords(table, size);
    });
    auto** first = static_cast<const char**>(index.data);
    std::sort(first, first + index.Count(),
              [](const char* a, const char* b) { return RecordId(a) < RecordId(b); });
    BuildSearch();
}

// The search reads the identifiers packed together, four bytes each, where the records
// themselves lie all over the tables; most identifiers that are not there are turned away by
// their bit in `present` (about 16 bits for each one that is) without a search.
void MuiLanguageSet::BuildSearch() {
    const uint32_t count = index.Count();
    presentBits = 6;
    while (presentBits < 26 && (uint64_t(1) << presentBits) < uint64_t(count) * 16)
        ++presentBits;
    if (!ids.SetCount(count) || !present.SetCount(uint32_t(1) << (presentBits - 6))) {
        index.Clear();
        ids.Clear();
        present.Clear();
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t id = RecordId(*index.At(i));
        *ids.At(i) = id;
        const uint32_t bit = PresentBit(id);
        *present.At(bit >> 6) |= uint64_t(1) << (bit & 63);
    }
}

uint32_t MuiLanguageSet::PresentBit(uint32_t id) const {
    return uint32_t(id * 0x9E3779B1u) >> (32 - presentBits);
}

void MuiLanguageSet::LoadModules(const char* path) {
    ForEachFile(path, ".rmui", [&](const char* file) {
        auto* module = new (std::nothrow) MuiResourceModule;
        if (!module)
            return;
        if (!module->Load(path, file) || !modules.Append(module))
            delete module;
    });
}

void MuiLanguageSet::AddRecords(const char* table, unsigned long size) {
    for (unsigned long at = 0; size - at >= 5;) {
        if (!index.Append(table + at))
            return;
        at += 4;
        at += strlen(table + at) + 1;
        if (at > size)
            return;
    }
}

const char* MuiLanguageSet::Find(unsigned int id) const {
    const uint32_t count = ids.Count();
    if (count == 0)
        return nullptr;
    const uint32_t bit = PresentBit(id);
    if (!(*present.At(bit >> 6) >> (bit & 63) & 1))
        return nullptr;
    // Halving without a branch on the comparison, which no predictor can guess.
    const auto* base = static_cast<const uint32_t*>(ids.data);
    for (uint32_t n = count; n > 1;) {
        const uint32_t half = n / 2;
        base = base[half] <= id ? base + half : base;
        n -= half;
    }
    return *base == id ? *index.At(uint32_t(base - static_cast<const uint32_t*>(ids.data))) + 4
                       : nullptr;
}

HINSTANCE MuiLanguageSet::FindModule(const char* fileName, const char* name,
                                     const char* type) const {
    for (uint32_t i = 0; i < modules.Count(); ++i) {
        const MuiResourceModule* module = *modules.At(i);
        if (module->Serves(fileName))
            return FindResourceA(module->module, name, type) ? module->module : nullptr;
    }
    return nullptr;
}

}  // namespace tarn
