#include "vetra_service_manager/backends/launchd/plist_depth.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vetra_service_manager::backends::launchd::plist {
namespace {

// Opening <array> and <dict> tags count one level each, their closing tags and the empty forms
// (<array/>) none.
bool xml_too_deep(std::string_view text) {
    int depth = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        const std::string_view rest = text.substr(at + 1);
        const bool closing = rest.starts_with('/');
        const std::string_view name = closing ? rest.substr(1) : rest;
        std::size_t length = name.starts_with("array") ? 5 : name.starts_with("dict") ? 4 : 0;
        if (length == 0 || length == name.size()) continue;
        const char after = name[length];
        if (after != '>' && after != '/' && after != ' ' && after != '\t' && after != '\r' && after != '\n') continue;
        const auto end = name.find('>', length);
        if (closing) {
            --depth;
        } else if (end == std::string_view::npos || name[end - 1] != '/') {
            if (++depth > MAX_NESTING) return true;
        }
    }
    return false;
}

// The binary form: a trailer of 32 bytes at the end locates the offset table, which locates each
// object; a container lists its members by index (a dictionary its keys, then its values).
class Binary {
public:
    explicit Binary(std::string_view bytes) : bytes_(bytes) {}

    std::optional<bool> too_deep() const {
        if (bytes_.size() < 8 + 32) return std::nullopt;
        const std::size_t trailer = bytes_.size() - 32;
        offset_size_ = byte(trailer + 6);
        ref_size_ = byte(trailer + 7);
        const auto count = number(trailer + 8, 8), top = number(trailer + 16, 8), table = number(trailer + 24, 8);
        if (!count || !top || !table || offset_size_ == 0 || offset_size_ > 8 || ref_size_ == 0 || ref_size_ > 8 ||
            *count == 0 || *top >= *count || *table > trailer || (trailer - *table) / offset_size_ < *count) {
            return std::nullopt;
        }
        count_ = *count, table_ = *table;
        // Level by level, each container once per level: a shared member is not walked twice, and
        // a cycle simply never runs out of levels.
        std::vector<std::uint64_t> level{*top}, next;
        std::vector<int> seen_at(static_cast<std::size_t>(count_), 0);
        for (int depth = 1; !level.empty(); ++depth) {
            next.clear();
            for (const auto object : level) {
                const auto members = members_of(object);
                if (!members) continue;  // no container, or none this can read
                if (depth > MAX_NESTING) return true;
                for (std::uint64_t i = 0; i < members->count; ++i) {
                    const auto member = number(members->first + i * ref_size_, ref_size_);
                    if (!member || *member >= count_) return std::nullopt;
                    if (seen_at[*member] == depth + 1) continue;
                    seen_at[*member] = depth + 1;
                    next.push_back(*member);
                }
            }
            level.swap(next);
        }
        return false;
    }

private:
    struct Members {
        std::uint64_t first;  // where the references start
        std::uint64_t count;
    };

    unsigned byte(std::size_t at) const { return static_cast<unsigned char>(bytes_[at]); }

    std::optional<std::uint64_t> number(std::uint64_t at, unsigned size) const {
        if (size > 8 || at > bytes_.size() || bytes_.size() - at < size) return std::nullopt;
        std::uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i) value = value << 8 | byte(static_cast<std::size_t>(at + i));
        return value;
    }

    // The member references of a container object; nullopt for any other object.
    std::optional<Members> members_of(std::uint64_t object) const {
        const auto offset = number(table_ + object * offset_size_, offset_size_);
        if (!offset || *offset >= bytes_.size()) return std::nullopt;
        const unsigned marker = byte(static_cast<std::size_t>(*offset));
        const unsigned type = marker >> 4;
        if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return std::nullopt;
        std::uint64_t count = marker & 0xF, first = *offset + 1;
        if (count == 0xF) {  // the count follows as an integer object
            if (first >= bytes_.size() || byte(static_cast<std::size_t>(first)) >> 4 != 0x1) return std::nullopt;
            const unsigned size = 1u << (byte(static_cast<std::size_t>(first)) & 0xF);
            const auto value = number(first + 1, size);
            if (!value) return std::nullopt;
            count = *value, first += 1 + size;
        }
        if (type == 0xD) count *= 2;
        if (count > bytes_.size() || (bytes_.size() - first) / ref_size_ < count) return std::nullopt;
        return Members{first, count};
    }

    std::string_view bytes_;
    mutable unsigned offset_size_ = 0, ref_size_ = 0;
    mutable std::uint64_t count_ = 0, table_ = 0;
};

}  // namespace

bool nested_too_deep(std::string_view bytes) {
    if (bytes.starts_with("bplist")) return Binary(bytes).too_deep().value_or(false);
    return xml_too_deep(bytes);
}

}  // namespace vetra_service_manager::backends::launchd::plist
