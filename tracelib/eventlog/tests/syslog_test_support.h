// Registered event sources, and on POSIX a socket standing in for the syslog daemon.
// POSIX: sources live in a scratch registry (VARMOTH_REGISTRY) and events arrive at the
// socket (VARMOTH_SYSLOG_SOCKET). Windows: sources are keys of the real registry, and events
// cannot be read back (under Wine the event log keeps none), so tests check results there.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ktlorsym_syslog.h"
#include "plat/registry.h"
#include "scratch_dir.h"
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "posix_test_support.h"
#endif

namespace syslog_test {

#if defined(_WIN32)
constexpr bool kEventsReadable = false;
constexpr int kNotFound = ERROR_FILE_NOT_FOUND;
struct SyslogLine {
    int priority = -1;
    std::string tag;
    long pid = -1;
    std::string message;
};
inline unsigned long thread_id() {
    return GetCurrentThreadId();
}
inline unsigned long process_id() {
    return GetCurrentProcessId();
}
#else
constexpr bool kEventsReadable = true;
constexpr int kNotFound = ENOENT;
using plat_test::SyslogLine;
inline unsigned long thread_id() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}
inline unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
}
#endif

constexpr const char* kEventsUnreadable =
    "events cannot be read back from the Windows event log (under Wine it keeps none)";

// For tests about what the events say, beyond the results of the calls.
#define SKIP_UNLESS_EVENTS_READABLE()                   \
    if (!syslog_test::kEventsReadable) {                \
        GTEST_SKIP() << syslog_test::kEventsUnreadable; \
    }

inline std::string hex8(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%08lX", value);
    return text;
}

constexpr int tagged(int step, int error) {
    return (step << 24) | error;
}

// The registry key of an event source.
inline std::string source_key(const std::string& name) {
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
}

class SysLogTest : public ::testing::Test {
  protected:
    // The product's own sources. On Windows they stay registered afterwards, as installation
    // leaves them, because test programs running side by side share them.
    void SetUp() override {
        for (const char* name : {"Orvalis", "KTLOR Trace"}) {
            plat::RegistryKey key;
            const plat::Status status =
                key.create(plat::RegistryRoot::local_machine, source_key(name).c_str());
            if (!status.ok()) {
                GTEST_SKIP() << "event sources cannot be registered here: error " << status.error;
            }
            key.set_string("EventMessageFile", "zuno2KTLORLIBsys_x64.dll");
        }
    }
    void TearDown() override {
        KTLORSYM_CloseSysLog();
        KTLORSYM_SetLogMask(127);
        KTLORSYM_SetEventSrcName("KTLOR Trace");
        for (const std::string& name : own_sources_) {
            unregister(name);
        }
    }

    // A source of this test, unregistered at its end.
    void register_source(const std::string& name) {
        ASSERT_TRUE(plat::RegistryKey()
                        .create(plat::RegistryRoot::local_machine, source_key(name).c_str())
                        .ok());
        own_sources_.push_back(name);
    }
    void unregister(const std::string& name) {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, source_key(name).c_str());
    }

    // The next event the daemon got; the message of the event that a put sent; whether no
    // further event arrived.
    SyslogLine next_event() {
#if defined(_WIN32)
        ADD_FAILURE() << kEventsUnreadable;
#else
        const auto datagram = daemon_.receive();
        if (const auto line = datagram ? plat_test::parse_syslog(*datagram) : std::nullopt) {
            return *line;
        }
        ADD_FAILURE() << (datagram ? "not a syslog line: " + *datagram : "no event arrived");
#endif
        return {};
    }
    std::string sent(int put_result) {
        EXPECT_EQ(put_result, 0);
        return next_event().message;
    }
    bool idle() {
#if defined(_WIN32)
        ADD_FAILURE() << kEventsUnreadable;
        return false;
#else
        return daemon_.idle();
#endif
    }

    // The "[pid]: " after the ident, and the thread id as a put adds it: "[tid] ".
    // std::string first: "[" + std::string&& trips a false overlap warning of optimising g++ 12.
    const std::string pid_ = std::string("[") + hex8(process_id()) + "]: ";
    const std::string tid_ = std::string("[") + hex8(thread_id()) + "] ";
    plat_test::ScratchDir dir_;
#if !defined(_WIN32)
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", dir_.path().string()};
    plat_test::ScopedEnv socket_{"VARMOTH_SYSLOG_SOCKET", dir_ / "log.sock"};
    plat_test::DatagramReceiver daemon_{dir_ / "log.sock", 1 << 20};
#endif

  private:
    std::vector<std::string> own_sources_;
};

// A heap output, deleted at the end of the scope.
class Output {
  public:
    Output() { created_ = KTLORSYM_CreateSysLogInstance(&instance_); }
    ~Output() { KTLORSYM_DeleteSysLogInstance(instance_); }  // refuses a null one harmlessly
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    SysLogInstance* get() const { return instance_; }
    int created() const { return created_; }

  private:
    SysLogInstance* instance_ = nullptr;
    int created_ = -1;
};

}  // namespace syslog_test
