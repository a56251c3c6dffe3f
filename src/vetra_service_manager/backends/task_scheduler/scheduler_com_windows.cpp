#include "vetra_service_manager/backends/task_scheduler/scheduler_com.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::task_scheduler::scheduler_com {
namespace {
using scheduler::RegisteredTask;
using scheduler::TaskSchedulerError;

std::wstring wide(std::string_view text) { return platform::from_text(text).wstring(); }
std::string narrow(const wchar_t* text) { return text ? platform::to_text(std::filesystem::path(text)) : std::string(); }

// "<system message> (0xHHHHHHHH)", on one line. Task Scheduler's own codes (SCHED_E_*) are not in
// the system's message table but in that of its library, which COM has loaded by now.
std::string describe(HRESULT result) {
    wchar_t* buffer = nullptr;
    const auto format = [&](DWORD source, HMODULE module) {
        return FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | source | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                              static_cast<DWORD>(result), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    };
    DWORD length = format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr);
    const HMODULE scheduler_library = GetModuleHandleW(L"taskschd.dll");
    if (!length && scheduler_library) length = format(FORMAT_MESSAGE_FROM_HMODULE, scheduler_library);
    std::string text = length ? narrow(buffer) : std::string("Unknown error");
    if (buffer) LocalFree(buffer);
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    return text + " (" + code + ")";
}

// Task Scheduler gives times as automation dates in local time; 0 (30 December 1899) for never.
std::optional<std::chrono::system_clock::time_point> from_local_date(DATE date) {
    SYSTEMTIME local{}, utc{};
    FILETIME ticks{};
    if (date <= 0 || !VariantTimeToSystemTime(date, &local) || !TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
        !SystemTimeToFileTime(&utc, &ticks)) {
        return std::nullopt;
    }
    // 100 ns ticks since 1601 to microseconds since 1970.
    const auto since_1601 = (static_cast<std::uint64_t>(ticks.dwHighDateTime) << 32) | ticks.dwLowDateTime;
    return std::chrono::system_clock::time_point(
        std::chrono::microseconds((static_cast<std::int64_t>(since_1601) - 116444736000000000LL) / 10));
}

void check(HRESULT result, const std::string& what) {
    if (FAILED(result)) throw TaskSchedulerError(what + ": " + describe(result));
}

template <typename T>
class Com {
public:
    Com() = default;
    ~Com() {
        if (pointer_) pointer_->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T** out() { return &pointer_; }
    T* operator->() const { return pointer_; }

private:
    T* pointer_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(std::string_view text) : value_(SysAllocString(wide(text).c_str())) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return value_; }
    BSTR* out() { return &value_; }

private:
    BSTR value_ = nullptr;
};

VARIANT empty_variant() {
    VARIANT value;
    VariantInit(&value);
    return value;
}

