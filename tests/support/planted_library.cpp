// A library planted beside the driver under a system library's name (hid.dll or version.dll), as
// someone who can write the driver's folder would plant one. Loading it leaves a marker file beside
// it, "<its name>.loaded"; its functions only fail, so a driver that took it would find no pendant.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 16] = {0};
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcatW(path, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    return TRUE;
}

// What the driver took from the two libraries while it imported them, with their signatures, so
// that an executable importing them starts (and the marker shows) on either bitness.
extern "C" {
#ifdef PLANTED_HID
__declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID* guid) { ZeroMemory(guid, sizeof(*guid)); }
__declspec(dllexport) BOOLEAN WINAPI HidD_GetAttributes(HANDLE, void*) { return FALSE; }
__declspec(dllexport) BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE, void**) { return FALSE; }
__declspec(dllexport) BOOLEAN WINAPI HidD_FreePreparsedData(void*) { return FALSE; }
__declspec(dllexport) BOOLEAN WINAPI HidD_SetFeature(HANDLE, void*, ULONG) { return FALSE; }
__declspec(dllexport) BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE, ULONG) { return FALSE; }
__declspec(dllexport) LONG WINAPI HidP_GetCaps(void*, void*) { return 0; }
#else
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR, LPDWORD) { return 0; }
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD) { return 0; }
__declspec(dllexport) BOOL WINAPI GetFileVersionInfoA(LPCSTR, DWORD, DWORD, LPVOID) { return FALSE; }
__declspec(dllexport) BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) { return FALSE; }
__declspec(dllexport) BOOL WINAPI VerQueryValueA(LPCVOID, LPCSTR, LPVOID*, PUINT) { return FALSE; }
__declspec(dllexport) BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) { return FALSE; }
#endif
}
