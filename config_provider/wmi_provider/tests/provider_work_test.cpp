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
using plat_test::ScopedEnv;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr char kProduct[] = "SOFTWARE\\VARMOTH\\KTL-PV";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Provider : public ::testing::Test {
  protected:
    void SetUp() override { jovaprv::read_install_paths(); }
    ProviderTree tree_;
};

TEST_F(Provider, InstallDirectoryFromTheLargestNumberedSubkey) {
    struct Case {
        std::vector<const char*> subkeys;  // each gets PathName\Path00 = its own name
        const char* chosen;                // null: no installation directory
    };
    const Case cases[] = {
        {{"0001", "0003", "abc"}, "0003"},
        {{"12"}, "12"},  // read as 12, opened as 0012
        {{" +7 ", "-9", "4294967296", "2147483648", "1x"}, " +7 "},
        {{"0", "abc", ""}, nullptr},
    };
    for (const Case& c : cases) {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, kProduct);
        for (const char* subkey : c.subkeys) {
            plat::RegistryKey listed;
            listed.create(plat::RegistryRoot::local_machine,
                          (std::string(kProduct) + "\\" + subkey).c_str());
            // Where the number leads: printed with four digits.
            std::int32_t number = 0;
            if (jovaprv::parse_subkey_number(subkey, &number)) {
                char opened[16];
                std::snprintf(opened, sizeof opened, "%04d", number);
                ProviderTree::set_string(
                    (std::string(kProduct) + "\\" + opened + "\\PathName").c_str(), "Path00",
                    std::string("/inst/") + opened);
            }
        }
        jovaprv::install_paths() = {};
        const jovaprv::Code code = jovaprv::read_install_paths_code();
        EXPECT_EQ(jovaprv::install_paths().component_key, std::string(kProduct) + "\\ASSIST");
        if (c.chosen == nullptr) {
            EXPECT_EQ(code, jovaprv::kCodeParam) << c.subkeys.size();
            EXPECT_EQ(jovaprv::install_paths().lib, "");
            continue;
        }
        std::int32_t number = 0;
        ASSERT_TRUE(jovaprv::parse_subkey_number(c.chosen, &number));
        char opened[16];
        std::snprintf(opened, sizeof opened, "%04d", number);
        EXPECT_EQ(code, jovaprv::kOk) << c.chosen;
        EXPECT_EQ(jovaprv::install_paths().lib, std::string("/inst/") + opened + "/lib");
        EXPECT_EQ(jovaprv::install_paths().cnf, std::string("/inst/") + opened + "/cnf");
        EXPECT_EQ(jovaprv::install_paths().bin, std::string("/inst/") + opened + "/bin");
    }
}

TEST_F(Provider, RegistryReferencesInPaths) {
    ProviderTree::set_string("SOFTWARE\\VARMOTH\\KTL-OR", "PathName", "/opt/or");
    struct Case {
        const char* text;
        jovaprv::Code code;
        const char* expanded;
    };
    const Case cases[] = {
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]\\cnf\\jowdtdef.xml",
         jovaprv::kOk, "/opt/or\\cnf\\jowdtdef.xml"},
        {"a[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]b", jovaprv::kOk, "a/opt/orb"},
        {"[HKLM\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]/x", jovaprv::kOk,
         "[HKLM\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName]/x"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\Missing]/x.xml", jovaprv::kCodeRegistry,
         "/x.xml"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere\\PathName]/x.xml", jovaprv::kCodeRegistry,
         "/x.xml"},
        {"/plain/path.xml", jovaprv::kOk, "/plain/path.xml"},
        {"[no backslash]/x", jovaprv::kOk, "[no backslash]/x"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName/x", jovaprv::kOk,
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR\\PathName/x"},
    };
    for (const Case& c : cases) {
        std::string expanded;
        EXPECT_EQ(jovaprv::expand_registry_references(c.text, &expanded), c.code) << c.text;
        EXPECT_EQ(expanded, c.expanded) << c.text;
    }
    // Cut to a path's 259 characters, never inside a character.
    std::string expanded;
    const std::string wide = std::string(300, 'x') + "\xC3\xA9";
    EXPECT_EQ(jovaprv::expand_registry_references(("\xC3\xA9" + wide).c_str(), &expanded),
              jovaprv::kOk);
    EXPECT_EQ(expanded.size(), 2u + 258u);
}

