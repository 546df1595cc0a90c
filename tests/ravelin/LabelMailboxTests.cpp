// Tests of the mailbox through which label threads hand their labels to the dialog.

#include "LabelMailbox.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(LabelMailboxTest, OnlyTheLatestRequestsLabelIsCollected) {
    CLabelMailbox mailbox;
    unsigned first = mailbox.NewRequest();
    unsigned second = mailbox.NewRequest();
    CString label;

    EXPECT_FALSE(mailbox.Collect(second, label)) << "collected before anything was delivered";
    EXPECT_FALSE(mailbox.Deliver(first, "STALE")) << "a stale request was kept";
    EXPECT_FALSE(mailbox.Collect(first, label));
    EXPECT_TRUE(mailbox.Deliver(second, "FRESH"));
    EXPECT_FALSE(mailbox.Collect(first, label));
    ASSERT_TRUE(mailbox.Collect(second, label));
    EXPECT_STREQ("FRESH", label);
    EXPECT_FALSE(mailbox.Collect(second, label)) << "a label was collected twice";

    // A label delivered and then overtaken by a new request is dropped.
    unsigned third = mailbox.NewRequest();
    EXPECT_TRUE(mailbox.Deliver(third, "LATE"));
    unsigned fourth = mailbox.NewRequest();
    EXPECT_FALSE(mailbox.Collect(third, label));
    EXPECT_FALSE(mailbox.Collect(fourth, label));
}

TEST(LabelMailboxTest, ManyThreadsDeliverAtOnceAndOnlyTheLatestWins) {
    CLabelMailbox mailbox;
    std::vector<unsigned> requests;
    for (int i = 0; i < 16; ++i)
        requests.push_back(mailbox.NewRequest());
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&, i] {
            CString text;
            text.Format("LABEL%d", i);
            for (int n = 0; n < 200; ++n)
                mailbox.Deliver(requests[static_cast<size_t>(i)], text);
        });
    for (std::thread& t : threads)
        t.join();
    CString label;
    ASSERT_TRUE(mailbox.Collect(requests.back(), label));
    EXPECT_STREQ("LABEL15", label);
}

} // namespace
