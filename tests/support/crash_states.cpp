// crash_states: the states a power cut may leave a directory tree in, at the level of system
// calls, from the strace log of a run that changed it. The persistence model is the weakest
// POSIX allows (that of the ALICE study, "All File Systems Are Not Created Equal", OSDI 2014):
// data written to a file since its last fsync may be lost, partly present (the first calls of
// it only) or present in size only (zeros); each entry a directory gained, lost or had renamed
// since that directory's last fsync may be kept or lost, independently of the others, each call
// whole or not at all; a file's owner and mode set since its last fsync may be kept or lost. An
// fsync of a file makes its data and its owner and mode durable, not its name.
//   crash_states count LOG ROOT BEFORE [DROP]
//       prints how many distinct states there are (and, on stderr, how they were chosen).
//   crash_states make LOG ROOT BEFORE FROM TO DEST [DROP]
//       writes states FROM..TO-1 (0-based) as directories DEST/<k>, and what each one is as
//       DEST/<k>.what.
// LOG: `strace -f -y -xx -s 16777216 -e trace=openat,open,write,pwrite64,ftruncate,fsync,
// fdatasync,rename,renameat,renameat2,unlink,unlinkat,chdir,close,fchmod,fchown` of the run (its
// first process is the one modelled), or several such logs joined by commas: runs one after
// another (say one killed, then its rerun), of which only the last is cut; ROOT: the directory
// it changed, as the log names it; BEFORE: a copy of ROOT taken before the runs (regular files,
// symlinks and directories). DROP (n): the n-th fsync or fdatasync is left out of the log, a
// fault injected into the run. Calls outside ROOT and calls that failed are skipped.
// Every state after each call is taken while there are at most 4,096 of them; beyond that, 256
// are drawn from all of them, by a seed printed on stderr (CRASH_SEED overrides it). States
// that leave the same files as one taken before are left out; with CRASH_SEEN (a file), so are
// those listed there, and `count` lists in CRASH_SEEN.next those and its own.
// Exits 0, or 1 with a message when the log or a directory can't be read or written.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kEnumeratedPerPoint = 4096;
constexpr std::size_t kDrawnPerPoint = 256;
constexpr unsigned long kDefaultSeed = 20261210;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "crash_states: %s\n", message.c_str());
    std::exit(1);
}

// A change of a file's data: a write at an offset, or a truncation (bytes empty) to an offset.
struct data_op {
    bool truncate;
    std::size_t offset;
    std::string bytes;
};

// A file's owner and mode.
struct attributes {
    unsigned mode;
    unsigned uid, gid;
    bool operator==(const attributes& other) const {
        return mode == other.mode && uid == other.uid && gid == other.gid;
    }
};

struct inode {
    std::string durable;
    std::vector<data_op> pending;
    attributes durable_attributes, current_attributes;
    std::string link;  // a symlink's target ("" for a regular file)
};

std::string apply(std::string data, const std::vector<data_op>& ops, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const data_op& op = ops[i];
        if (op.truncate) {
            data.resize(op.offset);
        } else {
            if (data.size() < op.offset + op.bytes.size()) data.resize(op.offset + op.bytes.size());
            data.replace(op.offset, op.bytes.size(), op.bytes);
        }
    }
    return data;
}

// A change of a directory's entries: `name` now names inode `ino` (a creation, or a rename's
// destination, with `from` its source in the same directory), or no longer names anything.
struct entry_op {
    std::string name;
    std::string from;  // a rename's source; "" for a creation or an unlink
    int ino;           // -1: an unlink
};

using entries = std::map<std::string, int>;

void apply(entries& names, const entry_op& op) {
    if (!op.from.empty()) names.erase(op.from);
    if (op.ino < 0) {
        names.erase(op.name);
    } else {
        names[op.name] = op.ino;
    }
}

struct directory {
    entries durable;
    std::vector<entry_op> pending;
    entries current() const {
        entries names = durable;
        for (const entry_op& op : pending) apply(names, op);
        return names;
    }
};