bool is_missing(HRESULT result) {
    return result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

// COM on this thread for as long as it lives.
class Apartment {
public:
    Apartment() {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // Already initialised differently on this thread: usable all the same, but not ours to end.
        initialised_ = SUCCEEDED(init);
        if (FAILED(init) && init != RPC_E_CHANGED_MODE) check(init, "Cannot initialise COM");
    }
    ~Apartment() {
        if (initialised_) CoUninitialize();
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

private:
    bool initialised_ = false;
};

class ComTaskScheduler : public scheduler::TaskScheduler {
public:
    ComTaskScheduler() {
        // Once per process; a second call (or one made by a host) fails harmlessly.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, 0, nullptr);
        check(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               reinterpret_cast<void**>(service_.out())),
              "Cannot reach Task Scheduler");
        check(service_->Connect(empty_variant(), empty_variant(), empty_variant(), empty_variant()),
              "Cannot connect to Task Scheduler");
        Bstr root("\\");
        check(service_->GetFolder(root, folder_.out()), "Cannot open Task Scheduler's root folder");
        logging::get_logger("vetra_service_manager.backends.task_scheduler.scheduler_com")
            ->info("Connected to Task Scheduler");
    }

    void register_task(const std::string& name, const std::string& xml) override {
        Com<IRegisteredTask> task;
        VARIANT sddl = empty_variant();
        check(folder_->RegisterTask(Bstr(name), Bstr(xml), TASK_CREATE_OR_UPDATE, empty_variant(), empty_variant(),
                                    TASK_LOGON_INTERACTIVE_TOKEN, sddl, task.out()),
              "Cannot register task " + name);
    }

    std::optional<RegisteredTask> find(const std::string& name) const override {
        Com<IRegisteredTask> task;
        const HRESULT found = folder_->GetTask(Bstr(name), task.out());
        if (is_missing(found)) return std::nullopt;
        // Any user may create a task in the root folder; one that another account created is
        // hidden from us behind "access denied".
        if (found == E_ACCESSDENIED) {
            throw TaskSchedulerError("The task name " + name + " is taken by another account");
        }
        check(found, "Cannot look up task " + name);
        RegisteredTask result;
        Bstr xml;
        check(task->get_Xml(xml.out()), "Cannot read task " + name);
        result.xml = narrow(xml);
        VARIANT_BOOL enabled = VARIANT_FALSE;
        check(task->get_Enabled(&enabled), "Cannot read task " + name);
        result.enabled = enabled != VARIANT_FALSE;
        TASK_STATE state = TASK_STATE_UNKNOWN;
        check(task->get_State(&state), "Cannot read task " + name);
        result.running = state == TASK_STATE_RUNNING;
        // Both only explain a failure: a scheduler that cannot tell leaves them unknown.
        LONG last_result = 0;
        if (SUCCEEDED(task->get_LastTaskResult(&last_result))) result.last_result = static_cast<std::uint32_t>(last_result);
        DATE last_run = 0;
        if (SUCCEEDED(task->get_LastRunTime(&last_run))) result.last_run_time = from_local_date(last_run);
        if (result.running) result.instance_pid = instance_pid(task);
        return result;
    }

    void run(const std::string& name) override {
        Com<IRegisteredTask> task;
        open(name, task);
        Com<IRunningTask> instance;
        check(task->Run(empty_variant(), instance.out()), "Cannot run task " + name);
    }

    void end(const std::string& name) override {
        Com<IRegisteredTask> task;
        open(name, task);
        check(task->Stop(0), "Cannot end task " + name);
    }

    void set_enabled(const std::string& name, bool enabled) override {
        Com<IRegisteredTask> task;
        open(name, task);
        check(task->put_Enabled(enabled ? VARIANT_TRUE : VARIANT_FALSE), "Cannot change task " + name);
    }

    void remove(const std::string& name) override { check(folder_->DeleteTask(Bstr(name), 0), "Cannot delete task " + name); }

private:
    static std::optional<std::uint32_t> instance_pid(Com<IRegisteredTask>& task) {
        Com<IRunningTaskCollection> instances;
        LONG count = 0;
        if (FAILED(task->GetInstances(0, instances.out())) || FAILED(instances->get_Count(&count)) || count < 1) {
            return std::nullopt;
        }
        Com<IRunningTask> instance;
        VARIANT first = empty_variant();
        first.vt = VT_I4;
        first.lVal = 1;
        DWORD pid = 0;
        if (FAILED(instances->get_Item(first, instance.out())) || FAILED(instance->get_EnginePID(&pid)) || pid == 0) {
            return std::nullopt;
        }
        return pid;
    }

    // A task that must exist for the call.
    void open(const std::string& name, Com<IRegisteredTask>& task) {
        check(folder_->GetTask(Bstr(name), task.out()), "Cannot find task " + name);
    }

    // Declared first, so that the COM objects are released before COM ends.
    Apartment apartment_;
    Com<ITaskService> service_;
    Com<ITaskFolder> folder_;
};

}  // namespace

std::unique_ptr<scheduler::TaskScheduler> connect() { return std::make_unique<ComTaskScheduler>(); }

}  // namespace vetra_service_manager::backends::task_scheduler::scheduler_com
