// Private directories, with the security descriptors that wine derives from Unix modes, and the
// tree remover over a junction.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "smoke.hpp"
#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace {
namespace files = vetra_service_manager::platform::files;
namespace fs = std::filesystem;

std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "?";
    std::string result = fs::path(text).string();
    LocalFree(text);
    return result;
}

// The reason ensure_private_directory gives, or "" when it accepts the directory.
std::string refusal(const fs::path& dir) {
    try {
        files::ensure_private_directory(dir);
        return "";
    } catch (const files::UnsafeDirectory& error) {
        return error.what();
    }
}

}  // namespace

SMOKE_CASE("a service directory we create is the user's alone; one that others may write to is refused") {
    const fs::path dir = smoke::temp_dir("acl") / "norvale" / "services";
    CHECK_EQ(refusal(dir), std::string());

    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    CHECK(GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS);
    if (!descriptor) return;
    // Read back, the list grants the user and nobody else. Wine keeps no access lists, only Unix
    // modes, and reads one back with SYSTEM added and without the protection flag; a directory made
    // with the default list reads back with Everyone too.
    const std::string user = vetra_service_manager::platform::account::current().sid;
    bool user_listed = false;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        GetAce(dacl, i, &entry);
        const std::string sid = sid_text(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart);
        user_listed = user_listed || sid == user;
        CHECK(sid == user || sid == "S-1-5-18");
    }
    CHECK(user_listed);
    CHECK_EQ(sid_text(owner), user);

    // Everyone may now write there.
    EXPLICIT_ACCESSW grant{};
    grant.grfAccessPermissions = FILE_GENERIC_WRITE;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = NO_INHERITANCE;
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD everyone_size = sizeof everyone;
    CHECK(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyone_size));
    grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    grant.Trustee.ptstrName = reinterpret_cast<wchar_t*>(everyone);
    PACL widened = nullptr;
    CHECK(SetEntriesInAclW(1, &grant, dacl, &widened) == ERROR_SUCCESS);
    CHECK(SetNamedSecurityInfoW(const_cast<wchar_t*>(dir.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, widened, nullptr) == ERROR_SUCCESS);
    LocalFree(widened);
    LocalFree(descriptor);
    const std::string reason = refusal(dir);
    CHECK(reason.find("Refusing to use ") == 0 && reason.find("it is writable by ") != std::string::npos &&
          reason.find("S-1-1-0") != std::string::npos && reason.find('\n') == std::string::npos);
}

// install --previous-binary removes the previous bundle with files::remove_tree: a junction in it
// is deleted as itself, never entered, so what it leads to stays. Wine cannot make a junction, so
// tests/windows/smoke makes tree\junction a Unix symbolic link to outside, which wine shows as
// one. Wine cannot delete that link either (its RemoveDirectoryW looks through it and finds the
// target not empty), so there the removal stops at the link, where Windows deletes the junction.
SMOKE_CASE("a tree holding a junction is removed without entering it") {
    namespace platform = vetra_service_manager::platform;
    const auto dir = platform::env("VSM_SMOKE_JUNCTION_DIR");
    CHECK(dir.has_value());
    if (!dir) return;
    const fs::path tree = platform::from_text(*dir) / "tree", outside = platform::from_text(*dir) / "outside";
    const DWORD attributes = GetFileAttributesW((tree / "junction").c_str());
    constexpr DWORD directory_link = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    CHECK(attributes != INVALID_FILE_ATTRIBUTES && (attributes & directory_link) == directory_link);

    std::string refusal;
    try {
        files::remove_tree(tree);
    } catch (const std::system_error& error) {
        refusal = error.what();
    }

    CHECK(refusal.empty() ? GetFileAttributesW(tree.c_str()) == INVALID_FILE_ATTRIBUTES
                          : refusal.find(platform::to_text(tree / "junction")) != std::string::npos);
    std::ifstream kept(outside / "keep" / "deep.txt");
    CHECK_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), std::string("kept"));
}
