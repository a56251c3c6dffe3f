// A console control handler, which Windows calls on a thread of its own.
#include <windows.h>

#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/interrupts_os.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::platform::interrupts {
namespace {

BOOL WINAPI on_console_event(DWORD event) {
    int signal = 0;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: signal = SIGNAL_INT; break;
        case CTRL_CLOSE_EVENT: signal = SIGNAL_HUP; break;
        default: return FALSE;
    }
    if (!record(signal)) {
        process::terminate_running_children();
        ::ExitProcess(128 + signal);
    }
    // Windows ends the process as soon as the handler returns from a close event: keep it
    // waiting, so that the command gets the few seconds Windows allows to finish its step.
    if (event == CTRL_CLOSE_EVENT) ::Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void catch_interrupts() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

}  // namespace vetra_service_manager::platform::interrupts
