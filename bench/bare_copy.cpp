// bare_copy SRC DST: the design's limit for one file of an update, doing what the updater does
// for it and nothing more: copies SRC over DST in place through one buffer of SRC's
// st_blksize, fsyncs DST, deletes SRC and fsyncs the directory that held it. Exits 1 on any
// failure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int in = open(argv[1], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return 1;
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) return 1;
    std::vector<char> buffer(static_cast<size_t>(st.st_blksize));
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0 || write(out, buffer.data(), static_cast<size_t>(n)) != n) return 1;
    }
    if (close(in) != 0 || fsync(out) != 0 || close(out) != 0 || unlink(argv[1]) != 0) return 1;
    const std::string source = argv[1];
    const size_t slash = source.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : source.substr(0, slash + 1);
    const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    return d >= 0 && fsync(d) == 0 && close(d) == 0 ? 0 : 1;
}
