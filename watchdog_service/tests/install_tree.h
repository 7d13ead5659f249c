// An install tree of the test's own for the code that reads the settings through the settings
// store: the provider's lib directory with the built library, the shipped settings files,
// and the registry keys that point at both. POSIX: in a registry of the tree's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "plat/dl.h"
#include "plat/registry.h"
#include "scoped_env.h"
#include "scratch_dir.h"

namespace wdt_test {

inline int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Polls until the condition holds; fails naming `what` after the time-out.
inline bool eventually(const std::function<bool()>& condition, const std::string& what,
                       int timeout_ms = 8000) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) {
            ADD_FAILURE() << "timed out waiting for: " << what;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class InstallTree {
  public:
    // `registry_form` turns a host path into the form the registry holds.
    explicit InstallTree(std::string (*registry_form)(const std::string&) = nullptr) {
        namespace fs = std::filesystem;
        fs::create_directories(root() / "registry" / "registry.d");
        fs::create_directories(root() / "or" / "log");
        fs::create_directories(root() / "pv" / "lib");
        fs::copy_file(JOVACFG_LIBRARY_FILE, library());
        for (const char* file : {"jowdtdef.xml", "jowdtcfg.xml"}) {
            plat_test::write_text(cnf() / file,
                                  plat_test::read_text(fs::path(PACKAGING_DIR) / "cnf" / file));
        }
        for (const auto& [key, directory] :
             {std::pair{"KTL-OR", "or"}, std::pair{"KTL-PV", "pv"}}) {
            plat::RegistryKey location;
            const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
            const std::string value = (root() / directory).string();
            EXPECT_TRUE(location.create(plat::RegistryRoot::local_machine, path.c_str()));
            EXPECT_TRUE(location.set_string(
                "Path00", (registry_form != nullptr ? registry_form(value) : value).c_str()));
        }
    }
    ~InstallTree() {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
    }
    InstallTree(const InstallTree&) = delete;
    InstallTree& operator=(const InstallTree&) = delete;

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path cnf() const { return root() / "or" / "cnf"; }
    std::filesystem::path library() const {
        char name[64];
        return root() / "pv" / "lib" / plat::shared_library_file_name("jovacfg", name, sizeof name);
    }
    void write_values(const std::string& items) const {
        plat_test::write_text(cnf() / "jowdtcfg.xml", "<config>\n" + items + "</config>\n");
    }
    // The shortest valid value file; the service raises the countdown to fit ten resets of at
    // least the minimum interval.
    void write_timing(int timeout, bool watching = true) const {
        write_values("  <TimeoutInterval>" + std::to_string(timeout) +
                     "</TimeoutInterval>\n  <IntervalCount>10</IntervalCount>\n"
                     "  <MinimumInterval>15</MinimumInterval>\n  <ErrorWatching>" +
                     (watching ? "TRUE" : "FALSE") + "</ErrorWatching>\n");
    }
    // Every trace file the service wrote, one after the other.
    std::string trace() const {
        std::string all;
        for (const auto& file : std::filesystem::directory_iterator(root() / "or" / "log")) {
            all += plat_test::read_text(file.path());
        }
        return all;
    }
    bool trace_count(const std::string& text, int at_least, int timeout_ms = 8000) const {
        return eventually([&] { return count_of(trace(), text) >= at_least; },
                          "trace \"" + text + "\" x" + std::to_string(at_least), timeout_ms);
    }

  private:
    plat_test::ScratchDir dir_;
#ifndef _WIN32
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", (dir_.path() / "registry").string()};
#endif
};

}  // namespace wdt_test
