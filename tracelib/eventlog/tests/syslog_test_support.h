// A scratch registry with registered event sources and a socket standing in for the syslog
// daemon, both reached through the environment overrides.
#pragma once

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>

#include "ktlorsym_syslog.h"
#include "posix_test_support.h"

namespace syslog_test {

inline std::string hex8(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%08lX", value);
    return text;
}

inline unsigned long thread_id() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

inline std::string process_id_text() {
    return hex8(static_cast<unsigned long>(getpid()));
}

constexpr int tagged(int step, int error) {
    return (step << 24) | error;
}

class SysLogTest : public ::testing::Test {
  protected:
    SysLogTest() { register_sources("sources.reg", {"Orvalis", "KTLOR Trace", "TestSource"}); }
    ~SysLogTest() override {
        KTLORSYM_CloseSysLog();
        KTLORSYM_SetLogMask(127);
        KTLORSYM_SetEventSrcName("KTLOR Trace");
    }

    void register_sources(const std::string& file, std::initializer_list<const char*> names) {
        std::string text = "Windows Registry Editor Version 5.00\n\n";
        for (const char* name : names) {
            text += std::string(
                        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog"
                        "\\Application\\") +
                    name + "]\n\"EventMessageFile\"=\"zuno2KTLORLIBsys_x64\"\n\n";
        }
        plat_test::write_text(dir_.path() / "registry.d" / file, text);
    }
    void unregister(const std::string& file) {
        std::filesystem::remove(dir_.path() / "registry.d" / file);
    }

    // The next event the daemon got.
    plat_test::SyslogLine next_event() {
        const auto datagram = daemon_.receive();
        if (!datagram) {
            ADD_FAILURE() << "no event arrived";
            return {};
        }
        const auto line = plat_test::parse_syslog(*datagram);
        if (!line) {
            ADD_FAILURE() << "not a syslog line: " << *datagram;
            return {};
        }
        return *line;
    }

    plat_test::ScratchDir dir_;
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", dir_.path().string()};
    plat_test::ScopedEnv socket_{"VARMOTH_SYSLOG_SOCKET", dir_ / "log.sock"};
    plat_test::DatagramReceiver daemon_{dir_ / "log.sock", 1 << 20};
};

// A heap output, deleted at the end of the scope.
class Output {
  public:
    Output() { created_ = KTLORSYM_CreateSysLogInstance(&instance_); }
    ~Output() {
        if (instance_ != nullptr) {
            KTLORSYM_DeleteSysLogInstance(instance_);
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    SysLogInstance* get() const { return instance_; }
    int created() const { return created_; }

  private:
    SysLogInstance* instance_ = nullptr;
    int created_ = -1;
};

}  // namespace syslog_test
