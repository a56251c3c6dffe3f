#pragma once
// The two texts a Windows service backend needs: the scheduled task that runs the supervisor at
// the user's logon, and the VBScript supervisor that keeps one service process alive. Pure text
// generators: nothing here touches a file or registers anything.
#include <filesystem>
#include <string>
#include <string_view>

namespace vetra_service_manager::backends::task_scheduler::wintpl {

// The Task Scheduler definition of one service, as one compact XML document. It declares
// UTF-16, the encoding in which it is to be stored or handed to Task Scheduler.
// Throws std::invalid_argument for a value holding a control character that XML cannot carry.
std::string create_scheduled_task_xml(std::string_view service_name, std::string_view task_name,
                                      std::string_view version, const std::filesystem::path& vbs_path,
                                      std::string_view userid, std::string_view user_sid);

// The supervisor script, with CR LF line endings as Windows Script Host expects. Its only braces
// are the four placeholders {executable}, {pid_file}, {log_file} and {working_dir}, each alone
// inside a double-quoted VBScript string literal.
extern const std::string_view VBS_PROC_LAUNCHER_TEMPLATE;

struct SupervisorSettings {
    // The command line that starts the service process, as WScript.Shell runs it: program path and
    // arguments, a path with spaces in double quotes. Plain text: quoting for VBScript is done here.
    std::string executable;
    std::filesystem::path pid_file;
    std::filesystem::path log_file;
    // Made current before each start of the service process.
    std::filesystem::path working_dir;
};

// The supervisor script with its placeholders filled in. Every double quote of a value is doubled,
// so that no value can end its string literal early; a value holding a line break (or a NUL) cannot
// live in a VBScript literal and is rejected with std::invalid_argument.
// The result is Unicode text: write it as UTF-16 LE with a byte-order mark, the only Unicode form
// wscript.exe reads, so that paths outside the ANSI code page survive.
std::string fill_supervisor_template(const SupervisorSettings& settings);

}  // namespace vetra_service_manager::backends::task_scheduler::wintpl
