// The property-list reader over XML and binary input: refusals are PlistError only, and every
// string it yields that the writer accepts reads back unchanged from the written XML.
#include <optional>

#include "check.hpp"
#include "vetra_service_manager/backends/launchd/plist.hpp"

namespace plist = vetra_service_manager::backends::launchd::plist;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<plist::Dict> dict;
    try {
        dict.emplace(plist::Dict::parse(vsm_fuzz::text(data, size)));
    } catch (const plist::PlistError&) {
        return 0;
    }
    for (const char* key : {"Version", "Label", "CFBundleVersion"}) {
        std::optional<std::string> value;
        try {
            value = dict->get_string(key);
            if (!value) continue;
            plist::check_string(key, *value);
        } catch (const plist::PlistError&) {
            continue;
        }
        plist::Dict written;
        written.set_string(key, *value);
        vsm_fuzz::check(plist::Dict::parse(written.to_xml()).get_string(key) == value, "a stored string reads back");
    }
    return 0;
}
