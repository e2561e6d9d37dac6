#include "private_file.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>

namespace gateway::winfile {

std::string SystemText(unsigned long code) {
    char* buf = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&buf), 0, nullptr);
    std::string text =
        n != 0 && buf != nullptr ? std::string(buf, n) : "error " + std::to_string(code);
    if (buf != nullptr) LocalFree(buf);
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

namespace {

struct LocalDeleter {
    void operator()(void* p) const { LocalFree(p); }
};

// The groups that stand for "others": a key any of them may read is known beyond its owner.
struct Others {
    WELL_KNOWN_SID_TYPE type;
    const char* name;
};
constexpr Others kOthers[] = {
    {WinWorldSid, "Everyone"},
    {WinBuiltinUsersSid, "Users"},
    {WinAuthenticatedUserSid, "Authenticated Users"},
    {WinInteractiveSid, "INTERACTIVE"},
    {WinNetworkSid, "NETWORK"},
    {WinBuiltinGuestsSid, "Guests"},
    {WinAnonymousSid, "ANONYMOUS LOGON"},
};

// Who of kOthers the access list lets read, or empty.
std::string ReadersAmongOthers(const ACL* dacl) {
    if (dacl == nullptr) return "Everyone (the file has no access list)";
    constexpr ACCESS_MASK kRead = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    std::string who;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kRead) == 0) continue;
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        for (const Others& o : kOthers) {
            if (IsWellKnownSid(sid, o.type) && who.find(o.name) == std::string::npos)
                who += (who.empty() ? "" : ", ") + std::string(o.name);
        }
    }
    return who;
}

} // namespace

ReadResult ReadPrivate(const std::string& path, size_t max, std::string& text,
                       std::string& detail) {
    text.clear();
    const HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return ReadResult::Missing;
        detail = SystemText(code);
        return ReadResult::Failed;
    }
    std::unique_ptr<void, decltype(&CloseHandle)> owner(h, &CloseHandle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return ReadResult::NotAFile;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD got = GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, &dacl, nullptr, &sd);
    if (got != ERROR_SUCCESS) {
        detail = "its access list cannot be read: " + SystemText(got);
        return ReadResult::Failed;
    }
    std::unique_ptr<void, LocalDeleter> sdOwner(sd);
    detail = ReadersAmongOthers(dacl);
    if (!detail.empty()) return ReadResult::OpenToOthers;
    text.resize(max);
    DWORD n = 0;
    if (!ReadFile(h, text.data(), static_cast<DWORD>(max), &n, nullptr)) {
        detail = SystemText(GetLastError());
        text.clear();
        return ReadResult::Failed;
    }
    text.resize(n);
    return ReadResult::Ok;
}

bool WritePrivate(const std::string& path, const std::string& text, std::string& detail) {
    // SYSTEM, the Administrators and this program's user, full control; "P": nothing inherited.
    std::string user = "SY";
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        alignas(TOKEN_USER) unsigned char buf[256];
        DWORD size = 0;
        if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &size)) {
            char* sidText = nullptr;
            if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &sidText)) {
                user = sidText;
                LocalFree(sidText);
            }
        }
        CloseHandle(token);
    }
    const std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + user + ")";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        detail = "cannot make its access list: " + SystemText(GetLastError());
        return false;
    }
    std::unique_ptr<void, LocalDeleter> sdOwner(sd);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        detail = SystemText(GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(h);
    const DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) {
        DeleteFileA(path.c_str());
        detail = SystemText(code);
        return false;
    }
    return true;
}

} // namespace gateway::winfile
