#include "vetra_service_manager/cli/dispatcher.hpp"

int main(int argc, char** argv) { return vetra_service_manager::cli::dispatcher::main(argc, argv); }
