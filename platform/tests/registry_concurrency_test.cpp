// Writers in several threads while readers keep reading: a reader must never meet a
// half-written registry, and no write may be lost.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "plat/registry.h"
#include "scratch_registry.h"

namespace {

TEST(RegistryConcurrency, ReadersNeverSeeHalfWrittenFilesAndNoWriteIsLost) {
    plat_test::ScratchRegistry registry;
    const std::string stress = registry.path("SOFTWARE\\Stress");
    constexpr int kWriters = 3;
    constexpr int kWritesEach = 25;

    std::atomic<bool> writing{true};
    std::atomic<int> bad_reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (writing.load()) {
                plat::RegistryKey key;
                const plat::Status status = key.open(registry.root(), stress.c_str());
                if (!status.ok() &&
                    plat::classify_error(status.error) != plat::ErrorKind::not_found) {
                    ++bad_reads;
                }
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            plat::RegistryKey key;
            ASSERT_TRUE(key.create(registry.root(), stress.c_str()).ok());
            const std::string padding(2000, static_cast<char>('a' + w));
            for (int i = 0; i < kWritesEach; ++i) {
                const std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
                ASSERT_TRUE(key.set_string(name.c_str(), padding.c_str()).ok());
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    writing = false;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(bad_reads.load(), 0);
    plat::RegistryKey key;
    ASSERT_TRUE(key.open(registry.root(), stress.c_str()).ok());
    std::uint32_t values = 0;
    ASSERT_TRUE(key.value_count(&values).ok());
    EXPECT_EQ(values, static_cast<std::uint32_t>(kWriters * kWritesEach));
}

}  // namespace
