// Windows child processes: CreateProcessW with an explicit list of the handles the child inherits,
// one reader thread per pipe, and a job object so that a time-out ends the child's whole tree.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/running_children.hpp"
#include "vetra_service_manager/platform/text.hpp"
#include "vetra_service_manager/platform/windows_command_line.hpp"
#include "vetra_service_manager/platform/windows_text.hpp"

namespace vetra_service_manager::platform::process {
namespace {

using Clock = std::chrono::steady_clock;

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    ~Handle() { reset(); }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr) {
        if (handle_) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

using windows_text::utf16;
using windows_text::utf8;

// The system's own sentence for an error code, e.g. "The system cannot find the file specified."
std::string system_message(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    try {
        if (length) text = utf8(std::wstring_view(buffer, length));
    } catch (const std::range_error&) {
    }
    if (buffer) LocalFree(buffer);
    text.resize(platform::text::without_trailing_space(text).size());
    return text.empty() ? "error " + std::to_string(error) : text;
}

// The codes a caller tests for, in the generic category: the C runtime's system_category does not
// reliably map Windows codes to std::errc values.
std::error_code start_error_code(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return std::make_error_code(std::errc::no_such_file_or_directory);
        case ERROR_DIRECTORY:
            return std::make_error_code(std::errc::not_a_directory);
        case ERROR_ACCESS_DENIED:
            return std::make_error_code(std::errc::permission_denied);
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
            return std::make_error_code(std::errc::executable_format_error);
        default:
            return {static_cast<int>(error), std::system_category()};
    }
}

[[noreturn]] void throw_start_error(DWORD error, const std::string& program) {
    throw StartError(start_error_code(error), program, system_message(error));
}

Handle null_device() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr));
    if (!nul) throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "open NUL");
    return nul;
}

struct Pipe {
    Handle read, write;  // the write end is the child's, inheritable
};

Pipe make_pipe() {
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, nullptr, 0))
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreatePipe");
    Pipe pipe{Handle(read), Handle(write)};
    SetHandleInformation(write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return pipe;
}

// One of our standard handles as an inheritable duplicate; the null device where we have none.
Handle inheritable_std_handle(DWORD which) {
    const HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own && own != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return Handle(copy);
    return null_device();
}

// The only handles the child inherits: its three standard streams. Everything else of ours that
// happens to be inheritable stays here, even when another thread starts a child at the same time.
class InheritedHandles {
public:
    explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
        std::sort(handles_.begin(), handles_.end());
        handles_.erase(std::unique(handles_.begin(), handles_.end()), handles_.end());
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_ = std::make_unique<std::byte[]>(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
        if (!InitializeProcThreadAttributeList(list_, 1, 0, &size))
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "InitializeProcThreadAttributeList");
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            const DWORD error = GetLastError();
            DeleteProcThreadAttributeList(list_);
            throw std::system_error(static_cast<int>(error), std::system_category(), "UpdateProcThreadAttribute");
        }
    }
    ~InheritedHandles() { DeleteProcThreadAttributeList(list_); }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::unique_ptr<std::byte[]> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

struct StdStreams {
    HANDLE in, out, err;
};

struct Child {
    Handle process;
    Handle thread;
};

bool is_path(std::string_view program) { return program.find_first_of("\\/:") != std::string_view::npos; }

// The file to start, always handed to CreateProcessW whole: left to find it itself, it would look in
// our own and the current directory before PATH, where anyone may have put a program of that name.
// A path is made absolute; a bare name is looked for on PATH only (".exe" added when it has no
// extension), as the search path of a console user.
std::wstring application(const std::string& program) {
    if (is_path(program)) {
        std::error_code ec;
        auto path = std::filesystem::absolute(platform::from_text(program), ec);
        if (ec) throw StartError(ec, program);
        return path.wstring();
    }
    const std::wstring search_path = utf16(platform::env("PATH").value_or(""));
    const std::wstring name = utf16(program);
    std::wstring found(MAX_PATH, L'\0');
    while (!search_path.empty()) {
        const DWORD length = SearchPathW(search_path.c_str(), name.c_str(), L".exe", static_cast<DWORD>(found.size()),
                                         found.data(), nullptr);
        if (length == 0) break;
        if (length < found.size()) {
            found.resize(length);
            return found;
        }
        found.resize(length);
    }
    throw_start_error(ERROR_FILE_NOT_FOUND, program);
}