struct model {
    std::vector<inode> inodes;
    std::map<std::string, directory> directories;  // by path below the root ("" is the root)
};

// A point where the power may fail: the model as it stood, and the call that came next.
struct crash_point {
    model state;
    std::string before;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) die("can't read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void load(model& m, const std::string& disk, const std::string& path) {
    directory& dir = m.directories[path];
    DIR* listing = opendir(disk.c_str());
    if (listing == nullptr) die("can't list " + disk);
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat status;
        if (lstat((disk + "/" + name).c_str(), &status) != 0) die("can't stat " + name);
        const std::string below = path.empty() ? name : path + "/" + name;
        const attributes owned{status.st_mode & 07777, status.st_uid, status.st_gid};
        if (S_ISDIR(status.st_mode)) {
            load(m, disk + "/" + name, below);
        } else if (S_ISREG(status.st_mode)) {
            m.inodes.push_back({read_file(disk + "/" + name), {}, owned, owned, ""});
            dir.durable[name] = static_cast<int>(m.inodes.size() - 1);
        } else if (S_ISLNK(status.st_mode)) {
            char target[4096];
            const ssize_t n = readlink((disk + "/" + name).c_str(), target, sizeof target);
            if (n <= 0 || n == sizeof target) die("can't read link " + name);
            m.inodes.push_back({"", {}, owned, owned, std::string(target, n)});
            dir.durable[name] = static_cast<int>(m.inodes.size() - 1);
        }
    }
    closedir(listing);
}

