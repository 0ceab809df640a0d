// Words separated by blanks and line feeds, and substring searches within length-bounded text.
// Nothing here allocates; results point into the caller's text.
#include "tarnkernl/text.h"

#include "platform/win32.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\n'; }

typedef int (*Compare)(const char* a, const char* b, size_t count);

const char* Search(const char* text, int textLength, const char* part, int partLength,
                   Compare compare) {
    if (textLength == -1)
        textLength = static_cast<int>(strlen(text));
    if (partLength == -1)
        partLength = static_cast<int>(strlen(part));
    for (int left = textLength; left >= partLength; --left, ++text) {
        if (compare(text, part, partLength) == 0)
            return text;
    }
    return nullptr;
}

int CompareExact(const char* a, const char* b, size_t count) { return strncmp(a, b, count); }

int CompareIgnoringCase(const char* a, const char* b, size_t count) {
    return _strnicmp(a, b, count);
}

}  // namespace

char* WordBeg(const char* text) {
    while (IsSeparator(*text))
        ++text;
    return const_cast<char*>(text);
}

char* WordEnd(const char* text) {
    while (*text && !IsSeparator(*text))
        ++text;
    return const_cast<char*>(text);
}

int Words(const char* text) {
    int n = 0;
    for (;;) {
        text = WordBeg(text);
        if (!*text)
            return n;
        ++n;
        text = WordEnd(text);
        if (!*text || !*++text)
            return n;
    }
}

bool isin(const char* list, const char* word) {
    size_t length = strlen(word);
    const char* next = list;
    for (int n = Words(list); n > 0; --n) {
        const char* begin = WordBeg(next);
        next = WordEnd(begin);
        if (static_cast<size_t>(next - begin) == length && _strnicmp(begin, word, length) == 0)
            return true;
    }
    return false;
}

const char* strnstrn(const char* text, int textLength, const char* part, int partLength) {
    return Search(text, textLength, part, partLength, CompareExact);
}

const char* strnistrn(const char* text, int textLength, const char* part, int partLength) {
    return Search(text, textLength, part, partLength, CompareIgnoringCase);
}

const char* strnchr(const char* text, int length, char c) {
    if (!text)
        return nullptr;
    for (; length > 0; --length, ++text) {
        if (*text == c)
            return text;
        if (!*text)
            return nullptr;
    }
    return nullptr;
}
