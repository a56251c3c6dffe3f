// The task-XML writer: for any values it accepts, the document is well-formed XML and every value
// reads back from its element unchanged. The input is cut at NULs into the six values.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

#include <fmt/format.h>

#include "check.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"

namespace wintpl = vetra_service_manager::backends::task_scheduler::wintpl;

namespace {

struct FreeDoc {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

xmlNode* child(xmlNode* parent, std::string_view name) {
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE && name == reinterpret_cast<const char*>(node->name)) return node;
    }
    return nullptr;
}

std::string text_at(xmlDoc* doc, std::initializer_list<std::string_view> path) {
    xmlNode* node = xmlDocGetRootElement(doc);
    for (auto name : path) node = child(node, name);
    vsm_fuzz::check(node != nullptr, "every element is there");
    xmlChar* content = xmlNodeGetContent(node);
    std::string value(content ? reinterpret_cast<const char*>(content) : "");
    xmlFree(content);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = vsm_fuzz::text(data, size);
    // Values reach the writer as UTF-8 text; bytes that are none are not its input.
    if (!vsm_fuzz::valid_utf8(input)) return 0;
    const auto [service, task, version, script, userid, sid] = vsm_fuzz::fields<6>(input);
    std::string xml;
    try {
        xml = wintpl::create_scheduled_task_xml(service, task, version, script, userid, sid);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    // Declared as UTF-16, the encoding it is stored in; here it is still UTF-8 in memory.
    const std::unique_ptr<xmlDoc, FreeDoc> doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "task.xml",
                                                             "UTF-8",
                                                             XML_PARSE_NONET | XML_PARSE_IGNORE_ENC |
                                                                 XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) std::fprintf(stderr, "document: %s\n", xml.c_str());
    vsm_fuzz::check(doc != nullptr, "the document is well-formed XML");
    vsm_fuzz::check(text_at(doc.get(), {"RegistrationInfo", "Description"}) ==
                        fmt::format("Service {}\nversion={}\nuser={}", service, version, userid),
                    "the description carries name, version and user");
    vsm_fuzz::check(text_at(doc.get(), {"RegistrationInfo", "URI"}) == "\\\\" + task, "the URI carries the task name");
    vsm_fuzz::check(text_at(doc.get(), {"Triggers", "LogonTrigger", "UserId"}) == userid, "the trigger's user");
    vsm_fuzz::check(text_at(doc.get(), {"Principals", "Principal", "UserId"}) == sid, "the principal's SID");
    vsm_fuzz::check(text_at(doc.get(), {"Actions", "Exec", "Arguments"}) == "//B //NoLogo \"" + script + "\"", "the script path");
    return 0;
}