// strace -xx prints every byte of a string as \xHH; -y adds a descriptor's path as <...>.
std::string unhex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            bytes += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::vector<std::string> split_arguments(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (!quoted && text.compare(i, 2, ", ") == 0) {
            parts.push_back(text.substr(start, i - start));
            start = i + 2;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string string_argument(const std::string& argument) {
    if (argument.size() < 2 || argument.front() != '"') die("not a string: " + argument);
    if (argument.size() >= 5 && argument.compare(argument.size() - 4, 4, "\"...") == 0)
        die("a string was cut short");
    return unhex(argument.substr(1, argument.size() - 2));
}

// The path of a descriptor argument ("3<...>", "AT_FDCWD<...>").
std::string descriptor_path(const std::string& argument) {
    const std::size_t open = argument.find('<');
    if (open == std::string::npos || argument.back() != '>') return "";
    return unhex(argument.substr(open + 1, argument.size() - open - 2));
}

// `path` (absolute) without "." or empty components, nor what a ".." undoes.
std::string normalize(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string joined;
    for (const std::string& part : parts) joined += "/" + part;
    return joined.empty() ? "/" : joined;
}

struct run {
    model m;
    std::string root, cwd;
    struct open_file {
        int ino;  // -1: a directory, named by `directory`
        std::string directory;
        std::size_t offset;
    };
    std::map<int, open_file> files;
    int drop = 0, syncs = 0;
    std::vector<crash_point> points;

    // The path below the root of `path` (relative to `base`), or false when it lies outside.
    bool below_root(const std::string& base, const std::string& path, std::string& relative) {
        const std::string full = normalize(path[0] == '/' ? path : base + "/" + path);
        if (full == root) {
            relative = "";
            return true;
        }
        if (full.compare(0, root.size() + 1, root + "/") != 0) return false;
        relative = full.substr(root.size() + 1);
        return true;
    }

    static void split(const std::string& relative, std::string& dir, std::string& name) {
        const std::size_t slash = relative.rfind('/');
        dir = slash == std::string::npos ? "" : relative.substr(0, slash);
        name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    }

    directory& dir_of(const std::string& path) {
        const auto found = m.directories.find(path);
        if (found == m.directories.end()) die("a call in an unknown directory: " + path);
        return found->second;
    }

    void open_call(const std::string& base, const std::string& path, const std::string& flags,
                   const std::string& mode, int fd) {
        std::string relative, dir, name;
        if (!below_root(base, path, relative)) return;
        // A symlink is followed to what it leads to (a file made through a dangling one is made
        // there).
        for (int links = 0;; ++links) {
            if (flags.find("O_DIRECTORY") != std::string::npos || m.directories.count(relative)) {
                files[fd] = {-1, relative, 0};
                return;
            }
            split(relative, dir, name);
            const entries names = dir_of(dir).current();
            const auto found = names.find(name);
            if (found == names.end() || m.inodes[found->second].link.empty()) break;
            if (links == 40) die("a chain of links too long: " + path);
            if (!below_root(root + (dir.empty() ? "" : "/" + dir), m.inodes[found->second].link,
                            relative))
                return;
        }
        directory& parent = dir_of(dir);
        const entries names = parent.current();
        const auto found = names.find(name);
        int ino;
        if (found != names.end()) {
            ino = found->second;
        } else {
            if (flags.find("O_CREAT") == std::string::npos)
                die("opened a file never made: " + path);
            // Made with the mode asked for, less the usual umask, and the run's own owner.
            const attributes made{static_cast<unsigned>(std::strtoul(mode.c_str(), nullptr, 8)) &
                                      ~022u & 07777,
                                  static_cast<unsigned>(getuid()),
                                  static_cast<unsigned>(getgid())};
            m.inodes.push_back({"", {}, made, made, ""});
            ino = static_cast<int>(m.inodes.size() - 1);
            parent.pending.push_back({name, "", ino});
        }
        if (flags.find("O_TRUNC") != std::string::npos)
            m.inodes[ino].pending.push_back({true, 0, ""});
        files[fd] = {ino, "", 0};
    }

    void rename_call(const std::string& from, const std::string& to) {
        std::string a, b, dir_a, name_a, dir_b, name_b;
        if (!below_root(cwd, from, a) || !below_root(cwd, to, b)) return;
        split(a, dir_a, name_a);
        split(b, dir_b, name_b);
        if (dir_a != dir_b) die("a rename between directories is not modelled: " + from);
        directory& dir = dir_of(dir_a);
        const entries names = dir.current();
        const auto source = names.find(name_a);
        if (source == names.end()) die("renamed a file never made: " + from);
        dir.pending.push_back({name_b, name_a, source->second});
    }

    void unlink_call(const std::string& base, const std::string& path) {
        std::string relative, dir, name;
        if (!below_root(base, path, relative)) return;
        split(relative, dir, name);
        dir_of(dir).pending.push_back({name, "", -1});
    }

    void sync_call(int fd) {
        if (++syncs == drop) return;
        const auto file = files.find(fd);
        if (file == files.end()) return;
        if (file->second.ino < 0) {
            directory& dir = dir_of(file->second.directory);
            dir.durable = dir.current();
            dir.pending.clear();
        } else {
            inode& node = m.inodes[file->second.ino];
            node.durable = apply(node.durable, node.pending, node.pending.size());
            node.pending.clear();
            node.durable_attributes = node.current_attributes;
        }
    }

    // fchmod (uid < 0) or fchown.
    void attributes_call(int fd, long mode, long uid, long gid) {
        const auto file = files.find(fd);
        if (file == files.end() || file->second.ino < 0) return;
        attributes& now = m.inodes[file->second.ino].current_attributes;
        if (uid < 0) {
            now.mode = static_cast<unsigned>(mode) & 07777;
        } else {
            now.uid = static_cast<unsigned>(uid);
            now.gid = static_cast<unsigned>(gid);
            now.mode &= ~06000u;  // chown clears the set-id bits
        }
    }

    // A write (`truncate` false) or truncation at offset `at`; a write at -1 goes at the file's
    // offset and moves it.
    void data_call(int fd, long at, std::string bytes, bool truncate) {
        const auto file = files.find(fd);
        if (file == files.end() || file->second.ino < 0) return;
        std::size_t offset = static_cast<std::size_t>(at);
        if (at < 0) {
            offset = file->second.offset;
            file->second.offset += bytes.size();
        }
        m.inodes[file->second.ino].pending.push_back({truncate, offset, std::move(bytes)});
    }

    bool last_was_write = false;
    bool cutting = true;  // false while an earlier run of several is read

    // A crash point before each call that may change the tree; of a run of writes, the first.
    void maybe_cut(const std::string& name, const std::vector<std::string>& args) {
        const bool write = name == "write" || name == "pwrite64";
        const bool changes = write || name == "ftruncate" || name == "fsync" ||
                             name == "fdatasync" || name == "fchmod" || name == "fchown" ||
                             name.compare(0, 6, "rename") == 0 ||
                             name.compare(0, 6, "unlink") == 0 ||
                             ((name == "open" || name == "openat") &&
                              args[name == "open" ? 1 : 2].find("O_CREAT") != std::string::npos);
        if (changes && !(write && last_was_write)) {
            // Named by the first name it takes, or the first descriptor's path.
            std::string what = name;
            for (const std::string& arg : args) {
                if (arg[0] == '"' && !write) {
                    what += " " + string_argument(arg);
                    break;
                }
                if (arg.find('<') != std::string::npos && arg.compare(0, 8, "AT_FDCWD") != 0) {
                    what += " " + descriptor_path(arg);
                    break;
                }
            }
            if (cutting) points.push_back({m, what});
        }
        if (changes) last_was_write = write;
    }

    void call(const std::string& name, const std::vector<std::string>& args,
              const std::string& ret) {
        // "?": the process was killed in the call.
        if (ret.empty() || !(ret[0] >= '0' && ret[0] <= '9')) return;
        const long value = std::strtol(ret.c_str(), nullptr, 10);
        maybe_cut(name, args);
        if (name == "chdir") {
            cwd = string_argument(args[0]);
        } else if (name == "openat") {
            open_call(descriptor_path(args[0]), string_argument(args[1]), args[2],
                      args.size() > 3 ? args[3] : "", static_cast<int>(value));
        } else if (name == "open") {
            open_call(cwd, string_argument(args[0]), args[1], args.size() > 2 ? args[2] : "",
                      static_cast<int>(value));
        } else if (name == "fchmod") {
            attributes_call(std::atoi(args[0].c_str()), std::strtol(args[1].c_str(), nullptr, 8),
                            -1, -1);
        } else if (name == "fchown") {
            attributes_call(std::atoi(args[0].c_str()), 0, std::strtol(args[1].c_str(), nullptr, 10),
                            std::strtol(args[2].c_str(), nullptr, 10));
        } else if (name == "write") {
            data_call(std::atoi(args[0].c_str()), -1, string_argument(args[1]), false);
        } else if (name == "pwrite64") {
            data_call(std::atoi(args[0].c_str()), std::strtol(args[3].c_str(), nullptr, 10),
                      string_argument(args[1]), false);
        } else if (name == "ftruncate") {
            data_call(std::atoi(args[0].c_str()), std::strtol(args[1].c_str(), nullptr, 10), "",
                      true);
        } else if (name == "fsync" || name == "fdatasync") {
            sync_call(std::atoi(args[0].c_str()));
        } else if (name == "close") {
            files.erase(std::atoi(args[0].c_str()));
        } else if (name == "rename") {
            rename_call(string_argument(args[0]), string_argument(args[1]));
        } else if (name == "renameat" || name == "renameat2") {
            std::string from = string_argument(args[1]), to = string_argument(args[3]);
            if (from[0] != '/') from = descriptor_path(args[0]) + "/" + from;
            if (to[0] != '/') to = descriptor_path(args[2]) + "/" + to;
            rename_call(from, to);
        } else if (name == "unlink") {
            unlink_call(cwd, string_argument(args[0]));
        } else if (name == "unlinkat") {
            unlink_call(descriptor_path(args[0]), string_argument(args[1]));
        }
    }
};

void read_log(run& r, const std::string& path) {
    std::ifstream in(path);
    if (!in) die("can't read " + path);
    r.files.clear();  // a run's descriptors die with it
    r.last_was_write = false;
    std::string line, first_pid;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string pid = line.substr(0, space);
        if (first_pid.empty()) first_pid = pid;
        if (pid != first_pid) continue;
        const std::size_t start = line.find_first_not_of(' ', space);
        const std::size_t paren = line.find('(', start);
        const std::size_t equals = line.rfind(") = ");
        if (paren == std::string::npos || equals == std::string::npos || equals < paren) continue;
        const std::string name = line.substr(start, paren - start);
        r.call(name, split_arguments(line.substr(paren + 1, equals - paren - 1)),
               line.substr(equals + 4));
    }
}

// Reads the runs of LOG (logs joined by commas), cutting only the last.
void read_logs(run& r, const std::string& logs) {
    std::stringstream list(logs);
    std::vector<std::string> paths;
    for (std::string path; std::getline(list, path, ',');) paths.push_back(path);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        r.cutting = i + 1 == paths.size();
        read_log(r, paths[i]);
    }
    r.points.push_back({r.m, "the end"});
}

