// The provider's work in process: installation paths and registry references, the store
// binding, the component list, reading and merging setting files, and the notice.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "component_files.h"
#include "jovaprv/provider_methods.h"
#include "notification.h"
#include "provider_paths.h"
#include "provider_test_support.h"

namespace {

using namespace provider_test;
using jovaprv::kReturnFailed;
using jovaprv::kReturnSucceeded;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr char kProduct[] = "SOFTWARE\\VARMOTH\\KTL-PV";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Provider : public ::testing::Test {
  protected:
    void SetUp() override { jovaprv::read_install_paths(); }
    fs::path file(const char* name) const { return tree_.comp("Comp") / name; }
    ProviderTree tree_;
};

TEST_F(Provider, InstallDirectoryFromTheLargestNumberedSubkey) {
    const struct {
        std::vector<const char*> subkeys;
        const char* opened;  // the key holding PathName; null: no installation directory
    } cases[] = {
        {{"0001", "0003", "abc"}, "0003"},
        {{"12"}, "0012"},
        {{" +7 ", "-9", "4294967296", "2147483648", "1x"}, "0007"},
        {{"0", "abc", ""}, nullptr},
    };
    const std::string product = std::string(kProduct) + "\\";
    for (const auto& c : cases) {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, kProduct);
        for (const char* subkey : c.subkeys) {
            plat::RegistryKey().create(plat::RegistryRoot::local_machine,
                                       (product + subkey).c_str());
        }
        if (c.opened) {
            ProviderTree::set_string((product + c.opened + "\\PathName").c_str(), "Path00",
                                     std::string("/inst/") + c.opened);
        }
        jovaprv::install_paths() = {};
        const jovaprv::Code code = jovaprv::read_install_paths_code();
        const jovaprv::InstallPaths& paths = jovaprv::install_paths();
        EXPECT_EQ(paths.component_key, std::string(kProduct) + "\\ASSIST");
        EXPECT_EQ(code, c.opened ? jovaprv::kOk : jovaprv::kCodeParam) << c.subkeys[0];
        const std::string base = c.opened ? std::string("/inst/") + c.opened : "";
        EXPECT_EQ(paths.lib, c.opened ? base + "/lib" : "");
        EXPECT_EQ(paths.cnf + paths.bin, c.opened ? base + "/cnf" + base + "/bin" : "");
    }
}

TEST_F(Provider, RegistryReferencesAndPaths) {
    ProviderTree::set_string("SOFTWARE\\VARMOTH\\KTL-OR", "PathName", "/opt/or");
    const std::string ref = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]";
    const struct {
        std::string text;
        jovaprv::Code code;
        std::string expanded;
    } cases[] = {
        {ref + "\\cnf\\jowdtdef.xml", jovaprv::kOk, "/opt/or\\cnf\\jowdtdef.xml"},
        {"a" + ref + "b", jovaprv::kOk, "a/opt/orb"},
        {"[HKLM\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]/x", jovaprv::kOk,
         "[HKLM\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]/x"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\Missing]/x.xml", jovaprv::kCodeRegistry,
         "/x.xml"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere\\PathName]/x.xml", jovaprv::kCodeRegistry,
         "/x.xml"},
        {"[no backslash]/x", jovaprv::kOk, "[no backslash]/x"},
        {ref.substr(0, ref.size() - 1) + "/x", jovaprv::kOk, ref.substr(0, ref.size() - 1) + "/x"},
    };
    std::string out;
    for (const auto& c : cases) {
        EXPECT_EQ(jovaprv::expand_registry_references(c.text.c_str(), &out), c.code) << c.text;
        EXPECT_EQ(out, c.expanded) << c.text;
    }
    // Cut to a path's 259 characters, never inside a character.
    const std::string wide = "\xC3\xA9" + std::string(300, 'x') + "\xC3\xA9";
    EXPECT_EQ(jovaprv::expand_registry_references(wide.c_str(), &out), jovaprv::kOk);
    EXPECT_EQ(out.size(), 2u + 258u);

    EXPECT_EQ(jovaprv::join_path("/a/", "b", &out), jovaprv::kOk);
    EXPECT_EQ(out, "/a/b");
    EXPECT_EQ(jovaprv::join_path(std::string(250, 'd'), "123456789", &out), jovaprv::kCodeRange);
    EXPECT_EQ(jovaprv::parent_path("/bin", &out), jovaprv::kOk);
    EXPECT_EQ(out, "/");
    EXPECT_EQ(jovaprv::parent_path("bin", &out), jovaprv::kCodeParam);
}

