// A shared library, loaded as its callers load it, resolves every name of its export list
// and exports nothing else. Built once per library by vm_library_exports, which generates the
// list from the library's .def file.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "export_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>

#include <fstream>
#include <iterator>
#endif

namespace {

// Exported names, each with whether it names data rather than code.
using Exports = std::map<std::string, bool>;

const Exports kListed = {
#include "export_entries.inc"
};

// What the export header declares, when the library has one.
const std::vector<std::string> kDeclared = {
#include "export_declared.inc"
};

#if defined(_WIN32)

struct Library {
    HMODULE handle = LoadLibraryA(VM_EXPORT_LIBRARY_FILE);
    std::string why = "LoadLibraryA error " + std::to_string(GetLastError());
    ~Library() { FreeLibrary(handle); }
    void* resolve(const char* name) const {
        return reinterpret_cast<void*>(GetProcAddress(handle, name));
    }

    // The export directory as the loader sees it, with the name the library gives itself there.
    // Code lives in executable pages, data does not.
    Exports exports(std::string* internal_name) const {
        Exports found;
        const auto* base = reinterpret_cast<const char*>(handle);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& entry =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (entry.Size == 0) {
            return found;
        }
        const auto* directory =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
        *internal_name = base + directory->Name;
        const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
        const DWORD executable =
            PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
            MEMORY_BASIC_INFORMATION page{};
            VirtualQuery(resolve(base + names[i]), &page, sizeof page);
            found[base + names[i]] = (page.Protect & executable) == 0;
        }
        return found;
    }
};

#else

struct Library {
    void* handle = dlopen(VM_EXPORT_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    std::string why = handle == nullptr ? dlerror() : "";
    ~Library() {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    void* resolve(const char* name) const { return dlsym(handle, name); }

    // The defined, visible symbols of the file's dynamic symbol table; functions are code.
    Exports exports(std::string*) const {
        Exports found;
        std::ifstream in(VM_EXPORT_LIBRARY_FILE, std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const auto read = [&file](auto* out, std::size_t offset) {
            std::memcpy(out, file.data() + offset, sizeof *out);
        };
        Elf64_Ehdr header{};
        if (file.size() < sizeof header) {
            return found;
        }
        read(&header, 0);
        for (unsigned s = 0; s < header.e_shnum; ++s) {
            Elf64_Shdr section{};
            Elf64_Shdr strings{};
            read(&section, header.e_shoff + s * sizeof section);
            if (section.sh_type != SHT_DYNSYM) {
                continue;
            }
            read(&strings, header.e_shoff + section.sh_link * sizeof strings);
            for (std::size_t i = 1; i < section.sh_size / sizeof(Elf64_Sym); ++i) {
                Elf64_Sym symbol{};
                read(&symbol, section.sh_offset + i * sizeof symbol);
                const unsigned visibility = ELF64_ST_VISIBILITY(symbol.st_other);
                if (symbol.st_shndx != SHN_UNDEF && ELF64_ST_BIND(symbol.st_info) != STB_LOCAL &&
                    (visibility == STV_DEFAULT || visibility == STV_PROTECTED)) {
                    found[file.data() + strings.sh_offset + symbol.st_name] =
                        ELF64_ST_TYPE(symbol.st_info) != STT_FUNC;
                }
            }
        }
        return found;
    }
};

#endif

// Names of one list that the other lacks, one a line.
std::string missing_from(const Exports& from, const Exports& other) {
    std::string text;
    for (const auto& [name, data] : from) {
        text += other.count(name) == 0 ? "  " + name + "\n" : "";
    }
    return text;
}

TEST(Exports, ExactlyTheListedNamesResolveUndecoratedAndOfTheirKind) {
    const Library library;
    ASSERT_NE(library.handle, nullptr) << VM_EXPORT_LIBRARY_FILE << ": " << library.why;
    for (const auto& [name, data] : kListed) {
        EXPECT_NE(library.resolve(name.c_str()), nullptr) << name;
    }
    EXPECT_EQ(library.resolve("vm_no_such_export"), nullptr);

    std::string internal_name;
    const Exports found = library.exports(&internal_name);
    EXPECT_EQ(missing_from(found, kListed), "") << "exported but not listed";
    EXPECT_EQ(missing_from(kListed, found), "") << "listed but not exported";
    for (const auto& [name, data] : found) {
        const auto listed = kListed.find(name);
        if (listed != kListed.end()) {
            EXPECT_EQ(data, listed->second) << name << (data ? " is data" : " is code");
        }
    }
#if defined(_WIN32)
    EXPECT_STRCASEEQ(internal_name.c_str(), VM_EXPORT_LIBRARY_NAME);
#endif
}

TEST(Exports, EveryNameTheHeaderDeclaresIsListed) {
    Exports declared;
    for (const std::string& name : kDeclared) {
        declared[name] = false;
    }
    EXPECT_EQ(missing_from(declared, kListed), "") << "declared but not listed";
}

}  // namespace
