#include "net/update_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ParseMirrors, TakesHostsAndPortsAndLeavesOutWhatIsNeither) {
    const UpdateServer primary{"ftp.example", "user", "secret", 2121};
    const struct {
        const char* text;
        std::vector<std::string> mirrors;  // "host:port"
    } cases[] = {
        {"", {}},
        {"a.example", {"a.example:0"}},
        {" a.example , b-2.example:2121,c_3:65535 ",
         {"a.example:0", "b-2.example:2121", "c_3:65535"}},
        {"a,,b,", {"a:0", "b:0"}},
        {"a:0,b:65536,c:x,d:,:21,e:21:22,f g,h/i,j:000021,k:021,l:1", {"l:1"}},
        {"\ta:65535\t,b\n", {"a:65535"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        for (const UpdateServer& mirror : ParseMirrors(c.text, primary)) {
            EXPECT_EQ(mirror.user + "/" + mirror.password, "user/secret") << c.text;
            got.push_back(mirror.host + ":" + std::to_string(mirror.port));
        }
        EXPECT_EQ(got, c.mirrors) << '"' << c.text << '"';
    }
}