// The choices a state makes at one crash point: for each directory with pending entries, the
// set kept (bit i: call i); for each file with pending data, what of it is there.
struct choice {
    std::string directory;
    int ino;  // -1 for a directory
    std::size_t options;
    bool owner_and_mode = false;  // a file's owner and mode: kept (1) or lost (0)
};

// What of a file's unsynced data a state may hold: the first `count` calls of it, or (count -1)
// all of it in size only, as zeros.
std::vector<long> data_options(const inode& node) {
    const long n = static_cast<long>(node.pending.size());
    std::vector<long> options;
    for (const long count : {0L, 1L, n - 1, n}) {
        if (count >= 0 && count <= n &&
            std::find(options.begin(), options.end(), count) == options.end())
            options.push_back(count);
    }
    if (!apply(node.durable, node.pending, node.pending.size()).empty()) options.push_back(-1);
    return options;
}

std::vector<choice> choices_of(const model& m) {
    std::vector<choice> found;
    for (const auto& [path, dir] : m.directories) {
        if (!dir.pending.empty()) found.push_back({path, -1, std::size_t{1} << dir.pending.size()});
    }
    for (std::size_t ino = 0; ino < m.inodes.size(); ++ino) {
        const inode& node = m.inodes[ino];
        if (!node.pending.empty())
            found.push_back({"", static_cast<int>(ino), data_options(node).size()});
        if (!(node.current_attributes == node.durable_attributes))
            found.push_back({"", static_cast<int>(ino), 2, true});
    }
    return found;
}