TEST_F(Provider, PathsJoinAndParent) {
    std::string out;
    EXPECT_EQ(jovaprv::join_path("/a", "b", &out), jovaprv::kOk);
    EXPECT_EQ(out, "/a/b");
    EXPECT_EQ(jovaprv::join_path("/a/", "b", &out), jovaprv::kOk);
    EXPECT_EQ(out, "/a/b");
    EXPECT_EQ(jovaprv::join_path(std::string(250, 'd'), "123456789", &out), jovaprv::kCodeRange);
    EXPECT_EQ(jovaprv::parent_path("/opt/x/bin", &out), jovaprv::kOk);
    EXPECT_EQ(out, "/opt/x");
    EXPECT_EQ(jovaprv::parent_path("/bin", &out), jovaprv::kOk);
    EXPECT_EQ(out, "/");
    EXPECT_EQ(jovaprv::parent_path("bin", &out), jovaprv::kCodeParam);
}

TEST_F(Provider, StoreWithoutOneExportIsNotUsed) {
    jovaprv::Store store;
    EXPECT_EQ(store.bind_path(LACKING_LIBRARY_FILE), jovaprv::kCodeStore);
    EXPECT_FALSE(store.bound());
    EXPECT_EQ(store.DataGet, nullptr);
    EXPECT_EQ(store.bind_path(JOVACFG_LIBRARY_FILE), jovaprv::kOk);
    // And so no method runs on it.
    fs::copy_file(LACKING_LIBRARY_FILE, tree_.pv() / "lib" / "libjovacfg.so",
                  fs::copy_options::overwrite_existing);
    tree_.add_component("Comp");
    const jovaprv::TextResult list = jovaprv::get_component_list();
    EXPECT_EQ(list.return_value, kReturnFailed);
    EXPECT_TRUE(list.has_text);
    EXPECT_EQ(list.text, "");
    EXPECT_EQ(jovaprv::set_config_data("Comp", "<config/>"), kReturnFailed);
}

TEST_F(Provider, ComponentListDocument) {
    // No ASSIST key: the empty list.
    jovaprv::TextResult list = jovaprv::get_component_list();
    EXPECT_EQ(list.return_value, kReturnSucceeded);
    EXPECT_EQ(list.text, "<programs>\n</programs>\n");

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
    list = jovaprv::get_component_list();
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
    jovaprv::TextResult define = jovaprv::get_config_define("Comp");
    EXPECT_EQ(define.return_value, kReturnSucceeded);
    EXPECT_EQ(define.text, kDefinition);
    write_text(tree_.comp("Comp") / "cfg.xml", "");
    jovaprv::TextResult data = jovaprv::get_config_data("Comp");
    EXPECT_EQ(data.return_value, kReturnSucceeded);
    EXPECT_TRUE(data.has_text);
    EXPECT_EQ(data.text, "");

    // Failures leave the text unset.
    const fs::path reg = tree_.comp("Comp") / "reg.xml";
    struct Case {
        const char* what;
        std::string registration;  // empty: the file is removed
        const char* component;
        const char* error;
    };
    const std::string define_path = (tree_.comp("Comp") / "def.xml").string();
    const Case cases[] = {
        {"no such component", "<define>" + define_path + "</define>", "Nope", ""},
        {"no name", "<define>" + define_path + "</define>", nullptr, ""},
        {"no config value", "<define>" + define_path + "</define>", "Comp",
         "ERROR:not found XML tag <config>."},
        {"registration missing", "", "Comp", "ERROR:don't read file ("},
        // The store reads what it can of a garbled file; the value then is missing.
        {"garbled registration", "\x01<<config>>", "Comp", "ERROR:not found XML tag <config>."},
        {"missing file", "<config>/nowhere/cfg.xml</config>", "Comp",
         "ERROR:don't open file (/nowhere/cfg.xml)."},
        {"missing key", "<config>[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope\\Path]/cfg.xml</config>",
         "Comp", "ERROR:don't read registory."},
    };
    for (const Case& c : cases) {
        if (c.registration.empty()) {
            fs::remove(reg);
        } else {
            ProviderTree::write_registration(reg, c.registration);
        }
        CaptureStderr();
        data = jovaprv::get_config_data(c.component);
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(data.return_value, kReturnFailed) << c.what;
        EXPECT_FALSE(data.has_text) << c.what;
        EXPECT_TRUE(contains(errors, c.error)) << c.what << ": " << errors;
    }
}

