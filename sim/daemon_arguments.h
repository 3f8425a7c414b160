// The command line of the device daemons (drova-sim, drova-usbd): --help and
// --version end the program successfully, anything the parser refuses ends it
// with status 2, as drova's usage errors do.
#pragma once

#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

namespace velkor::sim {

inline constexpr int kExitBadArguments = 2;

// The status to exit with at once, or nothing when the program goes on.
inline std::optional<int> parse_daemon_arguments(CLI::App &app, int argc, char **argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(error);
        std::cerr << app.get_name() << ": " << error.what() << "\nRun with --help for more information.\n";
        return kExitBadArguments;
    }
    return std::nullopt;
}

}  // namespace velkor::sim
