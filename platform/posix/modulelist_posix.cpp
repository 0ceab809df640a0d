// The loaded modules on POSIX, read from the dynamic loader's debugger list (_r_debug) and the
// ELF headers mapped with each module.
//
// Signal safety. The first crash record lists the modules from inside the signal handler.
// dl_iterate_phdr would take the loader's lock there: a fault inside the loader (or inside
// another dl_iterate_phdr callback) would leave it taken for good once the report throws past
// it. The list that debuggers read needs no lock: the loader marks it consistent in r_state
// whenever it is not changing it, and we read it only then and check the mark again at the end.
// What runs here: plain loads of the loader's list and of mapped headers, getauxval (a read of
// a table) and readlink (async-signal-safe). Nothing allocates; buffers are on the stack.
#include "platform/modulelist.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>

namespace tarn {
namespace {

// More modules than any process of the family loads: a list that seems longer is being
// rewritten under us.
constexpr int kMostModules = 4096;
constexpr size_t kMostIdBytes = 64;

struct Image {
    uintptr_t bias = 0;  // what the loader added to every virtual address of the file
    const ElfW(Phdr) * headers = nullptr;
    int count = 0;
};

// The program headers of a module: for the program itself from the auxiliary vector (its
// first header need not be mapped at its bias), for the others from the ELF header at the
// module's bias, where the first segment of every shared object maps its file's start.
bool ImageOf(const link_map* module, bool program, Image& image) {
    image.bias = module->l_addr;
    if (program) {
        image.headers = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
        image.count = static_cast<int>(getauxval(AT_PHNUM));
        for (int i = 0; i < image.count; ++i)
            if (image.headers[i].p_type == PT_PHDR)
                image.bias = reinterpret_cast<uintptr_t>(image.headers) - image.headers[i].p_vaddr;
        return image.headers != nullptr;
    }
    const auto* elf = reinterpret_cast<const ElfW(Ehdr)*>(module->l_addr);
    if (!elf || elf->e_ident[EI_MAG0] != ELFMAG0 || elf->e_ident[EI_MAG1] != ELFMAG1 ||
        elf->e_ident[EI_MAG2] != ELFMAG2 || elf->e_ident[EI_MAG3] != ELFMAG3)
        return false;
    image.headers = reinterpret_cast<const ElfW(Phdr)*>(module->l_addr + elf->e_phoff);
    image.count = elf->e_phnum;
    return true;
}

// The GNU build-id note of the image, as "elf:" and its digits; "" without one.
void BuildId(const Image& image, char* out) {
    *out = 0;
    for (int i = 0; i < image.count; ++i) {
        const ElfW(Phdr)& segment = image.headers[i];
        if (segment.p_type != PT_NOTE)
            continue;
        uintptr_t note = image.bias + segment.p_vaddr;
        const uintptr_t end = note + segment.p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* header = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const uintptr_t name = note + sizeof *header;
            const uintptr_t desc = name + ((header->n_namesz + 3) & ~3u);
            const uintptr_t next = desc + ((header->n_descsz + 3) & ~3u);
            if (next > end)
                break;
            const char* text = reinterpret_cast<const char*>(name);
            if (header->n_type == NT_GNU_BUILD_ID && header->n_namesz == 4 && text[0] == 'G' &&
                text[1] == 'N' && text[2] == 'U' && text[3] == 0 && header->n_descsz > 0 &&
                header->n_descsz <= kMostIdBytes) {
                out[0] = 'e', out[1] = 'l', out[2] = 'f', out[3] = ':';
                HexDigits(out + 4, reinterpret_cast<const unsigned char*>(desc), header->n_descsz);
                return;
            }
            note = next;
        }
    }
}

// The module as the map lists it; false for one without loaded segments.
bool Describe(const Image& image, LoadedModule& module) {
    uintptr_t low = UINTPTR_MAX, high = 0;
    for (int i = 0; i < image.count; ++i) {
        const ElfW(Phdr)& segment = image.headers[i];
        if (segment.p_type != PT_LOAD)
            continue;
        const uintptr_t begin = image.bias + segment.p_vaddr - segment.p_offset % 4096;
        if (begin < low)
            low = begin;
        if (image.bias + segment.p_vaddr + segment.p_memsz > high)
            high = image.bias + segment.p_vaddr + segment.p_memsz;
    }
    if (high <= low)
        return false;
    module.base = low;
    module.size = high - low;
    return true;
}

}  // namespace

int ListModules(ModuleVisitor visit, void* context) {
    const volatile r_debug& loader = _r_debug;
    if (loader.r_state != r_debug::RT_CONSISTENT)
        return -1;
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    program[length > 0 ? length : 0] = 0;
    char id[4 + 2 * kMostIdBytes + 1];
    int visited = 0;
    const link_map* module = loader.r_map;
    for (int i = 0; module && i < kMostModules; module = module->l_next, ++i) {
        Image image;
        if (!ImageOf(module, i == 0, image))
            continue;
        LoadedModule seen;
        if (!Describe(image, seen))
            continue;
        BuildId(image, id);
        seen.id = id;
        seen.path = i == 0 ? program : module->l_name ? module->l_name : "";
        visit(seen, context);
        ++visited;
    }
    return loader.r_state == r_debug::RT_CONSISTENT && !module ? visited : -1;
}

}  // namespace tarn
