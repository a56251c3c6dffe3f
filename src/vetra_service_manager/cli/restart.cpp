#include "vetra_service_manager/cli/restart.hpp"

#include "vetra_service_manager/cli/_operate.hpp"

namespace vetra_service_manager::cli::restart {

void add_arguments(CLI::App& parser, Options& args) { _operate::add_service_arguments(parser, args.services); }

int run(const Options& args) { return _operate::run(_operate::Action::RESTART, args.services); }

}  // namespace vetra_service_manager::cli::restart
