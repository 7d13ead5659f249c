// Memory running out at every allocation of a large read and of the changes after it: each
// call fails cleanly with QAC_E_NOMEM or succeeds, the handle stays whole and usable, and
// nothing leaks (the leak checker runs under the address sanitizer).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include "jovacfg.h"
#include "support.h"

namespace {

// Allocations left before the next one fails; negative: none fails.
long g_allocations_left = -1;

void* allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) {
    if (g_allocations_left == 0) {
        throw std::bad_alloc();
    }
    if (g_allocations_left > 0) {
        --g_allocations_left;
    }
    void* block = std::aligned_alloc(alignment, (size + alignment) / alignment * alignment);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* try_allocate(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

// Every form the standard library or the store may use, all on the same two functions.
// clang-format off
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, std::size_t(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, std::size_t(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
// clang-format on

namespace qac::testing {
namespace {

// Sets long enough for every sorting route, structures, host names and texts kept in the
// value and apart from it, duplicates among them.
std::string large_document() {
    std::string text = "<config>";
    for (int i = 0; i < 300; ++i) {
        const std::string n = std::to_string(i % 280);
        text += "<N>" + n + "</N><S>" + (i % 2 == 0 ? "short " : std::string(50, 'l')) + n +
                "</S><H>" + (i % 3 == 0 ? "host_" + n : "10.0." + n + ".1") + "</H><r><id>" + n +
                "</id><v>" + n + "</v></r>";
    }
    return text + "</config>";
}

TEST(OutOfMemory, EveryAllocationOfALargeReadAndOfChangesAfterIt) {
    const std::string definitions = write_file(
        "oom.xml",
        "<config_define><item><name>N</name><type>integer</type><number>0</number></item>"
        "<item><name>S</name><type>string</type><number>0</number></item>"
        "<item><name>H</name><type>ipaddr</type><number>0</number></item>"
        "<item><name>r</name><type>structure</type><number>0</number>"
        "<item><name>id</name><type>integer</type><identifier>TRUE</identifier></item>"
        "<item><name>v</name><type>string</type></item></item></config_define>");
    const std::string document = large_document();
    const std::string long_text(60, 'x');
    QAC_Config* handle = nullptr;
    ASSERT_EQ(QAC_ConfigCreate(definitions.c_str(), &handle), 0u);
    bool done = false;
    for (long failing = 0; !done; ++failing) {
        g_allocations_left = failing;
        const std::uint32_t read = QAC_ConfigReadFromData(document.c_str(), handle);
        std::uint32_t count = 0;
        QAC_Data* value = nullptr;
        std::uint32_t changed = QAC_E_NOMEM;
        if (read == 0) {
            changed = QAC_DataDefaultCreate(handle, "S", &value);
            if (changed == 0) {
                changed = QAC_DataChange(handle, value, long_text.c_str());
            }
            if (changed == 0) {
                changed = QAC_DataAdd(handle, value);
            }
        }
        g_allocations_left = -1;
        ASSERT_TRUE(read == 0 || read == QAC_E_NOMEM) << std::hex << read << " at " << failing;
        ASSERT_EQ(QAC_DataGet(handle, "N", nullptr, &count), 0u);
        if (read != 0) {
            EXPECT_EQ(count, 0u) << "a failed read leaves no values, at " << failing;
            continue;
        }
        EXPECT_EQ(count, 280u);
        ASSERT_TRUE(changed == 0 || changed == QAC_E_NOMEM) << std::hex << changed;
        count = 0;
        ASSERT_EQ(QAC_DataGet(handle, "S", nullptr, &count), 0u);
        done = changed == 0;
        EXPECT_EQ(count, done ? 281u : 280u);
        // A fresh handle for the next step: the values read stay in this one.
        QAC_ConfigDestroy(handle);
        handle = nullptr;
        ASSERT_EQ(QAC_ConfigCreate(definitions.c_str(), &handle), 0u);
    }
    QAC_ConfigDestroy(handle);
}

}  // namespace
}  // namespace qac::testing
