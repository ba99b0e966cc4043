// A run in which COM2 is missing from the start: its own process, since the
// reply buffers keep their initial content only until the first good reply.
#include <gtest/gtest.h>

#include "link/link.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

namespace msgs = testing_messages;

TEST(MissingPort, EveryExchangeReportsAndValuesStayInitial) {
    msgs::Reset();
    testbox::PointAtMissingPort();
    const HWND dialog = reinterpret_cast<HWND>(0x4711);
    DialogHandle = dialog;

    EXPECT_EQ(OpenInterface(), 0x61);
    ASSERT_EQ(msgs::Count(), 1u);

    EXPECT_EQ(ExchangeDigital(), 0x61);
    EXPECT_EQ(ExchangeAnalog(0), 8224u);
    EXPECT_EQ(ExchangeAnalog(1), 8224u);

    auto shown = msgs::All();
    ASSERT_EQ(shown.size(), 4u);
    for (const auto &m : shown) {
        EXPECT_EQ(m.owner, dialog);
        EXPECT_EQ(m.text, LINK_TEXT); // the analog writes fail first: a link failure
        EXPECT_EQ(m.title, "Fehler");
        EXPECT_EQ(m.flags, static_cast<UINT>(MB_OK));
    }
    CloseInterface();
    // Once closed, a late exchange neither touches anything nor reports.
    EXPECT_EQ(ExchangeDigital(), 0x61);
    EXPECT_EQ(msgs::Count(), 4u);
}
