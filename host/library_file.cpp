#include "host/library_file.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// The file mapped, not read: only the pages that the bounded walk touches are ever read.
class Image {
public:
    Image(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    // The object at a file offset, or null when it would reach past the end.
    template <class T>
    const T* At(uint64_t offset) const {
        return offset + sizeof(T) <= size_ ? reinterpret_cast<const T*>(data_ + offset) : nullptr;
    }

    // The file offset of size bytes at a relative virtual address, through the section table: only
    // within a section's data in the file. False when none holds them.
    bool OffsetOf(uint32_t rva, uint64_t size, uint64_t* offset) const {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            if (rva < s.VirtualAddress || rva - s.VirtualAddress >= s.SizeOfRawData) continue;
            uint64_t into = rva - s.VirtualAddress;
            if (into + size > s.SizeOfRawData) return false;
            *offset = static_cast<uint64_t>(s.PointerToRawData) + into;
            return *offset + size <= size_;
        }
        return false;
    }

    // A NUL-terminated name at an RVA, at most kMaxLibraryNameLength long; false past that.
    bool NameAt(uint32_t rva, std::string* name) const {
        uint64_t offset = 0;
        if (!OffsetOf(rva, 1, &offset)) return false;
        const char* start = reinterpret_cast<const char*>(data_ + offset);
        size_t room = static_cast<size_t>(size_ - offset);
        size_t length = strnlen(start, room < kMaxLibraryNameLength + 1 ? room : kMaxLibraryNameLength + 1);
        if (length == room || length > kMaxLibraryNameLength) return false;
        name->assign(start, length);
        return true;
    }

    bool ReadSections(uint64_t first, unsigned count) {
        if (count > kMaxLibrarySections) return false;
        for (unsigned i = 0; i < count; ++i) {
            const auto* s = At<IMAGE_SECTION_HEADER>(first + i * sizeof(IMAGE_SECTION_HEADER));
            if (!s) return false;
            sections_.push_back(*s);
        }
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

// A read-only view of the whole file; empty when it cannot be mapped (an empty file cannot).
class MappedFile {
public:
    explicit MappedFile(HANDLE file) {
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 ||
            static_cast<uint64_t>(size.QuadPart) > kMaxLibraryBytes)
            return;
        mapping_ = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping_) view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0);
        if (view_) size_ = static_cast<size_t>(size.QuadPart);
    }
    ~MappedFile() {
        if (view_) UnmapViewOfFile(view_);
        if (mapping_) CloseHandle(mapping_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const uint8_t* Data() const { return static_cast<const uint8_t*>(view_); }
    size_t Size() const { return size_; }

private:
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
    size_t size_ = 0;
};

// The export directory's entry of an optional header, which must hold it whole.
template <class Optional>
const IMAGE_DATA_DIRECTORY* ExportEntry(const Image& image, uint64_t offset, WORD size, WORD magic) {
    constexpr size_t kNeeded =
        offsetof(Optional, DataDirectory) + (IMAGE_DIRECTORY_ENTRY_EXPORT + 1) * sizeof(IMAGE_DATA_DIRECTORY);
    const auto* opt = image.At<Optional>(offset);
    if (size < kNeeded || !opt || opt->Magic != magic) return nullptr;
    static const IMAGE_DATA_DIRECTORY none = {0, 0};
    return opt->NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT ? &opt->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT]
                                                                   : &none;
}

// Fills the exports; false when the image goes past a bound or points outside itself.
bool ReadExports(LibraryFile* result, Image& image, uint64_t nt, const IMAGE_FILE_HEADER& header) {
    const uint64_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    const IMAGE_DATA_DIRECTORY* exportDir =
        result->bits == 32
            ? ExportEntry<IMAGE_OPTIONAL_HEADER32>(image, optional, header.SizeOfOptionalHeader,
                                                   IMAGE_NT_OPTIONAL_HDR32_MAGIC)
            : ExportEntry<IMAGE_OPTIONAL_HEADER64>(image, optional, header.SizeOfOptionalHeader,
                                                   IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    if (!exportDir) return false;
    if (!image.ReadSections(optional + header.SizeOfOptionalHeader, header.NumberOfSections)) return false;
    if (exportDir->VirtualAddress == 0) return true;  // a library without exports

    uint64_t directory = 0;
    if (!image.OffsetOf(exportDir->VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY), &directory)) return false;
    const auto* exports = image.At<IMAGE_EXPORT_DIRECTORY>(directory);
    if (exports->NumberOfNames > kMaxLibraryExportNames) return false;
    if (exports->NumberOfNames == 0) return true;
    uint64_t names = 0;
    if (!image.OffsetOf(exports->AddressOfNames, uint64_t(exports->NumberOfNames) * sizeof(DWORD), &names))
        return false;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        std::string name;
        if (!image.NameAt(*image.At<DWORD>(names + i * sizeof(DWORD)), &name)) return false;
        if (!name.empty()) result->exports.push_back(name);
    }
    return true;
}

}  // namespace

LibraryFile ReadLibraryFile(const std::string& path) {
    LibraryFile result;
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return result;
    result.found = true;
    LARGE_INTEGER size{};
    // Far larger than any hook library: not looked at.
    if (GetFileSizeEx(handle, &size) && static_cast<uint64_t>(size.QuadPart) > kMaxLibraryBytes) {
        CloseHandle(handle);
        result.unusable = true;
        return result;
    }
    MappedFile mapped(handle);
    CloseHandle(handle);  // the mapping keeps the file
    Image image(mapped.Data(), mapped.Size());

    const auto* dos = image.At<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0) return result;
    const uint64_t nt = static_cast<uint64_t>(dos->e_lfanew);
    const auto* signature = image.At<DWORD>(nt);
    const auto* header = image.At<IMAGE_FILE_HEADER>(nt + sizeof(DWORD));
    if (!signature || *signature != IMAGE_NT_SIGNATURE || !header) return result;
    result.isPe = true;

    if (header->Machine == IMAGE_FILE_MACHINE_I386)
        result.bits = 32;
    else if (header->Machine == IMAGE_FILE_MACHINE_AMD64)
        result.bits = 64;
    else
        return result;  // another machine's image: its bitness is all there is to say
    if (!ReadExports(&result, image, nt, *header)) {
        result.unusable = true;
        result.exports.clear();
    }
    return result;
}
