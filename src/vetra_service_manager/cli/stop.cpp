#include "vetra_service_manager/cli/stop.hpp"

#include "vetra_service_manager/cli/_operate.hpp"

namespace vetra_service_manager::cli::stop {

void add_arguments(CLI::App& parser, Options& args) { _operate::add_service_arguments(parser, args.services); }

int run(const Options& args) { return _operate::run(_operate::Action::STOP, args.services); }

}  // namespace vetra_service_manager::cli::stop
