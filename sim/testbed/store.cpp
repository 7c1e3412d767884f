// SPDX-License-Identifier: MIT
#include "store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <list>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kdxsim {

namespace {

struct ClockRecord {
    uint8_t is_virtual;
    uint64_t virtual_ms;
};

// Counts every process must agree on, in the testbed's control file.
struct Control {
    uint64_t log_entries; // lines in the log file since it was last cut
    uint64_t log_limit;   // 0: the default
    uint64_t faults;      // records in the faults file
};

constexpr uint64_t kDefaultLogLimit = 10000;

uint64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

template <typename T> std::vector<T> read_records(const std::string &path) {
    std::vector<T> records;
    if (const auto text = read_file(path); text && text->size() >= sizeof(T)) {
        records.resize(text->size() / sizeof(T));
        std::memcpy(records.data(), text->data(), records.size() * sizeof(T));
    }
    return records;
}

template <typename T> void write_records(const std::string &path, const std::vector<T> &records) {
    write_file(path, records.data(), records.size() * sizeof(T));
}

// Overwrites a file in place (created when missing), so that every
// process's mapping of it sees the new bytes. Callers hold the lock.
bool write_in_place(const std::string &path, const void *data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size) &&
                         ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    ::close(fd);
    return written;
}

// A shared, writable mapping of a file of exactly size bytes; nullptr when
// the file is missing or of another size.
void *map_file(const std::string &path, std::size_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    void *mapping = nullptr;
    if (::fstat(fd, &info) == 0 && static_cast<std::size_t>(info.st_size) == size) {
        mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapping == MAP_FAILED) {
            mapping = nullptr;
        }
    }
    ::close(fd);
    return mapping;
}

thread_local int t_lock_depth = 0;

} // namespace

