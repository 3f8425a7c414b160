// drova's command line: parses the arguments, runs one subcommand and
// returns the exit status. Separate from main() so that tests can run it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace drova {

// `arguments` without the program name.
int run(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err);

}  // namespace drova
