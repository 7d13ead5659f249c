// A shared library, loaded as its callers load it, resolves every name of its export list
// and exports nothing else. Built once per library by vm_library_exports, which generates the
// list from the library's .def file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "export_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>

#include <fstream>
#endif

namespace {

struct Export {
    const char* name;
    bool data;
};

constexpr Export kExports[] = {
#include "export_entries.inc"
};

// What the export header declares, when the library has one.
const std::vector<std::string> kDeclared = {
#include "export_declared.inc"
};

// One name the library exports, and whether it names data rather than code.
struct Found {
    std::string name;
    bool data;
    bool operator<(const Found& other) const { return name < other.name; }
};

std::vector<Found> expected_exports() {
    std::vector<Found> list;
    for (const Export& e : kExports) {
        list.push_back({e.name, e.data});
    }
    std::sort(list.begin(), list.end());
    return list;
}

#if defined(_WIN32)

class Library {
  public:
    Library() : module_(LoadLibraryA(VM_EXPORT_LIBRARY_FILE)), error_(GetLastError()) {}
    ~Library() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    bool loaded() const { return module_ != nullptr; }
    std::string why() const { return "LoadLibraryA error " + std::to_string(error_); }
    void* resolve(const char* name) const {
        return reinterpret_cast<void*>(GetProcAddress(module_, name));
    }

    // The export directory as the loader sees it.
    const IMAGE_EXPORT_DIRECTORY* directory() const {
        const auto* base = reinterpret_cast<const unsigned char*>(module_);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& entry =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (entry.Size == 0) {
            return nullptr;
        }
        return reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    }

    std::string internal_name() const {
        const IMAGE_EXPORT_DIRECTORY* exports = directory();
        return exports == nullptr ? std::string()
                                  : reinterpret_cast<const char*>(module_) + exports->Name;
    }

    // Code lives in executable pages, data does not.
    std::vector<Found> exports() const {
        std::vector<Found> list;
        const IMAGE_EXPORT_DIRECTORY* exports = directory();
        if (exports == nullptr) {
            return list;
        }
        const auto* base = reinterpret_cast<const char*>(module_);
        const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            const char* name = base + names[i];
            MEMORY_BASIC_INFORMATION page{};
            VirtualQuery(resolve(name), &page, sizeof page);
            const DWORD executable =
                PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
            list.push_back({name, (page.Protect & executable) == 0});
        }
        std::sort(list.begin(), list.end());
        return list;
    }

  private:
    HMODULE module_;
    DWORD error_;
};

#else

class Library {
  public:
    Library() : handle_(dlopen(VM_EXPORT_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL)) {
        const char* error = handle_ == nullptr ? dlerror() : nullptr;
        why_ = error != nullptr ? error : "";
    }
    ~Library() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    bool loaded() const { return handle_ != nullptr; }
    std::string why() const { return why_; }
    void* resolve(const char* name) const { return dlsym(handle_, name); }

    // The defined, visible symbols of the file's dynamic symbol table.
    std::vector<Found> exports() const {
        std::vector<Found> list;
        std::ifstream in(VM_EXPORT_LIBRARY_FILE, std::ios::binary);
        const std::vector<char> file{std::istreambuf_iterator<char>(in), {}};
        Elf64_Ehdr header{};
        if (file.size() < sizeof header) {
            return list;
        }
        std::memcpy(&header, file.data(), sizeof header);
        std::vector<Elf64_Shdr> sections(header.e_shnum);
        std::memcpy(sections.data(), file.data() + header.e_shoff,
                    sections.size() * sizeof(Elf64_Shdr));
        for (const Elf64_Shdr& section : sections) {
            if (section.sh_type != SHT_DYNSYM) {
                continue;
            }
            const char* strings = file.data() + sections[section.sh_link].sh_offset;
            for (std::size_t i = 1; i < section.sh_size / sizeof(Elf64_Sym); ++i) {
                Elf64_Sym symbol{};
                std::memcpy(&symbol, file.data() + section.sh_offset + i * sizeof symbol,
                            sizeof symbol);
                const unsigned binding = ELF64_ST_BIND(symbol.st_info);
                const unsigned visibility = ELF64_ST_VISIBILITY(symbol.st_other);
                if (symbol.st_shndx == SHN_UNDEF || binding == STB_LOCAL ||
                    (visibility != STV_DEFAULT && visibility != STV_PROTECTED)) {
                    continue;
                }
                list.push_back(
                    {strings + symbol.st_name, ELF64_ST_TYPE(symbol.st_info) != STT_FUNC});
            }
        }
        std::sort(list.begin(), list.end());
        return list;
    }

  private:
    void* handle_;
    std::string why_;
};

#endif

// Entries of one sorted list that the other lacks, one a line.
std::string missing_from(const std::vector<Found>& from, const std::vector<Found>& other) {
    std::vector<Found> missing;
    std::set_difference(from.begin(), from.end(), other.begin(), other.end(),
                        std::back_inserter(missing),
                        [](const Found& a, const Found& b) { return a.name < b.name; });
    std::string text;
    for (const Found& f : missing) {
        text += "  " + f.name + "\n";
    }
    return text;
}

TEST(Exports, EveryListedNameResolves) {
    const Library library;
    ASSERT_TRUE(library.loaded()) << VM_EXPORT_LIBRARY_FILE << ": " << library.why();
    for (const Export& e : kExports) {
        EXPECT_NE(library.resolve(e.name), nullptr) << e.name;
    }
    EXPECT_EQ(library.resolve("vm_no_such_export"), nullptr);
}

TEST(Exports, ExactlyTheListedNamesUndecoratedAndOfTheirKind) {
    const Library library;
    ASSERT_TRUE(library.loaded()) << library.why();
    const std::vector<Found> found = library.exports();
    const std::vector<Found> expected = expected_exports();
    EXPECT_EQ(missing_from(found, expected), "") << "exported but not listed";
    EXPECT_EQ(missing_from(expected, found), "") << "listed but not exported";
    for (const Found& f : found) {
        const auto listed = std::lower_bound(expected.begin(), expected.end(), f);
        if (listed != expected.end() && listed->name == f.name) {
            EXPECT_EQ(f.data, listed->data) << f.name << (f.data ? " is data" : " is code");
        }
    }
#if defined(_WIN32)
    EXPECT_STRCASEEQ(library.internal_name().c_str(), VM_EXPORT_LIBRARY_NAME);
#endif
}

TEST(Exports, EveryNameTheHeaderDeclaresIsListed) {
    std::vector<Found> declared;
    for (const std::string& name : kDeclared) {
        declared.push_back({name, false});
    }
    std::sort(declared.begin(), declared.end());
    EXPECT_EQ(missing_from(declared, expected_exports()), "") << "declared but not listed";
}

}  // namespace