// What this process keeps open of one testbed.
struct Shared {
    explicit Shared(std::string directory) : root(std::move(directory)) {
        lock_fd = ::open((root + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        log_fd = ::open((root + "/log").c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const std::string control_path = root + "/control";
        control = static_cast<Control *>(map_file(control_path, sizeof(Control)));
        if (control == nullptr) {
            const Control fresh{};
            if (::access(control_path.c_str(), F_OK) != 0) {
                write_in_place(control_path, &fresh, sizeof fresh);
            }
            control = static_cast<Control *>(map_file(control_path, sizeof(Control)));
        }
    }
    Shared(const Shared &) = delete;
    Shared &operator=(const Shared &) = delete;
    ~Shared() {
        for (const auto &[node, state] : states) {
            ::munmap(state, sizeof(ModuleState));
        }
        if (clock != nullptr) ::munmap(clock, sizeof(ClockRecord));
        if (control != nullptr) ::munmap(control, sizeof(Control));
        if (lock_fd >= 0) ::close(lock_fd);
        if (log_fd >= 0) ::close(log_fd);
    }
    // False once the testbed directory was removed under us.
    bool current() const {
        struct stat info {};
        return lock_fd >= 0 && ::fstat(lock_fd, &info) == 0 && info.st_nlink > 0;
    }
    ModuleState *state(const std::string &node, const std::string &path) {
        const auto found = states.find(node);
        if (found != states.end()) {
            return found->second;
        }
        auto *mapping = static_cast<ModuleState *>(map_file(path, sizeof(ModuleState)));
        if (mapping != nullptr) {
            states.emplace(node, mapping);
        }
        return mapping;
    }
    ClockRecord *clock_record() {
        if (clock == nullptr) {
            clock = static_cast<ClockRecord *>(map_file(root + "/clock", sizeof(ClockRecord)));
        }
        return clock;
    }
    uint64_t log_limit() const {
        return control != nullptr && control->log_limit != 0 ? control->log_limit : kDefaultLogLimit;
    }

    const std::string root;
    std::mutex threads;
    int lock_fd = -1;
    int log_fd = -1;
    Control *control = nullptr;
    ClockRecord *clock = nullptr;
    std::map<std::string, ModuleState *> states;
};

namespace {

// The few testbeds this process used last; a removed one is dropped.
std::mutex g_shared_mutex;
std::list<std::shared_ptr<Shared>> g_shared;
constexpr std::size_t kKeptTestbeds = 8;

// A child of fork must not share the parent's lock descriptor: flock
// would not keep the two apart.
void forget_after_fork() {
    new (&g_shared_mutex) std::mutex; // another thread may have held it
    g_shared.clear();
}

// At load, so that it runs in a child before the handlers of any library
// registered later, which may close a node (and so log) in theirs.
__attribute__((constructor)) void watch_forks() { ::pthread_atfork(nullptr, nullptr, forget_after_fork); }

std::shared_ptr<Shared> shared_for(const std::string &root, bool check_current) {
    const std::lock_guard guard(g_shared_mutex);
    for (auto it = g_shared.begin(); it != g_shared.end(); ++it) {
        if ((*it)->root == root) {
            if (check_current && !(*it)->current()) {
                g_shared.erase(it);
                break;
            }
            if (it != g_shared.begin()) {
                g_shared.splice(g_shared.begin(), g_shared, it);
            }
            return g_shared.front();
        }
    }
    g_shared.push_front(std::make_shared<Shared>(root));
    if (g_shared.size() > kKeptTestbeds) {
        g_shared.pop_back();
    }
    return g_shared.front();
}

} // namespace

bool write_file(const std::string &path, const void *data, std::size_t size) {
    // Replace atomically, so a reader never sees half a state.
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const auto *bytes = static_cast<const char *>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}

std::optional<std::string> read_file(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

Store::Lock::Lock(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {
    if (t_lock_depth++ > 0) {
        return;
    }
    shared_->threads.lock();
    if (shared_->lock_fd >= 0) {
        while (::flock(shared_->lock_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

Store::Lock::~Lock() {
    if (--t_lock_depth > 0) {
        return;
    }
    if (shared_->lock_fd >= 0) {
        ::flock(shared_->lock_fd, LOCK_UN);
    }
    shared_->threads.unlock();
}

void Store::Lock::wait(std::chrono::milliseconds time) {
    if (t_lock_depth != 1) {
        std::this_thread::sleep_for(time); // nested: not ours to let go
        return;
    }
    if (shared_->lock_fd >= 0) {
        ::flock(shared_->lock_fd, LOCK_UN);
    }
    shared_->threads.unlock();
    std::this_thread::sleep_for(time);
    shared_->threads.lock();
    if (shared_->lock_fd >= 0) {
        while (::flock(shared_->lock_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

// Whether the testbed was removed is checked once per outermost lock.
Store::Lock Store::lock() const { return Lock(shared_for(root_, t_lock_depth == 0)); }

bool Store::load(const std::string &node, ModuleState &state) const {
    const auto shared = shared_for(root_, false);
    if (const ModuleState *mapped = shared->state(node, state_path(node))) {
        std::memcpy(&state, mapped, sizeof state);
        return state.format == kStateFormat;
    }
    const auto bytes = read_file(state_path(node));
    if (!bytes || bytes->size() != sizeof(ModuleState)) {
        return false;
    }
    std::memcpy(&state, bytes->data(), sizeof state);
    return state.format == kStateFormat;
}

void Store::save(const std::string &node, const ModuleState &state) const {
    const auto shared = shared_for(root_, false);
    if (ModuleState *mapped = shared->state(node, state_path(node))) {
        // Only a change is written, so a read leaves the page clean.
        if (std::memcmp(mapped, &state, sizeof state) != 0) {
            std::memcpy(mapped, &state, sizeof state);
        }
        return;
    }
    write_in_place(state_path(node), &state, sizeof state);
}

std::vector<std::string> Store::modules() const {
    std::vector<std::string> names;
    DIR *directory = ::opendir((root_ + "/modules").c_str());
    if (directory == nullptr) {
        return names;
    }
    while (const dirent *entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        const std::string suffix = ".state";
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            names.push_back(name.substr(0, name.size() - suffix.size()));
        }
    }
    ::closedir(directory);
    return names;
}

uint64_t Store::now_ms() const {
    const auto shared = shared_for(root_, false);
    if (const ClockRecord *clock = shared->clock_record(); clock != nullptr && clock->is_virtual != 0) {
        return clock->virtual_ms;
    }
    return monotonic_ms();
}

void Store::use_virtual_clock(uint64_t start_ms) const {
    const ClockRecord record{1, start_ms};
    write_in_place(root_ + "/clock", &record, sizeof record);
}

void Store::use_real_clock() const {
    const ClockRecord record{0, 0};
    write_in_place(root_ + "/clock", &record, sizeof record);
}

void Store::advance(uint64_t ms) const {
    const auto shared = shared_for(root_, false);
    if (ClockRecord *clock = shared->clock_record(); clock != nullptr && clock->is_virtual != 0) {
        clock->virtual_ms += ms;
    }
}

namespace {

// Keeps the last limit lines of the log, in place: other processes append
// through their own descriptors (O_APPEND), which stay valid. A piece at a
// time through a buffer of fixed size: whichever thread appends the line
// that calls for a cut (a daemon's worker, say) must not take memory in
// proportion to the log.
void cut_log(const Shared &shared, uint64_t limit) {
    // Ours append wherever we write: the move needs a plain descriptor.
    const int fd = ::open((shared.root + "/log").c_str(), O_RDWR | O_CLOEXEC);
    struct stat file {};
    if (fd < 0 || ::fstat(fd, &file) != 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    char piece[16384];
    // Back from the end over limit complete lines (the last newline ends
    // the last line): the kept lines start after the limit-th newline before it.
    off_t start = 0;
    uint64_t lines = 0;
    for (off_t end = file.st_size - 1; end > 0 && lines < limit && start == 0;) {
        const off_t from = std::max<off_t>(0, end - static_cast<off_t>(sizeof piece));
        const ssize_t got = ::pread(fd, piece, static_cast<std::size_t>(end - from), from);
        if (got != end - from) break;
        for (off_t at = end - 1; at >= from; --at) {
            if (piece[at - from] == '\n' && ++lines == limit) {
                start = at + 1;
                break;
            }
        }
        end = from;
    }
    // The kept lines to the front, then the rest cut off.
    off_t moved = 0;
    for (off_t at = start; start != 0 && at < file.st_size;) {
        const ssize_t got = ::pread(fd, piece, sizeof piece, at);
        if (got <= 0 || ::pwrite(fd, piece, static_cast<std::size_t>(got), moved) != got) break;
        at += got;
        moved += got;
    }
    if (start != 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, moved);
    }
    ::close(fd);
    shared.control->log_entries = limit;
}

} // namespace

void Store::append_log(const std::string &line) const {
    const auto guard = lock();
    const auto shared = shared_for(root_, false);
    if (shared->log_fd < 0) {
        return;
    }
    const std::string record = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(shared->log_fd, record.data(), record.size());
    // Cut at twice the limit, so that the cost is spread over many lines.
    if (shared->control != nullptr && ++shared->control->log_entries >= 2 * shared->log_limit()) {
        cut_log(*shared, shared->log_limit());
    }
}

std::vector<std::string> Store::log_lines() const {
    std::vector<std::string> lines;
    const auto text = read_file(root_ + "/log");
    if (!text) {
        return lines;
    }
    std::size_t start = 0;
    while (start < text->size()) {
        const std::size_t end = text->find('\n', start);
        lines.push_back(text->substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    const uint64_t limit = log_limit();
    if (lines.size() > limit) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(limit));
    }
    return lines;
}

void Store::clear_log() const {
    const auto guard = lock();
    const auto shared = shared_for(root_, false);
    if (shared->log_fd >= 0 && ::ftruncate(shared->log_fd, 0) == 0 && shared->control != nullptr) {
        shared->control->log_entries = 0;
    }
}

void Store::set_log_limit(uint64_t entries) const {
    const auto guard = lock();
    const auto shared = shared_for(root_, false);
    if (shared->control != nullptr) {
        shared->control->log_limit = entries;
    }
}

uint64_t Store::log_limit() const { return shared_for(root_, false)->log_limit(); }

void Store::add_fault(const Fault &fault) const {
    const auto guard = lock();
    auto faults = read_records<Fault>(root_ + "/faults");
    faults.push_back(fault);
    write_records(root_ + "/faults", faults);
    if (Control *control = shared_for(root_, false)->control) {
        control->faults = faults.size();
    }
}

std::optional<Fault> Store::take_fault(const std::string &node, int opcode, int64_t lba) const {
    const auto guard = lock();
    Control *control = shared_for(root_, false)->control;
    if (control != nullptr && control->faults == 0) {
        return std::nullopt; // the common case costs no file read
    }
    auto faults = read_records<Fault>(root_ + "/faults");
    const auto store = [&] {
        write_records(root_ + "/faults", faults);
        if (control != nullptr) {
            control->faults = faults.size();
        }
    };
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const bool node_matches = it->node[0] == '\0' || node == it->node;
        const bool opcode_matches = it->opcode < 0 || it->opcode == opcode;
        const bool lba_matches = it->lba < 0 || it->lba == lba;
        if (!(node_matches && opcode_matches && lba_matches)) {
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            store();
            return std::nullopt;
        }
        const Fault taken = *it;
        if (it->times != 0 && --it->times == 0) {
            faults.erase(it);
        }
        store();
        return taken;
    }
    return std::nullopt;
}

std::string to_hex(const uint8_t *bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

} // namespace kdxsim
