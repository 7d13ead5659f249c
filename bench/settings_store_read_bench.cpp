// Reading a value file of about 1 MB through the settings store (handle from the definition
// file, then the values, then the handle released) beside a DOM parser loading the same
// file into its tree and releasing it. Both read the file from disk. Also the service's own
// two settings files, as it reads them at every start and reload. And how the costs of
// comparing wide structures, of looking definitions up and of growing a structure beside a
// similar one grow with size.
#include <benchmark/benchmark.h>
#include <tinyxml2.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "jovacfg.h"

namespace {

namespace fs = std::filesystem;

constexpr int kIntegers = 10;
constexpr int kStrings = 10;
constexpr int kBooleans = 40;
constexpr int kHosts = 10;
constexpr int kEnumerations = 40;
constexpr int kWords = 20;
constexpr std::size_t kTargetSize = 1 << 20;

fs::path bench_dir() {
    const fs::path dir = fs::temp_directory_path() / "ktl-bench" / "settings";
    fs::create_directories(dir);
    return dir;
}

std::string item(const std::string& name, const char* type, const std::string& rest = "") {
    return "  <item><name>" + name + "</name><type>" + type + "</type><number>0</number>" + rest +
           "</item>\n";
}

// A letter and a number, built by appending: g++ 12 at -O3 warns, falsely, of overlapping
// copies in "m" + std::to_string(n).
std::string numbered(char letter, int number) {
    std::string text(1, letter);
    text += std::to_string(number);
    return text;
}

// An item whose nested items follow; the caller closes it.
std::string item_open(const std::string& name, const char* type) {
    return "<item><name>" + name + "</name><type>" + type + "</type><number>0</number>";
}

std::string definitions() {
    std::string text = "<config_define>\n  <name>bench</name>\n";
    for (int i = 0; i < kIntegers; ++i) {
        text += item("Int" + std::to_string(i), "integer");
    }
    for (int i = 0; i < kStrings; ++i) {
        text += item("Text" + std::to_string(i), "string", "<maximum>200</maximum>");
    }
    for (int i = 0; i < kBooleans; ++i) {
        text += item("Flag" + std::to_string(i), "boolean");
    }
    for (int i = 0; i < kHosts; ++i) {
        text += item("Host" + std::to_string(i), "ipaddr");
    }
    std::string words = "<enum>";
    for (int w = 0; w < kWords; ++w) {
        words += "<Word" + std::to_string(w) + ">w</Word" + std::to_string(w) + ">";
    }
    words += "</enum>";
    for (int i = 0; i < kEnumerations; ++i) {
        text += item("Mode" + std::to_string(i), "enumeration", words);
    }
    text += item("rule", "structure",
                 "<item><name>id</name><type>integer</type><identifier>TRUE</identifier></item>"
                 "<item><name>label</name><type>string</type></item>"
                 "<item><name>address</name><type>ipaddr</type></item>"
                 "<item><name>enabled</name><type>boolean</type></item>"
                 "<item><name>limit</name><type>structure</type>"
                 "<item><name>low</name><type>integer</type></item>"
                 "<item><name>high</name><type>integer</type></item></item>");
    text += item("pair", "structure",
                 "<item><name>key</name><type>string</type></item>"
                 "<item><name>value</name><type>integer</type></item>");
    return text + "</config_define>\n";
}

// Values in the writer's layout, every type, each set without duplicates.
std::string values() {
    std::mt19937_64 random(7);
    std::string text = "<config>\n";
    const auto leaf = [&text](const std::string& name, const std::string& value) {
        text += "  <" + name + ">" + value + "</" + name + ">\n";
    };
    for (int i = 0; i < kBooleans; ++i) {
        leaf("Flag" + std::to_string(i), i % 2 == 0 ? "TRUE" : "FALSE");
    }
    for (int i = 0; i < kEnumerations; ++i) {
        for (int w = 0; w < kWords; ++w) {
            leaf("Mode" + std::to_string(i), "Word" + std::to_string((w * 7 + i) % kWords));
        }
    }
    for (std::uint64_t n = 0; text.size() < kTargetSize; ++n) {
        const std::string k = std::to_string(n % 10);
        const std::uint64_t r = random();
        const std::string unique = std::to_string(n);
        leaf("Int" + k, std::to_string(static_cast<std::int64_t>(r >> 20) * 1000 +
                                       static_cast<std::int64_t>(n)));
        leaf("Text" + k, "setting text " + unique + " of the benchmark");
        switch (n % 3) {
            case 0:
                leaf("Host" + k, "host_" + unique);
                break;
            case 1:
                leaf("Host" + k, std::to_string(n >> 16 & 255) + "." +
                                     std::to_string(n >> 8 & 255) + "." + std::to_string(n & 255) +
                                     ".1");
                break;
            default:
                leaf("Host" + k, "2001:db8::" + std::to_string(n % 10000) + ":" +
                                     std::to_string(n / 10000 % 10000));
                break;
        }
        if (n % 4 == 0) {
            text += "  <rule>    <id>" + unique + "</id>\n    <label>rule " + unique +
                    "</label>\n    <address>10.1." + std::to_string(n >> 8 & 255) + "." +
                    std::to_string(n & 255) +
                    "</address>\n    <enabled>TRUE</enabled>\n    <limit>      <low>" +
                    std::to_string(r % 100) + "</low>\n      <high>" +
                    std::to_string(100 + r % 1000) + "</high>\n    </limit>\n  </rule>\n";
        }
        if (n % 8 == 0) {
            text += "  <pair>    <key>k" + unique + "</key>\n    <value>" +
                    std::to_string(r % 1000) + "</value>\n  </pair>\n";
        }
    }
    return text + "</config>\n";
}

struct Files {
    std::string definition_path;
    std::string value_path;
    std::size_t value_bytes = 0;
};

const Files& files() {
    static const Files made = [] {
        Files f;
        const fs::path dir = bench_dir();
        f.definition_path = (dir / "definitions.xml").string();
        f.value_path = (dir / "values.xml").string();
        std::ofstream(f.definition_path, std::ios::binary) << definitions();
        const std::string text = values();
        std::ofstream(f.value_path, std::ios::binary) << text;
        f.value_bytes = text.size();
        return f;
    }();
    return made;
}

void store_read(benchmark::State& state, const std::string& definitions, const std::string& values,
                std::size_t bytes) {
    for (auto _ : state) {
        QAC_Config* handle = nullptr;
        if (QAC_ConfigCreate(definitions.c_str(), &handle) != 0 ||
            QAC_ConfigRead(values.c_str(), handle) != 0) {
            state.SkipWithError("the settings store cannot read the files");
            break;
        }
        benchmark::DoNotOptimize(handle->Data.First);
        QAC_ConfigDestroy(handle);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void peer_parse(benchmark::State& state, const std::string& path, std::size_t bytes) {
    for (auto _ : state) {
        tinyxml2::XMLDocument document;
        if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
            state.SkipWithError("the peer cannot parse the file");
            break;
        }
        benchmark::DoNotOptimize(document.RootElement());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_StoreCreateAndRead1MB(benchmark::State& state) {
    const Files& f = files();
    store_read(state, f.definition_path, f.value_path, f.value_bytes);
}

void BM_PeerDomParse1MB(benchmark::State& state) {
    const Files& f = files();
    peer_parse(state, f.value_path, f.value_bytes);
}

const std::string kServiceDefinitions = VM_SOURCE_DIR "/packaging/cnf/jowdtdef.xml";
const std::string kServiceValues = VM_SOURCE_DIR "/packaging/cnf/jowdtcfg.xml";

void BM_StoreServiceFiles(benchmark::State& state) {
    store_read(state, kServiceDefinitions, kServiceValues,
               fs::file_size(kServiceDefinitions) + fs::file_size(kServiceValues));
}

void BM_PeerServiceFiles(benchmark::State& state) {
    for (auto _ : state) {
        tinyxml2::XMLDocument definitions;
        tinyxml2::XMLDocument values;
        if (definitions.LoadFile(kServiceDefinitions.c_str()) != tinyxml2::XML_SUCCESS ||
            values.LoadFile(kServiceValues.c_str()) != tinyxml2::XML_SUCCESS) {
            state.SkipWithError("the peer cannot parse the files");
            break;
        }
        benchmark::DoNotOptimize(values.RootElement());
    }
}

// Growth with size, each case beside the same case at half its size: a ratio near 2 is
// linear growth, near 4 quadratic.

std::string members_definition(int members) {
    std::string text = "<config_define>" + item_open("s", "structure");
    for (int m = 0; m < members; ++m) {
        text += item(numbered('m', m), "integer");
    }
    return text + "</item></config_define>";
}

QAC_Config* create_from(const std::string& name, const std::string& definitions) {
    const std::string path = (bench_dir() / name).string();
    std::ofstream(path, std::ios::binary) << definitions;
    QAC_Config* handle = nullptr;
    return QAC_ConfigCreate(path.c_str(), &handle) == 0 ? handle : nullptr;
}

// 1,000 structures without identifier members that differ only in their last member
// definition, members listed last definition first: every comparison of two of them goes
// through all members.
void BM_StoreCompareWideStructures(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    const std::string definitions = members_definition(members);
    std::string values = "<config>";
    for (int s = 0; s < 1000; ++s) {
        values += "<s>";
        for (int m = members - 1; m >= 0; --m) {
            const std::string name = numbered('m', m);
            values += '<';
            values += name;
            values += '>';
            values += std::to_string(m == members - 1 ? s : 0);
            values += "</";
            values += name;
            values += '>';
        }
        values += "</s>";
    }
    values += "</config>";
    for (auto _ : state) {
        QAC_Config* handle = create_from("wide.xml", definitions);
        if (handle == nullptr || QAC_ConfigReadFromData(values.c_str(), handle) != 0) {
            state.SkipWithError("the settings store cannot read the structures");
            break;
        }
        QAC_ConfigDestroy(handle);
    }
}

// One value made from its default and added for each of many top-level definitions.
void BM_StoreCreateAndAddPerDefinition(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::string definitions = "<config_define>";
    for (int d = 0; d < count; ++d) {
        definitions += item(numbered('d', d), "integer");
    }
    definitions += "</config_define>";
    std::vector<std::string> names;
    for (int d = 0; d < count; ++d) {
        names.push_back(numbered('d', d));
    }
    for (auto _ : state) {
        state.PauseTiming();
        QAC_Config* handle = create_from("many.xml", definitions);
        state.ResumeTiming();
        for (const std::string& name : names) {
            QAC_Data* value = nullptr;
            if (handle == nullptr || QAC_DataDefaultCreate(handle, name.c_str(), &value) != 0 ||
                QAC_DataAdd(handle, value) != 0) {
                state.SkipWithError("the settings store cannot add the values");
                break;
            }
        }
        state.PauseTiming();
        QAC_ConfigDestroy(handle);
        state.ResumeTiming();
    }
}

// Members added one at a time to a structure whose sibling holds the same members: every
// addition puts the structure back in order beside its sibling.
void BM_StoreAddMembersOneByOne(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    const std::string definitions = "<config_define>" + item_open("s", "structure") +
                                    item("v", "integer") + "</item></config_define>";
    std::string sibling = "<config><s>";
    for (int m = 0; m <= members; ++m) {  // one more: the grown one never equals it
        sibling += std::string("<v>") + std::to_string(m) + "</v>";
    }
    sibling += "</s></config>";
    for (auto _ : state) {
        state.PauseTiming();
        QAC_Config* handle = create_from("members.xml", definitions);
        QAC_Data* structure = nullptr;
        if (handle == nullptr || QAC_ConfigReadFromData(sibling.c_str(), handle) != 0 ||
            QAC_DataDefaultCreate(handle, "s", &structure) != 0 ||
            QAC_DataAdd(handle, structure) != 0) {
            state.SkipWithError("the settings store cannot make the structures");
            break;
        }
        state.ResumeTiming();
        bool added = true;
        for (std::int64_t m = 0; added && m < members; ++m) {
            QAC_Data* member = nullptr;
            added = QAC_DataDefaultCreateFromData(structure, "v", &member) == 0 &&
                    QAC_DataChangeToData(structure, member, &m) == 0 &&
                    QAC_DataAddToData(structure, member) == 0;
        }
        if (!added) {
            state.SkipWithError("the settings store cannot add the members");
            break;
        }
        state.PauseTiming();
        QAC_ConfigDestroy(handle);
        state.ResumeTiming();
    }
}

// The store first: the peer then runs on the heap the store has grown, which spares it the
// page faults it meets in a fresh process, so the ratio errs in the peer's favour.
BENCHMARK(BM_StoreCreateAndRead1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerDomParse1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreServiceFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerServiceFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreCompareWideStructures)->Arg(400)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreCreateAndAddPerDefinition)->Arg(20000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreAddMembersOneByOne)->Arg(8000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace
