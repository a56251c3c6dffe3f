// The Windows process layer, driven for real: this program starts itself as the child.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "child.hpp"
#include "smoke.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/process_table.hpp"

namespace {

namespace platform = vetra_service_manager::platform;
namespace process = vetra_service_manager::platform::process;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<std::string> child(std::vector<std::string> rest) {
    rest.insert(rest.begin(), {platform::to_text(smoke::self()), "child"});
    return rest;
}

std::vector<std::string> split_nul(const std::string& text) {
    std::vector<std::string> parts;
    std::string::size_type start = 0, end;
    while ((end = text.find('\0', start)) != std::string::npos) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

template <typename Call>
std::optional<process::StartError> start_error_of(Call call) {
    try {
        call();
    } catch (const process::StartError& error) {
        return error;
    }
    return std::nullopt;
}

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "key=value" lines of a child's report.
std::string field(const std::string& report, const std::string& key) {
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "<missing " + key + ">";
}

bool wait_for_file(const std::filesystem::path& file, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!std::filesystem::exists(file)) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

}  // namespace

SMOKE_CASE("run_captured keeps output, error and exit status apart") {
    auto result = process::run_captured(child({"echo", "to out\n", "to err\n", "7"}));
    CHECK_EQ(result.out, std::string("to out\n"));
    CHECK_EQ(result.err, std::string("to err\n"));
    CHECK_EQ(result.exit_code, 7);
    CHECK(!result.timed_out);
}

SMOKE_CASE("every argument arrives unchanged") {
    const std::vector<std::string> tricky = {
        "plain", "", " ", "two words", "tab\there", "new\nline", "quote\"inside", "\"", "\"\"",
        "back\\slash", "trailing\\", "trailing space\\", "\\\\server\\share\\", "\\\"", "a\\\\\\\"b",
        "C:\\Program Files\\dir\\", "%PATH%", "^&|<>()!", "'single'", "--flag=\"x y\"",
        "Ünïcødé € 😀",
    };
    std::vector<std::string> argv = child({"args"});
    argv.insert(argv.end(), tricky.begin(), tricky.end());
    auto result = process::run_captured(argv);
    CHECK_EQ(result.exit_code, 0);
    const auto received = split_nul(result.out);
    CHECK_EQ(received.size(), tricky.size());
    for (std::size_t i = 0; i < std::min(received.size(), tricky.size()); ++i) CHECK_EQ(received[i], tricky[i]);
}

SMOKE_CASE("megabytes on both pipes do not deadlock") {
    auto result = process::run_captured(child({"streams", "4096"}), 120s);
    CHECK(!result.timed_out);
    CHECK_EQ(result.out.size(), std::size_t{4096 * 1024});
    CHECK_EQ(result.err.size(), std::size_t{4096 * 1024});
    CHECK(result.out.find_first_not_of('o') == std::string::npos);
    CHECK(result.err.find_first_not_of('e') == std::string::npos);
}

SMOKE_CASE("a time-out kills the child and reports it") {
    const auto start = Clock::now();
    auto result = process::run_captured(child({"sleep", "60000"}), 1s);
    CHECK(result.timed_out);
    CHECK(Clock::now() - start < 30s);
}

SMOKE_CASE("a time-out ends the grandchildren holding the pipes too") {
    const auto start = Clock::now();
    auto result = process::run_captured(child({"tree", "60000"}), 1s);
    CHECK(result.timed_out);
    CHECK(Clock::now() - start < 30s);
}

SMOKE_CASE("a grandchild left holding the pipes does not outlast the time-out") {
    const auto start = Clock::now();
    auto result = process::run_captured(child({"orphan", "60000"}), 2s);
    CHECK(result.timed_out);
    CHECK_EQ(result.exit_code, 0);
    CHECK(Clock::now() - start < 30s);
    // Ended with the child's job, not merely abandoned (a process that OpenProcess cannot find
    // has ended too).
    const std::string pid = result.out;
    CHECK(!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos);
    if (HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul("0" + pid)))) {
        CHECK_EQ(WaitForSingleObject(grandchild, 10000), DWORD{WAIT_OBJECT_0});
        CloseHandle(grandchild);
    }
}

SMOKE_CASE("a program that does not exist raises StartError, not found") {
    for (const std::string& program : {std::string("vsm-no-such-program"), std::string("C:\\vsm-no-such-dir\\tool.exe")}) {
        auto captured = start_error_of([&] { process::run_captured({program, "x"}); });
        CHECK(captured.has_value());
        if (captured) {
            CHECK(captured->not_found());
            CHECK_EQ(std::string(captured->what()).rfind("Cannot start " + program + ": ", 0), std::size_t{0});
        }
        auto inherited = start_error_of([&] { process::run_inherited({program}); });
        CHECK(inherited && inherited->not_found());
    }
    auto empty = start_error_of([] { process::run_captured({}); });
    CHECK(empty && !empty->not_found());
}

SMOKE_CASE("a program is found on PATH without its .exe") {
    const auto dir = smoke::temp_dir("path");
    std::filesystem::copy_file(smoke::self(), dir / "vsm-path-probe.exe");
    const auto old_path = platform::env("PATH").value_or("");
    SetEnvironmentVariableW(L"PATH", platform::from_text(platform::to_text(dir) + ";" + old_path).wstring().c_str());
    auto result = process::run_captured({"vsm-path-probe", "child", "echo", "found", "", "4"});
    SetEnvironmentVariableW(L"PATH", platform::from_text(old_path).wstring().c_str());
    CHECK_EQ(result.exit_code, 4);
    CHECK_EQ(result.out, std::string("found"));
    CHECK_EQ(process::run_captured({"cmd", "/c", "exit 3"}).exit_code, 3);
}

