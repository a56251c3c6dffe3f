#pragma once
// The command line: `vetra_service_manager [--log-level L] {install,status,uninstall,start,stop,restart,logs} [options]`.
namespace vetra_service_manager::cli::dispatcher {

// Parses, runs the chosen subcommand and returns the exit status: the command's own, 2 for a
// usage error, 1 for an error raised by the command (printed as "error: ..." plus its causes),
// 128 + the signal's number for a command stopped by an interrupt.
int main(int argc, char** argv);

}  // namespace vetra_service_manager::cli::dispatcher
