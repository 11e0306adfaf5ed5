// The console program's handler of console events, called as Windows calls
// it, on a thread of its own.
#include "platform/win32/console_stop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/console.h"

namespace {

// Windows ends the process once the handler returns from a close, logoff or
// shutdown: it must hold until the run has ended, while Ctrl-C returns at once.
TEST(ConsoleStop, EveryEventStopsTheRunAndTheEndingOnesHoldTheProcess) {
    const struct {
        DWORD kind;
        bool holds;
    } cases[] = {
        {CTRL_C_EVENT, false},      {CTRL_BREAK_EVENT, false},   {CTRL_CLOSE_EVENT, true},
        {CTRL_LOGOFF_EVENT, true},  {CTRL_SHUTDOWN_EVENT, true},
    };
    for (const auto& c : cases) {
        StopSignal stop;
        console::createStopSignal(stop);
        auto returned = std::make_shared<std::atomic<bool>>(false);
        std::thread handler([kind = c.kind, returned] {
            raiseStopOnConsoleEvent(kind);
            *returned = true;
        });
        EXPECT_TRUE(console::waitForStop(stop, 2000)) << c.kind;
        ::Sleep(300);
        EXPECT_EQ(returned->load(), !c.holds) << c.kind;
        // A held handler is left to the end of the process, as Windows does.
        if (c.holds) {
            handler.detach();
        } else {
            handler.join();
            console::closeStopSignal(stop);
        }
    }
}

}  // namespace