TEST_F(Provider, StoreWithoutOneExportIsNotUsed) {
    jovaprv::Store store;
    EXPECT_EQ(store.bind_path(LACKING_LIBRARY_FILE), jovaprv::kCodeStore);
    EXPECT_FALSE(store.bound());
    EXPECT_EQ(store.DataGet, nullptr);
    // And so no method runs on it.
    fs::copy_file(LACKING_LIBRARY_FILE, tree_.pv() / "lib" / "libjovacfg.so",
                  fs::copy_options::overwrite_existing);
    tree_.add_component("Comp");
    const jovaprv::TextResult list = jovaprv::get_component_list();
    EXPECT_EQ(list.return_value, kReturnFailed);
    EXPECT_TRUE(list.has_text && list.text.empty());
    EXPECT_EQ(jovaprv::set_config_data("Comp", "<config/>"), kReturnFailed);
}

TEST_F(Provider, ComponentListDocument) {
    EXPECT_EQ(jovaprv::get_component_list().text, "<programs>\n</programs>\n");  // no ASSIST key

    tree_.add_component("Comp");
    // Name only: a definition without description and display string, a registration file
    // that is missing, a value that is not a string.
    const fs::path bare = tree_.comp("Bare");
    write_text(bare / "def.xml", "<config_define><item><name>x</name></item></config_define>");
    ProviderTree::write_registration(bare / "reg.xml",
                                     "<define>" + (bare / "def.xml").string() + "</define>");
    ProviderTree::set_string(kAssistKey, "Bare", (bare / "reg.xml").string());
    ProviderTree::set_string(kAssistKey, "a<b>&c", "/nowhere/reg.xml");
    plat::RegistryKey assist;
    ASSERT_TRUE(assist.create(plat::RegistryRoot::local_machine, kAssistKey));
    ASSERT_TRUE(assist.set_dword("Number", 1));

    CaptureStderr();
    const jovaprv::TextResult list = jovaprv::get_component_list();
    const std::string errors = GetCapturedStderr();
    EXPECT_EQ(list.return_value, kReturnSucceeded);
    EXPECT_EQ(list.text,
              "<programs>\n"
              "  <program>\n    <name>Comp</name>\n"
              "    <description>R&amp;D &gt; all</description>\n"
              "    <dispstring>Test component</dispstring>\n  </program>\n"
              "  <program>\n    <name>Bare</name>\n  </program>\n"
              "  <program>\n    <name>a&lt;b&gt;&amp;c</name>\n  </program>\n"
              "</programs>\n");
    EXPECT_TRUE(contains(errors, "ERROR:don't read file (/nowhere/reg.xml).")) << errors;
}

TEST_F(Provider, ReadingAComponentsFiles) {
    tree_.add_component("Comp");
    EXPECT_EQ(jovaprv::get_config_define("Comp").text, kDefinition);
    write_text(file("cfg.xml"), "");
    jovaprv::TextResult data = jovaprv::get_config_data("Comp");
    EXPECT_EQ(data.return_value, kReturnSucceeded);
    EXPECT_TRUE(data.has_text && data.text.empty());

    // Failures leave the text unset. How the registration file itself fails is shared with
    // the merge and tested there.
    const std::string define = "<define>" + file("def.xml").string() + "</define>";
    const struct {
        std::string registration;
        const char* component;
        const char* error;
    } cases[] = {
        {define, "Nope", ""},
        {define, nullptr, ""},
        {define, "Comp", "ERROR:not found XML tag <config>."},
        {"<config>/nowhere/cfg.xml</config>", "Comp", "ERROR:don't open file (/nowhere/cfg.xml)."},
        {"<config>[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope\\Path]/cfg.xml</config>", "Comp",
         "ERROR:don't read registory."},
    };
    for (const auto& c : cases) {
        ProviderTree::write_registration(file("reg.xml"), c.registration);
        CaptureStderr();
        data = jovaprv::get_config_data(c.component);
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(data.return_value, kReturnFailed) << c.registration;
        EXPECT_FALSE(data.has_text) << c.registration;
        EXPECT_TRUE(contains(errors, c.error)) << c.registration << ": " << errors;
    }
}

