#include "vetra_service_manager/platform/windows_ownership.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/windows_text.hpp"

namespace vetra_service_manager::platform::windows_ownership {
namespace {

using LocalMemory = std::unique_ptr<void, decltype(&LocalFree)>;

[[noreturn]] void fail(DWORD error, const std::string& what, const std::filesystem::path& path) {
    throw std::system_error(static_cast<int>(error), std::system_category(), what + " " + to_text(path));
}

// Rights by which another account could change what we keep there, or who may.
constexpr ACCESS_MASK WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// CREATOR OWNER stands, in what is created inside, for whoever creates it: no one else.
bool trusted(PSID sid) {
    static const std::vector<unsigned char> user = [] {
        PSID parsed = nullptr;
        if (!ConvertStringSidToSidW(windows_text::utf16(account::current().sid).c_str(), &parsed)) {
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot read the user's security identifier");
        }
        const LocalMemory guard(parsed, LocalFree);
        const auto* bytes = static_cast<const unsigned char*>(parsed);
        return std::vector<unsigned char>(bytes, bytes + GetLengthSid(parsed));
    }();
    return EqualSid(sid, const_cast<unsigned char*>(user.data())) || IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinCreatorOwnerSid);
}

// "BUILTIN\Users (S-1-5-32-545)", or the identifier alone when it names no known account.
std::string describe(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "an unknown account";
    const LocalMemory guard(text, LocalFree);
    const std::string id = to_text(std::filesystem::path(text));
    wchar_t name[256], domain[256];
    DWORD name_size = 256, domain_size = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) return id;
    const std::wstring full = domain_size > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    return to_text(std::filesystem::path(full)) + " (" + id + ")";
}

}  // namespace

std::optional<std::string> foreign_control(HANDLE handle, const std::filesystem::path& path, bool check_writers) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | (check_writers ? DACL_SECURITY_INFORMATION : 0),
                                        &owner, nullptr, check_writers ? &dacl : nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) fail(error, "Cannot read the owner and access list of", path);
    const LocalMemory guard(descriptor, LocalFree);
    if (owner == nullptr || !trusted(owner)) {
        return "it is owned by another account, " + (owner ? describe(owner) : std::string("nobody"));
    }
    if (!check_writers) return std::nullopt;
    if (dacl == nullptr) return std::string("it has no access list, so every account may write to it");
    // Deny entries only take rights away; an entry for what is created inside (inherit-only) counts
    // too, since our files there would get it.
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) fail(GetLastError(), "Cannot read the access list of", path);
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & WRITE_RIGHTS) != 0 && !trusted(sid)) {
            return "it is writable by " + describe(sid) + " (remove that permission, or delete the directory)";
        }
    }
    return std::nullopt;
}

void require_own_regular_file(HANDLE handle, const std::filesystem::path& path) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        fail(GetLastError(), "Cannot examine", path);
    }
    std::optional<std::string> reason;
    if (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "it is a link or a directory, not a regular file";
    } else {
        reason = foreign_control(handle, path, false);
    }
    if (reason) throw std::runtime_error("Refusing to use " + to_text(path) + ": " + *reason);
}

}  // namespace vetra_service_manager::platform::windows_ownership
