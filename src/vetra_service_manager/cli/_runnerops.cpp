// Package inventory, self-remove and pip install: the runner acts on its own environment through
// its `self` commands; we only read what it prints and how it exits.
#include "vetra_service_manager/cli/_runnerops.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "vetra_service_manager/cli/_runnerops_internal.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::cli::_runnerops {
namespace fs = std::filesystem;

namespace detail {

spdlog::logger& logger() {
    static auto instance = logging::get_logger("vetra_service_manager.cli._runnerops");
    return *instance;
}

std::string runner_program(const fs::path& runner) {
    if (runner.has_parent_path()) return platform::to_text(runner);
    return platform::to_text(fs::path(".") / runner);
}

fs::path runner_directory(const fs::path& runner) { return fs::absolute(runner).parent_path(); }

std::string describe_failure(const platform::process::Completed& result, int timeout_seconds) {
    if (result.timed_out) return "timed out after " + std::to_string(timeout_seconds) + "s";
    if (result.exit_code < 0) return "terminated by signal " + std::to_string(-result.exit_code);
    return "exit status " + std::to_string(result.exit_code);
}

}  // namespace detail

namespace {

using detail::logger;

const std::string EXTRA_PACKAGE_PREFIX = "vetra-sync-agent-";

platform::process::Timeout seconds(int timeout) { return std::chrono::seconds(timeout); }

// A malformed record (not an object, or a "name" that is not a string) has no name.
std::string name_of(const PackageRecord& pkg) {
    if (!pkg.is_object()) return {};
    auto found = pkg.find("name");
    if (found == pkg.end() || !found->is_string()) return {};
    return found->get<std::string>();
}

// Enough of an unexpected document to recognise it in an error line.
std::string excerpt(const PackageRecord& document) {
    constexpr std::size_t limit = 200;
    std::string text = document.dump(-1, ' ', false, PackageRecord::error_handler_t::replace);
    if (text.size() > limit) text = text.substr(0, limit) + "...";
    return text;
}

// The JSON reader takes no lone surrogate, so before it reads the text each escaped undecodable byte
// \udcXX becomes the pair \u0000 \u00XX, and each escaped NUL the pair \u0000 \u0000 so that the two
// stay apart; decode_bytes() undoes both in the parsed strings. Raw NULs cannot occur in JSON
// strings. Returns nullopt when there is nothing to rewrite.
constexpr std::string_view NUL_ESCAPE = "\\u0000";

std::optional<std::string> encode_undecodable_bytes(std::string_view text) {
    const auto hex_value = [&](std::size_t at) -> int {
        if (at + 4 > text.size()) return -1;
        int value = 0;
        for (char c : text.substr(at, 4)) {
            const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                              : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                          : -1;
            if (digit < 0) return -1;
            value = value * 16 + digit;
        }
        return value;
    };
    std::string out;
    bool rewritten = false;
    bool in_string = false;
    std::size_t copied = 0;  // text before this is in `out`
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!in_string) {
            in_string = text[i] == '"';
            continue;
        }
        if (text[i] == '"') {
            in_string = false;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            const int code = text[i + 1] == 'u' ? hex_value(i + 2) : -1;
            if (code >= 0xD800 && code <= 0xDBFF && text.compare(std::min(i + 6, text.size()), 2, "\\u") == 0 && hex_value(i + 8) >= 0xDC00 &&
                hex_value(i + 8) <= 0xDFFF) {
                i += 11;  // a proper pair
            } else if (code == 0 || (code >= 0xDC80 && code <= 0xDCFF)) {
                out.append(text.substr(copied, i - copied)).append(NUL_ESCAPE);
                out += code == 0 ? std::string(NUL_ESCAPE) : fmt::format("\\u00{:02x}", code & 0xFF);
                copied = i + 6;
                rewritten = true;
                i += 5;
            } else {
                ++i;  // whatever it is, the reader judges it
            }
        }
    }
    if (!rewritten) return std::nullopt;
    out.append(text.substr(copied));
    return out;
}

std::string decode_bytes(const std::string& text) {
    if (text.find('\0') == std::string::npos) return text;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\0' || i + 1 >= text.size()) {
            out.push_back(text[i]);
        } else if (text[i + 1] == '\0') {
            out.push_back('\0');
            ++i;
        } else {
            // The byte XX after \u0000 \u00XX, which the reader gave as U+00XX (0x80..0xFF).
            const auto escaped = platform::text::next_code_point(text, i + 1);
            if (escaped && escaped->value >= 0x80 && escaped->value <= 0xFF) {
                out.push_back(static_cast<char>(escaped->value));
                i += escaped->length;
            } else {
                out.push_back(text[i]);  // no pair of ours, which the reader never gives
            }
        }
    }
    return out;
}

