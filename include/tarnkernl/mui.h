// Languages: the texts, dialogs and menus of the language the user chose. Each language is a
// directory below "MUI" beside the executable, described by its "langid.cfg" and holding text
// tables (".mui") and resource modules (".rmui"). The default language (identifier 0) and the
// chosen one are loaded when the library starts; every lookup tries the chosen language first,
// then the default one, and ends in a fallback the caller can always use.
#pragma once

#include "tarnkernl/api.h"

// Told about one language: its identifier, its display name (valid during the call) and the
// caller's pointer.
typedef void (*MuiLanguageCallback)(unsigned int identifier, const WCHAR* name, void* user);

// Calls `callback` for every language directory, in the order the directory search gives.
TARN_API void muiEnumLanguages(MuiLanguageCallback callback, void* user);
// Stores the chosen language in "common.ini" of the installation's working directory; it
// takes effect at the next start.
TARN_API void muiSetLanguage(unsigned int identifier);
// The chosen language's identifier (also when its directory is missing), else 0.
TARN_API unsigned int muiGetLanguageID();
// The directory of the chosen language, else of the default one; empty when the language was
// not found, null when no language is loaded.
TARN_API const char* muiGetCurDir();
// The directory of the default language, or null.
TARN_API const char* muiGetDefDir();

// The text of a language string, valid until the library is unloaded; the empty text when no
// language has it. Never null.
TARN_API const char* muiGetString(unsigned int identifier);
// The module to load the dialog template (or menu) `name` of `module` from: the language's
// resource module for that module when it holds it, else `module` itself.
TARN_API HINSTANCE muiGetDlgTemplateModule(HINSTANCE module, const char* name);
TARN_API HINSTANCE muiGetMenuModule(HINSTANCE module, const char* name);
