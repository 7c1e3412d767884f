#include "store.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kdxsim {

namespace {

struct ClockRecord {
    uint8_t is_virtual;
    uint64_t virtual_ms;
};

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

Store::Lock::Lock(const std::string &path)
    : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

Store::Lock::~Lock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Store::load(const std::string &node, ModuleState &state) const {
    const auto bytes = read_file(state_path(node));
    if (!bytes || bytes->size() != sizeof(ModuleState)) {
        return false;
    }
    std::memcpy(&state, bytes->data(), sizeof state);
    return state.format == kStateFormat;
}

void Store::save(const std::string &node, const ModuleState &state) const {
    write_file(state_path(node), &state, sizeof state);
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
    const auto records = read_records<ClockRecord>(root_ + "/clock");
    if (!records.empty() && records.front().is_virtual != 0) {
        return records.front().virtual_ms;
    }
    return monotonic_ms();
}

void Store::use_virtual_clock(uint64_t start_ms) const {
    write_records(root_ + "/clock", std::vector<ClockRecord>{{1, start_ms}});
}

void Store::use_real_clock() const {
    write_records(root_ + "/clock", std::vector<ClockRecord>{{0, 0}});
}

void Store::advance(uint64_t ms) const {
    auto records = read_records<ClockRecord>(root_ + "/clock");
    if (!records.empty() && records.front().is_virtual != 0) {
        records.front().virtual_ms += ms;
        write_records(root_ + "/clock", records);
    }
}

void Store::append_log(const std::string &line) const {
    const int fd = ::open((root_ + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const std::string record = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(fd, record.data(), record.size());
    ::close(fd);
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
    return lines;
}

void Store::clear_log() const { ::unlink((root_ + "/log").c_str()); }

void Store::add_fault(const Fault &fault) const {
    auto faults = read_records<Fault>(root_ + "/faults");
    faults.push_back(fault);
    write_records(root_ + "/faults", faults);
}

std::optional<Fault> Store::take_fault(const std::string &node, int opcode, int64_t lba) const {
    auto faults = read_records<Fault>(root_ + "/faults");
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const bool node_matches = it->node[0] == '\0' || node == it->node;
        const bool opcode_matches = it->opcode < 0 || it->opcode == opcode;
        const bool lba_matches = it->lba < 0 || it->lba == lba;
        if (!(node_matches && opcode_matches && lba_matches)) {
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            write_records(root_ + "/faults", faults);
            return std::nullopt;
        }
        const Fault taken = *it;
        if (it->times != 0 && --it->times == 0) {
            faults.erase(it);
        }
        write_records(root_ + "/faults", faults);
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
