// Reading a value file of about 1 MB through the settings store (handle from the definition
// file, then the values, then the handle released) beside a DOM parser loading the same
// file into its tree and releasing it, in alternating rounds. Both read the file from disk.
// Also the service's own two settings files, as it reads them at every start and reload,
// and as the provider does at every method call. And how the costs of
// comparing wide structures, of looking definitions up and of growing a structure beside a
// similar one grow with size.
#include <benchmark/benchmark.h>
#include <tinyxml2.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "jovacfg.h"
#include "rounds.h"

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

// Handle from the definitions, values read, handle released: `times` times.
bool store_read(const std::string& definitions, const std::string& values, int times) {
    for (int n = 0; n < times; ++n) {
        QAC_Config* handle = nullptr;
        if (QAC_ConfigCreate(definitions.c_str(), &handle) != 0) {
            return false;
        }
        const bool read = QAC_ConfigRead(values.c_str(), handle) == 0;
        benchmark::DoNotOptimize(handle->Data.First);
        QAC_ConfigDestroy(handle);
        if (!read) {
            return false;
        }
    }
    return true;
}

// The peer loads each file into its tree and releases it: `times` times.
bool peer_parse(const std::vector<std::string>& paths, int times) {
    for (int n = 0; n < times; ++n) {
        for (const std::string& path : paths) {
            tinyxml2::XMLDocument document;
            if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
                return false;
            }
            benchmark::DoNotOptimize(document.RootElement());
        }
    }
    return true;
}

const std::string kServiceDefinitions = VM_SOURCE_DIR "/packaging/cnf/jowdtdef.xml";
const std::string kServiceValues = VM_SOURCE_DIR "/packaging/cnf/jowdtcfg.xml";

constexpr int kRounds = 21;  // a 1 MB read moves by a tenth from round to round
constexpr int kLargeReadsPerRound = 3;
constexpr int kServiceReadsPerRound = 400;

// Alternating rounds of the store and the peer on the large file and on the service's two.
bool compare_with_peer() {
    const Files& f = files();
    bool ok = true;
    const auto check = [&ok](bool done) { ok = ok && done; };
    // A warm-up of each, so that neither meets a cold heap or page cache in its first round.
    check(store_read(f.definition_path, f.value_path, 1) && peer_parse({f.value_path}, 1));
    check(store_read(kServiceDefinitions, kServiceValues, 20) &&
          peer_parse({kServiceDefinitions, kServiceValues}, 20));
    if (!ok) {
        std::fprintf(stderr, "the files cannot be read\n");
        return false;
    }
    bench::print_header(kRounds, "tinyxml2");
    const bench::Comparison large = bench::alternate(
        kRounds, kLargeReadsPerRound,
        [&] { check(store_read(f.definition_path, f.value_path, kLargeReadsPerRound)); },
        [&] { check(peer_parse({f.value_path}, kLargeReadsPerRound)); });
    bench::print_row("values of about 1 MB", large, "ms");
    const bench::Comparison service = bench::alternate(
        kRounds, kServiceReadsPerRound,
        [&] { check(store_read(kServiceDefinitions, kServiceValues, kServiceReadsPerRound)); },
        [&] {
            check(peer_parse({kServiceDefinitions, kServiceValues}, kServiceReadsPerRound));
        });
    bench::print_row("the service's two files", service, "us");
    // The same with definitions never kept: five copies of the definition file that differ
    // in their trailing blank lines, one after the other, push each other out.
    std::vector<std::string> unkept;
    for (int n = 0; n < 5; ++n) {
        std::ifstream in(kServiceDefinitions, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        unkept.push_back((bench_dir() / ("unkept" + std::to_string(n) + ".xml")).string());
        std::ofstream(unkept.back(), std::ios::binary) << text << std::string(n + 1, '\n');
    }
    int next_unkept = 0;
    const bench::Comparison cold = bench::alternate(
        kRounds, kServiceReadsPerRound,
        [&] {
            for (int n = 0; n < kServiceReadsPerRound; ++n) {
                check(store_read(unkept[next_unkept++ % 5], kServiceValues, 1));
            }
        },
        [&] {
            check(peer_parse({kServiceDefinitions, kServiceValues}, kServiceReadsPerRound));
        });
    bench::print_row("the same, definitions read afresh", cold, "us");
    bench::summary("settings read, the service's two files",
                   bench::per_op(bench::quantile(service.ours, 0.5), "us"),
                   bench::per_op(bench::quantile(service.peer, 0.5), "us"), service, 1.0);
    bench::summary("settings read, values of about 1 MB",
                   bench::per_op(bench::quantile(large.ours, 0.5), "ms"),
                   bench::per_op(bench::quantile(large.peer, 0.5), "ms"), large, 1.4);
    return ok;
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

BENCHMARK(BM_StoreCompareWideStructures)->Arg(400)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreCreateAndAddPerDefinition)->Arg(20000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreAddMembersOneByOne)->Arg(8000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!compare_with_peer()) {
        return 1;
    }
    std::printf("\ngrowth with size:\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
