#include "cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <set>

#include "commands.h"
#include "exit_codes.h"
#include "gui_server.h"
#include "interrupt.h"
#include "option_docs.h"
#include "os_services.h"
#include "serial_argument.h"
#include "service_log.h"

#ifndef DROVA_VERSION
#define DROVA_VERSION "0"
#endif

namespace drova {
namespace {

// A saved table of 255 sectors is some 80 KiB.
constexpr std::uintmax_t kMostTableBytes = 16u << 20;

// What the man page says beyond the options and exit statuses.
const std::vector<ManSection> kManSections{
    {"Environment",
     "VELKOR_USB_DIR  where the library looks for devices instead of the system's own place: a\n"
     "                directory of endpoints (Linux; default /run/velkor/usb, which drova-usbd\n"
     "                serves) or a named-pipe prefix (Windows; default: the USB devices of the\n"
     "                DROVA interface class). --sim sets it for the simulated device.\n"
     "                drova loads the library given by --library, or the one beside it; the\n"
     "                bindings' VELKOR_LIBRARY is not read."},
    {"Files",
     "/run/velkor/usb/  the endpoints drova-usbd serves for the USB devices it bridges (Linux)."},
    {"See also", "drova-usbd(1), drova-sim --help"},
};

constexpr const char *kExitCodes =
    "Exit status:\n"
    "  0 success            2 bad arguments       3 bad image or table file\n"
    "  4 library not loadable or lacking an export  5 simulated device did not start\n"
    "  6 no device found    7 no outcome reported in time\n"
    "  8 check: the consistency check marked an entry of the flash table\n"
    "  9 the selected serial number is shared by several found devices, a change\n"
    "         chooses none of several found devices, or write-serial would give a\n"
    "         device the number of another (--force-duplicate writes it all the same)\n"
    "  10+a   the command ended with the event (a,1), e.g. 14 erase failed, 13 download failed,\n"
    "         12 a checksum did not match, 19 connect failed, 24 start application failed\n"
    "  25     not confirmed: drova asks before erase, download, write-serial, autostart and a demo on a\n"
    "         real device; without a terminal only --yes goes ahead. Nothing was changed\n"
    "  26     the image or sector does not fit the device's flash table; nothing was written\n"
    "  27     the device went away mid-command (pulled out, its link broke); what it did is unfinished\n"
    "  39     the library refused the command without a reason\n"
    "  40+e   the library refused the command with error e, e.g. 45 not connected, 50 busy\n"
    "  130 Ctrl-C (after disconnecting); 143 SIGTERM, 129 SIGHUP, 141 SIGPIPE\n"
    "Every failure ends with a line giving the library's own error text.";

// A command's help ends with the global options it takes, where the app's
// help ends with every exit status.
void name_global_options_in_command_help(CLI::App &app) {
    const std::set<std::string> searching_only{"list", "scan", "with-sim", "gui", "log"};
    const std::set<std::string> changing{"erase", "download", "write-serial", "autostart", "demo"};
    const std::set<std::string> selecting{"-S,--serial", "--index", "--path"};
    const std::set<std::string> for_with_sim{"-v,--verbose", "-q,--quiet", "--sim", "--sim-program"};
    for (CLI::App *command : app.get_subcommands([](CLI::App *) { return true; })) {
        const std::string name = command->get_name();
        std::string names;
        for (const CLI::Option *option : app.get_options()) {
            const std::string option_name = option->get_name(false, true);
            // Hidden ones, and those that end drova before any command.
            if (option->get_group().empty() || option_name == "-h,--help" || option_name == "-V,--version") continue;
            if (selecting.count(option_name) && searching_only.count(name)) continue;
            if (option_name == "-y,--yes" && !changing.count(name)) continue;
            if (name == "with-sim" && !for_with_sim.count(option_name)) continue;
            names += (names.empty() ? "" : ", ") + option_name;
        }
        command->footer("Global options it takes, before or after the command: " + names +
                        "\nExit statuses: drova --help");
    }
}

// Checks a serial number argument: a 24-bit number or its KV text.
std::uint32_t serial_argument(const std::string &text, const char *what) {
    const auto serial = parse_serial_argument(text);
    if (!serial) throw Failure(exit_code::kUsage, std::string(what) + ": \"" + text +
                                                      "\" is neither a number nor a serial number text like KV47D00291");
    if (*serial > 0xFFFFFF)
        throw Failure(exit_code::kUsage, std::string(what) + ": " + text +
                                             " does not fit the 24 bits of a serial number");
    return *serial;
}

// A serial number a device can be given and found by again.
std::uint32_t new_serial_argument(const std::string &text) {
    const std::uint32_t serial = serial_argument(text, "write-serial");
    // The library reads a device's 0xFFFFFF as 0 and passes it over when connecting.
    if (serial == 0xFFFFFF)
        throw Failure(exit_code::kUsage, "write-serial: " + text +
                                             " is the number of a device without a serial number: the library would "
                                             "list it as 0 and could not connect to it by number");
    return serial;
}

std::uint32_t id_argument(const std::string &text) {
    const auto id = parse_u32(text);
    if (!id) throw Failure(exit_code::kUsage, "\"" + text + "\" is not an application id (a 32-bit number)");
    return *id;
}

CLI::Validator u32_validator() {
    return CLI::Validator(
        [](std::string &text) -> std::string {
            return parse_u32(text) ? "" : "\"" + text + "\" is not a 32-bit number (decimal or 0x...)";
        },
        "NUMBER");
}

}  // namespace

int run(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err) {
    GlobalOptions options;
    std::optional<std::string> serial_text;
    bool show_version = false;

    CLI::App app{"drova: find, inspect and service DROVA devices through the Velkor Control API.", "drova"};
    app.footer(kExitCodes);
    app.require_subcommand(0, 1);
    // Dashes only, on every OS: "/path" is a file name (Wine passes Linux paths).
    app.allow_windows_style_options(false);
    app.fallthrough();
    app.add_flag("-v,--verbose", options.verbosity, "more output; repeat for the simulator's frames");
    app.add_flag("-V,--version", show_version, "print the version of drova and of the library, then exit");
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet, "print only errors and the final verdict");
    app.add_flag("-y,--yes", options.yes, "change a real device without asking (erase, download, write-serial, "
                                          "autostart, demo); needed when standard input is not a terminal");
    app.add_option("--library", options.library, "the library to load (default: " +
                                                      std::string(SharedLibrary::default_name()) + " beside drova)");
    auto *sim = app.add_option("--sim", options.sim_config,
                               "attach the simulated device (drova-sim), optionally described by a JSON CONFIG file")
                    ->expected(0, 1)
                    ->type_name("[CONFIG]");
    app.add_option("--sim-program", options.sim_program, "the drova-sim program (default: beside drova)");
    auto *serial = app.add_option("-S,--serial", serial_text, "the device with this serial number (number or KV text)");
    // As many places as drova-sim serves devices.
    auto *index = app.add_option("--index", options.selection.index, "the device at this place of drova list, which counts every interface present")
                      ->check(CLI::Range(0, 99));
    // A path stays the same device while others come and go; an index need not.
    auto *path = app.add_option("--path", options.selection.path,
                                "the device at this interface path, as drova list shows it");
    serial->excludes(index);
    path->excludes(serial);
    path->excludes(index);
    std::optional<std::string> service_log_file;
    app.add_option("--service-log", service_log_file,
                   "the service log that drova gui writes and drova log reads (default: " +
                       default_service_log().string() + ")")
        ->type_name("FILE");
    app.add_option("--search-ms", options.selection.search_unit_ms, "search time unit; a search lasts twice this")
        ->check(CLI::Range(10, 10000));
    // Hidden: the build writes drova's man page and completion scripts with it.
    std::optional<std::string> generate;
    app.add_option("--generate", generate)->group("")->check(CLI::IsMember(option_doc_formats()));

