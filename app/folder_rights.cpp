#include "base/module_path.h"
#include "app/folder_rights.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <vector>

#include "base/event_log.h"

namespace {

// Rights that let one replace the file, plant one beside it, or give oneself either.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

constexpr char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return "an unreadable account";
    std::string result = text;
    LocalFree(text);
    return result;
}

// The groups every standard user is in, by the names an operator knows.
std::string Named(PSID sid) {
    std::string text = SidText(sid);
    struct Known {
        const char* sid;
        const char* name;
    };
    static const Known known[] = {{"S-1-1-0", "Everyone"},
                                  {"S-1-5-11", "Authenticated Users"},
                                  {"S-1-5-32-545", "Users"},
                                  {"S-1-5-4", "Interactive"}};
    for (const Known& k : known)
        if (text == k.sid) return eventlog::Join(k.name, " (", text, ")");
    return text;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// The running account while it is an administrator: its own programs are then the administrators'.
std::vector<BYTE> AdministratorAccount() {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) ||
        !CheckTokenMembership(nullptr, admins, &member) || !member)
        return {};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    std::vector<BYTE> user(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
    DWORD length = 0;
    bool ok = GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &length);
    CloseHandle(token);
    if (!ok) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

bool Trusted(PSID sid, const std::vector<BYTE>& account) {
    if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
        // Applies only to what is created inside, never to the object itself.
        IsWellKnown(sid, WinCreatorOwnerSid))
        return true;
    if (!account.empty() && EqualSid(sid, const_cast<BYTE*>(account.data()))) return true;
    return SidText(sid) == kTrustedInstaller;
}

std::wstring Lower(std::wstring text) {
    if (!text.empty()) CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::string Check(const std::wstring& path, const std::wstring& what) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return eventlog::Join(what, ": its access list cannot be read (", eventlog::ErrorText(error), ")");
    std::string why = WhyOthersCanChange(descriptor, what);
    LocalFree(descriptor);
    return why;
}

}  // namespace

std::string WhyOthersCanChange(PSECURITY_DESCRIPTOR descriptor, const std::wstring& what) {
    const std::vector<BYTE> account = AdministratorAccount();
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner && !Trusted(owner, account))
        return eventlog::Join(what, " belongs to ", Named(owner), ", who may change its access list");
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return eventlog::Join(what, ": its access list cannot be read");
    if (!present || !dacl) return eventlog::Join(what, " has no access list: anyone may change it");
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        auto* header = static_cast<ACE_HEADER*>(entry);
        // Inherit-only entries are for what is created inside; denials are left aside, which can only
        // count a folder open that is not, never the other way.
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kChangeRights) != 0 && !Trusted(sid, account))
            return eventlog::Join(what, " lets ", Named(sid), " change it");
    }
    return std::string();
}

std::string WhyOthersCanChangeThisDriver() {
    const std::wstring path = ModulePathW();
    if (path.empty()) return "the driver's own path cannot be read";
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return "the driver's own path has no folder";
    // The folder's own name, with the backslash only for a drive's root.
    std::wstring folder = path.substr(0, slash);
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';

    wchar_t profile[MAX_PATH + 1] = {0};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)) && profile[0]) {
        std::wstring home = Lower(profile);
        if (home.back() != L'\\') home += L'\\';
        if (Lower(path).compare(0, home.size(), home) == 0)
            return eventlog::Join(path.substr(0, slash + 1), " lies in the profile of the account running it, "
                                  "whose programs change it without administrator rights");
    }
    std::string why = Check(folder, path.substr(0, slash + 1));
    return why.empty() ? Check(path, path) : why;
}
