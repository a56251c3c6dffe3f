// PEP 440 parsing: any text is either refused with InvalidVersion or parsed, and the normalised
// form parses again to itself.
#include "check.hpp"
#include "vetra_service_manager/version.hpp"

using vetra_service_manager::version::InvalidVersion;
using vetra_service_manager::version::Version;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string normalized;
    try {
        normalized = Version(vsm_fuzz::text(data, size)).str();
    } catch (const InvalidVersion&) {
        return 0;
    }
    Version again(normalized);  // an exception here is a finding too
    vsm_fuzz::check(again.str() == normalized, "the normalised form is a fixed point");
    return 0;
}