    bool json = false;
    auto *list = app.add_subcommand("list", "search and list every device interface present, with the device that answered on it");
    list->add_flag("--json", json, "print the list as JSON");

    auto *info = app.add_subcommand("info", "connect and describe the device");
    info->add_flag("--json", json, "print the description and the flash table as JSON");
    auto *flash = app.add_subcommand("flash", "connect and print the flash sector table");
    flash->add_flag("--json", json, "print the table as JSON (drova check --table reads it)");

    std::optional<std::string> table_file;
    auto *check = app.add_subcommand("check", "check that the firmware in the flash fits together (exit status 8 "
                                              "when the library's consistency check marks an entry)");
    check->add_flag("--json", json, "print the entries and what the check marked as JSON");
    check->add_option("--table", table_file, "check a table saved by drova flash --json instead of a device")
        ->type_name("FILE");

    unsigned sector = 0;
    auto *erase = app.add_subcommand("erase", "erase a flash sector");
    erase->add_option("SECTOR", sector, "sector number")->required()->check(CLI::Range(0, 255));

    std::string file;
    unsigned target = 0;
    std::string format_name = "auto";
    std::optional<std::string> address_text;
    bool erase_first = false;
    auto *download = app.add_subcommand("download", "download an Intel HEX, S-record or raw binary file");
    download->add_option("FILE", file, "the image file; - reads it from standard input")->required();
    download->add_option("-t,--target", target, "the area to program: a sector, or the staging area")
        ->required()
        ->check(CLI::Range(0, 255));
    download->add_option("--format", format_name,
                         "auto (by content; the extension when the content is not Intel HEX or S-record), ihex, "
                         "srec or bin")
        ->check(CLI::IsMember({"auto", "ihex", "hex", "srec", "bin", "binary"}));
    download->add_option("-a,--address", address_text, "where a raw binary file belongs (default 0)")
        ->check(u32_validator());
    download->add_flag("--erase", erase_first, "erase the target sector first (needed when it is not empty)");
    download->add_flag("--json", json, "print the image and the outcome as JSON");
    std::optional<std::uint32_t> fill_gap;
    download->add_option("--fill-gaps", fill_gap,
                         "join blocks whose gap is at most BYTES, filling it with 0xFF (status 3 when that would add "
                         "more than 16 MiB)")
        ->type_name("BYTES")
        ->check(CLI::Range(0u, kMostFilledGap));

