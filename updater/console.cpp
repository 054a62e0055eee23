// The updater's console: one flushed line per message on standard output.
#include "console.h"

#include <cstdio>

#include "messages.h"

namespace updater {

void print_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_reinstall_notice() { print_line(kReinstallNotice); }

}  // namespace updater
