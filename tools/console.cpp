#include "console.h"

namespace drova {

void Console::print(const std::string &text) {
    std::lock_guard lock(mutex_);
    end_progress();
    out_ << text << std::flush;
}

void Console::line(const std::string &text) { print(text + "\n"); }

void Console::status(const std::string &text) {
    if (!quiet_) line(text);
}

void Console::note(const std::string &text) {
    std::lock_guard lock(mutex_);
    end_progress();
    err_ << text << "\n" << std::flush;
}

void Console::prompt(const std::string &text) {
    std::lock_guard lock(mutex_);
    end_progress();
    err_ << text << std::flush;
}

void Console::end_progress() {
    if (progress_open_) out_ << "\n";
    progress_open_ = false;
    out_ << std::flush;
}

void Console::progress(const std::string &line, bool final) {
    if (quiet_) return;
    std::lock_guard lock(mutex_);
    if (terminal_) {
        out_ << "\r" << line << "\x1b[K" << (final ? "\n" : "") << std::flush;
        progress_open_ = !final;
    } else if (!final) {  // the last record's line already said it all
        out_ << line << "\n" << std::flush;
    }
}

double Console::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace drova
