// The settings store loaded as its callers load it: by path, every export found by name.
#pragma once

#include <gtest/gtest.h>

#include <type_traits>

#include "jovacfg.h"
#include "plat/dl.h"

namespace qac::testing {

// Every export, by the name without its QAC_ prefix.
// clang-format off
#define QAC_STORE_EXPORTS(X)                                                                   \
    X(ConfigCreate) X(ConfigDestroy) X(ConfigRead) X(ConfigReadFromData) X(ConfigWrite)         \
    X(ContentListGet) X(ContentListGetFromData) X(DataGet) X(DataGetFromData) X(DataDefaultGet) \
    X(DataDefaultGetFromData) X(DataDefaultCreate) X(DataDefaultCreateFromData) X(DataChange)   \
    X(DataChangeToData) X(DataAdd) X(DataAddToData) X(DataDel) X(DataDelFromData)
// clang-format on

struct Api {
#define QAC_STORE_MEMBER(name) decltype(&QAC_##name) name = nullptr;
    QAC_STORE_EXPORTS(QAC_STORE_MEMBER);
#undef QAC_STORE_MEMBER
};

#define QAC_STORE_LOAD(name) get(&api_.name, "QAC_" #name);
class StoreLibrary {
  public:
    StoreLibrary() {
        if (!library_.load(JOVACFG_LIBRARY_FILE).ok()) {
            return;
        }
        bool all = true;
        const auto get = [&](auto* slot, const char* name) {
            *slot =
                reinterpret_cast<std::remove_reference_t<decltype(*slot)>>(library_.symbol(name));
            all = all && *slot != nullptr;
        };
        QAC_STORE_EXPORTS(QAC_STORE_LOAD);
        complete_ = all;
    }

    bool complete() const { return complete_; }
    const Api& api() const { return api_; }

  private:
    plat::SharedLibrary library_;
    Api api_;
    bool complete_ = false;
};
#undef QAC_STORE_LOAD

// One library for the whole test program, loaded on first use.
inline const Api& store() {
    static StoreLibrary library;
    EXPECT_TRUE(library.complete()) << "cannot load " << JOVACFG_LIBRARY_FILE;
    return library.api();
}

}  // namespace qac::testing
