// The paths of this executable and of loaded modules: read in one place, with their bound.
#pragma once

#include <windows.h>

#include <string>

// The module's full path (this executable for null); empty when it cannot be read whole.
std::wstring ModulePathW(HMODULE module = nullptr);
// The same in the ANSI code page, as the narrow calls and the log take it.
std::string ModulePath(HMODULE module = nullptr);
// The folder of a path, with its trailing backslash; empty for a path without one.
std::string FolderOf(const std::string& path);
std::wstring FolderOf(const std::wstring& path);
// The executable's folder, with its trailing backslash.
std::string ExeFolder();
// The system folder (System32, or SysWOW64's view for a 32-bit process), with its backslash.
std::string SystemFolder();
