// The ifbox-sim command line: what it refuses, how it says so, and that it leaves alone what
// is not its own. What the box serves is proven by the link, poll and fault tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

// Runs a shell script with $SIM set; returns its stdout and stderr.
static std::string Sh(const std::string &script) {
    setenv("SIM", IFBOX_SIM_PATH, 1);
    std::string out;
    FILE *p = popen(("exec 2>&1\n" + script).c_str(), "r");
    for (int c; (c = fgetc(p)) != EOF;)
        out += char(c);
    pclose(p);
    return out;
}

TEST(SimCommand, UsageErrorsNameTheOptionInOneLineWithStatus2) {
    for (std::string args : {"--bogus", "--flap-ms 0,0", "--flap-ms=20", "--reply-delay-us -1",
                             "--slow-ms 10001", "--inputs fixed:0x1G", "--analog 65536,0",
                             "--fault slow:1:2:3", "--fault=nosuch", "--log", "--no-pacing=1"}) {
        std::string out = Sh("timeout 5 $SIM " + args + "; echo $?");
        std::regex want("ifbox-sim: .*" + args.substr(0, args.find_first_of(" =")) +
                        ".*; try --help\n2\n");
        EXPECT_TRUE(std::regex_match(out, want)) << out;
    }
    EXPECT_EQ(Sh("$SIM -h | awk 'length > 80'; $SIM --version"),
              "ifbox-sim " IFBOX_SIM_VERSION "\n"); // help in 80 columns
}

// A user's file, another live box's link, a link changed under it: none is touched.
TEST(SimCommand, LinkReplacesOnlyAStaleLinkAndRemovesOnlyItsOwn) {
    std::string out = Sh(R"sh(cd "$(mktemp -d)" && echo data >file && ln -s /dev/pts/999999 link
        timeout 5 $SIM --link file; echo "file: $? $(cat file)"
        serve() { $SIM --link=link --no-ctty >/dev/null & pid=$!
                  while kill -0 $pid && [ "$(readlink link)" = "$1" ]; do sleep 0.01; done; }
        serve /dev/pts/999999; timeout 5 $SIM --link "$PWD/link"; echo "second: $?"
        kill $pid; wait $pid; echo "first: $? $(ls)"
        serve ""; ln -sfn file link; kill $pid; wait $pid; echo "changed: $(readlink link)"
        rm -r "$PWD")sh");
    std::regex want(
        "ifbox-sim: file exists.*\nfile: 2 data\nifbox-sim: .*/link is served by another "
        "ifbox-sim\nsecond: 2\nfirst: 0 file\nchanged: file\n");
    EXPECT_TRUE(std::regex_match(out, want)) << out;
}
