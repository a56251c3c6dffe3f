#pragma once
// PEP 440 versions: parsing exactly what the PEP 440 grammar accepts, and the normalised text form.
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vetra_service_manager::version {

// "Invalid version: '<input>'"
class InvalidVersion : public std::invalid_argument {
public:
    explicit InvalidVersion(std::string_view input);
};

class Version {
public:
    // Throws InvalidVersion.
    explicit Version(std::string_view text);

    // The normalised text form, e.g. "v1.0-1" -> "1.0.post1".
    const std::string& str() const noexcept { return normalized_; }

    // PEP 440 equality: the release ignores trailing zeros ("1.0" == "1.0.0"); a local version
    // counts, segment by segment ("1.0+abc.5" == "1.0+ABC-05", "1.0" != "1.0+abc").
    bool operator==(const Version& other) const noexcept { return key_ == other.key_; }

private:
    std::string normalized_;
    std::string key_;  // the normalised text with the release's trailing zeros dropped
};

std::ostream& operator<<(std::ostream& out, const Version& value);

}  // namespace vetra_service_manager::version

namespace vetra_service_manager {
using version::InvalidVersion;
using version::Version;
}  // namespace vetra_service_manager
