// A registry of the test's own. On POSIX the whole registry moves into a scratch directory
// (VARMOTH_REGISTRY), so a test may use any key. On Windows the test works below a key of
// its own in HKEY_CURRENT_USER, which is removed afterwards.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <string>

#include "plat/registry.h"
#include "plat/thread.h"
#include "scoped_env.h"
#include "scratch_dir.h"

namespace plat_test {

#ifdef _WIN32
class ScratchRegistry {
  public:
    ScratchRegistry() {
        static std::atomic<int> counter{0};
        base_ = std::string(kParent) + "\\" + std::to_string(plat::current_process_id()) + "-" +
                std::to_string(counter++);
        plat::delete_registry_tree(plat::RegistryRoot::current_user, base_.c_str());
    }
    ~ScratchRegistry() {
        plat::delete_registry_tree(plat::RegistryRoot::current_user, base_.c_str());
        // Only while no other test program still has its key there.
        RegDeleteKeyExA(HKEY_CURRENT_USER, kParent, KEY_WOW64_64KEY, 0);
    }
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    plat::RegistryRoot root() const { return plat::RegistryRoot::current_user; }
    std::string path(const std::string& key) const { return base_ + "\\" + key; }

  private:
    static constexpr const char* kParent = "Software\\VarmothTest";
    std::string base_;
};
#else
class ScratchRegistry {
  public:
    plat::RegistryRoot root() const { return plat::RegistryRoot::local_machine; }
    std::string path(const std::string& key) const { return key; }
    const ScratchDir& dir() const { return dir_; }

  private:
    ScratchDir dir_;  // neither copied nor assigned
    ScopedEnv env_{"VARMOTH_REGISTRY", dir_.path().string()};
};
#endif

}  // namespace plat_test
