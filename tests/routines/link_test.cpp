#include "harness.h"

#include "frames.h"
#include "link.h"
#include "record.h"
#include "serial.h"
#include "state.h"
#include "ui.h"

TEST_F(RoutineTest, StartupExchangeAgainstSensor) {
    useSensor();
    InitRS232(1);
    ASSERT_GE(writes().size(), 5u);
    EXPECT_EQ(writtenWord(0, 2), 5u);  // line check
    EXPECT_EQ(writtenWord(1, 2), 10u); // hardware
    EXPECT_EQ(writtenWord(2, 2), 2u);  // GET block 0
    EXPECT_EQ(writtenWord(2, 4), 0u);
    EXPECT_EQ(writtenWord(3, 2), 2u); // GET block 1
    EXPECT_EQ(writtenWord(3, 4), 1u);
    EXPECT_EQ(writtenWord(4, 2), 7u); // firmware
    EXPECT_EQ(status(), "V2.0");
}
