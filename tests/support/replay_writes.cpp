// replay_writes: rebuilds a disk image as it would stand after a power cut, from the log of its
// block writes that QEMU's blklogwrites driver keeps (the format of the kernel's dm-log-writes:
// a super block, then per request one sector of header and the data written).
//   replay_writes LOG
//       lists the entries, one line each: index, first sector, sectors (both in 512-byte
//       sectors, whatever the log's sector size), flags (1 flush, 2 FUA, 4 discard).
//   replay_writes LOG IMAGE FROM UPTO [SEED]
//       writes entries FROM..UPTO-1 onto IMAGE. With a SEED, each write from the last flush
//       before UPTO on is kept or lost at random, as a disk's volatile cache may lose it: a flush
//       makes durable what came before it, not its own data; a write with FUA is never lost.
// The log holds the writes in the order they completed, which is all it can tell: a write still
// in flight when a flush was issued is logged after it, and counted as not yet durable.
// Exits 0, or 1 with a message when the log or the image can't be read or written.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kMagic = 0x6a736677736872ULL;
constexpr uint64_t kFlush = 1;
constexpr uint64_t kFua = 2;
constexpr uint64_t kDiscard = 4;

struct log_entry {
    uint64_t sector;
    uint64_t sectors;
    uint64_t flags;
    uint64_t data_offset;  // in the log, in bytes
};

struct write_log {
    uint32_t sector_size = 0;
    std::vector<log_entry> entries;
};

uint64_t little_endian_u64(const unsigned char* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--) value = value << 8 | p[i];
    return value;
}

bool read_exactly(int fd, void* buffer, size_t size, uint64_t offset) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// Reads the super block and every entry header the super block counts.
bool read_log(int fd, write_log& log) {
    unsigned char super[28];
    if (!read_exactly(fd, super, sizeof super, 0) || little_endian_u64(super) != kMagic ||
        little_endian_u64(super + 8) != 1) {
        return false;
    }
    const uint64_t count = little_endian_u64(super + 16);
    log.sector_size = super[24] | super[25] << 8 | super[26] << 16 | uint32_t{super[27]} << 24;
    if (log.sector_size < 512 || (log.sector_size & (log.sector_size - 1)) != 0) return false;
    uint64_t offset = log.sector_size;
    for (uint64_t i = 0; i < count; i++) {
        unsigned char header[32];
        if (!read_exactly(fd, header, sizeof header, offset)) return false;
        log_entry entry{little_endian_u64(header), little_endian_u64(header + 8),
                        little_endian_u64(header + 16), offset + log.sector_size};
        log.entries.push_back(entry);
        // A discard logs no data; a write of zeroes logs its zeroes.
        offset += log.sector_size * (1 + ((entry.flags & kDiscard) ? 0 : entry.sectors));
    }
    return true;
}

bool apply(int log_fd, int image_fd, const write_log& log, const log_entry& entry) {
    const size_t size = entry.sectors * log.sector_size;
    if (size == 0) return true;
    std::vector<char> data(size);
    if (!(entry.flags & kDiscard) && !read_exactly(log_fd, data.data(), size, entry.data_offset)) {
        return false;
    }
    return pwrite(image_fd, data.data(), size, static_cast<off_t>(entry.sector * log.sector_size)) ==
           static_cast<ssize_t>(size);
}

int fail(const char* what, const char* name) {
    fprintf(stderr, "replay_writes: %s %s\n", what, name);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5 && argc != 6) {
        fprintf(stderr, "usage: replay_writes LOG [IMAGE FROM UPTO [SEED]]\n");
        return 2;
    }
    const int log_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    write_log log;
    if (log_fd < 0 || !read_log(log_fd, log)) return fail("not a readable write log:", argv[1]);
    if (argc == 2) {
        const uint64_t scale = log.sector_size / 512;
        for (size_t i = 0; i < log.entries.size(); i++) {
            const log_entry& e = log.entries[i];
            printf("%zu %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", i, e.sector * scale,
                   e.sectors * scale, e.flags);
        }
        return 0;
    }
    const int image_fd = open(argv[2], O_WRONLY | O_CLOEXEC);
    if (image_fd < 0) return fail("can't open", argv[2]);
    const size_t from = std::strtoull(argv[3], nullptr, 10);
    const size_t upto = std::min<size_t>(std::strtoull(argv[4], nullptr, 10), log.entries.size());
    size_t volatile_from = from;  // the first write the disk's cache may still hold
    for (size_t i = from; i < upto; i++) {
        if (log.entries[i].flags & kFlush) volatile_from = i;
    }
    std::mt19937_64 random(argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 0);
    for (size_t i = from; i < upto; i++) {
        const bool lost = argc == 6 && i >= volatile_from && !(log.entries[i].flags & kFua) &&
                          (random() & 1) != 0;
        if (!lost && !apply(log_fd, image_fd, log, log.entries[i])) return fail("can't write", argv[2]);
    }
    return close(image_fd) == 0 ? 0 : fail("can't write", argv[2]);
}
