#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"

#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::task_scheduler::wintpl {
namespace {

constexpr std::string_view TASK_NAMESPACE = "http://schemas.microsoft.com/windows/2004/02/mit/task";

// The task definition is a fixed tree, so a small writer of our own gives exact control over the
// form Task Scheduler expects (attribute order, "<Name />" for empty elements, no whitespace).
struct Element {
    std::string_view name;
    std::vector<std::pair<std::string_view, std::string_view>> attributes;
    std::string text;
    std::vector<Element> children;
};

Element leaf(std::string_view name, std::string text) { return {name, {}, std::move(text), {}}; }

Element node(std::string_view name, std::vector<Element> children,
             std::vector<std::pair<std::string_view, std::string_view>> attributes = {}) {
    return {name, std::move(attributes), {}, std::move(children)};
}

std::string escape(std::string_view text, bool in_attribute) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            // A reader turns a raw carriage return into a line feed; a reference survives.
            case '\r': out += "&#13;"; break;
            case '"':
                if (in_attribute) {
                    out += "&quot;";
                    break;
                }
                [[fallthrough]];
            default: out += c;
        }
    }
    return out;
}

void write(const Element& element, std::string& out) {
    out += '<';
    out += element.name;
    for (const auto& [name, value] : element.attributes) {
        out += fmt::format(" {}=\"{}\"", name, escape(value, true));
    }
    if (element.text.empty() && element.children.empty()) {
        out += " />";
        return;
    }
    out += '>';
    out += escape(element.text, false);
    for (const auto& child : element.children) write(child, out);
    out += "</";
    out += element.name;
    out += '>';
}

// XML 1.0 has no way to carry these, not even as character references: a value holding one
// would make the whole document unreadable to Task Scheduler.
void require_xml_text(std::string_view argument, std::string_view value) {
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            throw std::invalid_argument(
                fmt::format("The task definition cannot hold control character 0x{:02X} (in {})", byte, argument));
        }
    }
    // Nor the noncharacters U+FFFE and U+FFFF (EF BF BE, EF BF BF).
    for (auto at = value.find("\xEF\xBF"); at != std::string_view::npos; at = value.find("\xEF\xBF", at + 1)) {
        if (at + 2 < value.size() && (value[at + 2] == '\xBE' || value[at + 2] == '\xBF')) {
            throw std::invalid_argument(fmt::format("The task definition cannot hold U+FFF{} (in {})",
                                                    value[at + 2] == '\xBE' ? 'E' : 'F', argument));
        }
    }
}

}  // namespace

std::string create_scheduled_task_xml(std::string_view service_name, std::string_view task_name,
                                      std::string_view version, const std::filesystem::path& vbs_path,
                                      std::string_view userid, std::string_view user_sid) {
    const std::string script = platform::to_text(vbs_path);
    for (const auto& [argument, value] :
         std::initializer_list<std::pair<std::string_view, std::string_view>>{{"service_name", service_name},
                                                                               {"task_name", task_name},
                                                                               {"version", version},
                                                                               {"vbs_path", script},
                                                                               {"userid", userid},
                                                                               {"user_sid", user_sid}}) {
        require_xml_text(argument, value);
    }

    const Element task = node(
        "Task",
        {
            node("RegistrationInfo",
                 {
                     leaf("Description", fmt::format("Service {}\nversion={}\nuser={}", service_name, version, userid)),
                     leaf("URI", fmt::format("\\\\{}", task_name)),
                 }),
            node("Triggers", {node("LogonTrigger", {leaf("Enabled", "true"), leaf("UserId", std::string(userid))})}),
            node("Principals", {node("Principal",
                                     {
                                         leaf("UserId", std::string(user_sid)),
                                         leaf("LogonType", "InteractiveToken"),
                                         leaf("RunLevel", "LeastPrivilege"),
                                     },
                                     {{"id", "Author"}})}),
            node("Settings",
                 {
                     leaf("MultipleInstancesPolicy", "IgnoreNew"),
                     leaf("DisallowStartIfOnBatteries", "false"),
                     leaf("StopIfGoingOnBatteries", "false"),
                     leaf("AllowHardTerminate", "true"),
                     leaf("StartWhenAvailable", "false"),
                     leaf("RunOnlyIfNetworkAvailable", "false"),
                     node("IdleSettings",
                          {
                              leaf("Duration", "PT10M"),
                              leaf("WaitTimeout", "PT1H"),
                              leaf("StopOnIdleEnd", "false"),
                              leaf("RestartOnIdle", "false"),
                          }),
                     leaf("AllowStartOnDemand", "true"),
                     leaf("Enabled", "true"),
                     leaf("Hidden", "false"),
                     leaf("RunOnlyIfIdle", "false"),
                     leaf("DisallowStartOnRemoteAppSession", "false"),
                     leaf("UseUnifiedSchedulingEngine", "true"),
                     leaf("WakeToRun", "false"),
                     leaf("ExecutionTimeLimit", "PT0S"),
                     leaf("Priority", "7"),
                     node("RestartOnFailure", {leaf("Interval", "PT1M"), leaf("Count", "10")}),
                 }),
            // Quoted so that a script path with spaces stays one argument of wscript.exe. In batch
            // mode (//B) a script error or a disabled Script Host ends wscript.exe with a failure
            // that the task sees (and restarts after), instead of a dialog that keeps it waiting.
            node("Actions",
                 {node("Exec", {leaf("Command", "wscript.exe"), leaf("Arguments", "//B //NoLogo \"" + script + "\"")})},
                 {{"Context", "Author"}}),
        },
        {{"version", "1.3"}, {"xmlns", TASK_NAMESPACE}});

    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
    write(task, document);
    return document;
}

}  // namespace vetra_service_manager::backends::task_scheduler::wintpl
