#include "option_docs.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace drova {
namespace {

// One option or positional argument, as documented and completed.
struct OptionDoc {
    std::vector<std::string> names;  // "-v", "--verbose"; a positional's one name, e.g. "SECTOR"
    bool positional = false;
    bool takes_value = false;     // a value must follow the option
    bool optional_value = false;  // a value may follow (--sim [CONFIG])
    std::string value_name;       // "UINT", "FILE", "NUMBER", ...
    std::vector<std::string> choices;  // the only values it accepts, when the check lists them
    std::vector<std::string> rules;    // what its checks accept, e.g. "INT in [0 - 255]"
    std::string description;
    bool required = false;

    // Its value is a number: by its type, or by a range check (INT in [0 - 9]).
    bool numeric() const {
        const auto number = [](std::string_view text) {
            for (const std::string_view type : {"INT", "UINT", "FLOAT", "NUMBER"})
                if (text == type || text.rfind(std::string(type) + " ", 0) == 0) return true;
            return false;
        };
        return number(value_name) || std::any_of(rules.begin(), rules.end(), number);
    }

    // Its value names a file: by its name (FILE, CONFIG), or by what the
    // description says it is. Any other text (a serial number) completes to
    // nothing rather than to the files at hand.
    bool names_file() const {
        if (numeric() || !choices.empty()) return false;
        if (value_name == "FILE" || value_name == "CONFIG" || value_name == "DIR") return true;
        std::string word;
        for (const char c : description + " ") {
            if (std::isalpha(static_cast<unsigned char>(c))) {
                word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                continue;
            }
            if (word == "file" || word == "program" || word == "library") return true;
            word.clear();
        }
        return false;
    }

    // compgen's words for its value: JSON files (and folders) when it says so.
    std::string file_completion() const {
        return description.find("JSON") != std::string::npos ? "compgen -d -- \"$cur\"; compgen -f -X '!*.json' -- \"$cur\""
                                                             : "compgen -f -- \"$cur\"";
    }
};

struct CommandDoc {
    std::string name;
    std::string description;
    std::vector<OptionDoc> options;
    bool runs_program = false;  // everything after it is a program and its arguments (with-sim)

    // What completes its arguments: files, when an argument names one or it runs a program.
    bool takes_files() const {
        return runs_program || std::any_of(options.begin(), options.end(), [](const OptionDoc &option) {
                   return option.positional && option.names_file();
               });
    }

    std::vector<const OptionDoc *> named() const {
        std::vector<const OptionDoc *> result;
        for (const auto &option : options)
            if (!option.positional) result.push_back(&option);
        return result;
    }
    std::vector<const OptionDoc *> positionals() const {
        std::vector<const OptionDoc *> result;
        for (const auto &option : options)
            if (option.positional) result.push_back(&option);
        return result;
    }
};

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

bool all_upper(const std::string &text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isupper(c) || c == '_'; });
}

OptionDoc describe(const CLI::Option &option) {
    OptionDoc doc;
    doc.positional = !option.nonpositional();
    if (doc.positional) doc.names.push_back(option.get_name(true));
    for (const auto &name : option.get_snames()) doc.names.push_back("-" + name);
    for (const auto &name : option.get_lnames()) doc.names.push_back("--" + name);
    doc.takes_value = option.get_items_expected_min() > 0;
    doc.optional_value = !doc.takes_value && option.get_items_expected_max() > 0;
    doc.description = option.get_description();
    doc.required = option.get_required();
    // The type name reads TYPE[:CHECK...]; a check named in capitals (NUMBER)
    // names the value better than its type.
    auto parts = split(option.get_type_name(), ':');
    if (!parts.empty()) {
        doc.value_name = parts.front();
        parts.erase(parts.begin());
    }
    for (const auto &rule : parts) {
        if (all_upper(rule)) doc.value_name = rule;
        else if (rule.size() > 2 && rule.front() == '{' && rule.back() == '}')
            doc.choices = split(rule.substr(1, rule.size() - 2), ',');
        else doc.rules.push_back(rule);
    }
    if (doc.value_name.size() > 2 && doc.value_name.front() == '[' && doc.value_name.back() == ']')
        doc.value_name = doc.value_name.substr(1, doc.value_name.size() - 2);
    if (doc.value_name.empty() && (doc.takes_value || doc.optional_value)) doc.value_name = "VALUE";
    return doc;
}

CommandDoc describe(const CLI::App &app) {
    CommandDoc doc{app.get_name(), app.get_description(), {}, app.get_prefix_command()};
    for (const CLI::Option *option : app.get_options())
        if (!option->get_group().empty()) doc.options.push_back(describe(*option));
    return doc;
}

