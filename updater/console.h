// The updater's console: one flushed line per message on standard output.
#pragma once

#include <string>

namespace updater {

// Writes `text` and a newline to standard output and flushes it.
void print_line(const std::string& text);

// Prints "Unable to launch application. Please reinstall application!".
void print_reinstall_notice();

}  // namespace updater