    auto *verify = app.add_subcommand("verify", "check that the device holds an image where a download into the "
                                                "target put it: each record's checksum (exit status 12 when one "
                                                "differs)");
    verify->add_option("FILE", file, "the image file; - reads it from standard input")->required();
    verify->add_option("-t,--target", target, "the area the image was downloaded into")
        ->required()
        ->check(CLI::Range(0, 255));
    verify->add_option("--format", format_name, "as for download")
        ->check(CLI::IsMember({"auto", "ihex", "hex", "srec", "bin", "binary"}));
    verify->add_option("-a,--address", address_text, "as for download")->check(u32_validator());
    verify->add_option("--fill-gaps", fill_gap, "as for download: the same value as the download used")
        ->type_name("BYTES")
        ->check(CLI::Range(0u, kMostFilledGap));
    verify->add_flag("--json", json, "print each record's verdict as JSON");

    std::string id_text;
    auto *start = app.add_subcommand("start", "start a firmware application");
    start->add_option("ID", id_text, "application id")->required()->check(u32_validator());
    auto *autostart = app.add_subcommand("autostart", "set the application the device starts by itself");
    autostart->add_option("ID", id_text, "application id; 0xFFFFFFFF clears the automatic start")
        ->required()
        ->check(u32_validator());
    auto *reset = app.add_subcommand("reset", "reset the device (ends the connection)");

    std::string new_serial;
    auto *write_serial_command = app.add_subcommand("write-serial", "write the device's serial number");
    write_serial_command->add_option("SN", new_serial, "a 24-bit number or its text, e.g. KV47D00291")->required();
    bool force_duplicate = false;
    write_serial_command->add_flag("--force-duplicate", force_duplicate,
                                   "write a number that another found device already has");

