#include "vetra_service_manager/cli/logs.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "vetra_service_manager/cli/_log_reader.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/running_children.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::logs {
namespace registry = services::registry;
using _log_reader::LogReader;

namespace {

// How often a followed file is looked at: new lines show within this time, and an idle follow
// costs a few stat calls a second.
constexpr std::chrono::milliseconds FOLLOW_INTERVAL{250};

struct Shown {
    backends::base::LogFile file;
    LogReader reader;
};

std::string heading(const backends::base::LogFile& file) {
    return "==> " + file.heading + ": " + platform::to_text(file.path) + " <==";
}

// Prints text of one file, under its heading when the previous text came from another.
void show(const Shown& source, const std::string& text, const Shown*& last) {
    if (text.empty()) return;
    if (last != &source) std::cout << (last ? "\n" : "") << heading(source.file) << '\n';
    last = &source;
    std::cout << text << std::flush;
}

int show_files(const std::vector<backends::base::LogFile>& files, const Options& args) {
    std::vector<Shown> sources;
    for (const auto& file : files) sources.push_back({file, LogReader(file.path)});
    if (std::none_of(sources.begin(), sources.end(), [](const Shown& s) { return s.reader.exists(); })) {
        std::cout << "No logs for " << args.service << " yet." << std::endl;
        return 0;
    }
    const Shown* last = nullptr;
    for (auto& source : sources) {
        const std::string text = source.reader.last_lines(args.lines);
        // Every file shows its heading at first, even an empty one, so that silence is visible.
        if (last) std::cout << '\n';
        std::cout << heading(source.file) << '\n' << text;
        if (!text.empty() && text.back() != '\n') std::cout << '\n';
        last = &source;
    }
    std::cout << std::flush;
    while (args.follow) {
        // Ctrl-C is how following ends: the usual status, no message.
        if (platform::interrupts::wait_for(FOLLOW_INTERVAL)) return 128 + platform::interrupts::received();
        for (auto& source : sources) show(source, source.reader.appended(), last);
    }
    return 0;
}

// The viewer has the terminal; how it ends is how we end. A first interrupt is passed on to it (a
// Ctrl-C at the terminal reached it already; a signal sent to us alone had not), so that it
// decides, as a pager that takes Ctrl-C as "stop scrolling" does.
int view(const std::vector<std::string>& viewer) {
    // std::thread, not std::jthread: the libc++ of the macOS builds has no jthread yet.
    std::atomic<bool> viewer_ended{false};
    std::thread forward([&viewer_ended] {
        while (!viewer_ended) {
            if (platform::interrupts::wait_for(FOLLOW_INTERVAL)) {
                platform::process::signal_running_children(platform::interrupts::received());
                return;
            }
        }
    });
    int status = 0;
    try {
        status = platform::process::run_inherited(viewer).exit_code;
    } catch (...) {
        viewer_ended = true;
        forward.join();
        throw;
    }
    viewer_ended = true;
    forward.join();
    return status < 0 ? 128 - status : status;
}

}  // namespace

void add_arguments(CLI::App& parser, Options& args) {
    std::vector<std::string> names;
    for (const auto* entry : registry::install_order) names.push_back(entry->service_name());
    parser.add_option("SERVICE", args.service, "Service whose output to show (default: vetra_sync_agent)")
        ->check(CLI::IsMember(names));
    parser.add_option("-n,--lines", args.lines, "Number of recent lines to show (default: 50)")
        ->check(CLI::Range(0, MAX_LINES));
    parser.add_flag("-f,--follow", args.follow, "Keep showing new lines as they are written, until Ctrl-C");
}

int run(const Options& args) {
    const auto service = registry::find(args.service)->get_service(registry::command());
    const auto& backend = service.backend();
    if (const auto files = backend.log_files(); !files.empty()) return show_files(files, args);
    if (const auto viewer = backend.log_viewer(args.lines, args.follow); !viewer.empty()) return view(viewer);
    std::cout << "No logs for " << args.service << " yet." << std::endl;
    return 0;
}

}  // namespace vetra_service_manager::cli::logs
