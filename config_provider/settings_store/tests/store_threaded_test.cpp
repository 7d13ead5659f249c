// The library used from several threads at once, as its callers may use it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store_support.h"

namespace qac::testing {
namespace {

const char* const kDefinitions =
    "<config_define>"
    "<item><name>N</name><type>integer</type><number>0</number></item>"
    "<item><name>S</name><type>string</type><number>0</number></item>"
    "<item><name>r</name><type>structure</type><number>0</number>"
    "  <item><name>id</name><type>integer</type><identifier>TRUE</identifier></item>"
    "  <item><name>v</name><type>string</type></item></item>"
    "</config_define>";

std::string value_file(int values, int tag) {
    std::string text = "<config>";
    for (int i = 0; i < values; ++i) {
        text += "<N>" + std::to_string(i) + "</N><S>s" + std::to_string(tag) + "_" +
                std::to_string(i) + "</S><r><id>" + std::to_string(i) + "</id><v>x</v></r>";
    }
    return text + "</config>";
}

// Lookups in several threads while one thread changes the values of other definitions.
TEST(StoreThreads, LookupsBesideChanges) {
    Handles handles;
    QAC_Config* handle = handles.create("threads-def.xml", kDefinitions);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(store().ConfigReadFromData(value_file(200, 0).c_str(), handle), 0u);
    std::vector<QAC_Data*> numbers = values_of(handle, "N");
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            std::vector<QAC_Data*> out(200);
            while (!stop.load()) {
                std::uint32_t count = 200;
                bool ok = store().DataGet(handle, "S", out.data(), &count) == 0 && count == 200;
                for (std::uint32_t i = 1; ok && i < count; ++i) {
                    ok = std::string(out[i - 1]->Payload.String) < out[i]->Payload.String;
                }
                count = 200;
                // The set being changed: its values come and go, the count never exceeds.
                ok = ok && store().DataGet(handle, "N", out.data(), &count) == 0 && count <= 200;
                failures += ok ? 0 : 1;
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        for (QAC_Data* value : numbers) {
            const std::int64_t moved = value->Payload.Integer + 1000;
            ASSERT_EQ(store().DataChange(handle, value, &moved), 0u);
        }
    }
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(values_of(handle, "N").front()->Payload.Integer, 20000);
}

// Handles of their own in every thread, sharing files: a value file being written is never
// seen half done, whoever wins.
TEST(StoreThreads, HandlesPerThreadSharingFiles) {
    const std::string definitions = write_file("threads-def2.xml", kDefinitions);
    const std::string shared = (temp_dir() / "threads-shared.xml").string();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const auto done_or_busy = [](std::uint32_t result) {
                return result == 0 || (result & 0xFFF00000u) == QAC_E_BUSY;
            };
            for (int round = 0; round < 15; ++round) {
                QAC_Config* handle = nullptr;
                QAC_Config* reader = nullptr;
                bool ok = store().ConfigCreate(definitions.c_str(), &handle) == 0 &&
                          store().ConfigCreate(definitions.c_str(), &reader) == 0 &&
                          store().ConfigReadFromData(value_file(50, t).c_str(), handle) == 0 &&
                          done_or_busy(store().ConfigWrite(shared.c_str(), handle));
                const std::uint32_t read = store().ConfigRead(shared.c_str(), reader);
                std::uint32_t count = 0;
                // Complete: every value of some writer.
                ok = ok && done_or_busy(read) &&
                     (read != 0 ||
                      (store().DataGet(reader, "r", nullptr, &count) == 0 && count == 50));
                failures += ok ? 0 : 1;
                store().ConfigDestroy(reader);
                store().ConfigDestroy(handle);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qac::testing
