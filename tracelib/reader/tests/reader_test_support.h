// Managed trace sets written by hand, byte by byte as the writers lay them out, so that the
// reader meets exactly the files a test needs (other byte orders, damaged records, files
// of odd sizes) without a writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ktlor/managed_layout.h"
#include "ktlorsym_reader.h"
#include "scratch_dir.h"

namespace reader_test {

namespace managed = ktlor::managed;

inline managed::ManagementRecord record_of(std::uint32_t size, std::uint32_t count,
                                           std::uint32_t current, std::uint32_t offset) {
    managed::ManagementRecord record{};
    std::memcpy(record.magic, managed::kMagic, sizeof record.magic);
    record.mark = managed::kMark;
    record.file_size = size;
    record.file_count = count;
    record.offset = offset;
    record.current = current;
    record.flags = 0xFFFFFFC0u;
    record.version = managed::kVersion;
    return record;
}

inline void write_at(const std::string& path, std::uint64_t at, const void* data,
                     std::size_t size) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    ASSERT_TRUE(file.is_open()) << path;
    file.seekp(static_cast<std::streamoff>(at));
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline std::string tail_bytes() {
    return std::string(1, static_cast<char>(managed::kEndOfFileByte)) + managed::kEndMark;
}

// A scratch directory named by its full path, as the reader wants its paths.
class FullDir : public plat_test::ScratchDir {
  public:
    const std::filesystem::path& path() const { return full_; }
    std::string operator/(const std::string& name) const { return (full_ / name).string(); }

  private:
    std::filesystem::path full_ = std::filesystem::absolute(ScratchDir::path());
};

// A set of `count` trace files of `size` bytes under dir/name, current file 1, offset 0.
class HandSet {
  public:
    HandSet(const std::filesystem::path& dir, const std::string& name, std::uint32_t size = 4096,
            std::uint32_t count = 3)
        : prefix_((dir / name).string()), record_(record_of(size, count, 1, 0)) {
        std::filesystem::create_directories(dir / "mmap");
        management_ = (dir / "mmap" / (name + ".mm")).string();
        std::ofstream(management_, std::ios::binary).put('\0');
        store_record();
        for (std::uint32_t n = 1; n <= count; ++n) {
            std::string content = tail_bytes();
            content.resize(size, ' ');
            std::ofstream(file(n), std::ios::binary) << content;
        }
    }

    const std::string& prefix() const { return prefix_; }
    const std::string& management() const { return management_; }
    std::string file(std::uint32_t n) const { return prefix_ + std::to_string(n) + ".log"; }
    managed::ManagementRecord& record() { return record_; }
    void store_record() { store_raw(&record_, sizeof record_); }
    // A whole record is written in place: Windows refuses to shorten a mapped file.
    void store_raw(const void* bytes, std::size_t size) {
        if (size < sizeof record_) {
            std::filesystem::resize_file(management_, 0);
        }
        write_at(management_, 0, bytes, size);
    }

    // Lines of the current file, as a writer adds them: the bytes, then the end of data.
    void append(const std::string& line) {
        const std::string bytes = line + tail_bytes();
        write_at(file(record_.current), record_.offset, bytes.data(), bytes.size());
        record_.offset += static_cast<std::uint32_t>(line.size());
        store_record();
    }

    // The writers move on to file n and begin it anew.
    void switch_to(std::uint32_t n) {
        record_.current = n;
        record_.offset = 0;
        const std::string bytes = tail_bytes();
        write_at(file(n), 0, bytes.data(), bytes.size());
        store_record();
    }

  private:
    std::string prefix_;
    std::string management_;
    managed::ManagementRecord record_;
};

// A reader instance that deletes itself.
class Reader {
  public:
    explicit Reader(const std::string& path)
        : instance_(KTLORSYM_MpttCreateInstance(path.c_str())) {}
    ~Reader() { KTLORSYM_MpttDeleteInstance(instance_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    MpttInstance* get() const { return instance_; }
    operator MpttInstance*() const { return instance_; }
    int cause() const { return KTLORSYM_MpttGetLastError(instance_); }

    // Management file and reading opened; a cause when a step failed.
    int open_all() {
        const int cause = KTLORSYM_MpttOpenManagementFile(instance_);
        return cause != 0 ? cause : KTLORSYM_MpttOpen(instance_);
    }

    // Everything up to the data end as it stands now.
    std::string read_available() {
        if (KTLORSYM_MpttGetCurrentOffset(instance_) < 0) {
            return "<cause " + std::to_string(KTLORSYM_MpttGetLastError(instance_)) + ">";
        }
        std::string text;
        char buffer[4096];
        while (const std::uint32_t got = KTLORSYM_MpttRead(instance_, buffer, sizeof buffer)) {
            text.append(buffer, got);
        }
        return text;
    }

  private:
    MpttInstance* instance_;
};

}  // namespace reader_test