// The app first, then its subcommands.
std::vector<CommandDoc> describe_all(const CLI::App &app) {
    std::vector<CommandDoc> commands{describe(app)};
    for (const CLI::App *subcommand : app.get_subcommands([](const CLI::App *) { return true; }))
        commands.push_back(describe(*subcommand));
    return commands;
}

std::string joined(const std::vector<std::string> &words, std::string_view separator) {
    std::string result;
    for (const auto &word : words) result += (result.empty() ? "" : std::string(separator)) + word;
    return result;
}

// A summary as a sentence: a capital first and a full stop last.
std::string sentence(std::string text) {
    if (!text.empty()) text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    return text + ".";
}

// The options of a subcommand but those it shares with the app (-h,
// --help), which the app's own documentation covers; all of the app's.
std::vector<const OptionDoc *> own_options(const CommandDoc &command, const CommandDoc *global) {
    std::vector<const OptionDoc *> result;
    for (const auto *option : command.named()) {
        const auto global_options = global ? global->named() : std::vector<const OptionDoc *>{};
        const bool shared = std::any_of(global_options.begin(), global_options.end(),
                                        [&](const OptionDoc *other) { return other->names == option->names; });
        if (!shared) result.push_back(option);
    }
    return result;
}

// --- man page -------------------------------------------------------------

