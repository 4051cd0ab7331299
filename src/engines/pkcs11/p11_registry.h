// The process-wide list of loaded PKCS#11 modules. Every user of a module (a token key of the
// provider, a key of the "pkcs11" engine) holds one reference; the module is initialised when
// its first user comes and finalised only when its last user is gone, so one failed load never
// pulls the module from under keys that still live. Modules are never unloaded.
// A module is counted by what the loader loaded, not by the text of its path: two spellings of
// one library (a symlink, a relative path, a bare name the loader searches) share one count.
#pragma once

#include <string>

#include "engines/pkcs11/p11_defs.h"

namespace p11 {

struct Module;

// One reference to a loaded, initialised module.
class ModuleRef {
  public:
    ModuleRef() = default;
    explicit ModuleRef(Module* m) : m_(m) {}
    ModuleRef(ModuleRef&& o) noexcept : m_(o.m_) { o.m_ = nullptr; }
    ModuleRef& operator=(ModuleRef&& o) noexcept;
    ModuleRef(const ModuleRef&) = delete;
    ModuleRef& operator=(const ModuleRef&) = delete;
    ~ModuleRef() { reset(); }

    void reset();
    // One more reference to the same module, for a key that outlives this one.
    ModuleRef share() const;
    explicit operator bool() const { return m_ != nullptr; }
    CK_FUNCTION_LIST* functions() const;

  private:
    Module* m_ = nullptr;
};

enum class LoadFailure {
    none,
    not_loadable,      // the library cannot be loaded
    no_entry,          // it has no C_GetFunctionList
    list_failed,       // C_GetFunctionList answered rv
    initialize_failed  // C_Initialize answered rv
};

struct Loaded {
    ModuleRef ref;
    LoadFailure failure = LoadFailure::none;
    CK_RV rv = CKR_OK;
    // list_failed for a function list that lacks a function we call (rv is then
    // CKR_FUNCTION_NOT_SUPPORTED): its name.
    const char* missing = nullptr;
};

// A new reference to the module at path, loading and initialising it as needed. A path with a
// slash is loaded only when it names a regular file, found without waiting (a FIFO would hold
// the loader, and every caller behind the list's lock, until someone wrote to it); a bare name
// is searched by the loader as dlopen does. A function list missing any function that the
// provider or the engine calls is refused here, never called. The module is
// asked for its own OS locking first (its users run on the host's threads); a module that
// cannot lock is initialised without arguments. A module that another party of the process has
// initialised already is used as it is and never finalised by us.
Loaded acquire_module(const std::string& path);

// How many references the module at path has now (0 when it is not loaded); any spelling of
// the module's path gives its one count.
unsigned module_users(const std::string& path);

}  // namespace p11
