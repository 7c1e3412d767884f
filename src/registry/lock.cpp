// SPDX-License-Identifier: MIT
// Who may talk to a module now. Inside the process a slot has one owning
// thread at a time (re-entrant, so that a caller's LockDevice nests with
// the library's own use); between processes an advisory flock on the
// node's open file keeps writers apart. Reads take only the first: no
// interleaving of theirs can undo anyone's update, and they stay as cheap
// as a bare command.
#include "../internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <utility>

namespace kdx {

namespace {

// Lock waits end where a command would have timed out.
static_assert(std::atomic<uintptr_t>::is_always_lock_free, "no libatomic in the library");
constexpr long kWaitMs = 5000;
// A program's turn: for this long after it began, and this many times,
// a program takes the module back at once even with another next in line;
// then it queues behind that one. Turns change every batch of short holds
// instead of every command, which costs a hand-over each; a hold longer
// than a batch (any real module's command) ends its turn.
constexpr long kBatchNs = 1'000'000;
constexpr unsigned kBatchRelocks = 256;

// Neither lock has a time-out of its own, so waiters poll, sleeping
// between tries (no spinning: it would take the holder's processor). The
// one next in line polls the flock more often, so that the module is idle
// for little more than a poll when a turn ends. Behind a long hold (a
// real module's command takes milliseconds, and on a small host the
// transfer needs the processors the waiters poll on) its pause grows with
// the wait, to a share of it: tens of polls per hold instead of hundreds,
// for a hand-over later by at most that share of the hold. Those further
// back, who keep their places in line, slow down sooner. Capped, so that a
// turn after a hold of seconds starts promptly.
struct Polling {
    long first_ns, last_ns;
    long share_of_wait, longest_ns;
};
constexpr Polling kInLine{100'000, 200'000, 8, 2'000'000};
constexpr Polling kNext{20'000, 50'000, 16, 2'000'000};

// Ownership is one atomic word, so that an uncontended call takes and
// gives it back without a system call or a mutex; threads that must wait
// sleep on the condition, and only then does a release wake anyone.
struct SlotLock {
    std::atomic<uintptr_t> owner{0}; // the owning thread, 0 for none
    std::atomic<unsigned> waiters{0};
    unsigned depth = 0;              // the owner's own count
    int flocked_fd = -1;             // the descriptor whose flock the owner holds
    timespec batch_end{};            // this program's batch (see kBatchNs)
    unsigned batch_relocks = 0;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t released = PTHREAD_COND_INITIALIZER;
};


bool try_own(SlotLock &lock, uintptr_t self) {
    uintptr_t none = 0;
    return lock.owner.compare_exchange_strong(none, self);
}

void wake_waiters(SlotLock &lock) {
    if (lock.waiters.load() > 0) {
        ::pthread_mutex_lock(&lock.mutex);
        ::pthread_cond_broadcast(&lock.released);
        ::pthread_mutex_unlock(&lock.mutex);
    }
}

constinit std::array<SlotLock, MAX_DEVICES> g_locks{};

// Owners are tokens of the library's own, one per thread and never given
// twice: pthread_self() is reused by the next thread, which would then
// inherit a hold it never took. Kept in a thread-specific key (no heap,
// unlike thread_local destructors), whose destructor lets go of what a
// thread still held when it ended.
constinit std::atomic<uintptr_t> g_next_owner{1};
constinit pthread_once_t g_owner_once = PTHREAD_ONCE_INIT;
pthread_key_t g_owner_key;

void let_go_of_everything(void *owner) {
    const auto token = reinterpret_cast<uintptr_t>(owner);
    for (SlotLock &lock : g_locks) {
        if (lock.owner.load() == token) {
            if (lock.flocked_fd >= 0) {
                ::flock(lock.flocked_fd, LOCK_UN);
                lock.flocked_fd = -1;
            }
            lock.depth = 0;
            lock.owner.store(0);
            wake_waiters(lock);
        }
    }
}

void make_owner_key() { ::pthread_key_create(&g_owner_key, let_go_of_everything); }

uintptr_t this_thread() {
    ::pthread_once(&g_owner_once, make_owner_key);
    void *owner = ::pthread_getspecific(g_owner_key);
    if (owner == nullptr) {
        owner = reinterpret_cast<void *>(g_next_owner.fetch_add(1));
        ::pthread_setspecific(g_owner_key, owner);
    }
    return reinterpret_cast<uintptr_t>(owner);
}

// The table's own lock: claiming, publishing and freeing slots.
constinit pthread_mutex_t g_table_mutex = PTHREAD_MUTEX_INITIALIZER;

// Waits are timed on the coarse clock, which is read without a system
// call whatever the clocksource (a virtual machine's HPET makes every fine
// read one, a cost each poll would pay); a tick is nothing beside the
// deadline, the patience or a poll's pause. Turns are too short for it.
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC_COARSE;
constexpr clockid_t kTurnClock = CLOCK_MONOTONIC;

timespec now_on(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return now;
}

timespec after_ns(clockid_t clock, long ns) {
    timespec at = now_on(clock);
    at.tv_sec += ns / 1'000'000'000;
    at.tv_nsec += ns % 1'000'000'000;
    if (at.tv_nsec >= 1'000'000'000) {
        at.tv_sec += 1;
        at.tv_nsec -= 1'000'000'000;
    }
    return at;
}

// The end of a wait, read from the clock only once a wait begins: an
// uncontended call never asks the time. On the wait clock, which never
// runs ahead of CLOCK_MONOTONIC, so a condition wait on the latter ends
// within a tick of it.
class Deadline {
public:
    const timespec &get() {
        if (!set_) {
            value_ = after_ns(kWaitClock, kWaitMs * 1'000'000);
            set_ = true;
        }
        return value_;
    }

private:
    timespec value_{};
    bool set_ = false;
};

bool reached(const timespec &now, const timespec &deadline) {
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool passed(clockid_t clock, const timespec &deadline) { return reached(now_on(clock), deadline); }

long ns_between(const timespec &from, const timespec &to) {
    return (to.tv_sec - from.tv_sec) * 1'000'000'000 + (to.tv_nsec - from.tv_nsec);
}

// Becomes (or stays) the slot's owner; false when another thread kept it
// until the deadline.
bool own(SlotLock &lock, Deadline &deadline) {
    const uintptr_t self = this_thread();
    if (lock.owner.load() == self || try_own(lock, self)) {
        ++lock.depth;
        return true;
    }
    ::pthread_mutex_lock(&lock.mutex);
    ++lock.waiters;
    bool owned = try_own(lock, self);
    while (!owned) {
        const int waited =
            ::pthread_cond_clockwait(&lock.released, &lock.mutex, CLOCK_MONOTONIC, &deadline.get());
        owned = try_own(lock, self);
        if (waited == ETIMEDOUT) {
            break;
        }
    }
    --lock.waiters;
    ::pthread_mutex_unlock(&lock.mutex);
    if (owned) {
        lock.depth = 1;
    }
    return owned;
}

// Only the owner gives up ownership: a slot closed under a transaction was
// handed on already.
void disown(SlotLock &lock) {
    if (lock.owner.load() != this_thread() || --lock.depth > 0) {
        return;
    }
    if (lock.flocked_fd >= 0) {
        ::flock(lock.flocked_fd, LOCK_UN);
        lock.flocked_fd = -1;
    }
    lock.owner.store(0);
    wake_waiters(lock);
}

// Polls until the deadline, backing off. try_lock: 0 taken, EWOULDBLOCK
// held by another, else not lockable at all (nothing to keep apart, so
// taken).
template <class TryLock> bool poll_until(TryLock try_lock, Deadline &deadline, Polling how) {
    long pause_ns = how.first_ns;
    timespec began{};
    for (int error = try_lock(); error != 0; error = try_lock()) {
        if (error != EWOULDBLOCK && error != EINTR) {
            return true;
        }
        const timespec now = now_on(kWaitClock);
        if (reached(now, deadline.get())) {
            return false;
        }
        if (began.tv_sec == 0 && began.tv_nsec == 0) {
            began = now;
        }
        const timespec pause{0, pause_ns};
        ::nanosleep(&pause, nullptr);
        pause_ns = std::min(pause_ns * 2, how.last_ns);
        pause_ns = std::max(pause_ns, std::min(ns_between(began, now) / how.share_of_wait, how.longest_ns));
    }
    return true;
}

int try_flock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno; }

// The line: OFD locks on the node's first bytes, apart from the flock.
// Byte 0, the turnstile, is held by the program next in line while it
// waits for the flock; bytes 1 to kPlaces - 1 are the places behind it,
// one waiting program each. A waiter moves up a place when the one ahead
// frees, so programs reach the turnstile in the order they came, and one
// that lets go and relocks at once joins at the back. (Past the last
// place, arrivals take it in no order.)
constexpr off_t kPlaces = 8;

int lock_byte(int fd, off_t byte, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &range) == 0) {
        return 0;
    }
    return errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
}