// Text as roff prints it: backslashes and minus signs escaped, and no line
// that roff would take for a request.
std::string roff(std::string_view text) {
    std::string out;
    bool line_start = true;
    for (const char c : text) {
        if (line_start && (c == '.' || c == '\'')) out += "\\&";
        line_start = c == '\n';
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    return out;
}

std::string man_usage(const OptionDoc &option) {
    std::string text;
    for (const auto &name : option.names)
        text += std::string(text.empty() ? "" : ", ") + (option.positional ? "\\fI" : "\\fB") + roff(name) + "\\fR";
    if (option.positional) return text;
    if (option.takes_value) text += " \\fI" + roff(option.value_name) + "\\fR";
    else if (option.optional_value) text += " [\\fI" + roff(option.value_name) + "\\fR]";
    return text;
}

std::string man_description(const OptionDoc &option) {
    std::string text = option.description;
    std::vector<std::string> notes = option.rules;
    if (!option.choices.empty()) notes.push_back("one of " + joined(option.choices, ", "));
    if (option.required && !option.positional) notes.push_back("required");
    if (!notes.empty()) text += (text.empty() ? "(" : " (") + joined(notes, "; ") + ")";
    return roff(text);
}

std::string upper_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// A man page section kept in its own layout.
void write_man_section(const std::string &title, const std::string &text, std::ostream &out) {
    out << ".SH \"" << roff(upper_case(title)) << "\"\n.nf\n" << roff(text) << "\n.fi\n";
}

void write_man_options(const CommandDoc &command, const CommandDoc *global, std::ostream &out) {
    for (const auto *option : command.positionals())
        out << ".TP\n" << man_usage(*option) << "\n" << man_description(*option) << "\n";
    for (const auto *option : own_options(command, global))
        out << ".TP\n" << man_usage(*option) << "\n" << man_description(*option) << "\n";
}

void write_man(const CLI::App &app, const std::vector<CommandDoc> &commands, const std::string &version,
               const std::vector<ManSection> &more, std::ostream &out) {
    const CommandDoc &top = commands.front();
    const std::string title = upper_case(top.name);
    // The description reads "drova: what it does."; the name line wants the
    // second half without the full stop.
    std::string summary = top.description;
    if (summary.rfind(top.name + ": ", 0) == 0) summary.erase(0, top.name.size() + 2);
    if (!summary.empty() && summary.back() == '.') summary.pop_back();

    // A program without commands (drova-usbd) takes options only.
    const bool has_commands = commands.size() > 1;
    out << ".\\\" Written by " << top.name << " --generate man from its own option definitions.\n"
        << ".TH " << title << " 1 \"\" \"" << roff(top.name + " " + version) << "\" \"User Commands\"\n"
        << ".SH NAME\n" << roff(top.name) << " \\- " << roff(summary) << "\n"
        << ".SH SYNOPSIS\n.B " << roff(top.name) << "\n"
        << (has_commands ? "[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]\n" : "[\\fIOPTIONS\\fR]\n")
        << ".SH DESCRIPTION\n" << roff(sentence(summary)) << "\n";
    if (has_commands) out << "The options before the command apply to every command, and may also follow it.\n";
    out << ".SH OPTIONS\n";
    write_man_options(top, nullptr, out);
    if (has_commands) out << ".SH COMMANDS\n";
    for (auto command = commands.begin() + 1; command != commands.end(); ++command) {
        out << ".SS \"" << roff(top.name + " " + command->name);
        for (const auto *positional : command->positionals()) out << " " << roff(positional->names.front());
        out << "\"\n" << roff(command->description) << "\n";
        write_man_options(*command, &top, out);
    }
    // The footer (exit statuses) keeps its own layout; a first line "Title:"
    // names its section.
    std::string footer = app.get_footer();
    if (!footer.empty()) {
        std::string section = "NOTES";
        const auto first_end = footer.find('\n');
        if (first_end != std::string::npos && first_end > 0 && footer[first_end - 1] == ':') {
            section = footer.substr(0, first_end - 1);
            footer.erase(0, first_end + 1);
        }
        write_man_section(section, footer, out);
    }
    for (const ManSection &section : more) write_man_section(section.title, section.text, out);
}

// --- bash -----------------------------------------------------------------

// Every option of every command with what may follow it: the first
// definition of a name wins (a name means the same wherever it appears).
std::map<std::string, const OptionDoc *> options_by_name(const std::vector<CommandDoc> &commands) {
    std::map<std::string, const OptionDoc *> result;
    for (const auto &command : commands)
        for (const auto *option : command.named())
            for (const auto &name : option->names) result.emplace(name, option);
    return result;
}

// The names of the options of `command`, then of the app's (`global`),
// which every subcommand takes as well.
std::vector<std::string> option_names(const CommandDoc &command, const CommandDoc *global = nullptr) {
    auto options = own_options(command, global);
    if (global) {
        const auto global_options = global->named();
        options.insert(options.end(), global_options.begin(), global_options.end());
    }
    std::vector<std::string> names;
    for (const auto *option : options) names.insert(names.end(), option->names.begin(), option->names.end());
    return names;
}

std::string shell_function_name(const std::string &program) {
    std::string name = "_" + program;
    std::replace_if(name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return name;
}

void write_bash(const std::vector<CommandDoc> &commands, std::ostream &out) {
    const CommandDoc &top = commands.front();
    const auto by_name = options_by_name(commands);
    std::vector<std::string> value_options, subcommands, file_commands;
    std::map<std::string, std::vector<std::string>> choice_options;  // choices -> option names
    std::map<std::string, std::vector<std::string>> file_options;    // compgen words -> option names
    std::map<std::string, std::vector<std::string>> optional_files;  // the same, for a value that may follow
    for (const auto &[name, option] : by_name) {
        if (!option->takes_value) {
            if (option->optional_value && option->names_file()) optional_files[option->file_completion()].push_back(name);
            continue;
        }
        value_options.push_back(name);
        if (!option->choices.empty()) choice_options[joined(option->choices, " ")].push_back(name);
        else if (option->names_file()) file_options[option->file_completion()].push_back(name);
    }
    for (auto command = commands.begin() + 1; command != commands.end(); ++command) {
        subcommands.push_back(command->name);
        if (command->takes_files()) file_commands.push_back(command->name);
    }
    const std::string global = joined(option_names(top), " ");
    const std::string function = shell_function_name(top.name);

    out << "# bash completion for " << top.name << ", written by " << top.name
        << " --generate bash from its own option definitions.\n"
        << function << "() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command= i\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n";
    if (!value_options.empty()) out << "        " << joined(value_options, "|") << ") ((i++)) ;;\n";
    if (!subcommands.empty()) out << "        " << joined(subcommands, "|") << ") command=${COMP_WORDS[i]}; break ;;\n";
    out << "        esac\n"
        << "    done\n"
        << "    case $prev in\n";
    for (const auto &[choices, names] : choice_options)
        out << "    " << joined(names, "|") << ") mapfile -t COMPREPLY < <(compgen -W \"" << choices
            << "\" -- \"$cur\"); return ;;\n";
    for (const auto &[completion, names] : file_options)
        out << "    " << joined(names, "|") << ") mapfile -t COMPREPLY < <(" << completion << "); return ;;\n";
    // A value that may follow: the file, or what would come without it.
    for (const auto &[completion, names] : optional_files)
        out << "    " << joined(names, "|") << ")\n"
            << "        if [[ $cur != -* ]]; then\n"
            << "            mapfile -t COMPREPLY < <(" << completion << "; [[ -n $command ]] || compgen -W \""
            << joined(subcommands, " ") << "\" -- \"$cur\")\n"
            << "            return\n"
            << "        fi ;;\n";
    // Any other value (a serial number, a count) has nothing to offer.
    if (!value_options.empty()) out << "    " << joined(value_options, "|") << ") COMPREPLY=(); return ;;\n";
    out << "    esac\n"
        << "    local words\n"
        << "    if [[ $cur == -* ]]; then\n"
        << "        case $command in\n";
    for (auto command = commands.begin() + 1; command != commands.end(); ++command)
        out << "        " << command->name << ") words=\"" << joined(option_names(*command, &top), " ") << "\" ;;\n";
    out << "        *) words=\"" << global << "\" ;;\n"
        << "        esac\n"
        << "        mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\")\n"
        << "    elif [[ -z $command ]]; then\n"
        << "        mapfile -t COMPREPLY < <(compgen -W \"" << joined(subcommands, " ") << "\" -- \"$cur\")\n"
        << "    else\n"
        << "        case $command in\n";
    if (!file_commands.empty())
        out << "        " << joined(file_commands, "|") << ") mapfile -t COMPREPLY < <(compgen -f -- \"$cur\") ;;\n";
    out << "        *) COMPREPLY=() ;;\n"
        << "        esac\n"
        << "    fi\n"
        << "}\n"
        << "complete -o filenames -F " << function << " " << top.name << "\n";
}

// --- zsh ------------------------------------------------------------------

// Text inside single quotes: each quote closed, escaped and reopened.
std::string zsh_quoted(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\'') out += "'\\''";
        else if (c == '\n') out += ' ';
        else out += c;
    }
    return out;
}

