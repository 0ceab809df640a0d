// Resource strings, with the language tables behind a module's own string table and a visible
// placeholder for a missing one; and the selected text of a combo box.
#include "tarnkernl/mui.h"
#include "tarnkernl/text.h"

#include "log/messagebox.h"
#include "platform/win32.h"

namespace {

// Set while the not-found box is showing, so that lookups made meanwhile add no second one.
volatile bool gNotFoundShowing;

constexpr unsigned int kStringRoom = 1024;

bool LoadFound(str& text, const ResId& resource) {
    if (!resource.IsNumber()) {
        const auto* name = reinterpret_cast<const char*>(resource.id);
        HRSRC found = FindResourceA(resource.module, name, RT_STRING);
        const char* data =
            found ? static_cast<const char*>(LockResource(LoadResource(resource.module, found)))
                  : nullptr;
        if (!data)
            return false;
        text.AssignN(data, int(strnlen(data, SizeofResource(resource.module, found))));
        return true;
    }
    const auto id = static_cast<unsigned int>(resource.id);
    if ((text = kStringRoom) && LoadStringA(resource.module, id, text.p, int(kStringRoom)))
        return true;
    text = muiGetString(id);
    return text.p[0] != '\0';
}

}  // namespace

const char* LoadRes(str& text, const ResId& resource, bool report) {
    if (LoadFound(text, resource))
        return text.p;
    text = "";
    if (!report)
        return nullptr;
    char module[kStringRoom];
    if (!GetModuleFileNameA(resource.module, module, sizeof module))
        strcpy(module, "With invalid instance handle");
    if (resource.IsNumber())
        fprintf(text, "'RESOURCE #%d, MODULE %s'", int(resource.id), module);
    else
        fprintf(text, "'RESOURCE '%s', MODULE %s'", reinterpret_cast<const char*>(resource.id),
                module);
    if (!gNotFoundShowing) {
        gNotFoundShowing = true;
        tarn::ShowMessageBox(nullptr, str("Not found: ", text.p).p, "INTERNAL ERROR",
                             MB_TASKMODAL | MB_OK);
        gNotFoundShowing = false;
    }
    return text.p;
}

const char* LoadRes(str& text, unsigned int id, HINSTANCE module, bool report) {
    return LoadRes(text, ResId(id, module), report);
}

void ComboStr::vGetCurSelText(HWND combo) {
    str& text = *this;
    if (combo && IsWindow(combo)) {
        const LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
        if (selected != CB_ERR) {
            const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, WPARAM(selected), 0);
            if (length != CB_ERR && (text = unsigned(length + 1)) &&
                SendMessageA(combo, CB_GETLBTEXT, WPARAM(selected), LPARAM(p)) != CB_ERR)
                return;
        }
    }
    text = "";
}

void ComboStr::vGetCurSelText(HWND dialog, int item) { vGetCurSelText(GetDlgItem(dialog, item)); }