// Fails with the system's error code instead of throwing, so that the caller can retry.
DWORD try_spawn(const std::wstring& program, const std::vector<std::string>& argv, StdStreams streams, DWORD flags,
                const wchar_t* working_directory, Child& child) {
    std::wstring command = utf16(windows_command_line::build(argv));
    InheritedHandles inherited({streams.in, streams.out, streams.err});
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = streams.in;
    startup.StartupInfo.hStdOutput = streams.out;
    startup.StartupInfo.hStdError = streams.err;
    startup.lpAttributeList = inherited.get();
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, flags | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        working_directory, &startup.StartupInfo, &info))
        return GetLastError();
    child.process.reset(info.hProcess);
    child.thread.reset(info.hThread);
    return ERROR_SUCCESS;
}

// Checks the argument vector and finds the program.
std::wstring prepare(const std::vector<std::string>& argv) {
    const auto invalid = std::make_error_code(std::errc::invalid_argument);
    if (argv.empty()) throw StartError(invalid, "", "empty argument vector");
    if (!windows_command_line::valid_program(argv[0]))
        throw StartError(invalid, argv[0], "a program name cannot contain '\"'");
    try {
        for (const auto& arg : argv) utf16(arg);
    } catch (const std::range_error&) {
        throw StartError(invalid, argv[0], "an argument is not valid UTF-8 text");
    }
    return application(argv[0]);
}

// CreateProcessW reports a missing working directory as a bad directory name: it is checked first
// so that the error names the right culprit.
void check_working_directory(const std::vector<std::string>& argv, const std::filesystem::path& working_directory) {
    std::error_code ec;
    if (std::filesystem::is_directory(working_directory, ec)) return;
    const auto code = std::make_error_code(std::filesystem::exists(working_directory, ec)
                                               ? std::errc::not_a_directory
                                               : std::errc::no_such_file_or_directory);
    throw StartError(code, argv[0], "working directory " + platform::to_text(working_directory) + ": " + code.message());
}

class Tree;
std::mutex running_mutex;
std::vector<Tree*> running;  // every child a call is waiting for

// A child in a job of its own, so that a time-out ends the whole tree it started, not only the
// child: a grandchild holding our pipe would otherwise keep the readers waiting. Children may
// still leave the job when they ask to (a helper of theirs that must outlive them).
class Tree {
public:
    Tree(const std::vector<std::string>& argv, StdStreams streams, DWORD flags, const WorkingDirectory& working_directory) {
        const std::wstring program = prepare(argv);
        if (working_directory) check_working_directory(argv, *working_directory);
        const std::wstring directory = working_directory ? working_directory->wstring() : std::wstring();
        job_.reset(CreateJobObjectW(nullptr, nullptr));
        if (job_) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
            SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        if (DWORD error = try_spawn(program, argv, streams, flags | CREATE_SUSPENDED,
                                    working_directory ? directory.c_str() : nullptr, child_))
            throw_start_error(error, argv[0]);
        // Without a job (nesting refused by an older system), a time-out ends the child alone.
        if (job_ && !AssignProcessToJobObject(job_.get(), child_.process.get())) job_.reset();
        ResumeThread(child_.thread.get());
        child_.thread.reset();
        std::lock_guard lock(running_mutex);
        running.push_back(this);
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree() {
        {
            std::lock_guard lock(running_mutex);
            std::erase(running, this);
        }
        if (!finished_) kill();
    }

    // Ends the child and all in its job, from any thread; the waiting thread sees it end.
    void terminate() {
        constexpr UINT killed = 1;
        if (job_) TerminateJobObject(job_.get(), killed);
        TerminateProcess(child_.process.get(), killed);
    }

    // True when the child ended before `deadline`.
    bool wait(std::optional<Clock::time_point> deadline) {
        for (;;) {
            DWORD wait_ms = INFINITE;
            if (deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
                wait_ms = static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
            }
            const DWORD result = WaitForSingleObject(child_.process.get(), wait_ms);
            if (result == WAIT_OBJECT_0) return finished_ = true;
            if (result == WAIT_TIMEOUT && (!deadline || Clock::now() >= *deadline)) return false;
            if (result == WAIT_FAILED)
                throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "WaitForSingleObject");
        }
    }

    // Ends the child and everything it started in its job, then waits for the child's end.
    void kill() {
        terminate();
        WaitForSingleObject(child_.process.get(), INFINITE);
        finished_ = true;
    }