// The number of states of `choices`, or `cap` + 1 when there are more than `cap`.
std::size_t product(const std::vector<choice>& choices, std::size_t cap) {
    std::size_t n = 1;
    for (const choice& each : choices) {
        if (n > cap / each.options) return cap + 1;
        n *= each.options;
    }
    return n;
}

void write_file(const std::string& path, const std::string& data, const attributes& owned) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0700);
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
        (geteuid() == 0 && fchown(fd, owned.uid, owned.gid) != 0) ||
        fchmod(fd, owned.mode) != 0 || close(fd) != 0)
        die("can't write " + path);
}

std::string variant(const inode& node, std::size_t option, std::string& told) {
    const long count = data_options(node)[option];
    const std::string all = apply(node.durable, node.pending, node.pending.size());
    if (count < 0) {
        told = "its new size in zeros";
        return std::string(all.size(), '\0');
    }
    told = count == 0 ? "none of its unsynced data"
           : count == static_cast<long>(node.pending.size())
               ? "all its data"
               : "the first " + std::to_string(count) + " of its " +
                     std::to_string(node.pending.size()) + " unsynced calls";
    return apply(node.durable, node.pending, static_cast<std::size_t>(count));
}

// One state: the crash point, and the option taken for each of its choices.
struct state {
    std::size_t point;
    std::vector<std::size_t> options;
};

