#include "base/file_version.h"

#include <vector>

#include "base/system_library.h"

namespace {

using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

struct VersionDll {
    VersionDll() : module(LoadSystemLibrary(L"version.dll")), loadError(module ? 0 : GetLastError()) {
        if (!module) return;
        size = reinterpret_cast<SizeFn>(GetProcAddress(module, "GetFileVersionInfoSizeW"));
        info = reinterpret_cast<InfoFn>(GetProcAddress(module, "GetFileVersionInfoW"));
        query = reinterpret_cast<QueryFn>(GetProcAddress(module, "VerQueryValueW"));
    }
    HMODULE module;
    DWORD loadError;
    SizeFn size = nullptr;
    InfoFn info = nullptr;
    QueryFn query = nullptr;
};

// Loaded once, at the first use, and kept for the process's life.
const VersionDll& Dll() {
    static const VersionDll dll;
    return dll;
}

}  // namespace

bool ReadFixedFileVersion(const wchar_t* path, VS_FIXEDFILEINFO* fixed, DWORD* error) {
    const VersionDll& dll = Dll();
    if (!dll.size || !dll.info || !dll.query) {
        *error = dll.module ? ERROR_PROC_NOT_FOUND : (dll.loadError ? dll.loadError : ERROR_MOD_NOT_FOUND);
        return false;
    }
    DWORD ignored = 0;
    DWORD size = dll.size(path, &ignored);
    if (size == 0) {
        *error = GetLastError();
        return false;
    }
    std::vector<char> block(size);
    if (!dll.info(path, 0, size, block.data())) {
        *error = GetLastError();
        return false;
    }
    VS_FIXEDFILEINFO* found = nullptr;
    UINT length = 0;
    if (!dll.query(block.data(), L"\\", reinterpret_cast<void**>(&found), &length) || !found ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        *error = ERROR_INVALID_DATA;
        return false;
    }
    *fixed = *found;
    *error = 0;
    return true;
}
