// jovaprv as an administrator runs it: its commands and exit codes, killed in the middle of
// a merge, several at once on one component, and without write access.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "provider_test_support.h"

namespace {

using namespace provider_test;
using namespace std::chrono_literals;
using plat_test::ChildProcess;

std::vector<std::string> jovaprv(std::vector<std::string> args) {
    args.insert(args.begin(), JOVAPRV_PROGRAM);
    return args;
}

class ProviderHost : public ::testing::Test {
  protected:
    // A file holding the text, for "set" to read.
    std::string document(const std::string& name, const std::string& text) const {
        write_text(tree_.dir() / name, text);
        return (tree_.dir() / name).string();
    }
    ProviderTree tree_;
};

TEST_F(ProviderHost, CommandsAndExitCodes) {
    tree_.add_component("Comp");
    const struct {
        std::vector<std::string> args;
        std::string input;  // standard input, if any
        int code;
        const char* out;
        const char* err;
    } cases[] = {
        {{"--help"}, "", 0, "Usage: jovaprv", ""},
        {{}, "", 2, "", "Usage: jovaprv"},
        {{"define"}, "", 2, "", "Usage: jovaprv"},
        {{"get", "Comp", "extra"}, "", 2, "", "Usage: jovaprv"},
        {{"list"}, "", 0, "    <name>Comp</name>\n", ""},
        {{"define", "Comp"}, "", 0, "<name>Alpha</name>", ""},
        {{"get", "Comp"}, "", 0, "<Alpha>5</Alpha>", ""},
        {{"get", "Nope"}, "", 1, "", ""},
        {{"set", "Comp", (tree_.dir() / "nowhere.xml").string()}, "", 3, "", "cannot open"},
        {{"set", "Comp", "-"}, std::string("<config>\0</config>", 18), 3, "", "NUL"},
        {{"set", "Comp", document("new.xml", "<config><Alpha>8</Alpha></config>")}, "", 0, "", ""},
        {{"set", "Comp", "-"}, "<config><Beta>piped</Beta></config>", 0, "", ""},
        {{"get", "Comp"}, "", 0, "<Alpha>8</Alpha>\n  <Beta>piped</Beta>", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = jovaprv(c.args);
        if (!c.input.empty()) {
            const std::string in = document("in.txt", c.input);
            args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$@\" < '" + in + "'", "sh"});
        }
        ChildProcess host(args);
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        EXPECT_EQ(host.wait_exit(30s), c.code);
        EXPECT_NE(host.out().find(c.out), std::string::npos) << host.out();
        EXPECT_NE(host.err().find(c.err), std::string::npos) << host.err();
    }
}

// A value file of about 50 kB and one marker item that each call changes.
constexpr int kEntries = 1000;

std::string large_values(int marker) {
    std::string text = "<config>\n";
    for (int i = 0; i < kEntries; ++i) {
        text +=
            "  <Entry>entry " + std::to_string(100000 + i) + " of the large value file</Entry>\n";
    }
    return text + "  <Marker>" + std::to_string(marker) + "</Marker>\n</config>\n";
}

// The marker of a whole value file, or -1 when the file is not whole.
int whole_marker(const std::string& text) {
    const std::size_t at = text.find("<Marker>");
    int entries = 0;
    for (std::size_t e = text.find("<Entry>"); e != std::string::npos;
         e = text.find("<Entry>", e + 1)) {
        ++entries;
    }
    if (entries != kEntries || at == std::string::npos || text.size() < 10 ||
        text.compare(text.size() - 10, 10, "</config>\n") != 0) {
        return -1;
    }
    return std::atoi(text.c_str() + at + 8);
}

