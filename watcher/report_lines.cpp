#include "report_lines.h"

namespace watcher {
namespace {

// A path in a report keeps its start and its end, this long each at most.
constexpr std::size_t kReportedPathEnd = 120;

}  // namespace

std::string shortened_path(const std::string& path) {
    if (path.size() <= 2 * kReportedPathEnd + 5) return path;
    return path.substr(0, kReportedPathEnd) + "/.../" + path.substr(path.size() - kReportedPathEnd);
}

}  // namespace watcher