int turnstile(int fd, short type) { return lock_byte(fd, 0, type); }

// Whether another program holds any of the bytes (asked, nothing taken).
bool held_by_another(int fd, off_t first, off_t count) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = first;
    range.l_len = count;
    return ::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

// A waiter that has stopped (SIGSTOP, a debugger) keeps its place; the one
// behind it, after its patience, goes past it once what the stopped one
// waits for has stayed free for a while, well past a live waiter's longest
// pause: the flock for one next in line, the place ahead for one further
// back. Taking it at the first free instant would race a live waiter at
// every hand-over (holds of a second each, behind a module that resets its
// port on every read, made that a 5 s wait).
constexpr long kPatienceNs = 100'000'000;
constexpr long kFreeForNs = 5 * std::max(kNext.longest_ns, kInLine.longest_ns);

enum class Turn { Next, PastAStoppedWaiter, Timeout };

class Line {
public:
    explicit Line(int fd) : fd_(fd), patience_end_(after_ns(kWaitClock, kPatienceNs)) {}

    // One poll: 0 once next in line (the turnstile held) or past a stopped
    // next one (the flock held), EWOULDBLOCK to poll again, or the error
    // of a node that takes no such locks (nothing to keep apart).
    int poll() {
        while (place_ > 0) {
            const int error = lock_byte(fd_, place_ - 1, F_WRLCK);
            if (error != 0) {
                if (error == EWOULDBLOCK) break;
                leave(); // a node that takes no such locks: nothing to keep apart
                return error;
            }
            move_to(place_ - 1);
        }
        if (place_ == 0) return 0;
        if (!passed(kWaitClock, patience_end_)) return EWOULDBLOCK;
        if (place_ == 1) return past_the_next();
        // Whoever holds the place ahead waits for the one beyond it.
        const off_t beyond = place_ - 2;
        if (held_by_another(fd_, beyond, 1)) {
            free_since_ = {};
        } else if (stayed_free() && lock_byte(fd_, beyond, F_WRLCK) == 0) {
            move_to(beyond);
            return place_ == 0 ? 0 : EWOULDBLOCK;
        }
        return EWOULDBLOCK;
    }

