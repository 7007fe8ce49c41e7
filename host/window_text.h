// Window texts as the host tracker reads them: with their bound, always terminated.
#pragma once

#include <windows.h>

#include <string>

constexpr int kTitleLimit = 100;
constexpr int kClassLimit = 55;
std::string ReadTitleLower(HWND window);
std::string ReadClassName(HWND window);
