#include "vetra_service_manager/cli/_report.hpp"

#include "vetra_service_manager/cli/_output.hpp"

namespace vetra_service_manager::cli::_report {

void Report::add(services::registry::ServiceHandle service, std::string line) {
    waiting_.push_back({std::move(service), std::move(line)});
    while (!waiting_.empty() && !waiting_.front().service.settle_pending()) {
        _output::say(waiting_.front().line);
        waiting_.erase(waiting_.begin());
    }
}

void Report::finish(std::exception_ptr stopped) {
    std::exception_ptr failure;
    for (auto& entry : waiting_) {
        try {
            entry.service.settle();
            _output::say(entry.line);
        } catch (...) {
            // Logged by the backend; the others still get their turn, and a fresh install its clean-up.
            if (!failure) failure = std::current_exception();
        }
    }
    waiting_.clear();
    if (failure) std::rethrow_exception(failure);
    if (stopped) std::rethrow_exception(stopped);
}

}  // namespace vetra_service_manager::cli::_report
