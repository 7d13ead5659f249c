// The settings store loaded as its callers load it: by path, every export found by name.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jovacfg.h"
#include "plat/dl.h"

namespace qac::testing {

struct Api {
    decltype(&QAC_ConfigCreate) ConfigCreate = nullptr;
    decltype(&QAC_ConfigDestroy) ConfigDestroy = nullptr;
    decltype(&QAC_ConfigRead) ConfigRead = nullptr;
    decltype(&QAC_ConfigReadFromData) ConfigReadFromData = nullptr;
    decltype(&QAC_ConfigWrite) ConfigWrite = nullptr;
    decltype(&QAC_ContentListGet) ContentListGet = nullptr;
    decltype(&QAC_ContentListGetFromData) ContentListGetFromData = nullptr;
    decltype(&QAC_DataGet) DataGet = nullptr;
    decltype(&QAC_DataGetFromData) DataGetFromData = nullptr;
    decltype(&QAC_DataDefaultGet) DataDefaultGet = nullptr;
    decltype(&QAC_DataDefaultGetFromData) DataDefaultGetFromData = nullptr;
    decltype(&QAC_DataDefaultCreate) DataDefaultCreate = nullptr;
    decltype(&QAC_DataDefaultCreateFromData) DataDefaultCreateFromData = nullptr;
    decltype(&QAC_DataChange) DataChange = nullptr;
    decltype(&QAC_DataChangeToData) DataChangeToData = nullptr;
    decltype(&QAC_DataAdd) DataAdd = nullptr;
    decltype(&QAC_DataAddToData) DataAddToData = nullptr;
    decltype(&QAC_DataDel) DataDel = nullptr;
    decltype(&QAC_DataDelFromData) DataDelFromData = nullptr;
};

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
        get(&api_.ConfigCreate, "QAC_ConfigCreate");
        get(&api_.ConfigDestroy, "QAC_ConfigDestroy");
        get(&api_.ConfigRead, "QAC_ConfigRead");
        get(&api_.ConfigReadFromData, "QAC_ConfigReadFromData");
        get(&api_.ConfigWrite, "QAC_ConfigWrite");
        get(&api_.ContentListGet, "QAC_ContentListGet");
        get(&api_.ContentListGetFromData, "QAC_ContentListGetFromData");
        get(&api_.DataGet, "QAC_DataGet");
        get(&api_.DataGetFromData, "QAC_DataGetFromData");
        get(&api_.DataDefaultGet, "QAC_DataDefaultGet");
        get(&api_.DataDefaultGetFromData, "QAC_DataDefaultGetFromData");
        get(&api_.DataDefaultCreate, "QAC_DataDefaultCreate");
        get(&api_.DataDefaultCreateFromData, "QAC_DataDefaultCreateFromData");
        get(&api_.DataChange, "QAC_DataChange");
        get(&api_.DataChangeToData, "QAC_DataChangeToData");
        get(&api_.DataAdd, "QAC_DataAdd");
        get(&api_.DataAddToData, "QAC_DataAddToData");
        get(&api_.DataDel, "QAC_DataDel");
        get(&api_.DataDelFromData, "QAC_DataDelFromData");
        complete_ = all;
    }

    bool complete() const { return complete_; }
    const Api& api() const { return api_; }

  private:
    plat::SharedLibrary library_;
    Api api_;
    bool complete_ = false;
};

// One library for the whole test program, loaded on first use.
inline const Api& store() {
    static StoreLibrary library;
    EXPECT_TRUE(library.complete()) << "cannot load " << JOVACFG_LIBRARY_FILE;
    return library.api();
}

}  // namespace qac::testing
