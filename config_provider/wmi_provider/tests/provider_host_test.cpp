// jovaprv as an administrator runs it: its commands and exit codes, killed in the middle of
// a merge, several at once on one component, and without write access.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "provider_test_support.h"

extern char** environ;

namespace {

using namespace provider_test;

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// jovaprv started with its standard streams in files; as another user when uid >= 0.
class Host {
  public:
    Host(const fs::path& dir, std::vector<std::string> args, const std::string& input = "",
         int uid = -1)
        : out_(dir / ("out-" + std::to_string(serial_))),
          err_(dir / ("err-" + std::to_string(serial_))) {
        const fs::path in = dir / ("in-" + std::to_string(serial_++));
        write_text(in, input);
        args.insert(args.begin(), JOVAPRV_PROGRAM);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (uid >= 0) {
            pid_ = fork();
            if (pid_ == 0) {
                const int i = open(in.c_str(), O_RDONLY);
                const int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                const int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (i < 0 || o < 0 || e < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
                    setgid(uid) != 0 || setuid(uid) != 0) {
                    _exit(126);
                }
                execve(argv[0], argv.data(), environ);
                _exit(127);
            }
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Host() { wait(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The exit code; 128 + signal when killed.
    int wait() {
        if (pid_ > 0) {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return code_;
    }
    void kill_now() const {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
        }
    }
    std::string out() const { return read_text(out_); }
    std::string err() const { return read_text(err_); }

  private:
    static inline int serial_ = 0;
    fs::path out_;
    fs::path err_;
    pid_t pid_ = -1;
    int code_ = -1;
};

class ProviderHost : public ::testing::Test {
  protected:
    ProviderTree tree_;
};

TEST_F(ProviderHost, CommandsAndExitCodes) {
    tree_.add_component("Comp");
    write_text(tree_.dir() / "new.xml", "<config><Alpha>8</Alpha></config>");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int code;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"--help"}, "", 0, "Usage: jovaprv", ""},
        {{"--version"}, "", 0, "jovaprv ", ""},
        {{}, "", 2, "", "Usage: jovaprv"},
        {{"define"}, "", 2, "", "Usage: jovaprv"},
        {{"get", "Comp", "extra"}, "", 2, "", "Usage: jovaprv"},
        {{"list"}, "", 0, "    <name>Comp</name>\n", ""},
        {{"define", "Comp"}, "", 0, "<name>Alpha</name>", ""},
        {{"get", "Comp"}, "", 0, "<Alpha>5</Alpha>", ""},
        {{"get", "Nope"}, "", 1, "", ""},
        {{"set", "Comp", (tree_.dir() / "nowhere.xml").string()}, "", 3, "", "cannot open"},
        {{"set", "Comp", "-"}, std::string("<config>\0</config>", 18), 3, "", "NUL"},
        {{"set", "Comp", (tree_.dir() / "new.xml").string()}, "", 0, "", ""},
        {{"set", "Comp", "-"}, "<config><Beta>piped</Beta></config>", 0, "", ""},
        {{"get", "Comp"}, "", 0, "<Beta>piped</Beta>", ""},
    };
    for (const Case& c : cases) {
        Host host(tree_.dir(), c.args, c.input);
        const std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(host.wait(), c.code) << what;
        EXPECT_NE(host.out().find(c.out), std::string::npos) << what << ": " << host.out();
        EXPECT_NE(host.err().find(c.err), std::string::npos) << what << ": " << host.err();
    }
    EXPECT_NE(read_text(tree_.comp("Comp") / "cfg.xml").find("<Alpha>8</Alpha>"),
              std::string::npos);
}

// A value file of about 50 kB and one marker item that each call changes.
constexpr char kLargeDefinition[] =
    "<config_define><item><name>Entry</name><type>string</type><number>0</number></item>"
    "<item><name>Marker</name><type>integer</type><default>0</default></item></config_define>";
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
    if (count_of(text, "<Entry>") != kEntries || at == std::string::npos || text.size() < 10 ||
        text.compare(text.size() - 10, 10, "</config>\n") != 0) {
        return -1;
    }
    return std::atoi(text.c_str() + at + 8);
}

TEST_F(ProviderHost, KilledAnywhereInAMergeLeavesTheValueFileWhole) {
    const fs::path home = tree_.add_component("Comp", "", large_values(0)).parent_path();
    write_text(home / "def.xml", kLargeDefinition);
    const auto set_marker = [&](int marker) {
        write_text(tree_.dir() / "new.xml",
                   "<config><Marker>" + std::to_string(marker) + "</Marker></config>");
        return std::vector<std::string>{"set", "Comp", (tree_.dir() / "new.xml").string()};
    };
    // How long one whole call takes: kills fall anywhere in it.
    const auto start = std::chrono::steady_clock::now();
    {
        Host host(tree_.dir(), set_marker(1));
        ASSERT_EQ(host.wait(), 0) << host.err();
    }
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
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
        Host host(tree_.dir(), set_marker(marker));
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<long>(0, window)(random)));
        host.kill_now();
        const int code = host.wait();
        if (code == 128 + SIGKILL) {
            ++killed;
        } else {
            window = window * 9 / 10;
        }
        const int now = whole_marker(read_text(home / "cfg.xml"));
        ASSERT_TRUE(now == committed || now == marker)
            << "after a kill at marker " << marker << " the file holds " << now;
        if (code == 0) {
            ASSERT_EQ(now, marker);
        }
        committed = now;
    }
    EXPECT_GE(killed, 200);
    // Whatever a killed call left beside the value file does not stop the next one.
    Host host(tree_.dir(), set_marker(7777));
    EXPECT_EQ(host.wait(), 0) << host.err();
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
    for (int round = 1; round <= 3; ++round) {
        std::vector<std::unique_ptr<Host>> hosts;
        for (int i = 0; i < kWriters; ++i) {
            const std::string value = std::to_string(round * 100 + i);
            hosts.push_back(std::make_unique<Host>(tree_.dir(),
                                                   std::vector<std::string>{"set", "Comp", "-"},
                                                   "<config><I" + std::to_string(i) + ">" + value +
                                                       "</I" + std::to_string(i) + "></config>"));
        }
        for (auto& host : hosts) {
            EXPECT_EQ(host->wait(), 0) << host->err();
        }
        // Interleaved merges would each write what they read before the other's replace.
        const std::string now = read_text(home / "cfg.xml");
        for (int i = 0; i < kWriters; ++i) {
            const std::string item = "<I" + std::to_string(i) + ">" +
                                     std::to_string(round * 100 + i) + "</I" + std::to_string(i) +
                                     ">";
            EXPECT_NE(now.find(item), std::string::npos)
                << "round " << round << " lost " << item << "\n"
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
    Host host(tree_.dir(), {"set", "Comp", "-"}, "<config><Alpha>6</Alpha></config>", 65534);
    EXPECT_EQ(host.wait(), 1);
    EXPECT_NE(host.err().find("ERROR:don't write file (" + (home / "cfg.tmp").string() + ")."),
              std::string::npos)
        << host.err();
    EXPECT_EQ(read_text(home / "cfg.xml"), kValues);
}

}  // namespace