    unsigned every_ms = 1000, count = 0;
    auto *keepalive = app.add_subcommand("keepalive", "keep the connection alive");
    keepalive->add_option("--every", every_ms, "milliseconds between keep-alives")->check(CLI::Range(100, 600000));
    keepalive->add_option("--count", count, "stop after this many; 0 (the default) runs until Ctrl-C. Exits "
                                            "non-zero when a keep-alive was refused");

    unsigned scan_count = 5;
    auto *scan_command = app.add_subcommand("scan", "search repeatedly, one line per search that found devices");
    scan_command->add_option("--count", scan_count, "stop after this many lines")->check(CLI::Range(1, 65536));
    scan_command->add_flag("--json", json, "print the lines as a JSON list");

    auto *demo_command = app.add_subcommand("demo", "the whole job on the simulated device (unless devices are "
                                                    "selected otherwise): search, connect, describe, flash table, "
                                                    "erase, download, verify, list, start, disconnect");
    bool demo_real = false;
    demo_command->add_flag("--real", demo_real, "use real devices (or VELKOR_USB_DIR) instead of the simulated one");

    gui::GuiOptions gui_options;
    auto *gui_command = app.add_subcommand("gui", "serve the technician's page on 127.0.0.1 and open it in the "
                                                  "browser; its address, with this launch's token, is the first "
                                                  "line of output. Runs until Ctrl-C");
    bool no_browser = false;
    gui_command->add_flag("--no-browser", no_browser, "only print the address");
    gui_command->add_option("--port", gui_options.port, "the port to listen on (default 0: one the system chooses)")
        ->check(CLI::Range(0, 65535));
    gui_command->add_option("--assets-dir", gui_options.assets_dir,
                            "serve the page's files from this folder instead of the built-in ones (for working on "
                            "the page)")
        ->type_name("DIR");

    std::size_t log_count = 50;
    auto *log_command = app.add_subcommand("log", "print the service log: one line per change drova gui made to a "
                                                  "device (time, serial number, area, image and its SHA-256, "
                                                  "outcome)");
    log_command->add_option("--count", log_count, "the last this many records")->check(CLI::Range(1, 1000000));
    log_command->add_flag("--json", json, "print the records as a JSON list");

    auto *with_sim = app.add_subcommand("with-sim", "PROGRAM [ARGS...]: run PROGRAM (by its path) with "
                                                    "VELKOR_USB_DIR pointing at a simulated device; exits with "
                                                    "PROGRAM's status");
    // Everything from PROGRAM on is PROGRAM's, options included.
    with_sim->prefix_command();
    with_sim->fallthrough(false);

    name_global_options_in_command_help(app);

    Console console(out, err, 0);
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        try {
            app.parse(reversed);
        } catch (const CLI::CallForHelp &) {
            out << app.help();
            return exit_code::kOk;
        } catch (const CLI::CallForAllHelp &) {
            out << app.help("", CLI::AppFormatMode::All);
            return exit_code::kOk;
        } catch (const CLI::ParseError &error) {
            err << "drova: " << error.what() << "\nRun with --help for more information.\n";
            return exit_code::kUsage;
        }
        console.set_verbosity(options.verbosity);
        // JSON is the whole of standard output: no progress or status lines beside it.
        console.set_quiet(quiet || json);
        console.set_terminal(&out == &std::cout && is_terminal(stdout));
        options.sim = sim->count() > 0;
        if (options.sim_config && options.sim_config->empty()) options.sim_config.reset();
        if (generate) {
            write_option_docs(app, *generate, DROVA_VERSION, out, kManSections);
            return exit_code::kOk;
        }
        if (show_version) {
            out << "drova " << DROVA_VERSION << "\n" << library_banner(options) << "\n";
            return exit_code::kOk;
        }
        if (app.get_subcommands().empty())
            throw Failure(exit_code::kUsage, "a command is required (drova --help lists them)");
        if (serial_text) options.selection.serial = serial_argument(*serial_text, "--serial");

