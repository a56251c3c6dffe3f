// The Windows platform layer: names, environment and UTF-8 paths.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fstream>
#include <stdexcept>

#include "smoke.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace {
namespace platform = vetra_service_manager::platform;

const std::string NON_ASCII = "Ünïcødé € 😀";
const std::wstring NON_ASCII_WIDE = L"\u00dcn\u00efc\u00f8d\u00e9 \u20ac \U0001F600";

// Sets (or, with nullptr, removes) a variable for the scope.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
        DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
        if (length > 0) {
            old_.resize(length);
            old_.resize(GetEnvironmentVariableW(name, old_.data(), length));
            had_ = true;
        }
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::wstring old_;
    bool had_ = false;
};

}  // namespace

SMOKE_CASE("the platform says Windows") {
    CHECK_EQ(platform::name(), std::string("Windows"));
    CHECK(platform::system() == platform::System::windows);
    CHECK_EQ(platform::real_user_id(), std::string("0"));
}

SMOKE_CASE("environment values are UTF-8; empty is not absent") {
    {
        ScopedVariable value(L"VSM_SMOKE_VALUE", NON_ASCII_WIDE.c_str());
        CHECK_EQ(platform::env("VSM_SMOKE_VALUE").value_or("<absent>"), NON_ASCII);
        CHECK_EQ(platform::env("vsm_smoke_value").value_or("<absent>"), NON_ASCII);  // names ignore case
    }
    {
        ScopedVariable empty(L"VSM_SMOKE_VALUE", L"");
        CHECK_EQ(platform::env("VSM_SMOKE_VALUE").value_or("<absent>"), std::string());
    }
    CHECK(!platform::env("VSM_SMOKE_VALUE").has_value());
    const std::wstring long_value(5000, L'x');
    ScopedVariable long_variable(L"VSM_SMOKE_LONG", long_value.c_str());
    CHECK_EQ(platform::env("VSM_SMOKE_LONG").value_or("").size(), std::size_t{5000});
}

SMOKE_CASE("home_dir is USERPROFILE") {
    const std::wstring profile = L"C:\\Users\\" + NON_ASCII_WIDE;
    {
        ScopedVariable variable(L"USERPROFILE", profile.c_str());
        CHECK(platform::home_dir().wstring() == profile);
    }
    ScopedVariable no_profile(L"USERPROFILE", nullptr);
    ScopedVariable drive(L"HOMEDRIVE", L"D:");
    ScopedVariable path(L"HOMEPATH", L"\\home");
    CHECK(platform::home_dir().wstring() == L"D:\\home");
}

SMOKE_CASE("executable_path is this program") {
    const auto path = platform::executable_path();
    CHECK(path.is_absolute());
    CHECK_EQ(path.filename().string(), std::string("vsm_windows_smoke.exe"));
    CHECK(std::filesystem::exists(path));
}

SMOKE_CASE("paths and UTF-8 text convert both ways without loss") {
    const std::string text = "C:\\dir\\" + NON_ASCII;
    const auto path = platform::from_text(text);
    CHECK(path.wstring() == L"C:\\dir\\" + NON_ASCII_WIDE);
    CHECK_EQ(platform::to_text(path), text);

    const auto dir = smoke::temp_dir("paths");
    std::ofstream(dir / platform::from_text(NON_ASCII + ".txt")) << "x";
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((dir.wstring() + L"\\*.txt").c_str(), &found);
    CHECK(search != INVALID_HANDLE_VALUE);
    if (search != INVALID_HANDLE_VALUE) {
        CHECK(std::wstring(found.cFileName) == NON_ASCII_WIDE + L".txt");
        FindClose(search);
    }
}

SMOKE_CASE("text that is not UTF-8 or UTF-16 is an error, not a replacement character") {
    bool bad_utf8 = false, lone_surrogate = false;
    try {
        platform::from_text("C:\\bad \xff byte");
    } catch (const std::range_error&) {
        bad_utf8 = true;
    }
    try {
        platform::to_text(std::filesystem::path(std::wstring(L"C:\\lone ") + wchar_t(0xD800)));
    } catch (const std::range_error&) {
        lone_surrogate = true;
    }
    CHECK(bad_utf8);
    CHECK(lone_surrogate);
}
