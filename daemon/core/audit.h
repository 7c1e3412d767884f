// SPDX-License-Identifier: MIT
// Who changed what on a module: one entry per write the library made
// (outputs, settings, counters cleared, watchdog cleared) and per change
// of names, with the client that asked and the values before and after.
// Under systemd each entry goes to the journal with fields of its own
// (journalctl -u kdx7400d KDX7400_UNIT=2); elsewhere as a line on stderr.
// Never rate-limited: an entry lost would make the trail a lie. Recording
// allocates nothing, so that a request's path stays free of the heap.
#pragma once

#include "core/events.h"
#include "core/fixed_text.h"
#include "core/log.h"

#include <string>
#include <string_view>

namespace kdxd {

struct AuditEntry {
    uint8_t unit = 0;
    const Client *client = nullptr; // null: the daemon itself
    std::string_view what;          // "outputs", "settings", "counters cleared", ...
    std::string_view before;        // as known before it ("unknown" when never read)
    std::string_view after;
};

class AuditTrail {
public:
    enum class Sink { journal, stderr_lines, off };
    // The journal when stderr is connected to it (JOURNAL_STREAM names
    // stderr), else stderr.
    static Sink sink_for_stderr();

    AuditTrail(Sink sink, std::string journal_socket, Log &log);
    ~AuditTrail();
    AuditTrail(const AuditTrail &) = delete;
    AuditTrail &operator=(const AuditTrail &) = delete;

    // Safe from any thread; never blocks on the journal (an entry it does
    // not take goes to stderr instead).
    void record(const AuditEntry &entry);

    // One line whatever a client named: "unit 2: outputs 0x.. -> 0x.. by
    // http 192.0.2.7:50312 (token)", control characters as '?'.
    using Message = FixedText<1024>;
    static void message(const AuditEntry &entry, Message &out);

private:
    bool send_to_journal(const AuditEntry &entry, std::string_view message);

    const Sink sink_;
    const std::string journal_socket_;
    Log &log_;
    int socket_ = -1;
};

} // namespace kdxd