SMOKE_CASE("run_inherited writes to our own streams and honours the time-out") {
    const auto dir = smoke::temp_dir("inherited");
    const auto log = dir / "out.txt";
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    HANDLE file = CreateFileW(log.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes, CREATE_ALWAYS, 0, nullptr);
    const HANDLE own = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    auto result = process::run_inherited(child({"echo", "inherited text", "", "5"}));
    SetStdHandle(STD_OUTPUT_HANDLE, own);
    CloseHandle(file);
    CHECK_EQ(result.exit_code, 5);
    CHECK_EQ(read_text(log), std::string("inherited text"));

    const auto start = Clock::now();
    auto slow = process::run_inherited(child({"sleep", "60000"}), 1s);
    CHECK(slow.timed_out);
    CHECK(Clock::now() - start < 30s);
}

SMOKE_CASE("start_detached: working directory, null streams, no handle of ours") {
    const auto dir = smoke::temp_dir("detached");
    const auto report = dir / "report.txt";
    // An inheritable handle of ours: if the child got it, the pipe would still have a writer.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CHECK(CreatePipe(&read, &write, &inheritable, 0));
    process::start_detached(child({"report", platform::to_text(report), "20000"}), dir, CREATE_NO_WINDOW);
    CloseHandle(write);
    CHECK(wait_for_file(report, std::chrono::seconds(30)));
    const std::string text = read_text(report);
    DWORD available = 0;
    const BOOL writer_alive = PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr);
    CHECK(!writer_alive);
    CloseHandle(read);
    std::error_code ec;
    CHECK(std::filesystem::equivalent(platform::from_text(field(text, "cwd")), dir, ec));
    for (const char* stream : {"stdin", "stdout", "stderr"}) CHECK_EQ(field(text, stream), std::string("2"));

    const DWORD pid = static_cast<DWORD>(std::stoul(field(text, "pid")));
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
        TerminateProcess(process, 0);
        CloseHandle(process);
    }
}

SMOKE_CASE("start_detached names a missing program or working directory") {
    const auto dir = smoke::temp_dir("detached-missing");
    auto no_dir = start_error_of([&] { process::start_detached(child({"sleep", "0"}), dir / "absent", CREATE_NO_WINDOW); });
    CHECK(no_dir && no_dir->not_found());
    if (no_dir) CHECK(std::string(no_dir->what()).find("working directory") != std::string::npos);
    auto no_program = start_error_of([&] { process::start_detached({"vsm-no-such-program"}, dir, CREATE_NO_WINDOW); });
    CHECK(no_program && no_program->not_found());
}

SMOKE_CASE("a bare name is looked for on PATH only; a relative path is that file") {
    const auto dir = smoke::temp_dir("planted");
    std::filesystem::copy_file(smoke::self(), dir / "vsm-planted.exe");
    const auto old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    auto planted = start_error_of([] { process::run_captured({"vsm-planted", "child", "echo", "", "", "0"}); });
    auto relative = process::run_captured({".\\vsm-planted.exe", "child", "echo", "here", "", "0"});
    std::filesystem::current_path(old_cwd);
    CHECK(planted && planted->not_found());
    CHECK_EQ(relative.out, std::string("here"));
}

SMOKE_CASE("an argument that is not UTF-8 is refused, not changed") {
    auto error = start_error_of([] { process::run_captured(child({"args", "bad \xff byte"})); });
    CHECK(error && std::string(error->what()).find("not valid UTF-8") != std::string::npos);
}

SMOKE_CASE("terminate_running_children ends the child a call waits for") {
    std::thread interrupt([] {
        std::this_thread::sleep_for(500ms);
        process::terminate_running_children();
    });
    const auto start = Clock::now();
    auto result = process::run_captured(child({"tree", "60000"}));
    interrupt.join();
    CHECK(!result.timed_out);
    CHECK_EQ(result.exit_code, 1);
    CHECK(Clock::now() - start < 30s);
}

SMOKE_CASE("terminate_tree ends a tree, but no orphan of it and no older process") {
    namespace process_table = vetra_service_manager::platform::process_table;
    const auto table = process_table::system_table();
    const auto dir = smoke::temp_dir("tree");
    // The same program, started before the tree: not part of it.
    const PROCESS_INFORMATION unrelated = smoke::child::start({"sleep", "60000"});
    std::this_thread::sleep_for(100ms);
    const PROCESS_INFORMATION root = smoke::child::start({"family", platform::to_text(dir / "family"), "60000"});
    CHECK(wait_for_file(dir / "family", 30s));
    const std::string family = read_text(dir / "family");
    const DWORD kid = std::stoul("0" + field(family, "child")), grandchild = std::stoul("0" + field(family, "grandchild"));
    CHECK(kid != 0 && grandchild != 0);
    const auto created = table->creation_time(root.dwProcessId);
    CHECK(created.has_value());
    CHECK(created && table->terminate_tree(root.dwProcessId, *created).size() == 2);

    CHECK_EQ(WaitForSingleObject(root.hProcess, 5000), WAIT_OBJECT_0);
    std::this_thread::sleep_for(200ms);
    CHECK(!table->creation_time(kid));
    // Its parent ended before the kill: nothing ties it to the tree any more, whatever it runs.
    const HANDLE orphan = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, grandchild);
    CHECK(orphan && WaitForSingleObject(orphan, 0) == static_cast<DWORD>(WAIT_TIMEOUT));
    if (orphan) TerminateProcess(orphan, 1), CloseHandle(orphan);
    CHECK_EQ(WaitForSingleObject(unrelated.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    for (const auto& info : {unrelated, root}) {
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}
