#include "fit_control.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"

namespace zun {
namespace {

using namespace std::chrono_literals;

TEST(FitControl, ACancelOverridesAStopAndNeverTheOtherWayRound) {
    struct Case {
        std::vector<Interruption> requests;
        Interruption expected;
    };
    const std::vector<Case> cases = {
        {{}, Interruption::None},
        {{Interruption::Stop}, Interruption::Stop},
        {{Interruption::Cancel}, Interruption::Cancel},
        {{Interruption::Stop, Interruption::Cancel}, Interruption::Cancel},
        {{Interruption::Cancel, Interruption::Stop}, Interruption::Cancel},
        {{Interruption::Stop, Interruption::None}, Interruption::Stop},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        SCOPED_TRACE(k);
        FitControl control;
        for (const Interruption why : cases[k].requests) {
            control.interrupt(why);
        }
        EXPECT_EQ(control.interruption(), cases[k].expected);
    }
}

TEST(FitControl, OnlyAQueuedConsoleKeepsLinesAndWarningsForItsCaller) {
    FitControl queued(FitControl::Console::Queued);
    queued.write_line("[t] [INFO] a\n");
    queued.warn("careful");
    queued.write_line("[t] [INFO] b\n");
    EXPECT_EQ(queued.take_lines(), (std::vector<std::string>{"[t] [INFO] a\n", "[t] [INFO] b\n"}));
    EXPECT_TRUE(queued.take_lines().empty());
    EXPECT_EQ(queued.take_warnings(), std::vector<std::string>{"careful"});

    FitControl direct;
    ::testing::internal::CaptureStdout();
    direct.write_line("[t] [INFO] c\n");
    direct.warn("careful");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[t] [INFO] c\n");
    EXPECT_TRUE(direct.take_lines().empty());
    EXPECT_TRUE(direct.take_warnings().empty());
}

TEST(FitControl, AnEpochEndWaitsForItsCallerOnlyWhenReported) {
    FitControl quiet;
    quiet.end_epoch({0, 1.5, std::nullopt});  // returns at once: nobody reports epochs
    EXPECT_FALSE(quiet.pending_epoch_end().has_value());

    FitControl control;
    control.report_epochs();
    std::vector<double> seen;
    std::thread caller([&] {
        while (!control.finished()) {
            control.wait(1000ms);
            if (const std::optional<EpochEnd> end = control.pending_epoch_end()) {
                seen.push_back(end->error);
                control.acknowledge_epoch_end();
            }
        }
    });
    for (std::uint64_t epoch = 0; epoch < 3; ++epoch) {
        control.end_epoch({epoch, 0.5 * static_cast<double>(epoch), std::nullopt});
        // Taken and acknowledged before the fit goes on.
        EXPECT_EQ(seen.size(), epoch + 1);
    }
    control.finish();
    caller.join();
    EXPECT_EQ(seen, (std::vector<double>{0.0, 0.5, 1.0}));
}

TEST(FitControl, AnInterruptionReleasesAFitWaitingAtAnEpochEnd) {
    for (const Interruption why : {Interruption::Stop, Interruption::Cancel}) {
        FitControl control;
        control.report_epochs();
        std::thread caller([&] {
            while (!control.pending_epoch_end()) {
                control.wait(1000ms);
            }
            control.interrupt(why);  // without acknowledging
        });
        control.end_epoch({0, 1.0, std::nullopt});
        caller.join();
        EXPECT_EQ(control.interruption(), why);
    }
}

TEST(FitControl, ThreadsOutsideAFitSeeNoInterruption) {
    EXPECT_EQ(InterruptionCheck()(), Interruption::None);
    EXPECT_NO_THROW(throw_if_cancelled());
    FitControl control;
    const FitScope scope(&control);
    const InterruptionCheck check;
    control.interrupt(Interruption::Stop);
    EXPECT_EQ(check(), Interruption::Stop);
    EXPECT_NO_THROW(throw_if_cancelled());
    control.interrupt(Interruption::Cancel);
    EXPECT_EQ(check(), Interruption::Cancel);
    EXPECT_THROW(throw_if_cancelled(), FitInterrupted);
}

}  // namespace
}  // namespace zun
