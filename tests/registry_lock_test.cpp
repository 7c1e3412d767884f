// SPDX-License-Identifier: MIT
// One module, many users: threads of one process and other processes, the
// caller's transactions, closing under a call, and the masked write and
// channel checks that every wrapper relies on.
#include "lost_updates.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using namespace kdxtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Sharing : public ModuleTest {};

TEST_F(Sharing, TwoProcessesSwitchingTheirOwnOutputsLoseNoUpdate) {
    ASSERT_GE(open_module(16, 64), 0);
    const ProbeResult probe =
        process_probe(index, [] { return KDX7400_OpenDevice(0x7401, 0); }, 1000);
    EXPECT_EQ(probe.rounds, 1000u);
    EXPECT_EQ(probe.failed_calls, 0u);
    EXPECT_EQ(probe.lost_bits, 0u);
}

// A child that holds the module (LockDevice) until told to let go.
class Holder {
public:
    explicit Holder(const std::function<int16_t(int32_t)> &take) {
        int ready[2], release[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(release), 0);
        pid_ = kdxtest::fork_child();
        if (pid_ == 0) {
            ::alarm(60); // a child that hangs ends, and so does the parent's wait
            ::close(ready[0]);
            ::close(release[1]); // so that the parent's close ends the wait
            const int32_t module = KDX7400_OpenDevice(0x7401, 0);
            const char ok = module >= 0 && take(module) == RESULT_OK ? 1 : 0;
            char unused = 0;
            if (::write(ready[1], &ok, 1) == 1) {
                (void)::read(release[0], &unused, 1);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char ok = 0;
        held_ = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~Holder() {
        // A byte, not the pipe's end: children forked since hold that too.
        (void)!::write(release_, "x", 1);
        ::close(release_);
        ::waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

TEST_F(Sharing, AWriteWaitsForAnotherProgramsLockThenGivesUpHavingSentNothing) {
    ASSERT_GE(open_module(), 0);
    const Holder other(KDX7400_LockDevice);
    ASSERT_TRUE(other.held());
    bed.clear_commands();
    const auto start = Clock::now();
    EXPECT_EQ(KDX7400_DO_WriteValue(index, 0x1), RESULT_BUSY);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, 7000ms);
    EXPECT_TRUE(transfers().empty()) << "nothing sent after the wait";
    EXPECT_STREQ(KDXIO_GetResultString(RESULT_BUSY), "the module is busy: another thread or program holds it");
    // Reads take no cross-process lock: they cannot undo anyone's update.
    uint64_t outputs = 0;
    EXPECT_EQ(KDX7400_DO_ReadValue(index, &outputs), RESULT_OK);
}

// What a BUSY was waiting for: nobody, another thread, another program.
TEST_F(Sharing, TheHolderOfAModuleIsNamed) {
    ASSERT_GE(open_module(), 0);
    const auto holder = [&](int32_t *pid) {
        std::array<char, 48> text{};
        const int16_t result = KDX7400_GetDeviceHolder(index, pid, text.data(), text.size());
        return result == RESULT_OK ? std::string(text.data()) : "result " + std::to_string(result);
    };
    int32_t pid = -1;
    EXPECT_EQ(holder(&pid), "nobody now");
    EXPECT_EQ(pid, 0);
    {
        std::atomic<bool> held{false}, done{false};
        std::thread other([&] {
            KDX7400_LockDevice(index);
            held = true;
            while (!done) std::this_thread::sleep_for(1ms);
            KDX7400_UnlockDevice(index);
        });
        while (!held) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(holder(&pid), "another thread of this program");
        EXPECT_EQ(pid, ::getpid());
        done = true;
        other.join();
    }
    {
        const Holder other(KDX7400_LockDevice);
        ASSERT_TRUE(other.held());
        const std::string named = holder(&pid);
        EXPECT_EQ(named, "another program (PID " + std::to_string(pid) + ")");
        EXPECT_GT(pid, 0);
        EXPECT_NE(pid, ::getpid());
    }
    bed.clear_commands(); // the other program's open
    EXPECT_EQ(holder(&pid), "nobody now");
    char small[8];
    EXPECT_EQ(KDX7400_GetDeviceHolder(index, nullptr, small, sizeof small), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(KDX7400_GetDeviceHolder(index, nullptr, nullptr, 48), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_GetDeviceHolder(index + 1, nullptr, small, sizeof small), RESULT_NOT_OPEN);
    EXPECT_TRUE(transfers().empty()) << "asking sends nothing";
}

TEST_F(Sharing, AnotherProgramsLockEndsWithItsProcess) {
    ASSERT_GE(open_module(), 0);
    { const Holder other(KDX7400_LockDevice); ASSERT_TRUE(other.held()); }
    const auto start = Clock::now();
    EXPECT_EQ(KDX7400_DO_WriteChannel(index, 1, 1), RESULT_OK);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(Sharing, AnotherThreadWaitsForATransactionAndGoesOnWhenItEnds) {
    ASSERT_GE(open_module(), 0);
    ASSERT_EQ(KDX7400_LockDevice(index), RESULT_OK);
    std::atomic<bool> done{false};
    std::atomic<int16_t> result{-1};
    std::thread other([&] {
        result = KDX7400_DO_ReadValue(index, std::make_unique<uint64_t>().get());
        done = true;
    });
    // The owner's own calls nest in its transaction.
    EXPECT_EQ(KDX7400_DO_WriteChannel(index, 2, 1), RESULT_OK);
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(done) << "the other thread ran inside the transaction";
    EXPECT_EQ(KDX7400_UnlockDevice(index), RESULT_OK);
    other.join();
    EXPECT_EQ(result, RESULT_OK);
}

TEST_F(Sharing, TransactionsNestAndUnlockOnlyWhatTheThreadHolds) {
    ASSERT_GE(open_module(), 0);
    struct Step {
        const char *what;
        std::function<int16_t()> call;
        int16_t expected;
    };
    const int32_t free_slot = index + 1;
    const Step steps[] = {
        {"lock", [&] { return KDX7400_LockDevice(index); }, RESULT_OK},
        {"lock again", [&] { return KDX7400_LockDevice(index); }, RESULT_OK},
        {"unlock inner", [&] { return KDX7400_UnlockDevice(index); }, RESULT_OK},
        {"unlock outer", [&] { return KDX7400_UnlockDevice(index); }, RESULT_OK},
        {"unlock one too many", [&] { return KDX7400_UnlockDevice(index); }, RESULT_INVALID_PARAM},
        {"lock a free slot", [&] { return KDX7400_LockDevice(free_slot); }, RESULT_NOT_OPEN},
        {"unlock a free slot", [&] { return KDX7400_UnlockDevice(free_slot); }, RESULT_NOT_OPEN},
        {"lock a bad index", [] { return KDX7400_LockDevice(-1); }, RESULT_BAD_INDEX},
        {"unlock a bad index", [] { return KDX7400_UnlockDevice(32); }, RESULT_BAD_INDEX},
        {"lock, then close", [&] { return KDX7400_LockDevice(index); }, RESULT_OK},
        {"close ends the lock", [&] { return KDX7400_CloseDevice(index); }, RESULT_OK},
        {"unlock after close", [&] { return KDX7400_UnlockDevice(index); }, RESULT_NOT_OPEN},
    };
    for (const Step &step : steps) {
        EXPECT_EQ(step.call(), step.expected) << step.what;
    }
    EXPECT_TRUE(transfers().empty()) << "locking sends nothing";
    // The slot closed under a lock is free for another thread's open.
    std::thread opener([] { EXPECT_GE(KDX7400_OpenDevice(0x7401, 0), 0); });
    opener.join();
}

// A thread that ends holding a module lets go of it; the next thread,
// whatever pthread_self() it is given, holds nothing it did not take.
TEST_F(Sharing, AHoldEndsWithItsThreadAndIsNeverInherited) {
    ASSERT_GE(open_module(), 0);
    std::thread([&] { EXPECT_EQ(KDX7400_LockDevice(index), RESULT_OK); }).join();
    for (int i = 0; i < 3; ++i) {
        std::thread([&] { EXPECT_EQ(KDX7400_UnlockDevice(index), RESULT_INVALID_PARAM) << "a hold it never took"; })
            .join();
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KDX7400_DO_WriteValue(index, 0x1), RESULT_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "waited for a thread that is gone";
    EXPECT_EQ(bed.state(node).registers.do_value, 0x1u);
}

// A forked child has none of its parent's modules open (they answer
// NOT_OPEN) and none of its locks, also when another thread was inside a
// call at the fork; it opens for itself and works.
TEST_F(Sharing, AForkedChildStartsWithNoModuleAndNoLockOfItsParents) {
#ifdef __SANITIZE_ADDRESS__
    // The child allocates in the simulator's calls, and this sanitizer's
    // allocator keeps a lock another thread may hold at the fork (the
    // child then waits for ever). The plain build runs it.
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";
#endif
    ASSERT_GE(open_module(), 0);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        for (uint8_t on = 0; !stop; on ^= 1) {
            KDX7400_DO_WriteChannel(index, 1, on);
        }
    });
    for (int round = 0; round < 20; ++round) {
        const pid_t child = kdxtest::fork_child();
        if (child == 0) {
            uint64_t outputs = 0;
            bool ok = KDX7400_DO_ReadValue(index, &outputs) == RESULT_NOT_OPEN;
            uint8_t total = 0;
            ok = ok && KDX7400_GetDOTotal(index, &total) == RESULT_NOT_OPEN;
            const int32_t mine = KDX7400_OpenDevice(0x7401, 0);
            ok = ok && mine >= 0 && KDX7400_DO_WriteChannel(mine, 5, 1) == RESULT_OK;
            ok = ok && KDX7400_CloseDevice(mine) == RESULT_OK;
            ::_exit(ok ? 0 : 1);
        }
        // A child that hangs is ended, and fails the round.
        int status = -1;
        pid_t ended = 0;
        for (int tick = 0; tick < 1000 && ended == 0; ++tick) {
            ended = ::waitpid(child, &status, WNOHANG);
            if (ended == 0) std::this_thread::sleep_for(10ms);
        }
        if (ended == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        EXPECT_TRUE(ended == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "round " << round << " status " << status;
    }
    stop = true;
    busy.join();
    EXPECT_EQ(bed.state(node).registers.do_value & 0x20, 0x20u);
    uint64_t outputs = 0;
    EXPECT_EQ(KDX7400_DO_ReadValue(index, &outputs), RESULT_OK) << "the parent's module is still open";
}

// Descriptors open on files under prefix, counted through /proc/self/fd
// with system calls alone (safe in a child of a threaded program).
int node_descriptors_raw(const char *prefix) {
    const int dir = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY));
    if (dir < 0) {
        return 100;
    }
    int count = 0;
    alignas(8) char entries[4096];
    const std::size_t prefix_length = std::strlen(prefix);
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (got <= 0) {
            break;
        }
        for (long at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
            char target[512];
            const long length = ::syscall(SYS_readlinkat, dir, entry->d_name, target, sizeof target - 1);
            if (length > 0 && static_cast<std::size_t>(length) >= prefix_length &&
                std::memcmp(target, prefix, prefix_length) == 0) {
                ++count;
            }
            at += entry->d_reclen;
        }
    }
    ::syscall(SYS_close, dir);
    return count;
}

// Whatever other threads are doing at the fork (opening, closing, holding
// a module), the child starts without a descriptor of its parent's: one
// left there would keep the parent's flock alive after the parent died.
TEST_F(Sharing, AChildForkedAtAnyInstantHoldsNoDescriptorOfItsParents) {
    ASSERT_GE(open_module(), 0);
    VirtualModule second;
    second.board_id = 1;
    bed.add_module(second);
    std::atomic<bool> stop{false};
    std::thread opener([&] {
        while (!stop) {
            const int32_t other = KDX7400_OpenDevice(0x7401, 1);
            if (other >= 0) KDX7400_CloseDevice(other);
        }
    });
    std::thread holder([&] {
        for (uint8_t on = 0; !stop; on ^= 1) {
            KDX7400_LockDevice(index);
            KDX7400_DO_WriteChannel(index, 1, on);
            KDX7400_UnlockDevice(index);
        }
    });
    // The child counts with bare system calls: no malloc (another thread
    // may have held the allocator's lock at the fork, under the
    // sanitizers too) and no call the simulator interposes.
    const std::string dev = std::filesystem::canonical(bed.root() + "/dev").string() + "/";
    ASSERT_GE(node_descriptors_raw(dev.c_str()), 1) << "the count sees the parent's own module";
    int children_with_descriptors = 0, children_stuck = 0;
    for (int round = 0; round < 200 && children_with_descriptors + children_stuck < 3; ++round) {
        const pid_t child = kdxtest::fork_child();
        if (child == 0) {
            ::alarm(5);
            ::_exit(node_descriptors_raw(dev.c_str()));
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        children_with_descriptors += WIFEXITED(status) && WEXITSTATUS(status) != 0;
        children_stuck += !WIFEXITED(status);
    }
    EXPECT_EQ(children_stuck, 0);
    stop = true;
    opener.join();
    holder.join();
    EXPECT_EQ(children_with_descriptors, 0);
}

// A program that takes the module again as soon as it lets go must let a
// waiting one in between: waiters queue at a turnstile the holder passes
// too, after a short batch of its own when its holds are short.
TEST_F(Sharing, AProgramThatRelocksAtOnceCannotStarveAnother) {
    ASSERT_GE(open_module(), 0);
    for (const auto hold : {2ms, 0ms}) {
        SCOPED_TRACE("holds of " + std::to_string(hold.count()) + " ms");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t hog = kdxtest::fork_child();
        if (hog == 0) {
            ::alarm(30);
            const int32_t mine = KDX7400_OpenDevice(0x7401, 0);
            const auto until = std::chrono::steady_clock::now() + 12s; // past a wait's 5 s
            bool told = false;
            while (std::chrono::steady_clock::now() < until) {
                KDX7400_LockDevice(mine);
                if (!told) {
                    told = ::write(ready[1], "x", 1) == 1;
                }
                std::this_thread::sleep_for(hold);
                KDX7400_UnlockDevice(mine);
            }
            ::_exit(0);
        }
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        int busy = 0;
        for (uint8_t i = 0; i < 8; ++i) {
            busy += KDX7400_DO_WriteChannel(index, 3, i & 1u) == RESULT_BUSY;
        }
        EXPECT_EQ(busy, 0) << "writes given up while another program relocked at once";
        ::kill(hog, SIGKILL);
        ::waitpid(hog, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
    }
}

// Two programs taking turns at a module whose commands take 1 ms (as over
// USB) and a third writing now and then: the one coming back from its turn
// lets the one in line go first, so the third waits a hold or two, never
// turn after turn until its patience runs out.
TEST_F(Sharing, AProgramBackFromItsTurnDoesNotJumpTheQueue) {
    ASSERT_GE(open_module(), 0);
    Fault slow = reply_bytes(0, {});
    slow.times = 0;
    slow.delay_ms = 1;
    bed.inject(slow);
    auto *holds = static_cast<std::atomic<unsigned> *>(
        ::mmap(nullptr, sizeof(std::atomic<unsigned>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(holds, MAP_FAILED);
    new (holds) std::atomic<unsigned>(0);
    std::vector<pid_t> cyclers;
    for (uint8_t program = 0; program < 2; ++program) {
        const pid_t cycler = kdxtest::fork_child();
        if (cycler == 0) {
            ::alarm(60);
            const int32_t mine = KDX7400_OpenDevice(0x7401, 0);
            for (uint8_t i = 0;; ++i) {
                if (KDX7400_LockDevice(mine) == RESULT_OK) {
                    KDX7400_DO_WriteChannel(mine, program, i & 1u);
                    holds->fetch_add(1);
                    KDX7400_UnlockDevice(mine);
                }
            }
        }
        cyclers.push_back(cycler);
    }
    for (const auto until = Clock::now() + 20s; holds->load() < 10 && Clock::now() < until;) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GE(holds->load(), 10u) << "the two programs never took turns";
    unsigned worst = 0;
    for (uint8_t i = 0; i < 20; ++i) {
        const unsigned before = holds->load();
        EXPECT_EQ(KDX7400_DO_WriteChannel(index, 5, i & 1u), RESULT_OK);
        worst = std::max(worst, holds->load() - before);
        std::this_thread::sleep_for(3ms);
    }
    EXPECT_LE(worst, 6u) << "turns the other two took while one write waited";
    for (const pid_t cycler : cyclers) {
        ::kill(cycler, SIGKILL);
        ::waitpid(cycler, nullptr, 0);
    }
    ::munmap(holds, sizeof(std::atomic<unsigned>));
}

// A program that waits for the module holds nothing the others need: one
// stopped (or killed) while next in line delays the next writers by a
// moment, not until their 5 s are up, also with twelve programs writing.
TEST_F(Sharing, AWaiterThatStopsOrDiesInLineBlocksNobody) {
    ASSERT_GE(open_module(), 0);
    for (const int signal : {SIGSTOP, SIGKILL}) {
        SCOPED_TRACE(::strsignal(signal));
        std::optional<Holder> holder(std::in_place, KDX7400_LockDevice);
        ASSERT_TRUE(holder->held());
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t waiter = kdxtest::fork_child();
        if (waiter == 0) {
            ::alarm(60);
            const int32_t mine = KDX7400_OpenDevice(0x7401, 0);
            (void)!::write(ready[1], "x", 1);
            KDX7400_DO_WriteChannel(mine, 0, 1); // waits next in line
            ::_exit(0);
        }
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        std::this_thread::sleep_for(300ms); // in line at the turnstile
        ::kill(waiter, signal);
        holder.reset();
        const auto start = Clock::now();
        EXPECT_EQ(KDX7400_DO_WriteChannel(index, 2, 1), RESULT_OK);
        EXPECT_LT(Clock::now() - start, 1500ms);
        std::vector<pid_t> writers;
        for (uint8_t program = 0; program < 11; ++program) {
            const pid_t writer = kdxtest::fork_child();
            if (writer == 0) {
                ::alarm(30);
                const int32_t mine = KDX7400_OpenDevice(0x7401, 0);
                int busy = 0;
                for (uint8_t i = 0; i < 20; ++i) {
                    busy += KDX7400_DO_WriteChannel(mine, 8 + program, i & 1u) != RESULT_OK;
                }
                ::_exit(busy);
            }
            writers.push_back(writer);
        }
        for (uint8_t i = 0; i < 20; ++i) {
            EXPECT_EQ(KDX7400_DO_WriteChannel(index, 3, i & 1u), RESULT_OK);
        }
        for (const pid_t writer : writers) {
            int status = -1;
            ::waitpid(writer, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        }
        ::kill(waiter, SIGKILL);
        ::waitpid(waiter, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
    }
}

// Eight threads opening, closing, locking and writing the same modules at
// once; run under ThreadSanitizer too. Every call ends in a result its
// moment allows, never a failed transfer on a closed descriptor.
TEST_F(Sharing, EightThreadsOpenCloseLockAndWriteTheSameModules) {
    ASSERT_GE(open_module(), 0);
    VirtualModule second;
    second.board_id = 1;
    bed.add_module(second);
    std::atomic<int> unexpected{0};
    const auto expect = [&](int16_t result, std::initializer_list<int16_t> allowed) {
        if (std::find(allowed.begin(), allowed.end(), result) == allowed.end()) ++unexpected;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 1000; ++round) {
                const int32_t any = round % 4;
                switch (t % 4) {
                case 0: {
                    const int32_t mine = KDX7400_OpenDevice(0x7401, 1);
                    if (mine < 0) ++unexpected;
                    expect(KDX7400_CloseDevice(mine), {RESULT_OK});
                    break;
                }
                case 1:
                    if (KDX7400_LockDevice(any) == RESULT_OK) {
                        expect(KDX7400_DO_WriteChannel(any, static_cast<uint8_t>(t), 1), {RESULT_OK, RESULT_NOT_OPEN});
                        expect(KDX7400_UnlockDevice(any), {RESULT_OK, RESULT_NOT_OPEN});
                    }
                    break;
                case 2: {
                    uint64_t value = 0;
                    uint8_t total = 0;
                    expect(KDX7400_DO_ReadValue(any, &value), {RESULT_OK, RESULT_NOT_OPEN});
                    expect(KDX7400_GetDOTotal(any, &total), {RESULT_OK, RESULT_NOT_OPEN});
                    expect(KDX7400_CheckDeviceGeneration(any, 0), {RESULT_NOT_OPEN});
                    expect(KDX7400_UnlockDevice(any), {RESULT_INVALID_PARAM, RESULT_NOT_OPEN}); // never held here
                    break;
                }
                default:
                    expect(KDX7400_DO_WriteValue(index, static_cast<uint64_t>(round)), {RESULT_OK});
                    break;
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unexpected, 0);
}

TEST_F(Sharing, NoCallUsesTheDescriptorOfAModuleClosedUnderIt) {
    ASSERT_GE(open_module(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread caller([&] {
        while (!stop) {
            uint64_t mask = 0;
            const int16_t result = KDX7400_DO_ReadValue(0, &mask);
            // A closed or reused descriptor would fail the transfer.
            wrong += result != RESULT_OK && result != RESULT_NOT_OPEN ? 1 : 0;
        }
    });
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(KDX7400_CloseDevice(0), RESULT_OK);
        // Descriptors of other files take the numbers the module had.
        const int stranger = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
        ::close(stranger);
    }
    stop = true;
    caller.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(Sharing, AMaskedWriteChangesOnlyTheSelectedOutputs) {
    struct Case {
        uint8_t outputs;
        uint64_t before, mask, value;
        int16_t result;
        uint64_t after;
    };
    const Case cases[] = {
        {16, 0x00F0, 0x0F0F, 0xFFFF, RESULT_OK, 0x0FFF},   // value bits outside the mask ignored
        {16, 0xFFFF, 0x00FF, 0x0000, RESULT_OK, 0xFF00},
        {16, 0x1234, 0x0000, 0x0000, RESULT_OK, 0x1234},   // nothing selected
        {8, 0x0F, 0xF0, 0xA0, RESULT_OK, 0xAF},
        {64, 0x8000000000000001, 0xFF00000000000000, 0x0100000000000000, RESULT_OK, 0x0100000000000001},
        {16, 0x00F0, 0x10000, 0x10000, RESULT_INVALID_PARAM, 0x00F0}, // an output the module lacks
        {16, 0x00F0, 0x0001, 0x10001, RESULT_INVALID_PARAM, 0x00F0},  // also in value
    };
    for (const Case &c : cases) {
        with_module(module_with(16, c.outputs), [&](const Testbed &bed, const std::string &node, int32_t module) {
            bed.update(node, [&](kdxsim::ModuleState &s) { s.registers.do_value = c.before; });
            bed.clear_commands();
            EXPECT_EQ(KDX7400_DO_WriteMaskedValue(module, c.mask, c.value), c.result) << std::hex << c.mask;
            EXPECT_EQ(bed.state(node).registers.do_value, c.after) << std::hex << c.mask;
            EXPECT_EQ(bed.transfers().size(), c.result == RESULT_OK ? 2u : 0u);
        });
    }
}

TEST_F(Sharing, AToggleFlipsOnlyTheSelectedOutputsAndSaysWhatItLeft) {
    struct Case {
        uint8_t outputs;
        uint64_t before, mask;
        int16_t result;
        uint64_t after;
    };
    const Case cases[] = {
        {16, 0x00F0, 0x00FF, RESULT_OK, 0x000F},
        {16, 0x1234, 0x0000, RESULT_OK, 0x1234}, // nothing selected
        {8, 0x0F, 0xFF, RESULT_OK, 0xF0},
        {64, 0x8000000000000001, 0xFF00000000000000, RESULT_OK, 0x7F00000000000001},
        {16, 0x00F0, 0x10000, RESULT_INVALID_PARAM, 0x00F0}, // an output the module lacks
    };
    for (const Case &c : cases) {
        with_module(module_with(16, c.outputs), [&](const Testbed &bed, const std::string &node, int32_t module) {
            bed.update(node, [&](kdxsim::ModuleState &s) { s.registers.do_value = c.before; });
            bed.clear_commands();
            uint64_t left = 0xDEAD;
            EXPECT_EQ(KDX7400_DO_ToggleValue(module, c.mask, &left), c.result) << std::hex << c.mask;
            EXPECT_EQ(bed.state(node).registers.do_value, c.after) << std::hex << c.mask;
            EXPECT_EQ(left, c.result == RESULT_OK ? c.after : 0xDEAD) << std::hex << c.mask;
            EXPECT_EQ(bed.transfers().size(), c.result == RESULT_OK ? 2u : 0u);
        });
    }
}

TEST_F(Sharing, ChannelChecksFollowTheModulesCounts) {
    ASSERT_GE(open_module(8, 32), 0);
    struct Case {
        int32_t index, family;
        uint64_t mask;
        uint32_t channel;
        int16_t mask_result, channel_result;
    };
    const int32_t open = index;
    const Case cases[] = {
        {open, KDX7400_OUTPUTS, 0xFFFFFFFF, 31, RESULT_OK, RESULT_OK},
        {open, KDX7400_OUTPUTS, 0x100000000, 32, RESULT_INVALID_PARAM, RESULT_INVALID_PARAM},
        {open, KDX7400_INPUTS, 0xFF, 7, RESULT_OK, RESULT_OK},
        {open, KDX7400_INPUTS, 0x100, 8, RESULT_INVALID_PARAM, RESULT_INVALID_PARAM},
        {open, KDX7400_INPUTS, 0, 64, RESULT_OK, RESULT_INVALID_PARAM},
        {open, KDX7400_INPUTS, 0, 0xFFFFFFFF, RESULT_OK, RESULT_INVALID_PARAM},
        {open, 2, 0, 0, RESULT_INVALID_PARAM, RESULT_INVALID_PARAM},
        {open + 1, KDX7400_OUTPUTS, 0, 0, RESULT_NOT_OPEN, RESULT_NOT_OPEN},
        {-1, KDX7400_OUTPUTS, 0, 0, RESULT_BAD_INDEX, RESULT_BAD_INDEX},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(KDX7400_CheckMask(c.index, c.family, c.mask), c.mask_result) << std::hex << c.mask;
        EXPECT_EQ(KDX7400_CheckChannel(c.index, c.family, c.channel), c.channel_result) << c.channel;
    }
    EXPECT_TRUE(transfers().empty());
}

// The ranges every front end checks a record of settings against: one
// row per edge of each range.
TEST_F(Sharing, SettingChecksHoldEveryRangeOnce) {
    ASSERT_GE(open_module(8, 16), 0);
    struct Case {
        int32_t setting;
        uint64_t value;
        int16_t result;
    };
    const Case cases[] = {
        {KDX7400_SETTING_FILTER, 65535, RESULT_OK},
        {KDX7400_SETTING_FILTER, 65536, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_INPUT_INVERSE, 1, RESULT_OK},
        {KDX7400_SETTING_INPUT_INVERSE, 2, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_COUNTER_EDGE, 2, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_OUTPUT_INVERSE, 256, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_WRITE_PROTECT, 0, RESULT_OK},
        {KDX7400_SETTING_POWER_ON, 0xFFFF, RESULT_OK},
        {KDX7400_SETTING_POWER_ON, 0x10000, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_SAFETY_MASK, 0x18000, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_WATCHDOG, 0, RESULT_OK},
        {KDX7400_SETTING_WATCHDOG, 99, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_WATCHDOG, 100, RESULT_OK},
        {KDX7400_SETTING_WATCHDOG, 1800001, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_WATCHDOG, uint64_t{1} << 32 | 500, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_FRAME_RATE, 255, RESULT_OK},
        {KDX7400_SETTING_FRAME_RATE, 256, RESULT_INVALID_PARAM},
        {KDX7400_SETTING_NICKNAME_BYTES, 32, RESULT_OK},
        {KDX7400_SETTING_NICKNAME_BYTES, 33, RESULT_INVALID_PARAM},
        {0, 0, RESULT_INVALID_PARAM},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(KDX7400_CheckSetting(index, c.setting, c.value), c.result) << c.setting << " " << c.value;
    }
    EXPECT_EQ(KDX7400_CheckSetting(index + 1, KDX7400_SETTING_FILTER, 0), RESULT_NOT_OPEN);
    EXPECT_EQ(KDX7400_CheckSetting(-1, KDX7400_SETTING_POWER_ON, 0), RESULT_BAD_INDEX);
    EXPECT_TRUE(transfers().empty());
}

TEST_F(Sharing, AFailedOpenSaysWhyInErrno) {
    bed.add_module({});
    struct Case {
        const char *what;
        std::function<int32_t()> open;
        int32_t result;
        int error;
    };
    const Case cases[] = {
        {"bad board ID", [] { return KDX7400_OpenDevice(0x7401, 16); }, OPEN_BAD_BOARD_ID, EINVAL},
        {"bad path", [] { return KDX7400_OpenDevicePath("/dev/sda"); }, OPEN_BAD_PATH, EINVAL},
        {"no such product", [] { return KDX7400_OpenDevice(0x7402, 0); }, OPEN_NOT_FOUND, ENOENT},
        {"no such board", [] { return KDX7400_OpenDevice(0x7401, 5); }, OPEN_NOT_FOUND, ENOENT},
        {"no such node", [] { return KDX7400_OpenDevicePath("sg9"); }, OPEN_NOT_FOUND, ENOENT},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(c.open(), c.result) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        EXPECT_EQ(KDX7400_WhyOpenFailed(c.result, errno), c.result) << c.what << ": nothing to explain";
    }
    // Only a refused node is told apart from no module; an opened index
    // and the other failures pass through.
    EXPECT_EQ(KDX7400_WhyOpenFailed(OPEN_NOT_FOUND, EPERM), OPEN_PERMISSION_DENIED);
    EXPECT_EQ(KDX7400_WhyOpenFailed(OPEN_TABLE_FULL, EACCES), OPEN_TABLE_FULL);
    EXPECT_EQ(KDX7400_WhyOpenFailed(3, EACCES), 3);
    EXPECT_NE(std::string(KDXIO_GetOpenResultString(OPEN_PERMISSION_DENIED)).find("group kdx7400"), std::string::npos);
    for (int32_t i = 0; i < MAX_DEVICES; ++i) {
        ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), i);
    }
    errno = 0;
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_TABLE_FULL);
    EXPECT_EQ(errno, EMFILE);
}

// Root passes every mode check: the case needs a user the node refuses.
TEST_F(Sharing, ANodeThatRefusesTheUserIsPermissionDeniedNotNotFound) {
    const std::string refused = bed.add_module({});
    ASSERT_EQ(::chmod(bed.root().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((bed.root() + "/dev/" + refused).c_str(), 0600), 0);
    const pid_t child = kdxtest::fork_child();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3); // not root: nothing to prove here
        }
        errno = 0;
        const int32_t opened = KDX7400_OpenDevice(0x7401, 0);
        const bool by_ids = KDX7400_WhyOpenFailed(opened, errno) == OPEN_PERMISSION_DENIED;
        errno = 0;
        const bool by_path = KDX7400_OpenDevicePath(refused.c_str()) == OPEN_NOT_FOUND && errno == EACCES;
        ::_exit(by_ids && by_path ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WEXITSTATUS(status) == 3) {
        GTEST_SKIP() << "needs root to become another user";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Sharing, AModuleInfoCutShortFailsTheOpen) {
    bed.add_module({});
    Fault cut = fault(FaultKind::ShortData);
    cut.length = 16;
    bed.inject(for_lba(cut, LBA_MODULE_INFO));
    errno = 0;
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_NOT_FOUND);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(bed.open_node_descriptors(), 0);
}

} // namespace
