// The property-list reader over XML and binary input: refusals are PlistError only, and whatever
// it accepts can be written as XML and read back to the same XML.
#include <optional>

#include "check.hpp"
#include "vetra_service_manager/backends/plist.hpp"

namespace plist = vetra_service_manager::backends::plist;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<plist::Dict> dict;
    try {
        dict.emplace(plist::Dict::parse(vsm_fuzz::text(data, size)));
    } catch (const plist::PlistError&) {
        return 0;
    }
    for (const char* key : {"Version", "Label", "CFBundleVersion"}) {
        try {
            (void)dict->get_string(key);
        } catch (const plist::PlistError&) {
        }
    }
    std::string xml;
    try {
        xml = dict->to_xml();
    } catch (const plist::PlistError&) {
        return 0;
    }
    vsm_fuzz::check(plist::Dict::parse(xml).to_xml() == xml, "written XML reads back to itself");
    return 0;
}
