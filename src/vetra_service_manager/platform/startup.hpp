#pragma once
// What the process does first, before it opens any file, so that it behaves the same whoever
// started it: from a terminal, in a pipeline, with streams closed, under nohup.
namespace vetra_service_manager::platform::startup {

// Puts the null device on every standard stream that is closed, so that no file opened later
// takes its number (and children get a stream there too). Ignores SIGPIPE in this process, so
// that a reader that went away makes our writes fail instead of ending the command halfway;
// children still start with its default.
void prepare_standard_streams();

}  // namespace vetra_service_manager::platform::startup
