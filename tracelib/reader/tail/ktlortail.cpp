// ktlortail: prints the lines of a managed trace set's current file, then follows the
// lines that the writers add, from file to file as they switch, until it is stopped or the
// set is removed. It reads the trace files through the reader library's exports; the
// management record is read directly only to learn which file is current.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ktlor/managed_layout.h"
#include "ktlorsym_reader.h"
#include "plat/file.h"
#include "plat/thread.h"
#include "trace_set.h"

namespace {

constexpr const char* kProgram = "ktlortail";
// Looks again soon after lines came, less often the longer the set is quiet.
constexpr std::uint32_t kFirstPollMs = 1;
constexpr std::uint32_t kPollMs = 50;
constexpr long kDefaultLines = 10;
constexpr long kMaxLines = 100000000;

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void request_stop(int) {
    g_stop = 1;
}

void usage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: %s [--from-start | --lines N] PREFIX | TRACEFILE\n"
        "Prints the last lines of a managed trace set's current file, then follows the lines\n"
        "that the writers add, across file switches, until Ctrl-C or until the set is removed.\n"
        "\n"
        "  PREFIX        the set's path prefix: its files are PREFIX1.log, PREFIX2.log, ...\n"
        "                and its management file is mmap/<name of PREFIX>.mm beside them\n"
        "  TRACEFILE     one file of the set (PREFIXn.log): begin there, then go on\n"
        "  --lines N     begin with the last N lines of the file (default 10; 0: none)\n"
        "  --from-start  begin with every line of the file\n"
        "  --help        this text\n"
        "  --version     the program's version\n"
        "\n"
        "Exit status: 0 stopped (Ctrl-C, SIGTERM) or the set was removed, 1 the set cannot be\n"
        "read, 2 wrong usage.\n",
        kProgram);
}

struct Options {
    std::string target;
    long lines = kDefaultLines;
    bool from_start = false;
};

// 0 to go on, else the exit status.
int parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            usage(stdout);
            return -1;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("%s %s\n", kProgram, VM_VERSION);
            return -1;
        }
        if (std::strcmp(arg, "--from-start") == 0) {
            options->from_start = true;
        } else if (std::strcmp(arg, "--lines") == 0 || std::strcmp(arg, "-n") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s wants a number\n", kProgram, arg);
                return kExitUsage;
            }
            char* end = nullptr;
            const char* value = argv[++i];
            options->lines = std::strtol(value, &end, 10);
            if (value[0] == '\0' || *end != '\0' || options->lines < 0 ||
                options->lines > kMaxLines) {
                std::fprintf(stderr, "%s: --lines wants a number from 0 to %ld, not \"%s\"\n",
                             kProgram, kMaxLines, value);
                return kExitUsage;
            }
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "%s: unknown option %s (see --help)\n", kProgram, arg);
            return kExitUsage;
        } else if (!options->target.empty()) {
            std::fprintf(stderr, "%s: one PREFIX or TRACEFILE only (see --help)\n", kProgram);
            return kExitUsage;
        } else {
            options->target = arg;
        }
    }
    if (options->target.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    return 0;
}

enum class RecordState { ok, missing, invalid };

// The management record as it stands now, without the writers' lock: only its current
// file number is used, and that changes only when the writers switch.
RecordState read_record(const std::string& path, ktlor::managed::ManagementRecord* record) {
    plat::File file;
    const plat::Status opened =
        file.open(path.c_str(), plat::Access::read, plat::Disposition::open_existing,
                  plat::Share::read_write);
    if (!opened) {
        return plat::classify_error(opened.error) == plat::ErrorKind::not_found
                   ? RecordState::missing
                   : RecordState::invalid;
    }
    std::size_t got = 0;
    bool swapped = false;
    if (!file.read(record, sizeof *record, &got) || got != sizeof *record ||
        !ktlor::reader::settle_byte_order(record, &swapped) ||
        !ktlor::managed::header_valid(*record)) {
        return RecordState::invalid;
    }
    return RecordState::ok;
}

struct TraceSet {
    std::string prefix;
    std::string management;
    std::uint32_t first_file = 0;  // 0: the current one
};

std::string trace_file(const std::string& prefix, std::uint32_t number) {
    return prefix + std::to_string(number) + ".log";
}

