// Handles, values and files of the settings store as the tests look at them, all through
// the library's exports.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "store_library.h"
#include "support.h"

namespace qac::testing {

// Handles made by a test, destroyed when it ends.
class Handles {
  public:
    ~Handles() {
        for (QAC_Config* handle : handles_) {
            store().ConfigDestroy(handle);
        }
    }

    // A handle of a definition document written to a file of that name.
    QAC_Config* create(const std::string& file, const std::string& definitions) {
        const std::string path = write_file(file, definitions);
        QAC_Config* handle = nullptr;
        EXPECT_EQ(store().ConfigCreate(path.c_str(), &handle), 0u);
        handles_.push_back(handle);  // destroying none is fine
        return handle;
    }

  private:
    std::vector<QAC_Config*> handles_;
};

// The values of a name in a handle or a structure, all of them.
template <typename Get, typename Owner>
std::vector<QAC_Data*> listed(Get get, Owner owner, const char* name) {
    std::uint32_t count = 0;
    EXPECT_EQ(get(owner, name, nullptr, &count), 0u) << name;
    std::vector<QAC_Data*> values(count);
    if (count > 0) {
        EXPECT_EQ(get(owner, name, values.data(), &count), 0u) << name;
    }
    return values;
}
inline std::vector<QAC_Data*> values_of(QAC_Config* handle, const char* name) {
    return listed(store().DataGet, handle, name);
}
inline std::vector<QAC_Data*> members_of(QAC_Data* structure, const char* name) {
    return listed(store().DataGetFromData, structure, name);
}

// An address as text; a mask only where it has a bit set.
inline std::string render_address(const QAC_IpAddr& a) {
    if (a.Form != QAC_IPADDR_NUMERIC) {
        return a.Form == QAC_IPADDR_HOSTNAME ? a.HostName : "-";
    }
    const std::size_t size = a.Family == 4 ? 4 : 16;
    const bool masked = std::any_of(a.Mask, a.Mask + size, [](std::uint8_t b) { return b != 0; });
    char text[8];
    std::string out;
    for (const std::uint8_t* bytes : {a.Address, a.Mask}) {
        if (bytes == a.Mask) {
            if (!masked) {
                break;
            }
            out += "/";
        }
        for (std::size_t i = 0; i < size; ++i) {
            std::snprintf(text, sizeof text, a.Family == 4 ? "%s%u" : "%s%02x",
                          i == 0 ? "" : (a.Family == 4 ? "." : (i % 2 == 0 ? ":" : "")), bytes[i]);
            out += text;
        }
    }
    return out;
}

// A value as text; a structure's members in set order, member definition by definition.
inline std::string render(QAC_Data* value) {
    switch (value->Type) {
        case QAC_TYPE_INTEGER:
            return std::to_string(value->Payload.Integer);
        case QAC_TYPE_STRING:
            return value->Payload.String;
        case QAC_TYPE_ENUMERATION:
            return value->Payload.Enumeration;
        case QAC_TYPE_BOOLEAN:
            return value->Payload.Boolean != 0 ? "TRUE" : "FALSE";
        case QAC_TYPE_IPADDR:
            return render_address(value->Payload.IpAddr);
        case QAC_TYPE_STRUCTURE: {
            std::string out = "{";
            const QAC_DataGroup& members = value->Members;
            for (std::uint32_t i = 0; i < members.DefinitionCount; ++i) {
                const char* name = members.Definitions[i]->Name;
                for (QAC_Data* member : members_of(value, name)) {
                    out += std::string(out.size() > 1 ? " " : "") + name + "=" + render(member);
                }
            }
            return out + "}";
        }
        default:
            return "?";
    }
}

inline std::string rendered(const std::vector<QAC_Data*>& values) {
    std::string out;
    for (QAC_Data* value : values) {
        out += std::string(out.empty() ? "" : ",") + render(value);
    }
    return out;
}

inline std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The value file the handle writes.
inline std::string written(QAC_Config* handle, const std::string& file = "written.xml") {
    const std::string path = (temp_dir() / file).string();
    EXPECT_EQ(store().ConfigWrite(path.c_str(), handle), 0u);
    return read_bytes(path);
}

}  // namespace qac::testing
