#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "definition_reader.h"
#include "markup_reader.h"

namespace qac {
namespace {

// Several threads reading their first definition files at once all see the same built-in
// description of definition files.
TEST(FirstUse, ConcurrentDefinitionReads) {
    const char* text =
        "<config_define><item><name>a</name><type>enumeration</type><enum><X/></enum>"
        "<default>X</default></item><item><name>b</name><type>integer</type></item>"
        "</config_define>";
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<std::string> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            DefinitionFile file;
            if (read_definitions(kSourceMemory, text, &file) != 0) {
                return;
            }
            for (const QAC_Content* c = file.definitions.get(); c != nullptr; c = c->Next) {
                seen[t] += std::string(c->Name) + ":" + std::to_string(c->Type) + " ";
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& s : seen) {
        EXPECT_EQ(s, "a:5 b:1 ");
    }
}

}  // namespace
}  // namespace qac