class SetConfigData : public Provider {
  protected:
    fs::path file(const char* name) const { return tree_.comp("Comp") / name; }
};

TEST_F(SetConfigData, MergesGivenItemsAndKeepsTheRest) {
    struct Case {
        const char* document;
        std::vector<const char*> present;  // in the new value file
        std::vector<const char*> absent;
    };
    const Case cases[] = {
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
        {"<config/>", {"<Alpha>5</Alpha>", "<Beta>old</Beta>"}, {}},
        {"this is not markup", {"<Alpha>5</Alpha>", "<Multi>2</Multi>"}, {}},
        {"<config><Zeta>1</Zeta><Mode>Sideways</Mode><Alpha>x</Alpha></config>",
         {"<Alpha>5</Alpha>", "<Beta>old</Beta>"},
         {"Zeta", "Mode"}},
    };
    for (const Case& c : cases) {
        tree_.add_component("Comp");
        fs::remove(file("cfg.old"));
        ASSERT_EQ(jovaprv::set_config_data("Comp", c.document), kReturnSucceeded) << c.document;
        const std::string now = read_text(file("cfg.xml"));
        for (const char* part : c.present) {
            EXPECT_TRUE(contains(now, part)) << c.document << " lacks " << part << "\n" << now;
        }
        for (const char* part : c.absent) {
            EXPECT_FALSE(contains(now, part)) << c.document << " has " << part << "\n" << now;
        }
        // The backup holds the values as they were; the temporary file is gone.
        EXPECT_EQ(read_text(file("cfg.old")), kValues);
        EXPECT_FALSE(fs::exists(file("cfg.tmp")));
    }
}

