// SPDX-License-Identifier: MIT
#include "core/audit.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace kdxd {

AuditTrail::Sink AuditTrail::sink_for_stderr() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat err {};
    unsigned long long device = 0, inode = 0;
    if (stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
        fstat(STDERR_FILENO, &err) == 0 && err.st_dev == device && err.st_ino == inode) {
        return Sink::journal;
    }
    return Sink::stderr_lines;
}

AuditTrail::AuditTrail(Sink sink, std::string journal_socket, Log &log)
    : sink_(sink), journal_socket_(std::move(journal_socket)), log_(log) {
    if (sink_ == Sink::journal) socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

AuditTrail::~AuditTrail() {
    if (socket_ >= 0) ::close(socket_);
}

void AuditTrail::message(const AuditEntry &entry, Message &out) {
    out << "unit " << entry.unit << ": " << entry.what;
    if (!entry.before.empty() || !entry.after.empty()) out << " " << entry.before << " -> " << entry.after;
    out << " by ";
    if (entry.client == nullptr) {
        out << "the daemon";
    } else {
        out << origin_name(entry.client->front);
        if (!entry.client->address.empty()) out << " " << entry.client->address;
        if (!entry.client->identity.empty()) out << " (" << entry.client->identity << ")";
    }
    char *text = out.data();
    for (std::size_t n = 0; n < out.view().size(); ++n) {
        if (static_cast<unsigned char>(text[n]) < 0x20 || text[n] == 0x7f) text[n] = '?';
    }
}

void AuditTrail::record(const AuditEntry &entry) {
    if (sink_ == Sink::off) return;
    Message text;
    message(entry, text);
    if (sink_ == Sink::journal && send_to_journal(entry, text.view())) return;
    log_.always("audit: ", text.view());
}

namespace {

// The journal's native protocol as pieces of one datagram: NAME=value and
// a newline, or for a value holding a newline NAME, a newline, its 64-bit
// little-endian size, the value and a newline (a newline in the first form
// would start a field the client chose).
class Datagram {
public:
    void add(std::string_view name, std::string_view value) {
        if (used_ + 4 > pieces_.size() || sizes_used_ == sizes_.size()) return;
        piece(name);
        if (value.find('\n') == std::string_view::npos) {
            piece("=");
        } else {
            auto &size = sizes_[sizes_used_++];
            size[0] = '\n';
            for (int byte = 0; byte < 8; ++byte) size[1 + byte] = static_cast<char>((value.size() >> (8 * byte)) & 0xff);
            piece(std::string_view(size.data(), size.size()));
        }
        piece(value);
        piece("\n");
    }
    const iovec *pieces() const { return pieces_.data(); }
    std::size_t count() const { return used_; }
    std::size_t bytes() const { return bytes_; }

private:
    void piece(std::string_view text) {
        pieces_[used_++] = iovec{const_cast<char *>(text.data()), text.size()};
        bytes_ += text.size();
    }
    std::array<iovec, 48> pieces_{};
    std::array<std::array<char, 9>, 12> sizes_{};
    std::size_t used_ = 0, sizes_used_ = 0, bytes_ = 0;
};

} // namespace

// A datagram the journal does not take at once (not running, full, too
// big) is not waited on: the line goes to stderr, which it also reads.
bool AuditTrail::send_to_journal(const AuditEntry &entry, std::string_view message) {
    if (socket_ < 0 || journal_socket_.size() >= sizeof(sockaddr_un::sun_path)) return false;
    FixedText<4> unit;
    unit << entry.unit;
    Datagram datagram;
    datagram.add("MESSAGE", message);
    datagram.add("PRIORITY", "5"); // notice: normal, but worth keeping
    datagram.add("SYSLOG_IDENTIFIER", "kdx7400d");
    datagram.add("KDX7400_AUDIT", "1");
    datagram.add("KDX7400_UNIT", unit.view());
    datagram.add("KDX7400_WHAT", entry.what);
    datagram.add("KDX7400_BEFORE", entry.before);
    datagram.add("KDX7400_AFTER", entry.after);
    if (entry.client != nullptr) {
        datagram.add("KDX7400_FRONT_END", origin_name(entry.client->front));
        if (!entry.client->address.empty()) datagram.add("KDX7400_CLIENT", entry.client->address);
        if (!entry.client->identity.empty()) datagram.add("KDX7400_IDENTITY", entry.client->identity);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, journal_socket_.data(), journal_socket_.size());
    msghdr header{};
    header.msg_name = &address;
    header.msg_namelen = sizeof address;
    header.msg_iov = const_cast<iovec *>(datagram.pieces());
    header.msg_iovlen = datagram.count();
    const ssize_t sent = ::sendmsg(socket_, &header, MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(datagram.bytes());
}

} // namespace kdxd