bool exists(const std::string& path) {
    plat::PathInfo info;
    return static_cast<bool>(plat::query_path(path.c_str(), &info));
}

// A prefix, or a trace file whose set is found as the reader finds it.
bool locate(const std::string& target, TraceSet* set) {
    std::error_code error;
    const std::string full = std::filesystem::absolute(target, error).string();
    if (error) {
        std::fprintf(stderr, "%s: cannot make %s a full path\n", kProgram, target.c_str());
        return false;
    }
    if (ktlor::reader::trace_file_form(full)) {
        if (!exists(full)) {
            std::fprintf(stderr, "%s: no trace file %s\n", kProgram, full.c_str());
            return false;
        }
        const ktlor::reader::SetCandidates candidates = ktlor::reader::set_candidates(full);
        for (int i = 0; i < candidates.count; ++i) {
            const std::string management =
                ktlor::reader::management_path_of(candidates.candidate[i].prefix);
            if (!management.empty() && exists(management)) {
                *set = {candidates.candidate[i].prefix, management, candidates.candidate[i].number};
                return true;
            }
        }
        std::fprintf(stderr, "%s: %s belongs to no managed trace set (no management file)\n",
                     kProgram, full.c_str());
        return false;
    }
    const std::string management = ktlor::reader::management_path_of(full);
    if (management.empty()) {
        std::fprintf(stderr, "%s: the prefix %s is too long\n", kProgram, full.c_str());
        return false;
    }
    *set = {full, management, 0};
    return true;
}

void put(const char* data, std::size_t size) {
    if (size != 0 && !plat::write_standard_output(data, size)) {
        g_stop = 1;  // nobody reads any more
    }
}

