// SPDX-License-Identifier: MIT
// The C++ API against virtual modules: error codes, the two forms of each
// call, ownership, channel checks and the thread contract.
#include "kdx7400.hpp"
#include "support.h"

#include <atomic>
#include <poll.h>
#include <chrono>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <tuple>

namespace {

using namespace kdxtest;

class Cpp : public ModuleTest {
protected:
    std::string add(uint8_t bid, uint8_t di = 16, uint8_t do_ = 16) {
        VirtualModule wanted = module_with(di, do_);
        wanted.board_id = bid;
        return bed.add_module(wanted);
    }
};

TEST(CppErrors, CodesCarryTheLibrarysTexts) {
    EXPECT_STREQ(kdx::category().name(), "kdx7400");
    for (int result = RESULT_OK; result <= RESULT_BUSY; ++result) {
        EXPECT_EQ(kdx::category().message(result), KDXIO_GetResultString(result));
    }
    const std::pair<kdx::errc, int32_t> opens[] = {{kdx::errc::not_found, OPEN_NOT_FOUND},
                                                   {kdx::errc::table_full, OPEN_TABLE_FULL},
                                                   {kdx::errc::bad_board_id, OPEN_BAD_BOARD_ID},
                                                   {kdx::errc::bad_path, OPEN_BAD_PATH}};
    for (const auto &[code, result] : opens) {
        EXPECT_EQ(make_error_code(code).message(), KDXIO_GetOpenResultString(result));
    }
    const kdx::Error error(kdx::errc::read_failed, "read outputs");
    EXPECT_EQ(error.code(), kdx::errc::read_failed);
    EXPECT_NE(std::string(error.what()).find("read outputs"), std::string::npos);
    const std::system_error &base = error;
    EXPECT_EQ(&base.code().category(), &kdx::category());
}

TEST_F(Cpp, OpeningFailuresThrowOrSetTheirOwnCodes) {
    add(3);
    std::error_code code;
    EXPECT_FALSE(kdx::Module::open(0x7401, 4, code));
    EXPECT_EQ(code, kdx::errc::not_found);
    EXPECT_FALSE(kdx::Module::open(0x7401, 16, code));
    EXPECT_EQ(code, kdx::errc::bad_board_id);
    EXPECT_FALSE(kdx::Module::open_node("sda", code));
    EXPECT_EQ(code, kdx::errc::bad_path);
    try {
        kdx::Module::open(0x7401, 9);
        FAIL() << "no exception";
    } catch (const kdx::Error &error) {
        EXPECT_EQ(error.code(), kdx::errc::not_found);
    }
    EXPECT_TRUE(kdx::Module::open(0x7401, 3, code));
    EXPECT_FALSE(code);
}

TEST_F(Cpp, AModuleClosesItselfAndMovesItsOwnership) {
    const std::string node = add(3);
    {
        kdx::Module first = kdx::Module::open(0x7401, 3);
        EXPECT_EQ(first.index(), 0);
        EXPECT_EQ(first.node(), "/dev/" + node);
        kdx::Module second = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_TRUE(second);
        EXPECT_THROW(first.read_outputs(), std::logic_error);
        std::error_code code;
        first.read_outputs(code);
        EXPECT_EQ(code, kdx::errc::not_open);
        EXPECT_EQ(bed.open_node_descriptors(), 1);
        kdx::Module third = kdx::Module::open_node("/dev/" + node);
        EXPECT_EQ(third.index(), 1);
        third = std::move(second); // closes the module third held
        EXPECT_EQ(bed.open_node_descriptors(), 1);
        third.close();
        EXPECT_FALSE(third);
        EXPECT_NO_THROW(third.close()) << "closing twice is harmless";
        EXPECT_THROW(third.write_outputs(1), std::logic_error);
    }
    EXPECT_EQ(bed.open_node_descriptors(), 0);
}

TEST_F(Cpp, FailuresOfTheModuleThrowOrSetTheCode) {
    const std::string node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    bed.inject(ioctl_error(EIO));
    std::error_code code;
    EXPECT_EQ(module.read_outputs(code), 0u);
    EXPECT_EQ(code, kdx::errc::read_failed);
    bed.inject(ioctl_error(EIO));
    EXPECT_THROW(module.write_outputs(1), kdx::Error);
    bed.inject(for_opcode(fault(FaultKind::NoMagic), kRead10));
    try {
        module.read_inputs();
        FAIL() << "no exception";
    } catch (const kdx::Error &error) {
        EXPECT_EQ(error.code(), kdx::errc::bad_header);
    }
}

TEST_F(Cpp, ChannelsAndMaskBitsTheModuleLacksAreRefusedBeforeAnyTransfer) {
    node = add(3, 16, 16);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    bed.clear_commands();
    std::error_code code;
    const std::vector<std::function<void()>> refused = {
        [&] { module.write_outputs(0x10000, code); },
        [&] { module.write_output(16, true, code); },
        [&] { module.set_power_on(0x10000, code); },
        [&] { module.set_power_on(16, true, code); },
        [&] { module.set_safety({0x10000, 0}, code); },
        [&] { module.set_safety(16, true, false, code); },
        [&] { module.clear_counters(0x10000, code); },
        [&] { module.clear_counter(16, code); },
        [&] { module.switch_outputs(std::vector<uint8_t>{1, 16}, true, code); },
        [&] { module.set_nickname(std::string(33, 'n'), code); },
        [&] { module.update_outputs(0x10000, 0, code); },
        [&] { module.switch_outputs({1, 200}, true, code); },
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        code.clear();
        refused[i]();
        EXPECT_EQ(code, kdx::errc::invalid_param) << "case " << i;
    }
    EXPECT_TRUE(bed.transfers().empty());
    module.write_outputs(0xFFFF);
    EXPECT_EQ(state().registers.do_value, 0xFFFFu);
}

TEST_F(Cpp, ABatchOfChannelsIsOneReadAndOneWrite) {
    node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    module.write_outputs(0x0100);
    bed.clear_commands();
    const uint8_t channels[] = {0, 1, 2, 3};
    module.switch_outputs(channels, true);
    const auto sent = bed.transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].cdb[0], kRead10);
    EXPECT_EQ(sent[1].cdb[0], kWrite10);
    EXPECT_EQ(state().registers.do_value, 0x010Fu);
    module.switch_outputs(channels, false);
    EXPECT_EQ(state().registers.do_value, 0x0100u);
    // The outputs a masked write left come back with it: no third command.
    bed.clear_commands();
    EXPECT_EQ(module.update_outputs(0x00F0, 0x0050), 0x0150u);
    EXPECT_EQ(bed.transfers().size(), 2u);
    EXPECT_EQ(state().registers.do_value, 0x0150u);
    EXPECT_EQ(module.toggle_outputs(0x00FF), 0x01AFu);
    EXPECT_EQ(state().registers.do_value, 0x01AFu);
    const kdx7400_module_info info = module.info();
    EXPECT_EQ(info.do_total, 16);
    EXPECT_STREQ(info.firmware_date, "2026-03-14");
}

