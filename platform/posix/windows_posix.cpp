// The in-process window table that stands in for USER32's windows on POSIX: windows with a
// text, a parent, a child id, a queue of posted messages and, for combo boxes, items with a
// selection, made by the test seam and read by the library.
#include "platform/callermemory.h"
#include "platform/testing.h"
#include "platform/win32.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tarn {
namespace {

// A window and the messages it answers. New kinds of window state become members here and
// cases in Handle.
struct Window {
    uintptr_t handle;
    uintptr_t parent;  // 0 for a top-level window
    int id;
    std::string text;
    std::deque<PostedMessageForTesting> posted;
    bool isCombo = false;
    std::vector<std::string> items;
    LRESULT selection = CB_ERR;

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleCombo(UINT message, WPARAM wParam, LPARAM lParam);
};

// A caller's text, which may fault; null is the empty text.
std::string TextOf(const char* text) {
    std::string copy(text ? TextLength(text) : 0, '\0');
    CopyBytes(copy.data(), text, copy.size());
    return copy;
}

// Copies `count` characters of `from` and a terminator into the caller's buffer, which may
// fault.
void GiveText(const std::string& from, size_t count, LPARAM to) {
    char* out = reinterpret_cast<char*>(to);
    CopyBytes(out, from.data(), count);
    out[count] = '\0';
}

LRESULT Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(text.size());
        case WM_GETTEXT: {
            if (wParam == 0)
                return 0;
            const size_t count = std::min<size_t>(text.size(), wParam - 1);
            GiveText(text, count, lParam);
            return static_cast<LRESULT>(count);
        }
        case WM_SETTEXT: {
            text = TextOf(reinterpret_cast<const char*>(lParam));
            return TRUE;
        }
        default:
            return isCombo ? HandleCombo(message, wParam, lParam) : 0;
    }
}

LRESULT Window::HandleCombo(UINT message, WPARAM wParam, LPARAM lParam) {
    const bool isItem = wParam < items.size();
    switch (message) {
        case CB_ADDSTRING: {
            items.push_back(TextOf(reinterpret_cast<const char*>(lParam)));
            return static_cast<LRESULT>(items.size() - 1);
        }
        case CB_SETCURSEL:
            selection = isItem ? static_cast<LRESULT>(wParam) : CB_ERR;
            return selection;
        case CB_GETCURSEL:
            return selection;
        case CB_GETLBTEXTLEN:
            return isItem ? static_cast<LRESULT>(items[wParam].size()) : CB_ERR;
        case CB_GETLBTEXT:
            if (!isItem)
                return CB_ERR;
            GiveText(items[wParam], items[wParam].size(), lParam);
            return static_cast<LRESULT>(items[wParam].size());
        default:
            return 0;
    }
}

// All windows of the process under one lock. Handles only grow, so a destroyed window's handle
// never answers again and the vector stays sorted by handle. A message is answered with the
// lock held: a window never calls back into the table.
class WindowTable {
public:
    constexpr WindowTable() = default;

    HWND Create(HWND parent, int id, const char* text, bool isCombo = false) {
        std::lock_guard guard(lock_);
        if (parent && !Find(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        lastHandle_ += kHandleStep;
        windows_.push_back(Window{lastHandle_,
                                  reinterpret_cast<uintptr_t>(parent),
                                  id,
                                  TextOf(text),
                                  {},
                                  isCombo,
                                  {},
                                  CB_ERR});
        return reinterpret_cast<HWND>(lastHandle_);
    }

    // Destroys the window and, as Windows does, every window below it.
    void Destroy(HWND window) {
        std::lock_guard guard(lock_);
        std::vector<uintptr_t> doomed{reinterpret_cast<uintptr_t>(window)};
        for (size_t i = 0; i < doomed.size(); ++i) {
            for (const Window& w : windows_) {
                if (w.parent == doomed[i])
                    doomed.push_back(w.handle);
            }
        }
        std::erase_if(windows_, [&](const Window& w) {
            return std::find(doomed.begin(), doomed.end(), w.handle) != doomed.end();
        });
        // An empty table gives its storage back, so that it holds no memory once the process
        // has destroyed its windows.
        if (windows_.empty())
            std::vector<Window>().swap(windows_);
    }

    bool Exists(HWND window) {
        std::lock_guard guard(lock_);
        return Find(window) != nullptr;
    }

    HWND Child(HWND dialog, int id) {
        std::lock_guard guard(lock_);
        if (!Find(dialog)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        for (const Window& w : windows_) {
            if (w.parent == reinterpret_cast<uintptr_t>(dialog) && w.id == id)
                return reinterpret_cast<HWND>(w.handle);
        }
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }

    LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        std::lock_guard guard(lock_);
        Window* w = Find(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        return w->Handle(message, wParam, lParam);
    }

    bool Post(HWND window, const PostedMessageForTesting& message) {
        std::lock_guard guard(lock_);
        Window* w = Find(window);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        w->posted.push_back(message);
        return true;
    }

    bool TakePosted(HWND window, PostedMessageForTesting& message) {
        std::lock_guard guard(lock_);
        Window* w = Find(window);
        if (!w || w->posted.empty())
            return false;
        message = w->posted.front();
        w->posted.pop_front();
        return true;
    }

private:
    static constexpr uintptr_t kFirstHandle = 0x10010;
    static constexpr uintptr_t kHandleStep = 4;

    Window* Find(HWND window) {
        const auto handle = reinterpret_cast<uintptr_t>(window);
        auto it = std::lower_bound(windows_.begin(), windows_.end(), handle,
                                   [](const Window& w, uintptr_t h) { return w.handle < h; });
        return it != windows_.end() && it->handle == handle ? &*it : nullptr;
    }

    std::mutex lock_;
    std::vector<Window> windows_;
    uintptr_t lastHandle_ = kFirstHandle - kHandleStep;
};

// Constant-initialised and never destroyed: usable before any constructor and from any
// module's static destructors.
union TableStorage {
    constexpr TableStorage() : table() {}
    ~TableStorage() {}
    WindowTable table;
};
constinit TableStorage gWindows;

}  // namespace

HWND CreateWindowForTesting(HWND parent, int id, const char* text) {
    return gWindows.table.Create(parent, id, text);
}

HWND CreateComboForTesting(HWND parent, int id) {
    return gWindows.table.Create(parent, id, "", true);
}

void DestroyWindowForTesting(HWND window) { gWindows.table.Destroy(window); }

bool TakePostedMessageForTesting(HWND window, PostedMessageForTesting& message) {
    return gWindows.table.TakePosted(window, message);
}

}  // namespace tarn

using tarn::gWindows;

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return gWindows.table.Send(window, message, wParam, lParam);
}

int WINAPI GetWindowTextA(HWND window, LPSTR out, int outSize) {
    if (!out || outSize <= 0)
        return 0;
    out[0] = '\0';
    return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(outSize),
                                         reinterpret_cast<LPARAM>(out)));
}

HWND WINAPI GetDlgItem(HWND dialog, int item) { return gWindows.table.Child(dialog, item); }

BOOL WINAPI IsWindow(HWND window) { return gWindows.table.Exists(window); }

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return gWindows.table.Post(window, {message, wParam, lParam});
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