    bool flocked() const { return flocked_; }
    // Gives up the place behind the turnstile (or its place when it gave up).
    void leave() {
        if (place_ > 0 && place_ < kPlaces) lock_byte(fd_, place_, F_UNLCK);
        place_ = kPlaces;
    }

private:
    void move_to(off_t place) {
        if (place_ < kPlaces) lock_byte(fd_, place_, F_UNLCK);
        place_ = place;
        free_since_ = {};
    }
    // True once the watched lock has been free at every poll for kFreeForNs.
    bool stayed_free() {
        const timespec now = now_on(kTurnClock);
        if (free_since_.tv_sec == 0 && free_since_.tv_nsec == 0) {
            free_since_ = now;
            return false;
        }
        return ns_between(free_since_, now) >= kFreeForNs;
    }
    int past_the_next() {
        if (try_flock(fd_) != 0) {
            free_since_ = {};
            return EWOULDBLOCK;
        }
        if (stayed_free()) {
            flocked_ = true;
            leave();
            return 0;
        }
        ::flock(fd_, LOCK_UN); // not yet: the next one may be on its way
        return EWOULDBLOCK;
    }

    const int fd_;
    const timespec patience_end_;
    off_t place_ = kPlaces; // not in line yet
    timespec free_since_{};  // zero: not seen free
    bool flocked_ = false;
};

