#include "base/module_path.h"

std::wstring ModulePathW(HMODULE module) {
    wchar_t path[MAX_PATH + 1] = {0};
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    // A path cut at MAX_PATH names another file: none is better than a wrong one.
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(path, length);
}

std::string ModulePath(HMODULE module) {
    std::wstring wide = ModulePathW(module);
    if (wide.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::string ExeFolder() { return FolderOf(ModulePath()); }

std::string SystemFolder() {
    char system[MAX_PATH + 1] = {0};
    UINT length = GetSystemDirectoryA(system, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(system) + "\\" : std::string();
}