// A file of a state: its content, owner and mode, or the symlink it is.
struct state_file {
    std::string data;
    attributes owned;
    std::string link;
};

// The files and directories state `chosen` of `point` leaves, by path, and what it is in words.
std::map<std::string, std::map<std::string, state_file>> build_state(
    const crash_point& point, const std::vector<std::size_t>& chosen, std::string& told) {
    const model& m = point.state;
    const std::vector<choice> choices = choices_of(m);
    std::map<std::string, entries> names;
    for (const auto& [path, dir] : m.directories) names[path] = dir.durable;
    std::map<int, std::size_t> data_option;
    std::set<int> attributes_kept;
    told = "cut before " + point.before + ":";
    for (std::size_t c = 0; c < choices.size(); ++c) {
        const choice& each = choices[c];
        const std::size_t option = chosen[c];
        if (each.owner_and_mode) {
            if (option == 1) attributes_kept.insert(each.ino);
            continue;
        }
        if (each.ino >= 0) {
            data_option[each.ino] = option;
            continue;
        }
        const directory& dir = m.directories.at(each.directory);
        for (std::size_t i = 0; i < dir.pending.size(); ++i) {
            const entry_op& op = dir.pending[i];
            const bool kept = option & (std::size_t{1} << i);
            if (kept) apply(names[each.directory], op);
            told += std::string(" ") + (kept ? "kept" : "lost") + " " +
                    (op.ino < 0        ? "unlink "
                     : op.from.empty() ? "create "
                                       : "rename " + op.from + " to ") +
                    (each.directory.empty() ? "" : each.directory + "/") + op.name + ";";
        }
    }
    std::map<std::string, std::map<std::string, state_file>> tree;
    for (const auto& [path, dir] : names) {
        auto& files = tree[path];
        for (const auto& [name, ino] : dir) {
            const inode& node = m.inodes[ino];
            const std::string shown = (path.empty() ? "" : path + "/") + name;
            state_file& file = files[name];
            file.link = node.link;
            file.data = node.durable;
            file.owned = node.durable_attributes;
            const auto option = data_option.find(ino);
            if (option != data_option.end()) {
                std::string what;
                file.data = variant(node, option->second, what);
                told += " " + shown + " holds " + what + ";";
            }
            if (!(node.current_attributes == node.durable_attributes)) {
                const bool kept = attributes_kept.count(ino) != 0;
                if (kept) file.owned = node.current_attributes;
                told += " " + shown + (kept ? " has" : " lacks") + " its new owner and mode;";
            }
        }
    }
    return tree;
}

void write_state(const std::map<std::string, std::map<std::string, state_file>>& tree,
                 const std::string& dest, const std::string& what, const std::string& told) {
    for (const auto& [path, files] : tree) {
        const std::string disk = path.empty() ? dest : dest + "/" + path;
        if (mkdir(disk.c_str(), 0755) != 0) die("can't make " + disk);
        for (const auto& [name, file] : files) {
            const std::string at = disk + "/" + name;
            if (!file.link.empty()) {
                if (symlink(file.link.c_str(), at.c_str()) != 0) die("can't make link " + at);
            } else {
                write_file(at, file.data, file.owned);
            }
        }
    }
    std::ofstream(what) << told << "\n";
}

// What tells a state apart from every other: all of its files' names, contents and attributes.
std::size_t fingerprint(const std::map<std::string, std::map<std::string, state_file>>& tree) {
    std::string all;
    for (const auto& [path, files] : tree) {
        all += path + '\0';
        for (const auto& [name, file] : files) {
            all += name + '\0' + std::to_string(std::hash<std::string>{}(file.data)) + ' ' +
                   std::to_string(file.data.size()) + ' ' + std::to_string(file.owned.mode) + ' ' +
                   std::to_string(file.owned.uid) + ' ' + std::to_string(file.owned.gid) + ' ' +
                   file.link + '\0';
        }
    }
    return std::hash<std::string>{}(all);
}