    int exit_code() const {
        DWORD code = 0;
        GetExitCodeProcess(child_.process.get(), &code);
        return static_cast<int>(code);
    }

private:
    Handle job_;
    Child child_;
    bool finished_ = false;
};

std::optional<Clock::time_point> deadline_for(Timeout timeout) {
    if (!timeout) return std::nullopt;
    return Clock::now() + *timeout;
}

std::string read_all(HANDLE pipe) {
    std::string text;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) text.append(buffer, count);
    return text;  // ERROR_BROKEN_PIPE: every writer has closed its end
}

}  // namespace

Captured run_captured(const std::vector<std::string>& argv, Timeout timeout, const WorkingDirectory& working_directory) {
    const auto deadline = deadline_for(timeout);
    Handle input = null_device();
    Pipe out = make_pipe();
    Pipe err = make_pipe();
    // No console window of its own for a child whose streams are all ours.
    Tree tree(argv, {input.get(), out.write.get(), err.write.get()}, CREATE_NO_WINDOW, working_directory);
    input.reset();
    out.write.reset();
    err.write.reset();

    // Both pipes are drained at once, so that a child filling one while we wait on the other
    // cannot block us both.
    auto out_text = std::async(std::launch::async, read_all, out.read.get());
    auto err_text = std::async(std::launch::async, read_all, err.read.get());
    Captured result;
    if (!tree.wait(deadline)) {
        tree.kill();
        result.timed_out = true;
    }
    // The child has ended, but something it started may still hold the pipes open.
    auto drained = [&](std::future<std::string>& text) {
        return !deadline || text.wait_until(*deadline) == std::future_status::ready;
    };
    if (!drained(out_text) || !drained(err_text)) {
        tree.kill();
        result.timed_out = true;
        // Still not drained: a process that left the job holds them. Give up reading.
        const auto grace = Clock::now() + std::chrono::seconds(5);
        for (auto* pending : {&out_text, &err_text}) pending->wait_until(grace);
        if (out_text.wait_for(std::chrono::seconds(0)) != std::future_status::ready) CancelIoEx(out.read.get(), nullptr);
        if (err_text.wait_for(std::chrono::seconds(0)) != std::future_status::ready) CancelIoEx(err.read.get(), nullptr);
    }
    result.out = out_text.get();
    result.err = err_text.get();
    result.exit_code = tree.exit_code();
    return result;
}

Completed run_inherited(const std::vector<std::string>& argv, Timeout timeout, const WorkingDirectory& working_directory) {
    const auto deadline = deadline_for(timeout);
    Handle in = inheritable_std_handle(STD_INPUT_HANDLE);
    Handle out = inheritable_std_handle(STD_OUTPUT_HANDLE);
    Handle err = inheritable_std_handle(STD_ERROR_HANDLE);
    // Our console too, so that Ctrl-C at the terminal reaches the child as well.
    Tree tree(argv, {in.get(), out.get(), err.get()}, 0, working_directory);
    Completed result;
    if (!tree.wait(deadline)) {
        tree.kill();
        result.timed_out = true;
    }
    result.exit_code = tree.exit_code();
    return result;
}

void terminate_running_children() {
    std::lock_guard lock(running_mutex);
    for (Tree* tree : running) tree->terminate();
}

// Terminating a job object leaves nothing a grace could save, and nothing else to send.
void signal_running_children(int) { terminate_running_children(); }
void end_running_children() { terminate_running_children(); }

void start_detached(const std::vector<std::string>& argv, const std::filesystem::path& working_directory,
                    std::uint32_t windows_creation_flags) {
    const std::wstring program = prepare(argv);
    check_working_directory(argv, working_directory);
    Handle nul = null_device();
    const std::wstring directory = working_directory.wstring();
    // Its own process group (Ctrl-C at our console is not its business) and, where allowed, out of
    // any job we run in, so that closing that job does not end it with us.
    const DWORD flags = windows_creation_flags | CREATE_NEW_PROCESS_GROUP;
    Child child;
    DWORD error = try_spawn(program, argv, {nul.get(), nul.get(), nul.get()}, flags | CREATE_BREAKAWAY_FROM_JOB,
                            directory.c_str(), child);
    if (error == ERROR_ACCESS_DENIED)
        error = try_spawn(program, argv, {nul.get(), nul.get(), nul.get()}, flags, directory.c_str(), child);
    if (error != ERROR_SUCCESS) throw_start_error(error, argv[0]);
}

}  // namespace vetra_service_manager::platform::process
