#include "vetra_service_manager/logging.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <stdexcept>

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace vetra_service_manager::logging {
namespace {

struct State {
    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sink = make_sink();
    spdlog::level::level_enum level = spdlog::level::warn;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;

    static std::shared_ptr<spdlog::sinks::dist_sink_mt> make_sink() {
        auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
        dist->add_sink(std::make_shared<spdlog::sinks::stderr_sink_mt>());
        dist->set_pattern("%^%l%$ %n: %v");
        return dist;
    }
};

State& state() {
    static State instance;
    return instance;
}

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto found = s.loggers.find(name);
    if (found != s.loggers.end()) return found->second;
    auto logger = std::make_shared<spdlog::logger>(name, s.sink);
    logger->set_level(s.level);
    s.loggers.emplace(name, logger);
    return logger;
}

void set_level(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::map<std::string, spdlog::level::level_enum, std::less<>> levels = {
        {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},
        {"warning", spdlog::level::warn},
        {"error", spdlog::level::err},
    };
    auto found = levels.find(lowered);
    if (found == levels.end()) throw std::invalid_argument("Unknown log level: " + std::string(text));
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.level = found->second;
    for (auto& [name, logger] : s.loggers) logger->set_level(s.level);
}

void add_sink(spdlog::sink_ptr sink) {
    sink->set_pattern("%l %n: %v");
    state().sink->add_sink(std::move(sink));
}

void remove_sink(const spdlog::sink_ptr& sink) { state().sink->remove_sink(sink); }

}  // namespace vetra_service_manager::logging
