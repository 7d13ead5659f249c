#include "value_writer.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "plat/file.h"
#include "plat/thread.h"
#include "value_node.h"
#include "value_text.h"

namespace qac {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Collects output and hands it to the sink in large pieces.
class Output {
  public:
    explicit Output(ByteSink* sink) : sink_(sink) { buffer_.reserve(kChunk + 1024); }

    void put(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= kChunk) {
            flush();
        }
    }
    void indent(std::size_t level) { buffer_.append(2 * level, ' '); }
    bool flush() {
        if (ok_ && !buffer_.empty()) {
            ok_ = sink_->put(buffer_.data(), buffer_.size());
        }
        buffer_.clear();
        return ok_;
    }

  private:
    ByteSink* sink_;
    std::string buffer_;
    bool ok_ = true;
};

std::string_view name_of(const ValueNode* node) {
    const char* name = node->definition->Name;
    return name != nullptr ? std::string_view(name) : std::string_view();
}

void put_text(Output* out, const char* text) {
    if (text != nullptr) {
        out->put(text);
    }
}

void put_leaf(Output* out, const QAC_Data& data) {
    switch (data.Type) {
        case QAC_TYPE_INTEGER:
            out->put(format_integer(data.Payload.Integer));
            break;
        case QAC_TYPE_STRING:
            put_text(out, data.Payload.String);
            break;
        case QAC_TYPE_ENUMERATION:
            put_text(out, data.Payload.Enumeration);
            break;
        case QAC_TYPE_BOOLEAN:
            out->put(format_boolean(data.Payload.Boolean));
            break;
        case QAC_TYPE_IPADDR:
            out->put(format_address(data.Payload.IpAddr));
            break;
        default:
            break;  // untyped: nothing between the tags
    }
}

void put_end(Output* out, const ValueNode* node) {
    out->put("</");
    out->put(name_of(node));
    out->put(">\n");
}

class FileSink final : public ByteSink {
  public:
    explicit FileSink(plat::File* file) : file_(file) {}
    bool put(const char* bytes, std::size_t size) override {
        const plat::Status status = file_->write(bytes, size, nullptr);
        error_ = status.error;
        return status.ok();
    }
    plat::ErrorCode error() const { return error_; }

  private:
    plat::File* file_;
    plat::ErrorCode error_ = 0;
};

class TextSink final : public ByteSink {
  public:
    bool put(const char* bytes, std::size_t size) override {
        text.append(bytes, size);
        return true;
    }
    std::string text;
};

}  // namespace

bool write_values(const QAC_DataGroup& top, ByteSink* sink) {
    Output out(sink);
    out.put("<config>\n");
    // Walks the lists down into structures and back up through the owners, so nesting
    // costs no call stack.
    const QAC_DataGroup* group = &top;
    const ValueNode* node = first_of(top);
    std::size_t level = 1;
    while (true) {
        if (node == nullptr) {
            if (group == &top || group->Owner == nullptr) {
                break;
            }
            const ValueNode* structure = node_of(group->Owner);
            --level;
            out.indent(level);
            put_end(&out, structure);
            node = structure->next;
            group = structure->group;
            continue;
        }
        out.indent(level);
        out.put("<");
        out.put(name_of(node));
        out.put(">");
        if (node->data.Type == QAC_TYPE_STRUCTURE) {
            // The members follow on the same line, each ending its own.
            group = &node->data.Members;
            node = first_of(*group);
            ++level;
            continue;
        }
        put_leaf(&out, node->data);
        put_end(&out, node);
        node = node->next;
    }
    out.put("</config>\n");
    return out.flush();
}

std::string values_text(const QAC_DataGroup& group) {
    TextSink sink;
    write_values(group, &sink);
    return std::move(sink.text);
}

namespace {

Result write_failure(plat::ErrorCode error) {
    return QAC_E_SYSTEM | (error & 0x000FFFFFu);
}

// A name beside the value file that no other writer uses at the same time: other processes
// differ in their id, threads of this one in the count.
std::string temporary_name(const char* path) {
    static std::atomic<std::uint32_t> count{0};
    return std::string(path) + "." + std::to_string(plat::current_process_id()) + "-" +
           std::to_string(count++) + ".tmp";
}

// The new text, written beside the value file and flushed, then closed. False with the
// error when any of it failed.
bool write_replacement(const std::string& temporary, const char* path, const QAC_DataGroup& group,
                       bool keep_access, plat::ErrorCode* error) {
    plat::File file;
    plat::Status status = file.open(temporary.c_str(), plat::Access::write,
                                    plat::Disposition::create_always, plat::Share::none);
    if (!status) {
        *error = status.error;
        return false;
    }
    if (keep_access) {
        status = plat::copy_file_access(path, temporary.c_str());
    }
    FileSink sink(&file);
    if (status && !write_values(group, &sink)) {
        status = plat::Status::failure(sink.error());
    }
    if (status) {
        status = file.flush();
    }
    const plat::Status closed = file.close();
    if (status && !closed) {
        status = closed;
    }
    *error = status.error;
    return status.ok();
}

}  // namespace

Result write_value_file(const char* path, const QAC_DataGroup& group) {
    // The value file itself is held exclusively for the whole write, as readers and writers
    // through the library expect; the text goes to a file beside it that then takes its
    // place in one step, so a crash or a failed write never leaves a cut value file. A file
    // that does not exist yet has nothing to hold: no empty stand-in is ever seen.
    plat::File hold;
    const plat::Status opened =
        hold.open(path, plat::Access::write, plat::Disposition::open_existing, plat::Share::none);
    const bool existed = opened.ok();
    if (!opened && plat::classify_error(opened.error) != plat::ErrorKind::not_found) {
        return system_result(opened.error);
    }
    const std::string temporary = temporary_name(path);
    plat::ErrorCode error = 0;
    Result result = kOk;
    if (!write_replacement(temporary, path, group, existed, &error)) {
        result = write_failure(error);
    } else {
        const plat::Status replaced =
            plat::replace_file(temporary.c_str(), path, existed ? &hold : nullptr);
        if (!replaced) {
            result = system_result(replaced.error);
        }
    }
    if (result != kOk) {
        plat::remove_file(temporary.c_str());
    }
    hold.close();
    return result;
}

}  // namespace qac
