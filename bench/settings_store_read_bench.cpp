// Reading a value file of about 1 MB through the settings store (handle from the definition
// file, then the values, then the handle released) beside a DOM parser loading the same
// file into its tree and releasing it. Both read the file from disk. Also the service's own
// two settings files, as it reads them at every start and reload.
#include <benchmark/benchmark.h>
#include <tinyxml2.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

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

// The store first: the peer then runs on the heap the store has grown, which spares it the
// page faults it meets in a fresh process, so the ratio errs in the peer's favour.
BENCHMARK(BM_StoreCreateAndRead1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerDomParse1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreServiceFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerServiceFiles)->Unit(benchmark::kMicrosecond);

}  // namespace
