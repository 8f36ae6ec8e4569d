// The lines the diagnosis log is given: the transport's trace with the password masked, escapes
// that keep one step on one line, and the calendar of its time stamps.
#include "net/transfer_log.h"

#include <gtest/gtest.h>

#include "framework/diag_log.h"

namespace {

TEST(TraceLine, MasksThePasswordOnlyOfAPassCommand) {
    const struct {
        ftp::Traced what;
        const char* text;
        const char* line;
    } cases[] = {
        {ftp::Traced::Sent, "PASS Tamw1xUp\r\n", "sent: PASS ****"},
        {ftp::Traced::Sent, "pass secret", "sent: pass ****"},
        {ftp::Traced::Sent, "PASS", "sent: PASS ****"},
        {ftp::Traced::Sent, "PASV\r\n", "sent: PASV"},
        {ftp::Traced::Sent, "USER k1029384\r\n", "sent: USER k1029384"},
        {ftp::Traced::Sent, "RETR Update/PASS word\r\n", "sent: RETR Update/PASS word"},
        // A reply is the server's: nothing in it is the password.
        {ftp::Traced::Received, "530 Login incorrect.\r\n", "received: 530 Login incorrect."},
        {ftp::Traced::Note, "Connection refused\n", "ftp: Connection refused"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(net::TraceLine(c.what, c.text), c.line) << c.text;
    }
}

TEST(DiagLog, EscapesKeepAStepOnOneLine) {
    EXPECT_EQ(diag::Escaped("a\r\nb\tc\x7f"
                            "d\\n"),
              "a\\r\\nb\\x09c\\x7Fd\\n");
    EXPECT_EQ(diag::Escaped("caf\xe9"), "caf\xe9");
}

TEST(DiagLog, UtcTextOfInstants) {
    const struct {
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01 00:00:00 UTC"},           {-1, "1969-12-31 23:59:59 UTC"},
        {951782399, "2000-02-28 23:59:59 UTC"},   {951782400, "2000-02-29 00:00:00 UTC"},
        {2147483647, "2038-01-19 03:14:07 UTC"},  {4102444800, "2100-01-01 00:00:00 UTC"},
        {32535215999, "3000-12-31 23:59:59 UTC"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(diag::UtcText(c.seconds), c.text) << c.seconds;
    }
}

}  // namespace