TEST_F(SetConfigData, TemporaryAndBackupBesideTheValueFile) {
    const fs::path home = tree_.comp("Orvalis");
    write_text(home / "jowdtdef.xml", kDefinition);
    write_text(home / "jowdtcfg.xml", kValues);
    write_text(home / "jowdtcfg.tmp", "stale, from a provider killed earlier");
    ProviderTree::write_registration(
        home / "reg.xml", "<define>" + (home / "jowdtdef.xml").string() + "</define><config>" +
                              (home / "jowdtcfg.xml").string() + "</config>");
    chmod((home / "jowdtcfg.xml").c_str(), 0640);
    ProviderTree::set_string(kAssistKey, "Orvalis", (home / "reg.xml").string());
    ASSERT_EQ(jovaprv::set_config_data("Orvalis", "<config><Alpha>9</Alpha></config>"),
              kReturnSucceeded);
    EXPECT_EQ(read_text(home / "jowdtcfg.old"), kValues);
    EXPECT_TRUE(contains(read_text(home / "jowdtcfg.xml"), "<Alpha>9</Alpha>"));
    EXPECT_FALSE(fs::exists(home / "jowdtcfg.tmp"));
    struct stat info {};
    ASSERT_EQ(stat((home / "jowdtcfg.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the new file keeps the old one's permissions";
}

TEST_F(SetConfigData, FailuresLeaveTheValueFileAsItWas) {
    const std::string def = file("def.xml").string();
    const std::string cfg = file("cfg.xml").string();
    const std::string notice = "<notice><action>execute</action><command>" +
                               (tree_.dir() / "touch.sh").string() + "</command></notice>";
    write_text(tree_.dir() / "touch.sh", "#!/bin/sh\necho > \"$(dirname \"$0\")/notified\"\n");
    chmod((tree_.dir() / "touch.sh").c_str(), 0755);
    struct Case {
        const char* what;
        std::string registration;  // empty: the one add_component writes
        std::string document;
        const char* error;
    };
    const Case cases[] = {
        {"huge document", "", "<config><Beta>" + std::string(17 << 20, 'x') + "</Beta></config>",
         "ERROR:don't read data."},
        {"no such component", "-", "<config/>", ""},
        {"registration missing", "/nowhere", "<config/>",
         "ERROR:don't read file (" /* the registration file */},
        {"garbled registration", "\x01<<define>>", "<config/>",
         "ERROR:don't read \"define\" tag in "},
        {"no define", "<config>" + cfg + "</config>" + notice, "<config/>",
         "ERROR:don't read \"define\" tag in "},
        {"no config", "<define>" + def + "</define>" + notice, "<config/>",
         "ERROR:don't read \"config\" tag in "},
        {"missing definition", "<define>/nowhere/def.xml</define><config>" + cfg + "</config>",
         "<config/>", "ERROR:don't read file (/nowhere/def.xml)."},
        {"missing value file", "<define>" + def + "</define><config>/nowhere/cfg.xml</config>",
         "<config/>", "ERROR:don't read file (/nowhere/cfg.xml)."},
        {"missing registry key",
         "<define>" + def + "</define><config>[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope\\P]" + cfg +
             "</config>",
         "<config/>", "ERROR:don't read registory."},
        {"read-only value file", "ro", "<config><Alpha>2</Alpha></config>",
         "ERROR:don't copy file ("},
    };
    for (const Case& c : cases) {
        tree_.add_component("Comp", notice);
        fs::remove(tree_.dir() / "notified");
        const char* component = "Comp";
        if (c.registration == "-") {
            component = "Nope";
        } else if (c.registration == "/nowhere") {
            fs::remove(file("reg.xml"));
        } else if (c.registration == "ro") {
            chmod(cfg.c_str(), 0444);
        } else if (!c.registration.empty()) {
            ProviderTree::write_registration(file("reg.xml"), c.registration);
        }
        CaptureStderr();
        EXPECT_EQ(jovaprv::set_config_data(component, c.document.c_str()), kReturnFailed) << c.what;
        const std::string errors = GetCapturedStderr();
        EXPECT_TRUE(contains(errors, c.error)) << c.what << ": " << errors;
        EXPECT_EQ(read_text(cfg), kValues) << c.what;
        EXPECT_FALSE(fs::exists(tree_.dir() / "notified")) << c.what;
        chmod(cfg.c_str(), 0644);
    }
}

// A definition that lists the action words in other case as well, so that the notice reads.
constexpr char kNoticeDefinition[] = R"(<config_define>
  <item><name>notice</name><type>structure</type>
    <item><name>action</name><type>enumeration</type>
      <enum><execute/><Execute/><message/><noaction/></enum></item>
    <item><name>command</name><type>string</type></item>
    <item><name>arguments</name><type>string</type></item>
    <item><name>classname</name><type>string</type></item>
    <item><name>message</name><type>string</type></item>
    <item><name>windowname</name><type>string</type></item>
  </item>
</config_define>
)";

TEST_F(Provider, NoticeRecord) {
    jovaprv::Store store;
    ASSERT_EQ(store.bind_path(JOVACFG_LIBRARY_FILE), jovaprv::kOk);
    write_text(tree_.dir() / "notice-def.xml", kNoticeDefinition);
    struct Case {
        const char* notice;
        jovaprv::NoticeKind kind;
        const char* texts;  // command|arguments or class|window|message
    };
    using K = jovaprv::NoticeKind;
    const Case cases[] = {
        {"<action>execute</action><command>/bin/x</command>", K::execute, "/bin/x|"},
        {"<action>execute</action><command>/bin/x</command><arguments>-a b</arguments>", K::execute,
         "/bin/x|-a b"},
        {"<action>execute</action>", K::none, ""},
        {"<action>Execute</action><command>/bin/x</command>", K::none, ""},
        {"<action>message</action><classname>C</classname><message>M</message>", K::message,
         "C||M"},
        {"<action>message</action><classname>C</classname><message>M</message>"
         "<windowname>W</windowname>",
         K::message, "C|W|M"},
        {"<action>message</action><message>M</message>", K::none, ""},
        {"<action>noaction</action><command>/bin/x</command>", K::none, ""},
        {"<command>/bin/x</command>", K::none, ""},
    };
    for (const Case& c : cases) {
        jovaprv::ConfigHandle handle(store);
        ASSERT_EQ(store.ConfigCreate((tree_.dir() / "notice-def.xml").c_str(), handle.out()), 0u);
        const std::string text = std::string("<config><notice>") + c.notice + "</notice></config>";
        ASSERT_EQ(store.ConfigReadFromData(text.c_str(), handle.get()), 0u) << c.notice;
        const jovaprv::Notice notice = jovaprv::read_notice(store, handle.get());
        EXPECT_EQ(notice.kind, c.kind) << c.notice;
        const std::string texts =
            c.kind == K::execute ? notice.command + "|" + notice.arguments
            : c.kind == K::message
                ? notice.class_name + "|" + notice.window_name + "|" + notice.message
                : "";
        EXPECT_EQ(texts, c.texts) << c.notice;
    }
}

TEST(CommandLine, QuotedCommandAndArgumentsAsWritten) {
    struct Case {
        const char* command;
        std::string arguments;
        const char* line;  // null: refused
    };
    const Case cases[] = {
        {"/opt/x/reload", "", "\"/opt/x/reload\""},
        {"/opt/x/reload", "-a 'b c' $HOME", "\"/opt/x/reload\" -a 'b c' $HOME"},
        {"/opt/x\" ; rm -rf / ; \"", "", nullptr},
        {"/opt/x/reload", std::string(8192 - 16, 'a'), nullptr},
    };
    for (const Case& c : cases) {
        jovaprv::Notice notice;
        notice.kind = jovaprv::NoticeKind::execute;
        notice.command = c.command;
        notice.arguments = c.arguments;
        std::string line;
        CaptureStderr();
        const bool built = jovaprv::build_command_line(notice, &line);
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(built, c.line != nullptr) << c.command;
        if (c.line != nullptr) {
            EXPECT_EQ(line, c.line);
        } else {
            EXPECT_TRUE(contains(errors, "ERROR:command refused")) << errors;
        }
    }
    // The longest line that fits: 8191 bytes.
    jovaprv::Notice notice;
    notice.command = "c";
    notice.arguments = std::string(8191 - 4, 'a');
    std::string line;
    EXPECT_TRUE(jovaprv::build_command_line(notice, &line));
    EXPECT_EQ(line.size(), 8191u);
}

TEST_F(SetConfigData, ExecuteNoticeRunsTheCommandFromATrustedFileOnly) {
    const fs::path script = tree_.dir() / "record.sh";
    write_text(script,
               "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > \"$(dirname \"$0\")/argv.txt\"\n");
    chmod(script.c_str(), 0755);
    const fs::path argv_file = tree_.dir() / "argv.txt";
    struct Case {
        const char* what;
        std::string arguments;  // the notice's "arguments" element, if any
        int mode;
        int owner;         // -1: keep
        const char* argv;  // null: not run
    };
    const Case cases[] = {
        {"no arguments", "", 0644, -1, "0\n"},
        {"arguments as written", "<arguments>one 'two three' \"4\"</arguments>", 0644, -1,
         "3\none\ntwo three\n4\n"},
        {"writable by the group", "", 0664, -1, nullptr},
        {"writable by anyone", "", 0646, -1, nullptr},
        {"another owner", "", 0644, 12345, nullptr},
    };
    for (const Case& c : cases) {
        if (c.owner >= 0 && geteuid() != 0) {
            continue;  // only root can give a file away
        }
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
                  kReturnSucceeded)
            << c.what;
        const std::string errors = GetCapturedStderr();
        if (c.argv != nullptr) {
            EXPECT_EQ(read_text(argv_file), c.argv) << c.what;
            EXPECT_EQ(errors, "") << c.what;
        } else {
            EXPECT_FALSE(fs::exists(argv_file)) << c.what;
            EXPECT_TRUE(
                contains(errors, "ERROR:command refused, the file may be changed by others"))
                << c.what << ": " << errors;
        }
    }
}

TEST_F(SetConfigData, NotificationFailuresAreSilent) {
    ScopedEnv runtime("VARMOTH_RUNTIME_DIR", tree_.dir().string());
    const char* notices[] = {
        "<notice><action>message</action><classname>NoSuchWindow</classname>"
        "<message>WM_RELOADCONFIG</message></notice>",
        "<notice><action>execute</action><command>/nowhere/reload</command></notice>",
        "<notice><action>noaction</action></notice>",
    };
    for (const char* notice : notices) {
        tree_.add_component("Comp", notice);
        CaptureStderr();
        EXPECT_EQ(jovaprv::set_config_data("Comp", "<config><Alpha>4</Alpha></config>"),
                  kReturnSucceeded)
            << notice;
        const std::string errors = GetCapturedStderr();
        EXPECT_FALSE(contains(errors, "ERROR:")) << notice << ": " << errors;
        EXPECT_TRUE(contains(read_text(tree_.comp("Comp") / "cfg.xml"), "<Alpha>4</Alpha>"));
    }
}

}  // namespace
