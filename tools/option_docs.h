// drova's man page and its bash and zsh completion scripts, written from the
// command line drova parses (its CLI11 app): every subcommand and option is
// documented and completed exactly as it is defined, so the three cannot
// drift from the tool. The build runs `drova --generate FORMAT` for each and
// `cmake --install` puts the results in place.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace drova {

// The formats --generate writes: "man", "bash" and "zsh".
const std::vector<std::string> &option_doc_formats();

// A man page section the options do not give (ENVIRONMENT, FILES, SEE ALSO):
// its title and its lines, kept as written.
struct ManSection {
    std::string title;
    std::string text;
};

// Writes the document `format` (one of option_doc_formats()) for `app` and
// its subcommands. Hidden options (no group) are left out. The man page ends
// with `more` after the exit statuses.
void write_option_docs(const CLI::App &app, const std::string &format, const std::string &version, std::ostream &out,
                       const std::vector<ManSection> &more = {});

}  // namespace drova
