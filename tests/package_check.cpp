// Checks the shipping executable: a 32-bit PE that imports system DLLs only and carries the
// driver's version resource. Exit 0 when all holds, 77 when the file is not built.
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

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
    (ok ? g_passed : g_failed)++;
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
}

struct Pe {
    std::vector<unsigned char> bytes;
    const IMAGE_NT_HEADERS32* nt = nullptr;
    const IMAGE_SECTION_HEADER* sections = nullptr;

    const unsigned char* AtRva(DWORD rva) const {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::printf("%s is not built; skipped\n", argv[1]);
        return 77;
    }
    Pe pe;
    pe.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pe.bytes.data());
    bool isPe = pe.bytes.size() > sizeof(IMAGE_DOS_HEADER) && dos->e_magic == IMAGE_DOS_SIGNATURE &&
                static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32) < pe.bytes.size();
    Check(isPe, "a PE file");
    if (!isPe) return 1;
    pe.nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(pe.bytes.data() + dos->e_lfanew);
    Check(pe.nt->Signature == IMAGE_NT_SIGNATURE, "PE signature");
    Check(pe.nt->FileHeader.Machine == IMAGE_FILE_MACHINE_I386, "machine is i386 (32-bit)");
    Check(pe.nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC, "32-bit optional header");
    Check(pe.nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, "GUI subsystem");
    if (pe.nt->FileHeader.Machine != IMAGE_FILE_MACHINE_I386) return 1;
    pe.sections = IMAGE_FIRST_SECTION(pe.nt);

    // Only DLLs that every Windows 7 SP1 system has; no MinGW runtime beside the executable.
    const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL",  "GDI32.DLL",
                                          "ADVAPI32.DLL", "SHELL32.DLL", "SETUPAPI.DLL",
                                          "HID.DLL",      "VERSION.DLL", "MSVCRT.DLL"};
    const IMAGE_DATA_DIRECTORY& dir = pe.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pe.AtRva(dir.VirtualAddress));
    int count = 0;
    for (; import && import->Name; ++import, ++count) {
        const char* name = reinterpret_cast<const char*>(pe.AtRva(import->Name));
        std::string dll = name ? Upper(name) : "<bad>";
        Check(system.count(dll) == 1, "imports system DLL " + dll);
    }
    Check(count > 0, "has an import table");

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &handle);
    Check(size > 0, "has a version resource");
    if (size > 0) {
        std::vector<char> info(size);
        GetFileVersionInfoA(argv[1], 0, size, info.data());
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length);
        Check(fixed && fixed->dwFileVersionMS == MAKELONG(3, 1) && fixed->dwFileVersionLS == MAKELONG(1, 0),
              "file version 1.3.0.1");
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
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