// Every state of every crash point while there are few enough, else some drawn by `seed`; each
// distinct set of files once, in the order of the crash points.
std::vector<state> choose_states(const std::vector<crash_point>& points, unsigned long seed,
                                 std::set<std::size_t>& seen, std::size_t& enumerated,
                                 std::size_t& drawn) {
    std::vector<state> chosen;
    enumerated = drawn = 0;
    for (std::size_t p = 0; p < points.size(); ++p) {
        const std::vector<choice> choices = choices_of(points[p].state);
        const std::size_t total = product(choices, kEnumeratedPerPoint);
        std::vector<std::vector<std::size_t>> candidates;
        if (total <= kEnumeratedPerPoint) {
            for (std::size_t k = 0; k < total; ++k) {
                std::vector<std::size_t> options;
                std::size_t index = k;
                for (const choice& each : choices) {
                    options.push_back(index % each.options);
                    index /= each.options;
                }
                candidates.push_back(options);
            }
            enumerated += total;
        } else {
            // Each choice drawn on its own: every state of the whole space equally likely.
            std::mt19937_64 draw(seed ^ (p * 0x9e3779b97f4a7c15ULL));
            for (std::size_t k = 0; k < kDrawnPerPoint; ++k) {
                std::vector<std::size_t> options;
                for (const choice& each : choices) options.push_back(draw() % each.options);
                candidates.push_back(options);
            }
            drawn += kDrawnPerPoint;
        }
        for (const auto& options : candidates) {
            std::string told;
            if (seen.insert(fingerprint(build_state(points[p], options, told))).second)
                chosen.push_back({p, options});
        }
    }
    return chosen;
}

}  // namespace

int main(int argc, char** argv) {
    const bool count = argc >= 5 && std::strcmp(argv[1], "count") == 0;
    const bool make = argc >= 8 && std::strcmp(argv[1], "make") == 0;
    if (!count && !make)
        die("usage: count LOG ROOT BEFORE [DROP] | make LOG ROOT BEFORE FROM TO DEST [DROP]");
    run r;
    r.root = argv[3];
    const int drop_at = count ? 5 : 8;
    r.drop = argc > drop_at ? std::atoi(argv[drop_at]) : 0;
    load(r.m, argv[4], "");
    read_logs(r, argv[2]);
    const char* seed_text = std::getenv("CRASH_SEED");
    const unsigned long seed = seed_text ? std::strtoul(seed_text, nullptr, 10) : kDefaultSeed;
    const char* seen_path = std::getenv("CRASH_SEEN");
    if (seen_path != nullptr && seen_path[0] == '\0') seen_path = nullptr;
    std::set<std::size_t> seen;
    if (seen_path != nullptr) {
        std::ifstream listed(seen_path);
        for (std::size_t each; listed >> each;) seen.insert(each);
    }
    std::size_t enumerated, drawn;
    const std::vector<state> states = choose_states(r.points, seed, seen, enumerated, drawn);
    if (count) {
        if (seen_path != nullptr) {
            std::ofstream next(std::string(seen_path) + ".next");
            for (const std::size_t each : seen) next << each << "\n";
            if (!next.flush()) die("can't write " + std::string(seen_path) + ".next");
        }
        std::fprintf(stderr,
                     "crash_states: %zu crash points, %zu states enumerated, %zu drawn (seed "
                     "%lu), %zu distinct\n",
                     r.points.size(), enumerated, drawn, seed, states.size());
        std::printf("%zu\n", states.size());
        return 0;
    }
    const std::size_t from = std::strtoul(argv[5], nullptr, 10);
    const std::size_t to = std::min<std::size_t>(std::strtoul(argv[6], nullptr, 10), states.size());
    const std::string dest = argv[7];
    for (std::size_t k = from; k < to; ++k) {
        std::string told;
        const auto tree = build_state(r.points[states[k].point], states[k].options, told);
        const std::string name = dest + "/" + std::to_string(k);
        write_state(tree, name, name + ".what", told);
    }
    return 0;
}
