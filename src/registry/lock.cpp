// SPDX-License-Identifier: MIT
// Who may talk to a module now. Inside the process a slot has one owning
// thread at a time (re-entrant, so that a caller's LockDevice nests with
// the library's own use); between processes an advisory flock on the
// node's open file keeps writers apart. Reads take only the first: no
// interleaving of theirs can undo anyone's update, and they stay as cheap
// as a bare command.
#include "../internal.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sys/file.h>

namespace kdx {

namespace {

// Lock waits end where a command would have timed out.
constexpr long kWaitMs = 5000;
constexpr long kFirstPollNs = 100'000;
constexpr long kLastPollNs = 10'000'000;

struct SlotLock {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t released = PTHREAD_COND_INITIALIZER;
    pthread_t owner{};
    unsigned depth = 0;   // 0: nobody owns the slot
    int flocked_fd = -1;  // the descriptor whose flock the owner holds
};

constinit std::array<SlotLock, MAX_DEVICES> g_locks{};

// The table's own lock: claiming, publishing and freeing slots.
constinit pthread_mutex_t g_table_mutex = PTHREAD_MUTEX_INITIALIZER;

timespec deadline_after(long ms) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += ms / 1000;
    now.tv_nsec += (ms % 1000) * 1'000'000;
    if (now.tv_nsec >= 1'000'000'000) {
        now.tv_sec += 1;
        now.tv_nsec -= 1'000'000'000;
    }
    return now;
}

bool passed(const timespec &deadline) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Becomes (or stays) the slot's owner; false when another thread kept it
// until the deadline.
bool own(SlotLock &lock, const timespec &deadline) {
    const pthread_t self = ::pthread_self();
    ::pthread_mutex_lock(&lock.mutex);
    while (lock.depth > 0 && ::pthread_equal(lock.owner, self) == 0) {
        if (::pthread_cond_clockwait(&lock.released, &lock.mutex, CLOCK_MONOTONIC, &deadline) ==
            ETIMEDOUT) {
            ::pthread_mutex_unlock(&lock.mutex);
            return false;
        }
    }
    lock.owner = self;
    ++lock.depth;
    ::pthread_mutex_unlock(&lock.mutex);
    return true;
}

// Only the owner gives up ownership: a slot closed under a transaction was
// handed on already.
void disown(SlotLock &lock) {
    ::pthread_mutex_lock(&lock.mutex);
    const bool mine = lock.depth > 0 && ::pthread_equal(lock.owner, ::pthread_self()) != 0;
    if (mine && --lock.depth == 0) {
        if (lock.flocked_fd >= 0) {
            ::flock(lock.flocked_fd, LOCK_UN);
            lock.flocked_fd = -1;
        }
        ::pthread_cond_signal(&lock.released);
    }
    ::pthread_mutex_unlock(&lock.mutex);
}

// flock has no time-out of its own: poll, backing off, until the deadline.
bool flock_until(int fd, const timespec &deadline) {
    long pause_ns = kFirstPollNs;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || passed(deadline)) {
            return errno != EWOULDBLOCK && errno != EINTR; // not lockable: nothing to keep apart
        }
        const timespec pause{0, pause_ns};
        ::nanosleep(&pause, nullptr);
        pause_ns = pause_ns * 2 > kLastPollNs ? kLastPollNs : pause_ns * 2;
    }
    return true;
}

} // namespace

TableLock::TableLock() { ::pthread_mutex_lock(&g_table_mutex); }
TableLock::~TableLock() { ::pthread_mutex_unlock(&g_table_mutex); }

Result Hold::take_slot(int32_t index, Access access) {
    if (const Result result = check_index(index)) {
        return result;
    }
    SlotLock &lock = g_locks[static_cast<std::size_t>(index)];
    const timespec deadline = deadline_after(kWaitMs);
    if (!own(lock, deadline)) {
        return RESULT_BUSY;
    }
    index_ = index;
    const int fd = slot(index).fd;
    // The flock lives on the open file, so it covers every thread and
    // process that opened the node apart from this one.
    if (access == Access::Write && fd >= 0 && lock.flocked_fd < 0) {
        if (!flock_until(fd, deadline)) {
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
    ::pthread_mutex_lock(&lock.mutex);
    lock.depth = 0;
    lock.flocked_fd = -1;
    ::pthread_cond_signal(&lock.released);
    ::pthread_mutex_unlock(&lock.mutex);
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
    ::pthread_mutex_lock(&lock.mutex);
    const bool mine = lock.depth > 0 && ::pthread_equal(lock.owner, ::pthread_self()) != 0;
    ::pthread_mutex_unlock(&lock.mutex);
    if (!mine) {
        return slot(index).fd < 0 ? RESULT_NOT_OPEN : RESULT_INVALID_PARAM;
    }
    disown(lock);
    return RESULT_OK;
}

} // namespace kdx
