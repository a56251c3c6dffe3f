#pragma once
// A minimal check harness for the Windows smoke program, which runs under wine where GoogleTest is
// not built. Each case is a function registered by SMOKE_CASE; a failed check prints its place and
// expression and the case goes on.
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace smoke {

struct Case {
    const char* name;
    std::function<void()> body;
};
std::vector<Case>& cases();

struct Register {
    Register(const char* name, std::function<void()> body) { cases().push_back({name, std::move(body)}); }
};

void record(bool ok, const char* file, int line, const std::string& what);

template <typename A, typename B>
void record_equal(const A& a, const B& b, const char* file, int line, const char* expression) {
    const bool ok = a == b;
    std::ostringstream text;
    if (!ok) text << expression << "\n      left:  " << a << "\n      right: " << b;
    record(ok, file, line, text.str());
}

// This program's own path: the child of every process test is this program again.
std::filesystem::path self();
// A fresh directory for one case (its name holds non-ASCII characters and a space).
std::filesystem::path temp_dir(const std::string& label);

}  // namespace smoke

#define SMOKE_CONCAT2(a, b) a##b
#define SMOKE_CONCAT(a, b) SMOKE_CONCAT2(a, b)
#define SMOKE_CASE(name)                                                               \
    static void SMOKE_CONCAT(smoke_case_, __LINE__)();                                 \
    static smoke::Register SMOKE_CONCAT(smoke_register_, __LINE__)(name, SMOKE_CONCAT(smoke_case_, __LINE__)); \
    static void SMOKE_CONCAT(smoke_case_, __LINE__)()
#define CHECK(condition) smoke::record(static_cast<bool>(condition), __FILE__, __LINE__, #condition)
#define CHECK_EQ(a, b) smoke::record_equal((a), (b), __FILE__, __LINE__, #a " == " #b)
