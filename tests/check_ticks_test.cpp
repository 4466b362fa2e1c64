// tavverify and tavbackup without their tick clock: every wait of the flash driver would be endless, so they refuse
// before they touch the board, with tavload's message. The link wraps pthread_create so that no thread starts.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <memory>
#include <string>

#include "board/model.h"
#include "check/board_check.h"
#include "flash/ticks.h"
#include "tests/support.h"

extern "C" int __wrap_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; }

namespace {

TEST(CheckTickClock, NeitherProgramTouchesTheBoardWithoutItsClock) {
    struct Program {
        const char *name;
        int (*body)(uint8_t *window, int argc, char **argv);
        const char *argument;
    };
    const Program programs[] = {{"tavverify", verify_main, "-fnew_"}, {"tavbackup", backup_main, "backup-folder"}};
    for (const Program &program : programs) {
        SCOPED_TRACE(program.name);
        std::string words[] = {program.name, program.argument};
        char *argv[] = {words[0].data(), words[1].data(), nullptr};
        // A model board whose devices are always ready: a program that went on would read it and end.
        tavtest::TempDir dir;
        std::string error;
        std::unique_ptr<tavboard::Board> board = tavboard::Board::create(dir.board(), tavboard::Fit{}, true, &error);
        ASSERT_NE(board, nullptr) << error;
        tavboard::attach(*board);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(program.body(board->window_address(), 2, argv), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: the 100 ms tick thread cannot be started, so no wait of the flash driver would end\n");
        EXPECT_EQ(board->counters().accesses, 0u) << "the board was touched";
        tavboard::detach(*board);
    }
    EXPECT_FALSE(tick_thread_started());
}

}  // namespace