TEST_F(Provider, MergeChangesGivenItemsAndKeepsTheRest) {
    const struct {
        const char* document;
        std::vector<const char*> present;  // in the new value file
        std::vector<const char*> absent;
    } cases[] = {
        {"<config><Alpha>7</Alpha></config>",
         {"<Alpha>7</Alpha>", "<Beta>old</Beta>", "<Multi>1</Multi>", "<Multi>2</Multi>"},
         {"<Alpha>5</Alpha>", "Gamma", "Mode"}},
        // Added from the definition, then changed.
        {"<config><Gamma>TRUE</Gamma><Mode>On</Mode><Beta>new</Beta></config>",
         {"<Gamma>TRUE</Gamma>", "<Mode>On</Mode>", "<Beta>new</Beta>", "<Alpha>5</Alpha>"},
         {"<Beta>old</Beta>"}},
        // Given twice: left as it was.
        {"<config><Multi>8</Multi><Multi>9</Multi></config>",
         {"<Multi>1</Multi>", "<Multi>2</Multi>"},
         {"<Multi>8</Multi>", "<Multi>9</Multi>"}},
        // The store reads what it can and drops the rest: nothing changes.
        {"this is not markup", {"<Alpha>5</Alpha>", "<Multi>2</Multi>"}, {}},
        {"<config><Zeta>1</Zeta><Mode>Sideways</Mode><Alpha>x</Alpha></config>",
         {"<Alpha>5</Alpha>", "<Beta>old</Beta>"},
         {"Zeta", "Mode"}},
    };
    for (const auto& c : cases) {
        tree_.add_component("Comp");
        fs::remove(file("cfg.old"));
        // A stale temporary file from a provider killed earlier; permissions that must stay.
        write_text(file("cfg.tmp"), "stale");
        chmod(file("cfg.xml").c_str(), 0640);
        ASSERT_EQ(jovaprv::set_config_data("Comp", c.document), kReturnSucceeded) << c.document;
        const std::string now = read_text(file("cfg.xml"));
        for (const char* part : c.present) {
            EXPECT_TRUE(contains(now, part)) << c.document << " lacks " << part << "\n" << now;
        }
        for (const char* part : c.absent) {
            EXPECT_FALSE(contains(now, part)) << c.document << " has " << part << "\n" << now;
        }
        EXPECT_EQ(read_text(file("cfg.old")), kValues);
        EXPECT_FALSE(fs::exists(file("cfg.tmp")));
        struct stat info {};
        ASSERT_EQ(stat(file("cfg.xml").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u);
    }
}

TEST_F(Provider, FailedMergesLeaveTheValueFileAndTellNobody) {
    const std::string def = file("def.xml").string();
    const std::string cfg = file("cfg.xml").string();
    const std::string notice = "<notice><action>execute</action><command>" +
                               (tree_.dir() / "touch.sh").string() + "</command></notice>";
    write_text(tree_.dir() / "touch.sh", "#!/bin/sh\necho > \"$(dirname \"$0\")/notified\"\n");
    chmod((tree_.dir() / "touch.sh").c_str(), 0755);
    const struct {
        std::string registration;  // empty: the one add_component writes
        std::string document;
        const char* error;
    } cases[] = {
        {"", "<config><Beta>" + std::string(17 << 20, 'x') + "</Beta></config>",
         "ERROR:don't read data."},
        {"other component", "<config/>", ""},
        {"removed", "<config/>", "ERROR:don't read file (" /* the registration file */},
        {"\x01<<define>>", "<config/>", "ERROR:don't read \"define\" tag in "},
        {"<config>" + cfg + "</config>" + notice, "<config/>",
         "ERROR:don't read \"define\" tag in "},
        {"<define>" + def + "</define>" + notice, "<config/>",
         "ERROR:don't read \"config\" tag in "},
        {"<define>/nowhere/def.xml</define><config>" + cfg + "</config>", "<config/>",
         "ERROR:don't read file (/nowhere/def.xml)."},
        {"<define>" + def + "</define><config>/nowhere/cfg.xml</config>", "<config/>",
         "ERROR:don't read file (/nowhere/cfg.xml)."},
        {"<define>" + def + "</define><config>[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope\\P]" + cfg +
             "</config>",
         "<config/>", "ERROR:don't read registory."},
        {"read-only", "<config><Alpha>2</Alpha></config>", "ERROR:don't copy file ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.registration);
        tree_.add_component("Comp", notice);
        fs::remove(tree_.dir() / "notified");
        if (c.registration == "removed") {
            fs::remove(file("reg.xml"));
        } else if (c.registration == "read-only") {
            chmod(cfg.c_str(), 0444);
        } else if (!c.registration.empty() && c.registration != "other component") {
            ProviderTree::write_registration(file("reg.xml"), c.registration);
        }
        CaptureStderr();
        const char* component = c.registration == "other component" ? "Nope" : "Comp";
        EXPECT_EQ(jovaprv::set_config_data(component, c.document.c_str()), kReturnFailed);
        const std::string errors = GetCapturedStderr();
        EXPECT_TRUE(contains(errors, c.error)) << errors;
        EXPECT_EQ(read_text(cfg), kValues);
        EXPECT_FALSE(fs::exists(tree_.dir() / "notified"));
        chmod(cfg.c_str(), 0644);
    }
}

TEST_F(Provider, NoticeRecord) {
    // The action words in other case as well, so that the notice reads.
    write_text(tree_.dir() / "notice-def.xml", R"(<config_define>
  <item><name>notice</name><type>structure</type>
    <item><name>action</name><type>enumeration</type>
      <enum><execute/><Execute/><message/><noaction/></enum></item>
    <item><name>command</name><type>string</type></item>
    <item><name>arguments</name><type>string</type></item>
    <item><name>classname</name><type>string</type></item>
    <item><name>message</name><type>string</type></item>
    <item><name>windowname</name><type>string</type></item>
  </item>
</config_define>)");
    jovaprv::Store store;
    ASSERT_EQ(store.bind_path(JOVACFG_LIBRARY_FILE), jovaprv::kOk);
    using K = jovaprv::NoticeKind;
    const struct {
        const char* notice;
        K kind;
        const char* texts;  // command|arguments or class|window|message
    } cases[] = {
        {"<action>execute</action><command>/bin/x</command>", K::execute, "/bin/x|"},
        {"<action>execute</action><command>/bin/x</command><arguments>-a b</arguments>", K::execute,
         "/bin/x|-a b"},
        {"<action>execute</action>", K::none, ""},
        {"<action>Execute</action><command>/bin/x</command>", K::none, ""},
        {"<action>message</action><classname>C</classname><message>M</message>"
         "<windowname>W</windowname>",
         K::message, "C|W|M"},
        {"<action>message</action><message>M</message>", K::none, ""},
        {"<action>noaction</action><command>/bin/x</command>", K::none, ""},
        {"<command>/bin/x</command>", K::none, ""},
    };
    for (const auto& c : cases) {
        jovaprv::ConfigHandle handle(store);
        ASSERT_EQ(store.ConfigCreate((tree_.dir() / "notice-def.xml").c_str(), handle.out()), 0u);
        const std::string text = std::string("<config><notice>") + c.notice + "</notice></config>";
        ASSERT_EQ(store.ConfigReadFromData(text.c_str(), handle.get()), 0u) << c.notice;
        const jovaprv::Notice n = jovaprv::read_notice(store, handle.get());
        EXPECT_EQ(n.kind, c.kind) << c.notice;
        EXPECT_EQ(c.kind == K::execute   ? n.command + "|" + n.arguments
                  : c.kind == K::message ? n.class_name + "|" + n.window_name + "|" + n.message
                                         : "",
                  c.texts)
            << c.notice;
    }
}

TEST(CommandLine, QuotedCommandAndArgumentsAsWritten) {
    const struct {
        const char* command;
        std::string arguments;
        const char* line;  // null: refused
    } cases[] = {
        {"/opt/x/reload", "", "\"/opt/x/reload\""},
        {"/opt/x/reload", "-a 'b c' $HOME", "\"/opt/x/reload\" -a 'b c' $HOME"},
        {"/opt/x\" ; rm -rf / ; \"", "", nullptr},
        {"/opt/x/reload", std::string(8192 - 16, 'a'), nullptr},
    };
    for (const auto& c : cases) {
        jovaprv::Notice notice;
        notice.command = c.command;
        notice.arguments = c.arguments;
        std::string line;
        CaptureStderr();
        EXPECT_EQ(jovaprv::build_command_line(notice, &line), c.line != nullptr) << c.command;
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(c.line ? line : errors.substr(0, 21), c.line ? c.line : "ERROR:command refused");
    }
    // The longest line that fits: 8191 bytes.
    jovaprv::Notice notice;
    notice.command = "c";
    notice.arguments = std::string(8191 - 4, 'a');
    std::string line;
    EXPECT_TRUE(jovaprv::build_command_line(notice, &line));
    EXPECT_EQ(line.size(), 8191u);
}

TEST_F(Provider, ExecuteNoticeRunsTheCommandFromATrustedFileOnly) {
    const fs::path script = tree_.dir() / "record.sh";
    write_text(script,
               "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > \"$(dirname \"$0\")/argv.txt\"\n");
    chmod(script.c_str(), 0755);
    const fs::path argv_file = tree_.dir() / "argv.txt";
    const struct {
        std::string arguments;  // the notice's "arguments" element, if any
        int mode;
        int owner;         // -1: keep
        const char* argv;  // null: not run
    } cases[] = {
        {"", 0644, -1, "0\n"},
        {"<arguments>one 'two three' \"4\"</arguments>", 0644, -1, "3\none\ntwo three\n4\n"},
        {"", 0664, -1, nullptr},  // writable by the group
        {"", 0646, -1, nullptr},  // writable by anyone
        {"", 0644, 12345, nullptr},
    };
    for (const auto& c : cases) {
        if (c.owner >= 0 && geteuid() != 0) {
            continue;  // only root can give a file away
        }
        SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.owner) + c.arguments);
        const fs::path reg = tree_.add_component(
            "Comp", "<notice><action>execute</action><command>" + script.string() + "</command>" +
                        c.arguments + "</notice>");
        chmod(reg.c_str(), c.mode);
        if (c.owner >= 0) {
            ASSERT_EQ(chown(reg.c_str(), c.owner, c.owner), 0);
        }
        fs::remove(argv_file);
        CaptureStderr();
        EXPECT_EQ(jovaprv::set_config_data("Comp", "<config><Alpha>3</Alpha></config>"),
                  kReturnSucceeded);
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(read_text(argv_file), c.argv ? c.argv : "");
        EXPECT_EQ(contains(errors, "ERROR:command refused, the file may be changed by others"),
                  c.argv == nullptr)
            << errors;
    }
}

TEST_F(Provider, NotificationFailuresAreSilent) {
    plat_test::ScopedEnv runtime("VARMOTH_RUNTIME_DIR", tree_.dir().string());
    for (const char* notice : {"<notice><action>message</action><classname>NoSuchWindow"
                               "</classname><message>WM_RELOADCONFIG</message></notice>",
                               "<notice><action>execute</action><command>/nowhere/reload"
                               "</command></notice>",
                               "<notice><action>noaction</action></notice>"}) {
        tree_.add_component("Comp", notice);
        CaptureStderr();
        EXPECT_EQ(jovaprv::set_config_data("Comp", "<config><Alpha>4</Alpha></config>"),
                  kReturnSucceeded)
            << notice;
        EXPECT_FALSE(contains(GetCapturedStderr(), "ERROR:")) << notice;
        EXPECT_TRUE(contains(read_text(file("cfg.xml")), "<Alpha>4</Alpha>"));
    }
}

}  // namespace
