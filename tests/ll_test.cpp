#include <gtest/gtest.h>

#include "mailbox/ll.h"

TEST(LlNew, IsZeroFilledIgnoreAndNew) {
    llnode* rec = llnew();
    EXPECT_EQ(rec->status, IGNORE);
    EXPECT_EQ(rec->read, MSGNEW);
    llfree(rec);
}