PackageRecord with_bytes_decoded(const PackageRecord& value) {
    if (value.is_string()) return decode_bytes(value.get_ref<const std::string&>());
    if (value.is_array()) {
        PackageRecord result = PackageRecord::array();
        for (const auto& element : value) result.push_back(with_bytes_decoded(element));
        return result;
    }
    if (value.is_object()) {
        PackageRecord result = PackageRecord::object();
        for (const auto& [key, element] : value.items()) result[decode_bytes(key)] = with_bytes_decoded(element);
        return result;
    }
    return value;
}

}  // namespace

std::string normalize_package_name(std::string_view name) {
    std::string result(name);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) {
        return c == '_' ? '-' : static_cast<char>(std::tolower(c));
    });
    return result;
}

std::vector<PackageRecord> pip_list_via_runner(const fs::path& runner_binary, int timeout) {
    const std::string runner = platform::to_text(runner_binary);
    const auto result = platform::process::run_captured({detail::runner_program(runner_binary), "self", "pip", "list", "--format=json"}, seconds(timeout),
                                                        detail::runner_directory(runner_binary));
    if (result.timed_out || result.exit_code != 0) {
        logger().warn("Failed to list packages via {}: {}", runner, detail::describe_failure(result, timeout));
        return {};
    }
    try {
        return parse_package_list(result.out);
    } catch (const UnreadablePackageList& error) {
        logger().warn("Failed to list packages via {}: {}", runner, error.what());
        return {};
    } catch (const NotAPackageList& error) {
        // The runner answered, but not with a package list: that is not "no packages".
        throw NotAPackageList("Package list from '" + runner + " self pip list' " + error.what());
    }
}

namespace {

// Whether the arrays and objects of `text` nest deeper than MAX_PACKAGE_LIST_NESTING, counted
// without recursion outside strings; text that is no JSON is the reader's to refuse.
bool nested_too_deep(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_PACKAGE_LIST_NESTING) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::vector<PackageRecord> parse_package_list(std::string_view text) {
    if (nested_too_deep(text)) {
        throw UnreadablePackageList("nested deeper than " + std::to_string(MAX_PACKAGE_LIST_NESTING) + " levels");
    }
    const auto encoded = encode_undecodable_bytes(text);
    PackageRecord document;
    try {
        // Strict parse: empty output, trailing text and invalid UTF-8 are all failures.
        document = PackageRecord::parse(encoded ? std::string_view(*encoded) : text);
    } catch (const PackageRecord::exception& error) {
        // Not only parse errors: a number too large for a double is an out_of_range error.
        throw UnreadablePackageList(error.what());
    }
    if (!document.is_array()) {
        throw NotAPackageList("is not a JSON array but " + std::string(document.type_name()) + ": " +
                              excerpt(document));
    }
    if (encoded) document = with_bytes_decoded(document);
    return {std::make_move_iterator(document.begin()), std::make_move_iterator(document.end())};
}

bool is_editable_install(const PackageRecord& pkg) {
    return pkg.is_object() && pkg.contains("editable_project_location");
}

bool is_migratable_extra(const PackageRecord& pkg) {
    const std::string name = normalize_package_name(name_of(pkg));
    if (name.empty() || BAKED_IN_PACKAGES.count(name) != 0) return false;
    if (name.rfind(EXTRA_PACKAGE_PREFIX, 0) != 0) return false;
    // Editable installs point at a source tree that may not suit, or exist for, the new runner.
    return !is_editable_install(pkg);
}

bool runner_self_remove(const fs::path& runner_binary, int timeout) {
    const std::string runner = platform::to_text(runner_binary);
    const auto result = platform::process::run_inherited({detail::runner_program(runner_binary), "self", "remove"}, seconds(timeout),
                                                         detail::runner_directory(runner_binary));
    if (!result.timed_out && result.exit_code == 0) return true;
    logger().warn("'{} self remove' failed: {}", runner, detail::describe_failure(result, timeout));
    return false;
}

bool runner_self_pip_install(const fs::path& runner_binary, const std::string& spec, int timeout) {
    const std::string runner = platform::to_text(runner_binary);
    const auto result = platform::process::run_inherited({detail::runner_program(runner_binary), "self", "pip", "install", spec},
                                                         seconds(timeout), detail::runner_directory(runner_binary));
    if (!result.timed_out && result.exit_code == 0) return true;
    logger().warn("'{} self pip install {}' failed: {}", runner, spec, detail::describe_failure(result, timeout));
    return false;
}

}  // namespace vetra_service_manager::cli::_runnerops
