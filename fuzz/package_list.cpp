// The package-list reader: refusals are its two errors only (a document nested too deep among
// them, however deep), and wherever the strict JSON reader accepts the text (no escaped undecodable
// bytes) both agree record for record.
#include <nlohmann/json.hpp>

#include "check.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = vsm_fuzz::text(data, size);
    std::vector<ops::PackageRecord> records;
    try {
        records = ops::parse_package_list(text);
    } catch (const ops::UnreadablePackageList& error) {
        const bool too_deep = std::string_view(error.what()).starts_with("nested deeper");
        vsm_fuzz::check(too_deep || !ops::PackageRecord::accept(text), "text the JSON reader accepts is readable");
        return 0;
    } catch (const ops::NotAPackageList&) {
        return 0;
    }
    for (const auto& record : records) {
        (void)ops::is_editable_install(record);
        (void)ops::is_migratable_extra(record);
    }
    if (ops::PackageRecord::accept(text)) {
        const auto strict = ops::PackageRecord::parse(text);
        vsm_fuzz::check(strict == ops::PackageRecord(records), "agrees with the JSON reader");
    }
    return 0;
}
