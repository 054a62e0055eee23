// bare_copy SRC DST [SRC DST]...: the design's limit for an update, doing the updater's I/O and
// nothing more: copies each SRC over its DST in place through one buffer of SRC's st_blksize,
// fsyncs DST and deletes SRC, then fsyncs the directory of the first SRC once. Given the staged
// file and a manifest, it is what the updater does for a one-file update. Exits 1 on any
// failure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

bool copy_and_delete(const char* source, const char* target) {
    const int in = open(source, O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return false;
    const int out = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) return false;
    std::vector<char> buffer(static_cast<size_t>(st.st_blksize));
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0 || write(out, buffer.data(), static_cast<size_t>(n)) != n) return false;
    }
    return close(in) == 0 && fsync(out) == 0 && close(out) == 0 && unlink(source) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) return 2;
    for (int i = 1; i < argc; i += 2) {
        if (!copy_and_delete(argv[i], argv[i + 1])) return 1;
    }
    const std::string first = argv[1];
    const size_t slash = first.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : first.substr(0, slash + 1);
    const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    return d >= 0 && fsync(d) == 0 && close(d) == 0 ? 0 : 1;
}
