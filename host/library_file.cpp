#include "host/library_file.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// A hook library is a few hundred kilobytes; anything far larger is not one worth reading.
constexpr DWORD kMaxLibraryBytes = 64u * 1024 * 1024;

class Image {
public:
    explicit Image(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    // The object at a file offset, or null when it would reach past the end.
    template <class T>
    const T* At(uint64_t offset) const {
        return offset + sizeof(T) <= bytes_.size() ? reinterpret_cast<const T*>(bytes_.data() + offset)
                                                   : nullptr;
    }

    // A file offset for a relative virtual address, through the section table; 0 if none holds it.
    uint64_t OffsetOf(uint32_t rva) const {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            uint32_t size = s.Misc.VirtualSize > s.SizeOfRawData ? s.Misc.VirtualSize : s.SizeOfRawData;
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size)
                return static_cast<uint64_t>(s.PointerToRawData) + (rva - s.VirtualAddress);
        }
        return 0;
    }

    // A NUL-terminated name at an RVA, bounded by the file.
    std::string NameAt(uint32_t rva) const {
        uint64_t offset = OffsetOf(rva);
        if (offset == 0 || offset >= bytes_.size()) return std::string();
        const char* start = reinterpret_cast<const char*>(bytes_.data() + offset);
        return std::string(start, strnlen(start, bytes_.size() - offset));
    }

    void ReadSections(uint64_t first, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            const auto* s = At<IMAGE_SECTION_HEADER>(first + i * sizeof(IMAGE_SECTION_HEADER));
            if (!s) break;
            sections_.push_back(*s);
        }
    }

private:
    std::vector<uint8_t> bytes_;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

bool ReadWhole(const std::string& path, std::vector<uint8_t>* bytes) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxLibraryBytes;
    if (ok) {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes->empty() ||
             (ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
              read == bytes->size());
    }
    CloseHandle(file);
    return ok;
}

}  // namespace

LibraryFile ReadLibraryFile(const std::string& path) {
    LibraryFile result;
    std::vector<uint8_t> bytes;
    if (!ReadWhole(path, &bytes)) return result;
    result.found = true;
    Image image(std::move(bytes));

    const auto* dos = image.At<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0) return result;
    const uint64_t nt = static_cast<uint64_t>(dos->e_lfanew);
    const auto* signature = image.At<DWORD>(nt);
    const auto* header = image.At<IMAGE_FILE_HEADER>(nt + sizeof(DWORD));
    if (!signature || *signature != IMAGE_NT_SIGNATURE || !header) return result;
    result.isPe = true;

    // The two optional headers differ in size; the export directory sits in each one's own place.
    const uint64_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    const IMAGE_DATA_DIRECTORY* exportDir = nullptr;
    if (header->Machine == IMAGE_FILE_MACHINE_I386) {
        result.bits = 32;
        const auto* opt = image.At<IMAGE_OPTIONAL_HEADER32>(optional);
        if (opt && opt->NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT)
            exportDir = &opt->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else if (header->Machine == IMAGE_FILE_MACHINE_AMD64) {
        result.bits = 64;
        const auto* opt = image.At<IMAGE_OPTIONAL_HEADER64>(optional);
        if (opt && opt->NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT)
            exportDir = &opt->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    }
    image.ReadSections(optional + header->SizeOfOptionalHeader, header->NumberOfSections);
    if (!exportDir || exportDir->VirtualAddress == 0) return result;

    uint64_t directory = image.OffsetOf(exportDir->VirtualAddress);
    const auto* exports = directory ? image.At<IMAGE_EXPORT_DIRECTORY>(directory) : nullptr;
    if (!exports) return result;
    uint64_t names = image.OffsetOf(exports->AddressOfNames);
    for (DWORD i = 0; names != 0 && i < exports->NumberOfNames; ++i) {
        const auto* rva = image.At<DWORD>(names + i * sizeof(DWORD));
        if (!rva) break;
        std::string name = image.NameAt(*rva);
        if (!name.empty()) result.exports.push_back(name);
    }
    return result;
}
