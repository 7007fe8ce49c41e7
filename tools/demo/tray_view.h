// The notification area as the shell shows it, read from outside: Wine's tray windows, the pixels
// of the screen, and icons drawn as the tray draws them, to tell which image the shell shows.
// With no X11 tray running, Wine shows the icons in its own top-level window "Wine System Tray"
// (class "__winex11_standalone_tray"), one child window per icon (class "__winex11_tray_icon").
// Shared by the tray tests and the tray pictures; header-only like the harness.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace trayview {

inline bool HasClass(HWND hwnd, const char* name) {
    char cls[64] = {0};
    GetClassNameA(hwnd, cls, sizeof(cls));
    return std::strcmp(cls, name) == 0;
}

namespace detail {

inline BOOL CALLBACK CollectIcon(HWND hwnd, LPARAM list) {
    if (HasClass(hwnd, "__winex11_tray_icon")) reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}

inline BOOL CALLBACK CollectTrayIcons(HWND hwnd, LPARAM list) {
    if (HasClass(hwnd, "__winex11_standalone_tray")) EnumChildWindows(hwnd, CollectIcon, list);
    return TRUE;
}

}  // namespace detail

// The icon windows of Wine's tray on the given desktop (the calling thread's when null).
inline std::vector<HWND> IconWindows(HDESK desktop = nullptr) {
    std::vector<HWND> icons;
    if (desktop)
        EnumDesktopWindows(desktop, detail::CollectTrayIcons, reinterpret_cast<LPARAM>(&icons));
    else
        EnumWindows(detail::CollectTrayIcons, reinterpret_cast<LPARAM>(&icons));
    return icons;
}

// Wine's tray window that holds the icon.
inline HWND TrayOf(HWND icon) { return GetAncestor(icon, GA_ROOT); }

// A 32-bit bitmap to draw on, read back as 0x00RRGGBB, top row first.
class Canvas {
public:
    explicit Canvas(SIZE size) : size_(size) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = size.cx;
        info.bmiHeader.biHeight = -size.cy;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dc_ = CreateCompatibleDC(nullptr);
        dib_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, dib_);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteObject(dib_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC Dc() const { return dc_; }
    void Fill(DWORD colour) {
        if (bits_) std::fill(bits_, bits_ + size_.cx * size_.cy, colour);
    }
    std::vector<DWORD> Pixels() const {
        if (!bits_) return {};
        GdiFlush();
        std::vector<DWORD> pixels(bits_, bits_ + size_.cx * size_.cy);
        for (DWORD& p : pixels) p &= 0xFFFFFF;
        return pixels;
    }

private:
    SIZE size_;
    HDC dc_ = nullptr;
    HBITMAP dib_ = nullptr;
    HGDIOBJ old_ = nullptr;
    DWORD* bits_ = nullptr;
};

inline SIZE SizeOf(const RECT& r) { return SIZE{r.right - r.left, r.bottom - r.top}; }

// What the screen shows in the rectangle, in the calling thread's coordinates.
inline std::vector<DWORD> Capture(const RECT& r) {
    Canvas canvas(SizeOf(r));
    HDC screen = GetDC(nullptr);
    BitBlt(canvas.Dc(), 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    return canvas.Pixels();
}

// An icon drawn at drawn x drawn pixels, centred on a box of one colour, as the tray draws it.
inline std::vector<DWORD> Render(HICON icon, int drawn, SIZE box, DWORD background) {
    Canvas canvas(box);
    canvas.Fill(background);
    DrawIconEx(canvas.Dc(), (box.cx - drawn) / 2, (box.cy - drawn) / 2, icon, drawn, drawn, 0, nullptr, DI_NORMAL);
    return canvas.Pixels();
}

// How many of the icon's opaque pixels, drawn as the tray draws it into a box of the captured
// size, the screen shows otherwise (beyond what blending may round). Only opaque pixels count:
// the half-transparent edge blends with whatever lay below, and Wine's tray does not erase the
// previous image when an icon changes.
inline int Differing(const std::vector<DWORD>& seen, HICON icon, int drawn, SIZE box) {
    std::vector<DWORD> onBlack = Render(icon, drawn, box, 0x000000);
    std::vector<DWORD> onWhite = Render(icon, drawn, box, 0xFFFFFF);
    if (seen.size() != onBlack.size()) return static_cast<int>(std::max(seen.size(), onBlack.size()));
    int count = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (onBlack[i] != onWhite[i]) continue;
        for (int shift : {0, 8, 16}) {
            int difference = static_cast<int>((seen[i] >> shift) & 0xFF) - static_cast<int>((onBlack[i] >> shift) & 0xFF);
            if (std::abs(difference) > 8) {
                ++count;
                break;
            }
        }
    }
    return count;
}

// A 24-bit BMP file of the pixels.
inline bool SaveBmp(const std::string& path, const std::vector<DWORD>& pixels, SIZE size) {
    if (pixels.size() != static_cast<size_t>(size.cx * size.cy)) return false;
    const int stride = (size.cx * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + stride * size.cy;
    info.biSize = sizeof(info);
    info.biWidth = size.cx;
    info.biHeight = size.cy;  // bottom row first
    info.biPlanes = 1;
    info.biBitCount = 24;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fwrite(&file, sizeof(file), 1, out);
    std::fwrite(&info, sizeof(info), 1, out);
    std::vector<unsigned char> row(stride, 0);
    for (int y = size.cy - 1; y >= 0; --y) {
        for (int x = 0; x < size.cx; ++x) {
            DWORD p = pixels[y * size.cx + x];
            row[x * 3] = static_cast<unsigned char>(p & 0xFF);
            row[x * 3 + 1] = static_cast<unsigned char>((p >> 8) & 0xFF);
            row[x * 3 + 2] = static_cast<unsigned char>((p >> 16) & 0xFF);
        }
        std::fwrite(row.data(), 1, row.size(), out);
    }
    return std::fclose(out) == 0;
}

}  // namespace trayview