Turn wait_in_line(int fd, Deadline &deadline) {
    Line line(fd);
    const bool reached = poll_until([&line] { return line.poll(); }, deadline, kInLine);
    if (!reached) {
        line.leave();
        return Turn::Timeout;
    }
    return line.flocked() ? Turn::PastAStoppedWaiter : Turn::Next;
}

void begin_batch(SlotLock &lock) {
    lock.batch_end = after_ns(kTurnClock, kBatchNs);
    lock.batch_relocks = 0;
}

// The module's flock, taken in turn: through the line to the turnstile,
// flock, out of the turnstile; or, within this program's batch, taken back
// at once although another program is next in line.
bool flock_until(SlotLock &lock, int fd, Deadline &deadline) {
    int queue = turnstile(fd, F_WRLCK);
    if (queue == 0 && held_by_another(fd, 1, kPlaces - 1)) {
        // Free for a moment between two waiters: it is theirs.
        turnstile(fd, F_UNLCK);
        queue = EWOULDBLOCK;
    }
    if (queue == EWOULDBLOCK && lock.batch_relocks < kBatchRelocks && !passed(kTurnClock, lock.batch_end) &&
        try_flock(fd) == 0) {
        ++lock.batch_relocks;
        return true;
    }
    if (queue != 0) {
        switch (wait_in_line(fd, deadline)) {
        case Turn::Timeout: return false;
        case Turn::PastAStoppedWaiter: begin_batch(lock); return true;
        case Turn::Next: break;
        }
    }
    const bool taken = poll_until([fd] { return try_flock(fd); }, deadline, kNext);
    turnstile(fd, F_UNLCK);
    if (taken) {
        begin_batch(lock);
    }
    return taken;
}

} // namespace

namespace {

// Taken by the forking thread, so that the child's table is whole and no
// other thread's lock is held in it.
void before_fork() { ::pthread_mutex_lock(&g_table_mutex); }
void after_fork_in_parent() { ::pthread_mutex_unlock(&g_table_mutex); }

// Only the forking thread goes on in the child: what other threads held,
// they hold no more; and the child's modules are its own to open.
void after_fork_in_child() {
    for (SlotLock &lock : g_locks) {
        lock.owner.store(0);
        lock.waiters.store(0);
        lock.depth = 0;
        lock.flocked_fd = -1;
        lock.batch_end = {};
        lock.batch_relocks = 0;
        ::pthread_mutex_init(&lock.mutex, nullptr);
        ::pthread_cond_init(&lock.released, nullptr);
    }
    forget_inherited_modules();
    ::pthread_mutex_unlock(&g_table_mutex);
}

void register_fork_handlers() { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }

constinit pthread_once_t g_fork_once = PTHREAD_ONCE_INIT;

} // namespace

void watch_forks() { ::pthread_once(&g_fork_once, register_fork_handlers); }

TableLock::TableLock() { ::pthread_mutex_lock(&g_table_mutex); }
TableLock::~TableLock() { ::pthread_mutex_unlock(&g_table_mutex); }

Result Hold::take_slot(int32_t index, Access access) {
    if (const Result result = check_index(index)) {
        return result;
    }
    SlotLock &lock = g_locks[static_cast<std::size_t>(index)];
    Deadline deadline;
    if (!own(lock, deadline)) {
        return RESULT_BUSY;
    }
    index_ = index;
    const int fd = descriptor_of(slot(index));
    // The flock lives on the open file, so it covers every thread and
    // process that opened the node apart from this one.
    if (access == Access::Write && fd >= 0 && lock.flocked_fd < 0) {
        if (!flock_until(lock, fd, deadline)) {
            release();
            return RESULT_BUSY;
        }
        lock.flocked_fd = fd;
    }
    return RESULT_OK;
}

Result Hold::take(int32_t index, Access access) {
    if (const Result result = take_slot(index, access)) {
        return result;
    }
    return check_open(index);
}

void Hold::release() {
    if (index_ >= 0) {
        disown(g_locks[static_cast<std::size_t>(index_)]);
        index_ = -1;
    }
}