// One trace file read through the reader library.
class FileReader {
  public:
    FileReader() = default;
    ~FileReader() { KTLORSYM_MpttDeleteInstance(instance_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // 0 or the reader's cause.
    int open(const std::string& path) {
        KTLORSYM_MpttDeleteInstance(instance_);
        instance_ = KTLORSYM_MpttCreateInstance(path.c_str());
        if (instance_ == nullptr) {
            return KTLORSYM_MpttGetLastError(nullptr);
        }
        int cause = KTLORSYM_MpttOpenManagementFile(instance_);
        if (cause == 0) {
            cause = KTLORSYM_MpttOpen(instance_);
        }
        return cause;
    }

    // Where the data ends now, or -1 with the cause in *cause.
    std::int64_t data_end(int* cause) {
        const std::int64_t end = KTLORSYM_MpttGetCurrentOffset(instance_);
        *cause = end < 0 ? KTLORSYM_MpttGetLastError(instance_) : 0;
        if (end >= 0 && end < KTLORSYM_MpttTell(instance_)) {
            KTLORSYM_MpttSeek(instance_, 0, KTLORSYM_MPTT_SEEK_SET);  // written anew
        }
        return end;
    }

    // Hands every byte up to the data end to sink; the count.
    template <typename Sink>
    std::uint64_t read_all(Sink sink) {
        std::uint64_t total = 0;
        char buffer[65536];
        for (;;) {
            const std::uint32_t got = KTLORSYM_MpttRead(instance_, buffer, sizeof buffer);
            if (got == 0) {
                return total;
            }
            sink(buffer, got);
            total += got;
        }
    }

  private:
    MpttInstance* instance_ = nullptr;
};

// Where the last `lines` lines of text begin.
std::size_t last_lines_start(const std::string& text, long lines) {
    if (lines == 0) {
        return text.size();
    }
    std::size_t at = text.size();
    if (at != 0 && text[at - 1] == '\n') {
        --at;  // the last line's own end
    }
    for (long seen = 0; at != 0; --at) {
        if (text[at - 1] == '\n' && ++seen == lines) {
            return at;
        }
    }
    return 0;
}

const char* cause_text(int cause) {
    switch (cause) {
        case KTLORSYM_MPTT_E_NOT_FOUND:
            return "not found";
        case KTLORSYM_MPTT_E_PATH:
            return "not a full trace file path ending in a number and .log";
        case KTLORSYM_MPTT_E_RECORD:
            return "the management file is not valid";
        case KTLORSYM_MPTT_E_LOCK:
            return "the writers' lock could not be taken";
        case KTLORSYM_MPTT_E_MUTEX:
            return "the writers' mutex cannot be opened";
        case KTLORSYM_MPTT_E_MAPPING:
        case KTLORSYM_MPTT_E_VIEW:
            return "cannot be mapped (empty or too short?)";
        default:
            return "cannot be read";
    }
}

class Follower {
  public:
    Follower(TraceSet set, const Options& options) : set_(std::move(set)), options_(options) {}

    int run() {
        ktlor::managed::ManagementRecord record{};
        const RecordState state = read_record(set_.management, &record);
        if (state != RecordState::ok) {
            std::fprintf(stderr, "%s: no managed trace set at %s: management file %s %s\n",
                         kProgram, set_.prefix.c_str(), set_.management.c_str(),
                         state == RecordState::missing ? "not found" : "is not valid");
            return kExitFailed;
        }
        number_ = set_.first_file != 0 ? set_.first_file : record.current;
        if (!open_file(true)) {
            return kExitFailed;
        }
        if (!begin()) {
            return kExitFailed;
        }
        while (g_stop == 0) {
            if (!ready_ && !open_file(false)) {
                return kExitFailed;
            }
            int cause = 0;
            const std::int64_t end = ready_ ? reader_.data_end(&cause) : -1;
            if (end < 0 && ready_ && !bearable(cause)) {
                return kExitFailed;
            }
            if (end >= 0 && reader_.read_all(put) != 0) {
                pause_ms_ = kFirstPollMs;
                continue;
            }
            // Nothing new here: the set may be gone, or the writers may have moved on.
            const RecordState now = read_record(set_.management, &record);
            if (now == RecordState::missing) {
                std::fprintf(stderr, "%s: the trace set %s was removed\n", kProgram,
                             set_.prefix.c_str());
                return kExitStopped;
            }
            if (now == RecordState::ok && record.current != number_) {
                // The switch was made under the lock after this file's last line: what the
                // reader finds now is all of it.
                if (ready_ && reader_.data_end(&cause) >= 0) {
                    reader_.read_all(put);
                }
                number_ = number_ % record.file_count + 1;
                ready_ = false;
                continue;
            }
            plat::sleep_ms(pause_ms_);
            pause_ms_ = std::min(pause_ms_ * 2, kPollMs);
        }
        return kExitStopped;
    }

  private:
    bool open_file(bool first) {
        const std::string path = trace_file(set_.prefix, number_);
        const int cause = reader_.open(path);
        ready_ = cause == 0;
        // A file that the writers have not made yet is waited for, or passed over once
        // they switch past it.
        if (ready_ || (!first && cause == KTLORSYM_MPTT_E_NOT_FOUND)) {
            return true;
        }
        std::fprintf(stderr, "%s: %s: %s (cause %d)\n", kProgram, path.c_str(), cause_text(cause),
                     cause);
        return false;
    }

    // The first file: its last lines, or all of it.
    bool begin() {
        int cause = 0;
        if (reader_.data_end(&cause) < 0 && !bearable(cause)) {
            return false;
        }
        if (options_.from_start) {
            reader_.read_all(put);
            return true;
        }
        std::string text;
        reader_.read_all([&](const char* data, std::size_t size) { text.append(data, size); });
        const std::size_t start = last_lines_start(text, options_.lines);
        put(text.data() + start, text.size() - start);
        return true;
    }

    // Causes that pass: a writer holding its lock for long, or a record being rebuilt.
    bool bearable(int cause) {
        if (cause == KTLORSYM_MPTT_E_LOCK || cause == KTLORSYM_MPTT_E_RECORD) {
            plat::sleep_ms(kPollMs);
            return true;
        }
        std::fprintf(stderr, "%s: %s: %s (cause %d)\n", kProgram,
                     trace_file(set_.prefix, number_).c_str(), cause_text(cause), cause);
        return false;
    }

    TraceSet set_;
    Options options_;
    std::uint32_t number_ = 0;
    FileReader reader_;
    bool ready_ = false;  // reader_ has number_ open
    std::uint32_t pause_ms_ = kPollMs;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parse(argc, argv, &options);
    if (parsed != 0) {
        return parsed < 0 ? kExitStopped : parsed;
    }
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
    TraceSet set;
    if (!locate(options.target, &set)) {
        return kExitFailed;
    }
    return Follower(set, options).run();
}
