#include "host/window_text.h"

#include <cctype>

namespace {
std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
}  // namespace

std::string ReadTitleLower(HWND window) {
    char title[kTitleLimit] = {0};
    GetWindowTextA(window, title, kTitleLimit);
    // A window may change its text while we read it; never trust the terminator to be there.
    title[kTitleLimit - 1] = '\0';
    return Lower(title);
}

std::string ReadClassName(HWND window) {
    char name[kClassLimit] = {0};
    GetClassNameA(window, name, kClassLimit);
    name[kClassLimit - 1] = '\0';
    return name;
}
