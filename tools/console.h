// Where drova writes: results to `out`, diagnostics and events to `err`,
// whole lines at a time so that lines from the simulator's reader thread do
// not tear them.
#pragma once

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

namespace drova {

class Console {
public:
    Console(std::ostream &out, std::ostream &err, int verbosity) : out_(out), err_(err), verbosity_(verbosity) {}

    void print(const std::string &text);  // to out, as is
    void line(const std::string &text);   // to out, one line
    void status(const std::string &text); // to out, one line, unless quiet: what is under way
    void note(const std::string &text);   // to err, one line
    void prompt(const std::string &text); // to err, no line break: a question
    void detail(const std::string &text) {
        if (verbosity_ >= 1) note(text);
    }
    // A progress line that the next one overwrites on a terminal; elsewhere
    // each is a line of its own, so that a log shows where work stopped.
    // `final` ends it. Quiet: nothing.
    void progress(const std::string &line, bool final);
    void set_quiet(bool quiet) { quiet_ = quiet; }

    int verbosity() const { return verbosity_; }
    void set_verbosity(int verbosity) { verbosity_ = verbosity; }
    bool show_events() const { return show_events_ || verbosity_ >= 1; }
    void set_show_events(bool show) { show_events_ = show; }
    void set_terminal(bool terminal) { terminal_ = terminal; }
    // Seconds since drova started, for event lines.
    double elapsed() const;

private:
    void end_progress();  // with the lock held

    std::ostream &out_;
    std::ostream &err_;
    int verbosity_;
    bool show_events_ = false;
    bool terminal_ = false;
    bool quiet_ = false;
    bool progress_open_ = false;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace drova
