#include "vetra_service_manager/platform/account.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define SECURITY_WIN32
#include <windows.h>
#include <sddl.h>
#include <security.h>

#include <memory>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform::account {
namespace {

std::string narrow(const wchar_t* text) { return to_text(std::filesystem::path(text)); }

[[noreturn]] void raise_last_error(const char* what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

std::string account_name() {
    ULONG size = 0;
    GetUserNameExW(NameSamCompatible, nullptr, &size);
    if (size == 0) raise_last_error("Cannot read the user's account name");
    std::wstring name(size, L'\0');
    if (!GetUserNameExW(NameSamCompatible, name.data(), &size)) raise_last_error("Cannot read the user's account name");
    name.resize(size);
    return narrow(name.c_str());
}

std::string user_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) raise_last_error("Cannot open the process token");
    const std::unique_ptr<void, decltype(&CloseHandle)> token_guard(token, CloseHandle);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        raise_last_error("Cannot read the user of the process token");
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        raise_last_error("Cannot write the user's security identifier");
    }
    const std::unique_ptr<void, decltype(&LocalFree)> text_guard(text, LocalFree);
    return narrow(text);
}

}  // namespace

Account current() { return {account_name(), user_sid()}; }

}  // namespace vetra_service_manager::platform::account
