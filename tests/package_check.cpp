// Checks the shipping executable: a 32-bit PE that imports KnownDLLs only and carries the
// driver's version resource and manifest. Further executables named on the command line get the
// import and manifest checks. Exit 0 when all holds, 77 when the shipping file is not built.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>
#include "veltra_version.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
    (ok ? g_passed : g_failed)++;
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
}

// A PE file of either bitness, read from its bytes.
struct Pe {
    std::vector<unsigned char> bytes;
    const IMAGE_FILE_HEADER* file = nullptr;
    const IMAGE_SECTION_HEADER* sections = nullptr;
    const IMAGE_DATA_DIRECTORY* directories = nullptr;
    WORD magic = 0;
    WORD subsystem = 0;

    bool Read(const char* path) {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
        if (bytes.size() <= sizeof(IMAGE_DOS_HEADER) || dos->e_magic != IMAGE_DOS_SIGNATURE ||
            static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) >= bytes.size())
            return false;
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + dos->e_lfanew);
        if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
        file = &nt->FileHeader;
        magic = nt->OptionalHeader.Magic;
        const auto* nt64 = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
        bool wide = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        directories = wide ? nt64->OptionalHeader.DataDirectory : nt->OptionalHeader.DataDirectory;
        subsystem = wide ? nt64->OptionalHeader.Subsystem : nt->OptionalHeader.Subsystem;
        sections = IMAGE_FIRST_SECTION(nt);
        return true;
    }

    const unsigned char* AtRva(DWORD rva) const {
        for (WORD i = 0; i < file->NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size) {
                DWORD offset = rva - s.VirtualAddress + s.PointerToRawData;
                return offset < bytes.size() ? bytes.data() + offset : nullptr;
            }
        }
        return nullptr;
    }
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string VersionString(const std::vector<char>& info, const char* name) {
    char path[128];
    std::snprintf(path, sizeof(path), "\\StringFileInfo\\080404b0\\%s", name);
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), path, reinterpret_cast<void**>(&value), &length) || !value)
        return "<missing>";
    return std::string(value);
}

std::wstring Setting(HANDLE context, const wchar_t* ns, const wchar_t* name) {
    wchar_t value[128] = {0};
    SIZE_T written = 0;
    if (!QueryActCtxSettingsW(0, context, ns, name, value, 128, &written)) return L"<missing>";
    return value;
}

// The supportedOS ids, whichever layout of the element the system uses (the newer one adds a
// 64-bit MaxVersionTested, which also moves the array to an 8-byte boundary).
std::set<std::string> SupportedOs(HANDLE context) {
    std::vector<unsigned char> buffer(4096);
    SIZE_T written = 0;
    std::set<std::string> ids;
    if (!QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, buffer.data(),
                      buffer.size(), &written))
        return ids;
    DWORD count = *reinterpret_cast<const DWORD*>(buffer.data());
    size_t offset = 4, stride = sizeof(GUID) + 4;
    if (written >= 8 + count * 32) offset = 8, stride = 32;
    for (DWORD i = 0; i < count && offset + (i + 1) * stride <= written; ++i) {
        const unsigned char* element = buffer.data() + offset + i * stride;
        DWORD type = *reinterpret_cast<const DWORD*>(element + sizeof(GUID));
        if (type != ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS) continue;
        GUID id;
        std::memcpy(&id, element, sizeof(id));
        char text[64];
        std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                      id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
        ids.insert(text);
    }
    return ids;
}

