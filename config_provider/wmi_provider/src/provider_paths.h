// Where the provider finds its work: the installation paths and the component list in the
// registry, registry references inside path texts, and the settings store bound by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "jovacfg.h"
#include "plat/dl.h"
#include "plat/file.h"

namespace jovaprv {

// The provider's own result codes: 0 or a class in the upper bits, as the settings store's.
using Code = std::uint32_t;
constexpr Code kOk = 0;
constexpr Code kCodeSystem = 0x01400000;  // | the system's error number
constexpr Code kCodeBusy = 0x04300000;    // | the system's error number
constexpr Code kCodeNoMemory = 0x03400000;
constexpr Code kCodeParam = 0x04400000;
constexpr Code kCodeStore = 0x05400000;
constexpr Code kCodeRange = 0x0A400000;
constexpr Code kCodeRegistry = 0x0C400000;

// Paths are held to 259 characters (UTF-16 units), as the Windows calls take them.
constexpr std::size_t kMaxPathLength = 259;
constexpr char kProductKey[] = "SOFTWARE\\VARMOTH\\KTL-PV";
constexpr char kComponentKeyName[] = "ASSIST";
constexpr char kRegistrationDefinition[] = "jovacnsw.xml";

struct InstallPaths {
    std::string bin, lib, cnf, log;
    std::string component_key;
};

// The process-wide paths; only the provider's one-at-a-time methods touch them.
InstallPaths& install_paths();

// Sets the paths from the registry. A failure leaves bin/lib/cnf/log as they were; the
// component key is set in every case.
Code read_install_paths_code();

// The registration file path of a component: the REG_SZ value of that name under the
// component key.
Code find_registration_file(const char* component_name, std::string* path);

// Replaces the first "[ROOT\subkey\value]" in text by that registry value's data.
Code expand_registry_references(const char* text, std::string* expanded);

Code join_path(const std::string& directory, const char* name, std::string* joined);
Code parent_path(const std::string& path, std::string* parent);

// Opens an existing file for reading, shared with readers and writers.
Code open_for_reading(const char* path, plat::File* file);

// Puts source in the place of target in one step, durable before it returns.
Code replace_file(const char* source, const char* target);

// A subkey name read as a positive decimal number ("  +12 " is 12); false for anything else
// and for numbers beyond 32 bits.
bool parse_subkey_number(const char* name, std::int32_t* number);

// Every settings store export, by the name without its QAC_ prefix.
// clang-format off
#define JOVAPRV_STORE_EXPORTS(X)                                                               \
    X(ConfigCreate) X(ConfigDestroy) X(ConfigRead) X(ConfigReadFromData) X(ConfigWrite)         \
    X(ContentListGet) X(ContentListGetFromData) X(DataGet) X(DataGetFromData) X(DataDefaultGet) \
    X(DataDefaultGetFromData) X(DataDefaultCreate) X(DataDefaultCreateFromData) X(DataChange)   \
    X(DataChangeToData) X(DataAdd) X(DataAddToData) X(DataDel) X(DataDelFromData)
// clang-format on

// The settings store, bound for one method and released at its end.
class Store {
  public:
    Store() = default;
    ~Store() { release(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Loads the library from the lib directory once; all nineteen exports must be there.
    Code bind();
    // Loads the library at that path instead (tests).
    Code bind_path(const char* path);
    void release();
    bool bound() const { return library_.is_loaded(); }

#define JOVAPRV_STORE_MEMBER(name) decltype(&QAC_##name) name = nullptr;
    JOVAPRV_STORE_EXPORTS(JOVAPRV_STORE_MEMBER)
#undef JOVAPRV_STORE_MEMBER

  private:
    plat::SharedLibrary library_;
};

// A handle that is destroyed with its owner.
class ConfigHandle {
  public:
    explicit ConfigHandle(const Store& store) : store_(store) {}
    ~ConfigHandle() {
        if (handle_ != nullptr) {
            store_.ConfigDestroy(handle_);
        }
    }
    ConfigHandle(const ConfigHandle&) = delete;
    ConfigHandle& operator=(const ConfigHandle&) = delete;
    QAC_Config* get() const { return handle_; }
    QAC_Config** out() { return &handle_; }

  private:
    const Store& store_;
    QAC_Config* handle_ = nullptr;
};

}  // namespace jovaprv