TEST_F(Cpp, EveryOperationReachesTheModule) {
    node = add(3);
    kdx::Module m = kdx::Module::open(0x7401, 3);
    EXPECT_EQ(m.counts().di, 16);
    EXPECT_EQ(m.counts().do_, 16);
    m.write_output(3, true);
    EXPECT_EQ(m.read_outputs(), 0x8u);
    m.set_power_on(0x00F0);
    m.set_power_on(0, true);
    EXPECT_EQ(m.power_on(), 0x00F1u);
    m.set_output_inverse(true);
    EXPECT_EQ(m.output_inverse(), 1);
    m.set_safety({0x000F, 0x0005});
    m.set_safety(8, true, true);
    EXPECT_EQ(m.safety().outputs, 0x010Fu);
    EXPECT_EQ(m.safety().values, 0x0105u);
    bed.set_inputs(node, 0x0);
    bed.set_inputs(node, 0x5);
    EXPECT_EQ(m.read_inputs(), 0x5u);
    EXPECT_TRUE(m.read_input(2));
    m.set_input_filter(7);
    EXPECT_EQ(m.input_filter(), 7);
    m.set_input_inverse(true);
    EXPECT_EQ(m.input_inverse(), 1);
    m.set_input_inverse(false);
    m.set_counter_edge(1);
    EXPECT_EQ(m.counter_edge(), 1);
    const auto counters = m.read_counters();
    ASSERT_EQ(counters.size(), 16u);
    EXPECT_EQ(counters[0], 1u);
    EXPECT_EQ(m.read_counter(2), 1u);
    m.clear_counter(0);
    m.clear_counters(0x4);
    EXPECT_EQ(m.read_counters(), std::vector<uint32_t>(16, 0));
    EXPECT_EQ(m.firmware_version(), 0x0102);
    EXPECT_EQ(m.firmware_date(), "2026-03-14");
    m.set_nickname("rig");
    EXPECT_EQ(m.nickname(), "rig");
    m.set_write_protect(true);
    EXPECT_EQ(m.write_protect(), 1);
    m.set_frame_rate_factor(4);
    EXPECT_EQ(m.frame_rate_factor(), 4);
    m.set_opcode(9);
    EXPECT_EQ(m.opcode(), 9);
    m.set_watchdog_timeout(2500);
    EXPECT_EQ(m.watchdog_timeout(), 2500u);
    m.clear_watchdog_error();
    m.disable_watchdog();
    EXPECT_EQ(m.watchdog_timeout(), 0u);
    const auto seen = state().seen;
    m.sync();
    m.load_defaults();
    m.reset();
    EXPECT_EQ(state().seen.sync, seen.sync + 1);
    EXPECT_EQ(state().seen.load_default, seen.load_default + 1);
    EXPECT_EQ(state().seen.reset, seen.reset + 1);
}