// The manifest as the system's own side-by-side loader reads it: resource type 24, id 1.
void CheckManifest(const std::string& exe) {
    const std::string label = exe.substr(exe.find_last_of("\\/") + 1) + " (" + exe + ")";
    ACTCTXA request;
    std::memset(&request, 0, sizeof(request));
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = exe.c_str();
    request.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE context = CreateActCtxA(&request);
    Check(context != INVALID_HANDLE_VALUE, label + ": manifest resource 24/1 parses");
    if (context == INVALID_HANDLE_VALUE) return;

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level;
    std::memset(&level, 0, sizeof(level));
    Check(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level, sizeof(level),
                       nullptr) &&
              level.RunLevel == ACTCTX_RUN_LEVEL_AS_INVOKER && level.UiAccess == 0,
          label + ": requestedExecutionLevel asInvoker, no uiAccess");

    const std::set<std::string> expected = {
        "{35138B9A-5D96-4FBD-8E2D-A2440225F93A}",  // 7
        "{4A2F28E3-53B9-4441-BA9C-D69D4A4A6E38}",  // 8
        "{1F676C76-80E1-4239-95BB-83D0F6D0DA78}",  // 8.1
        "{8E0F7A12-BFB3-4FE8-B9A5-48FD50A15A9A}",  // 10 and 11
    };
    Check(SupportedOs(context) == expected, label + ": supportedOS 7, 8, 8.1, 10/11");

    Check(Setting(context, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware") == L"true",
          label + ": dpiAware true (system aware where dpiAwareness is unknown)");
    Check(Setting(context, L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness") ==
              L"PerMonitorV2, System",
          label + ": dpiAwareness PerMonitorV2, then System");

    // Common Controls 6: inside the context, comctl32.dll is redirected to the side-by-side one.
    ULONG_PTR cookie = 0;
    ACTCTX_SECTION_KEYED_DATA found;
    std::memset(&found, 0, sizeof(found));
    found.cbSize = sizeof(found);
    bool redirected = false;
    if (ActivateActCtx(context, &cookie)) {
        redirected = FindActCtxSectionStringW(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
                                              ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"comctl32.dll",
                                              &found) != FALSE;
        if (found.hActCtx) ReleaseActCtx(found.hActCtx);
        DeactivateActCtx(0, cookie);
    }
    Check(redirected, label + ": depends on Microsoft.Windows.Common-Controls 6");
    ReleaseActCtx(context);
}

// Only KnownDLLs of Windows 7 SP1 and later, which the loader takes from System32 alone: any
// other import is looked for beside the executable first, where a planted copy would win. No
// MinGW runtime DLL either.
void CheckImports(const char* path) {
    const std::string label = std::string(path).substr(std::string(path).find_last_of("\\/") + 1) + " (" + path +
                              ")";
    Pe pe;
    if (!pe.Read(path)) return Check(false, label + ": a PE file");
    const std::set<std::string> known = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "ADVAPI32.DLL",
                                         "SHELL32.DLL",  "SETUPAPI.DLL", "MSVCRT.DLL"};
    const IMAGE_DATA_DIRECTORY& dir = pe.directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pe.AtRva(dir.VirtualAddress));
    int count = 0;
    for (; import && import->Name; ++import, ++count) {
        const char* name = reinterpret_cast<const char*>(pe.AtRva(import->Name));
        std::string dll = name ? Upper(name) : "<bad>";
        Check(known.count(dll) == 1, label + ": imports KnownDLL " + dll);
    }
    Check(count > 0, label + ": has an import table");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::printf("%s is not built; skipped\n", argv[1]);
        return 77;
    }
    Pe pe;
    bool isPe = pe.Read(argv[1]);
    Check(isPe, "a PE file");
    if (!isPe) return 1;
    Check(pe.file->Machine == IMAGE_FILE_MACHINE_I386, "machine is i386 (32-bit)");
    Check(pe.magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC, "32-bit optional header");
    Check(pe.subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, "GUI subsystem");
    if (pe.file->Machine != IMAGE_FILE_MACHINE_I386) return 1;
    CheckImports(argv[1]);

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &handle);
    Check(size > 0, "has a version resource");
    if (size > 0) {
        std::vector<char> info(size);
        GetFileVersionInfoA(argv[1], 0, size, info.data());
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length);
        Check(fixed && fixed->dwFileVersionMS == MAKELONG(VELTRA_VERSION_MINOR, VELTRA_VERSION_MAJOR) &&
                  fixed->dwFileVersionLS == MAKELONG(VELTRA_VERSION_TWEAK, VELTRA_VERSION_PATCH),
              "file version " VELTRA_VERSION_TEXT);
        Check(fixed && fixed->dwProductVersionMS == MAKELONG(0, 1) &&
                  fixed->dwProductVersionLS == MAKELONG(1, 0),
              "product version 1.0.0.1");
        Check(VersionString(info, "InternalName") == "veltra", "InternalName veltra");
        Check(VersionString(info, "ProductName") == "veltra", "ProductName veltra");
        Check(VersionString(info, "OriginalFilename") == "veltra.EXE", "OriginalFilename veltra.EXE");
        Check(VersionString(info, "FileDescription") == " Qorin PX40 Driver ",
              "FileDescription ' Qorin PX40 Driver '");
        WORD* translation = nullptr;
        Check(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length) &&
                  length >= 4 && translation[0] == 0x0804 && translation[1] == 1200,
              "translation Chinese (PRC), code page 1200");
    }
    CheckManifest(argv[1]);
    for (int i = 2; i < argc; ++i) {
        CheckImports(argv[i]);
        CheckManifest(argv[i]);
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
