// The instance library: object factories collected from modules, asked in their order.
#include "tarnkernl/modules.h"

#include <cstring>

namespace {

// The members answer for a null library. The compiler may take `this` as never null, so the
// test goes through a value it cannot see the origin of.
const TInstanceLibrary* Opaque(const TInstanceLibrary* library) {
    asm("" : "+r"(library));
    return library;
}

const TInstanceDescriptor* Descriptor(const TInstanceLibrary* library, uint32_t index) {
    return static_cast<const TInstanceDescriptor*>(*library->At(index));
}

}  // namespace

void* TInstanceLibrary::ConstructByName(const char* name, void* argument) {
    const TInstanceLibrary* self = Opaque(this);
    if (!self || !name)
        return nullptr;
    for (uint32_t i = 0; i < self->Count(); ++i) {
        const TInstanceDescriptor* descriptor = Descriptor(self, i);
        if (strcmp(descriptor->name, name) == 0)
            return descriptor->construct(argument);
    }
    return nullptr;
}

void* TInstanceLibrary::ConstructByTemplate(void* templ) {
    const TInstanceLibrary* self = Opaque(this);
    if (!self)
        return nullptr;
    for (uint32_t i = 0; i < self->Count(); ++i) {
        if (void* object = Descriptor(self, i)->construct(templ))
            return object;
    }
    return nullptr;
}

int TInstanceLibrary::Destruct(const char* name, void* object) {
    const TInstanceLibrary* self = Opaque(this);
    if (!self)
        return 0;
    for (uint32_t i = 0; i < self->Count(); ++i) {
        const TInstanceDescriptor* descriptor = Descriptor(self, i);
        if (name && strcmp(descriptor->name, name) != 0)
            continue;
        if (descriptor->destruct(object))
            return 1;
    }
    return 0;
}