TEST_F(ProviderHost, KilledAnywhereInAMergeLeavesTheValueFileWhole) {
    const fs::path home = tree_.add_component("Comp", "", large_values(0)).parent_path();
    write_text(home / "def.xml",
               "<config_define><item><name>Entry</name><type>string</type><number>0</number>"
               "</item><item><name>Marker</name><type>integer</type><default>0</default></item>"
               "</config_define>");
    const auto set_marker = [&](int marker) {
        return jovaprv({"set", "Comp",
                        document("new.xml", "<config><Marker>" + std::to_string(marker) +
                                                "</Marker></config>")});
    };
    // How long one whole call takes: kills fall anywhere in it.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ChildProcess(set_marker(1)).wait_exit(30s), 0);
    const long whole = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    ASSERT_EQ(whole_marker(read_text(home / "cfg.xml")), 1);
    // At least 200 kills; the window shrinks when calls end before their kill, as they do
    // when the machine is less busy than during the first call.
    std::mt19937 random(12345);
    long window = whole;
    int committed = 1;
    int killed = 0;
    for (int marker = 2; killed < 200 && marker < 800; ++marker) {
        ChildProcess host(set_marker(marker));
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<long>(0, window)(random)));
        host.signal(SIGKILL);
        const int code = host.wait_exit(30s);
        if (code == 128 + SIGKILL) {
            ++killed;
        } else {
            window = window * 9 / 10;
        }
        const int now = whole_marker(read_text(home / "cfg.xml"));
        ASSERT_TRUE(now == committed || now == marker)
            << "after a kill at marker " << marker << " the file holds " << now;
        ASSERT_TRUE(code != 0 || now == marker);
        committed = now;
    }
    EXPECT_GE(killed, 200);
    // Whatever a killed call left beside the value file does not stop the next one.
    ChildProcess last(set_marker(7777));
    EXPECT_EQ(last.wait_exit(30s), 0) << last.err();
    EXPECT_EQ(whole_marker(read_text(home / "cfg.xml")), 7777);
}

TEST_F(ProviderHost, MergesOfOneComponentTakeTurns) {
    constexpr int kWriters = 6;
    std::string definition = "<config_define>";
    for (int i = 0; i < kWriters; ++i) {
        definition += "<item><name>I" + std::to_string(i) +
                      "</name><type>integer</type><default>0</default></item>";
    }
    const fs::path home = tree_.add_component("Comp", "", "<config></config>").parent_path();
    write_text(home / "def.xml", definition + "</config_define>");
    const auto item = [](int round, int i) {
        const std::string name = "I" + std::to_string(i);
        return "<" + name + ">" + std::to_string(round * 100 + i) + "</" + name + ">";
    };
    for (int round = 1; round <= 3; ++round) {
        std::vector<std::unique_ptr<ChildProcess>> hosts;
        for (int i = 0; i < kWriters; ++i) {
            const std::string file = document("new-" + std::to_string(i) + ".xml",
                                              "<config>" + item(round, i) + "</config>");
            hosts.push_back(std::make_unique<ChildProcess>(jovaprv({"set", "Comp", file})));
        }
        for (auto& host : hosts) {
            EXPECT_EQ(host->wait_exit(30s), 0) << host->err();
        }
        // Interleaved merges would each write what they read before the other's replace.
        const std::string now = read_text(home / "cfg.xml");
        for (int i = 0; i < kWriters; ++i) {
            EXPECT_NE(now.find(item(round, i)), std::string::npos) << "round " << round << "\n"
                                                                   << now;
        }
    }
}

TEST_F(ProviderHost, WithoutWriteAccessTheValueFileStays) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the tool as another user";
    }
    // Everything belongs to root: to the user nobody the directory is read-only.
    const fs::path home = tree_.add_component("Comp").parent_path();
    fs::permissions(tree_.dir(), fs::perms(0755));
    ChildProcess host(
        jovaprv({"set", "Comp", document("new.xml", "<config><Alpha>6</Alpha></config>")}), 65534);
    EXPECT_EQ(host.wait_exit(30s), 1);
    EXPECT_NE(host.err().find("ERROR:don't write file (" + (home / "cfg.tmp").string() + ")."),
              std::string::npos)
        << host.err();
    EXPECT_EQ(read_text(home / "cfg.xml"), kValues);
}

}  // namespace