// An _arguments explanation or message, which a bracket or colon would end.
std::string zsh_argument_text(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '[' || c == ']' || c == ':' || c == '\\') out += '\\';
        out += c;
    }
    return zsh_quoted(out);
}

std::string zsh_action(const OptionDoc &option) {
    if (!option.choices.empty()) return "(" + joined(option.choices, " ") + ")";
    if (!option.names_file()) return " ";
    return option.description.find("JSON") != std::string::npos ? "_files -g \"*.json\"" : "_files";
}

// One quoted _arguments line per option name and argument of `command`.
std::vector<std::string> zsh_argument_lines(const CommandDoc &command, const CommandDoc *global) {
    std::vector<std::string> lines;
    for (const auto *option : own_options(command, global)) {
        const bool value = option->takes_value || option->optional_value;
        // A flag may repeat (-vv); an option with a value is given once, by any of its names.
        const std::string excluded = option->names.size() > 1 ? "(" + joined(option->names, " ") + ")" : "";
        for (const auto &name : option->names) {
            std::string line = "'" + (value ? excluded : "*") + name;
            if (option->takes_value) line += name.rfind("--", 0) == 0 ? "=" : "+";
            line += "[" + zsh_argument_text(option->description) + "]";
            if (value)
                line += (option->optional_value ? "::" : ":") + zsh_argument_text(option->value_name) + ":" +
                        zsh_action(*option);
            lines.push_back(line + "'");
        }
    }
    int place = 1;
    for (const auto *option : command.positionals())
        lines.push_back("'" + std::to_string(place++) + ":" + zsh_argument_text(option->names.front()) + ":" +
                        zsh_action(*option) + "'");
    return lines;
}

void write_zsh(const std::vector<CommandDoc> &commands, std::ostream &out) {
    const CommandDoc &top = commands.front();
    const std::string function = shell_function_name(top.name);
    out << "#compdef " << top.name << "\n"
        << "# zsh completion for " << top.name << ", written by " << top.name
        << " --generate zsh from its own option definitions.\n"
        << function << "() {\n"
        << "  local curcontext=$curcontext state line\n"
        << "  local -a global_options commands\n"
        << "  global_options=(\n";
    for (const auto &line : zsh_argument_lines(top, nullptr)) out << "    " << line << "\n";
    out << "  )\n"
        << "  _arguments -C $global_options '1:command:->command' '*::argument:->argument' && return\n"
        << "  case $state in\n"
        << "  command)\n"
        << "    commands=(\n";
    // _describe splits an entry at its first colon; the name's own are escaped.
    for (auto command = commands.begin() + 1; command != commands.end(); ++command) {
        std::string name;
        for (const char c : command->name) name += c == ':' ? std::string("\\:") : std::string(1, c);
        out << "      '" << zsh_quoted(name) << ":" << zsh_quoted(command->description) << "'\n";
    }
    out << "    )\n"
        << "    _describe -t commands '" << top.name << " command' commands ;;\n"
        << "  argument)\n"
        << "    case $line[1] in\n";
    for (auto command = commands.begin() + 1; command != commands.end(); ++command) {
        out << "    " << command->name << ")\n"
            << "      _arguments $global_options";
        for (const auto &line : zsh_argument_lines(*command, &top)) out << " \\\n        " << line;
        out << " ;;\n";
    }
    out << "    esac ;;\n"
        << "  esac\n"
        << "}\n"
        << function << " \"$@\"\n";
}

}  // namespace

const std::vector<std::string> &option_doc_formats() {
    static const std::vector<std::string> formats{"man", "bash", "zsh"};
    return formats;
}

void write_option_docs(const CLI::App &app, const std::string &format, const std::string &version,
                       std::ostream &out, const std::vector<ManSection> &more) {
    const auto commands = describe_all(app);
    if (format == "man") write_man(app, commands, version, more, out);
    else if (format == "bash") write_bash(commands, out);
    else if (format == "zsh") write_zsh(commands, out);
    else throw std::invalid_argument("no such document: " + format);
}

}  // namespace drova