TEST_F(Cpp, TheListingNamesNodesAndBoardsAsNumbers) {
    const std::string a = add(3);
    const std::string b = add(12);
    VirtualModule no_board;
    no_board.product = "KDX-7401        ";
    const std::string c = bed.add_module(no_board);
    const auto devices = kdx::list_devices();
    ASSERT_EQ(devices.size(), 3u);
    std::map<std::string, kdx::DeviceInfo> by_node;
    for (const auto &d : devices) {
        by_node[d.node] = d;
    }
    EXPECT_EQ(by_node["/dev/" + a].board_id, 3);
    EXPECT_EQ(by_node["/dev/" + b].board_id, 12);
    EXPECT_EQ(by_node["/dev/" + c].board_id, std::nullopt);
    EXPECT_EQ(by_node["/dev/" + a].product_id, 0x7401);
    EXPECT_EQ(by_node["/dev/" + a].product, "KDX-7401      #3");
}

// Run under ThreadSanitizer too (kdx7400_tsan_tests).
TEST_F(Cpp, ALockedBlockIsOneStepForOtherThreads) {
    node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    std::atomic<bool> wrote{false};
    std::thread other;
    {
        const kdx::ModuleLock held = module.lock();
        EXPECT_TRUE(held);
        other = std::thread([&] {
            module.update_outputs(0x00F0, 0x00F0);
            wrote = true;
        });
        const uint64_t seen = module.read_outputs(); // the holder's calls nest
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(wrote) << "another thread wrote inside the locked block";
        module.write_outputs(seen | 0x1);
    }
    other.join();
    EXPECT_EQ(state().registers.do_value, 0x00F1u);
    module.close();
    std::error_code code;
    const kdx::ModuleLock none = module.lock(code);
    EXPECT_FALSE(none);
    EXPECT_EQ(code, kdx::errc::not_open);
}

// Every level change and every pulse between samples, on the watcher's
// thread, through its descriptor; an unplug ends it with an event.
TEST_F(Cpp, WatcherReportsEdgesPulsesAndTheUnplug) {
    using Kind = kdx::InputEvent::Kind;
    node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    kdx::InputWatcher watcher(module, std::chrono::milliseconds(10));
    const auto collect = [&](std::size_t least) {
        std::vector<kdx::InputEvent> all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (all.size() < least && std::chrono::steady_clock::now() < deadline) {
            pollfd readable{watcher.fd(), POLLIN, 0};
            if (::poll(&readable, 1, 100) == 1) {
                for (const kdx::InputEvent &e : watcher.read_events()) {
                    all.push_back(e);
                }
            }
        }
        return all;
    };
    bed.set_inputs(node, 0x4);
    auto events = collect(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::rising);
    EXPECT_EQ(events[0].channel, 2);
    bed.pulse(node, 5, 1000); // faster than any sample: only the counter saw them
    events = collect(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::pulses);
    EXPECT_EQ(events[0].channel, 5);
    EXPECT_EQ(events[0].count, 1000u);
    // Cleared (as by another program), then 3 more: a reset, counted from zero.
    bed.update(node, [](kdxsim::ModuleState &s) { s.registers.counters[5] = 0; });
    bed.pulse(node, 5, 3);
    events = collect(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::make_tuple(events[0].kind, int{events[0].channel}), std::make_tuple(Kind::reset, 5));
    EXPECT_EQ(std::make_tuple(events[1].kind, int{events[1].channel}, events[1].count),
              std::make_tuple(Kind::pulses, 5, 3u));
    bed.set_inputs(node, 0x0);
    events = collect(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::falling);
    EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(50))) << "nothing more happened";
    bed.unplug(node);
    events = collect(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::stopped);
    EXPECT_EQ(events[0].error, kdx::errc::read_failed);
    for (int i = 0; i < 100 && watcher.running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(watcher.running());
    EXPECT_EQ(watcher.dropped(), 0u);
}