        if (*with_sim) {
            std::vector<std::string> program = with_sim->remaining();
            if (program.empty()) throw Failure(exit_code::kUsage, "with-sim: PROGRAM is required");
            const std::string path = program.front();
            program.erase(program.begin());
            return with_simulator(options, console, path, program);
        }

        const ServiceLog service_log(service_log_file ? std::filesystem::path(*service_log_file)
                                                      : default_service_log());
        if (*log_command) {
            std::size_t unreadable = 0;
            const auto records = service_log.read(log_count, &unreadable);
            if (unreadable > 0)
                console.note("drova: warning: " + std::to_string(unreadable) + " lines of " +
                             service_log.path().string() + " are not records");
            if (json) console.line(nlohmann::json(records).dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
            else for (const auto &record : records) console.line(service_line(record));
            if (records.empty()) console.note("drova: " + service_log.path().string() + " holds no records");
            return exit_code::kOk;
        }

        // Arguments and files are checked before any device is touched.
        std::optional<Image> image;
        if (*download || *verify) {
            const auto format = parse_image_format(format_name);
            std::optional<std::uint32_t> address;
            if (address_text) address = parse_u32(*address_text);
            try {
                image = load_image(file, *format, address);
                if (!image->format_warning.empty()) console.note("drova: warning: " + file + ": " + image->format_warning);
                if (fill_gap) image->blocks = fill_gaps(std::move(image->blocks), *fill_gap);
            } catch (const ImageArgumentError &error) {
                throw Failure(exit_code::kUsage, file + ": " + error.what());
            } catch (const ImageError &error) {
                throw Failure(exit_code::kBadFile, file + ": " + error.what());
            }
        }
        std::optional<FlashTable> saved_table;
        if (*check && table_file) {
            try {
                saved_table = table_from_json(read_whole_file(*table_file, kMostTableBytes));
            } catch (const std::runtime_error &error) {  // ImageError, TableError
                throw Failure(exit_code::kBadFile, *table_file + ": " + error.what());
            }
        }
        std::uint32_t serial_to_write = 0;
        if (*write_serial_command) serial_to_write = new_serial_argument(new_serial);

        const InterruptGuard interrupt_guard;
        // A saved table needs the library, not a device.
        Runtime runtime(options, console, !saved_table && (options.sim || (*demo_command && !demo_real &&
                                                                            !options.selection.names_a_device())));
        if (*list) list_devices(runtime, json);
        else if (*info) show_info(runtime, json);
        else if (*flash) show_flash(runtime, json);
        else if (*check) check_flash(runtime, json, std::move(saved_table));
        else if (*erase) erase_sector(runtime, sector);
        else if (*download) download_file(runtime, std::move(*image), {file, target, erase_first}, json);
        else if (*verify) verify_file(runtime, *image, {file, target, false}, json);
        else if (*start) start_application(runtime, id_argument(id_text));
        else if (*autostart) set_autostart(runtime, id_argument(id_text));
        else if (*reset) reset_device(runtime);
        else if (*write_serial_command) write_serial(runtime, serial_to_write, force_duplicate);
        else if (*keepalive) keep_alive(runtime, every_ms, count);
        else if (*scan_command) scan(runtime, scan_count, json);
        else if (*demo_command) demo(runtime);
        else if (*gui_command) {
            gui_options.open_browser = !no_browser;
            gui_options.service_log = service_log.path().string();
            gui::serve_gui(runtime, gui_options);
        }
        if (!out.good()) {
            // A reader that went away (SIGPIPE: `drova info | head -1`) is no error to report; the
            // device was let go all the same.
            if (interrupted()) return interrupted_exit_status();
            console.note("drova: the output could not be written");
            return exit_code::kInternal;
        }
        return exit_code::kOk;
    } catch (const Failure &failure) {
        console.note(std::string("drova: ") + failure.what());
        // The device has been let go by now; the status says what stopped drova.
        if (failure.exit_code() == exit_code::kInterrupted) return interrupted_exit_status();
        return failure.exit_code();
    } catch (const std::exception &error) {
        console.note(std::string("drova: ") + error.what());
        return exit_code::kInternal;
    }
}

}  // namespace drova
