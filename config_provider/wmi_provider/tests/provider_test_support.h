// A provider install tree of the test's own: registry files, the settings store library in
// the lib directory, the registration files' definition, and components made on demand.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "plat/dl.h"
#include "plat/registry.h"
#include "scoped_env.h"
#include "scratch_dir.h"

namespace provider_test {

namespace fs = std::filesystem;
using plat_test::read_text;
using plat_test::write_text;

constexpr char kAssistKey[] = "SOFTWARE\\VARMOTH\\KTL-PV\\ASSIST";

// Five kinds of items; Multi may hold any number of values.
constexpr char kDefinition[] = R"(<config_define>
  <name>Comp</name>
  <description>R&D > all</description>
  <dispstring>Test component</dispstring>
  <item><name>Alpha</name><type>integer</type><default>1</default></item>
  <item><name>Beta</name><type>string</type><default>b</default></item>
  <item><name>Gamma</name><type>boolean</type><default>FALSE</default></item>
  <item><name>Mode</name><type>enumeration</type><enum><Off/><On/></enum><default>Off</default></item>
  <item><name>Multi</name><type>integer</type><number>0</number><default>0</default></item>
</config_define>
)";
constexpr char kValues[] =
    "<config>\n  <Alpha>5</Alpha>\n  <Beta>old</Beta>\n  <Multi>1</Multi>\n  <Multi>2</Multi>\n"
    "</config>\n";

// The shortest valid watchdog settings; the service raises the countdown to fit ten resets of
// at least the minimum interval (150 s).
inline std::string watchdog_values(int timeout) {
    return "<config>\n  <TimeoutInterval>" + std::to_string(timeout) +
           "</TimeoutInterval>\n  <IntervalCount>10</IntervalCount>\n"
           "  <MinimumInterval>15</MinimumInterval>\n  <ErrorWatching>TRUE</ErrorWatching>\n"
           "</config>\n";
}

class ProviderTree {
  public:
    ProviderTree() {
        fs::create_directories(root_.path() / "registry" / "registry.d");
        fs::create_directories(pv() / "lib");
        char library[64];
        fs::copy_file(
            JOVACFG_LIBRARY_FILE,
            pv() / "lib" / plat::shared_library_file_name("jovacfg", library, sizeof library));
        write_text(pv() / "cnf" / "jovacnsw.xml", read_text(fs::path(CNF_DIR) / "jovacnsw.xml"));
        set_string("SOFTWARE\\VARMOTH\\KTL-PV\\0001\\PathName", "Path00", pv().string());
    }
    ~ProviderTree() {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
    }
    ProviderTree(const ProviderTree&) = delete;
    ProviderTree& operator=(const ProviderTree&) = delete;

    fs::path pv() const { return root_.path() / "pv"; }
    fs::path dir() const { return root_.path(); }
    // A component's own directory.
    fs::path comp(const std::string& name) const { return root_.path() / "comp" / name; }

    static void set_string(const char* key_path, const char* name, const std::string& value) {
        plat::RegistryKey key;
        ASSERT_TRUE(key.create(plat::RegistryRoot::local_machine, key_path));
        ASSERT_TRUE(key.set_string(name, value.c_str()));
    }

    // A component with its definition and value files beside its registration file; the
    // notice is the registration file's "notice" element (empty: none).
    fs::path add_component(const std::string& name, const std::string& notice = "",
                           const std::string& values = kValues) const {
        const fs::path home = comp(name);
        write_text(home / "def.xml", kDefinition);
        write_text(home / "cfg.xml", values);
        const fs::path registration = home / "reg.xml";
        write_registration(registration, "<define>" + (home / "def.xml").string() +
                                             "</define><config>" + (home / "cfg.xml").string() +
                                             "</config>" + notice);
        set_string(kAssistKey, name.c_str(), registration.string());
        return registration;
    }
    static void write_registration(const fs::path& path, const std::string& body) {
        write_text(path, "<config>" + body + "</config>\n");
        chmod(path.c_str(), 0644);
    }

#ifdef PACKAGING_DIR
    // The watchdog service as the installed drop-ins register it, with its shipped files under
    // "or" and its window sockets under "run" (VARMOTH_RUNTIME_DIR). Its value file.
    fs::path add_watchdog() const {
        const fs::path cnf = root_.path() / "or" / "cnf";
        fs::create_directories(root_.path() / "or" / "log");
        fs::create_directories(root_.path() / "run");
        fs::permissions(root_.path() / "run", fs::perms(0755));
        for (const char* file : {"jowdtdef.xml", "jowdtcns.xml"}) {
            write_text(cnf / file, read_text(fs::path(PACKAGING_DIR) / "cnf" / file));
        }
        write_text(cnf / "jowdtcfg.xml", watchdog_values(60));
        set_string("SOFTWARE\\VARMOTH\\KTL-OR\\0001\\PathName", "Path00",
                   (root_.path() / "or").string());
        set_string(kAssistKey, "Orvalis", (cnf / "jowdtcns.xml").string());
        return cnf / "jowdtcfg.xml";
    }
#endif

  private:
    plat_test::ScratchDir root_;
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", (root_.path() / "registry").string()};
};

}  // namespace provider_test