TEST_F(Cpp, WatcherEndsWhenItsModuleClosesOrItIsStopped) {
    node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    {
        kdx::InputWatcher watcher(module, std::chrono::milliseconds(5));
        EXPECT_TRUE(watcher.running());
        watcher.stop();
        EXPECT_FALSE(watcher.running());
    }
    kdx::InputWatcher watcher(module, std::chrono::milliseconds(5));
    module.close();
    ASSERT_TRUE(watcher.wait(std::chrono::seconds(5)));
    const auto events = watcher.read_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, kdx::InputEvent::Kind::stopped);
    EXPECT_EQ(events[0].error, kdx::errc::not_open);
}

TEST_F(Cpp, ThreadsShareAModuleAndOpenAndCloseSafely) {
    node = add(3);
    add(4);
    kdx::Module shared = kdx::Module::open(0x7401, 3);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                std::error_code code;
                shared.write_output(static_cast<uint8_t>(t), i % 2 == 0, code);
                failures += code ? 1 : 0;
                kdx::Module own = kdx::Module::open(0x7401, 4, code);
                failures += code ? 1 : 0;
                own.read_inputs(code);
                failures += code ? 1 : 0;
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(state().registers.do_value & 0x3, 0x0u) << "both threads' last writes kept";
    EXPECT_EQ(bed.open_node_descriptors(), 1);
}

// A close refused because another thread holds the module past the
// time-out leaves it open and usable, and closable later.
TEST_F(Cpp, ACloseRefusedAsBusyKeepsTheModule) {
    node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        const kdx::ModuleLock held = module.lock();
        holding = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    try {
        module.close();
        ADD_FAILURE() << "closed under another thread's hold";
    } catch (const kdx::Error &e) {
        EXPECT_EQ(e.code(), kdx::errc::busy);
        EXPECT_NE(std::string(e.what()).find("close module (held by another thread of this program)"), std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(module) << "still ours";
    release = true;
    holder.join();
    EXPECT_EQ(module.read_outputs(), 0u);
    module.close();
    EXPECT_FALSE(module);
}

// While a close waits for the thread that holds the module, that thread
// (and every other) goes on using it; the module is let go only when the
// close succeeds.
TEST_F(Cpp, AModuleStaysUsableWhileItsCloseWaitsForTheHolder) {
    node = add(3);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    std::atomic<bool> holding{false}, closing{false};
    std::atomic<int> failed{0}, written{0};
    std::thread holder([&] {
        const kdx::ModuleLock held = module.lock();
        holding = true;
        while (!closing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int i = 0; i < 20; ++i) {
            std::error_code code;
            module.write_outputs(static_cast<uint64_t>(i), code);
            (code ? failed : written)++;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread closer([&] {
        closing = true;
        module.close();
    });
    holder.join();
    closer.join();
    EXPECT_EQ(failed, 0) << "the holder's writes while the close waited";
    EXPECT_EQ(written, 20);
    EXPECT_FALSE(module);
}

// A child's inherited Module is not the child's: after the child opens
// another module into the same index, the inherited one neither writes to
// it nor closes it when it goes.
TEST_F(Cpp, AModuleInheritedByAChildNeverActsOnTheChildsOwn) {
    add(3);
    const std::string second = add(4);
    std::optional<kdx::Module> inherited(kdx::Module::open(0x7401, 3));
    const pid_t child = kdxtest::fork_child();
    if (child == 0) {
        kdx::Module own = kdx::Module::open(0x7401, 4);
        bool ok = own.index() == inherited->index() && !*inherited;
        std::error_code code;
        inherited->write_outputs(0xFF, code);
        ok = ok && code == kdx::errc::not_open;
        inherited.reset();
        own.write_output(1, true, code);
        ok = ok && !code && own;
        ::_exit(ok ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(bed.state(second).registers.do_value, 0x2u) << "only the child's own write";
    EXPECT_TRUE(*inherited) << "the parent's stays open";
}

} // namespace