// Closing drops the flock with the descriptor and ends the closing
// thread's transaction on the slot, so that the slot is free for the next
// opener; the closing call's own Hold then has nothing left to release.
void end_ownership(int32_t index) {
    SlotLock &lock = g_locks[static_cast<std::size_t>(index)];
    lock.depth = 0;
    lock.flocked_fd = -1;
    lock.owner.store(0);
    wake_waiters(lock);
}

// A transaction of the caller's: the thread keeps ownership, with the
// flock, past the end of this call.
Result lock_transaction(int32_t index) {
    Hold hold;
    if (const Result result = hold.take(index, Access::Write)) {
        return result;
    }
    hold.keep();
    return RESULT_OK;
}

Result unlock_transaction(int32_t index) {
    if (const Result result = check_index(index)) {
        return result;
    }
    SlotLock &lock = g_locks[static_cast<std::size_t>(index)];
    if (lock.owner.load() != this_thread()) {
        return descriptor_of(slot(index)) < 0 ? RESULT_NOT_OPEN : RESULT_INVALID_PARAM;
    }
    disown(lock);
    return RESULT_OK;
}

namespace {

// The PID of the process holding an exclusive flock on the file, from
// /proc/locks ("1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF", device
// numbers in hex); 0 when none is listed. Read line by line through a
// bounded buffer: the list may be long on a busy host.
pid_t flock_holder(int fd) {
    struct stat node {};
    if (::fstat(fd, &node) != 0) {
        return 0;
    }
    const Descriptor locks{"/proc/locks", O_RDONLY | O_CLOEXEC};
    if (!locks) {
        return 0;
    }
    std::array<char, 4096> buffer{};
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = ::read(locks.get(), buffer.data() + filled, buffer.size() - 1 - filled);
        if (got <= 0) {
            return 0;
        }
        filled += static_cast<std::size_t>(got);
        buffer[filled] = '\0';
        char *line = buffer.data();
        for (char *end = std::strchr(line, '\n'); end != nullptr; end = std::strchr(line, '\n')) {
            *end = '\0';
            char kind[16] = {}, mode[16] = {};
            int pid = 0;
            unsigned major_number = 0, minor_number = 0;
            unsigned long inode = 0;
            if (std::sscanf(line, "%*d: %15s %*s %15s %d %x:%x:%lu", kind, mode, &pid, &major_number,
                            &minor_number, &inode) == 6 &&
                std::strcmp(kind, "FLOCK") == 0 && std::strcmp(mode, "WRITE") == 0 &&
                major_number == ::major(node.st_dev) && minor_number == ::minor(node.st_dev) &&
                inode == node.st_ino && pid > 0) {
                return pid;
            }
            line = end + 1;
        }
        // Keep the unfinished line; one longer than the buffer is dropped.
        const std::size_t rest = filled - static_cast<std::size_t>(line - buffer.data());
        if (rest == buffer.size() - 1) {
            filled = 0;
        } else {
            std::memmove(buffer.data(), line, rest);
            filled = rest;
        }
    }
}

} // namespace

Result find_holder(int32_t index, int32_t *pid, char *buffer, std::size_t size) {
    if (const Result result = check_index(index)) {
        return result;
    }
    if (const Result result = check_open(index)) {
        return result;
    }
    if (buffer == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    const SlotLock &lock = g_locks[static_cast<std::size_t>(index)];
    const uintptr_t owner = lock.owner.load();
    int32_t holder = 0;
    char text[48];
    if (owner != 0 && owner != this_thread()) {
        holder = static_cast<int32_t>(::getpid());
        std::snprintf(text, sizeof text, "another thread of this program");
    } else if (const pid_t other = flock_holder(descriptor_of(slot(index))); other > 0 && other != ::getpid()) {
        holder = other;
        std::snprintf(text, sizeof text, "another program (PID %d)", static_cast<int>(other));
    } else {
        std::snprintf(text, sizeof text, "nobody now");
    }
    if (std::strlen(text) >= size) {
        return RESULT_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, text, std::strlen(text) + 1);
    if (pid != nullptr) {
        *pid = holder;
    }
    return RESULT_OK;
}

} // namespace kdx
