#include <gtest/gtest.h>
#include <string.h>
#include "utils.h"

TEST(ExeCommand, TrimsOneFinalNewline)
{
    char out[64];
    ASSERT_EQ(exe_command("printf 'abc\\n\\n'", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "abc\n");
}
