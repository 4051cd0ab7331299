#include "engines/pkcs11/p11_registry.h"

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>

#include "platform/files.h"
#include "platform/winstub.h"

namespace p11 {

struct Module {
    void* library = nullptr;  // the loader's handle: one per loaded file, whatever its spelling
    CK_FUNCTION_LIST* functions = nullptr;
    unsigned users = 0;
    bool finalize_when_unused = false;  // we initialised it
};

namespace {

struct Registry {
    std::mutex lock;
    std::map<void*, std::unique_ptr<Module>> modules;
    // Each spelling met so far, so that a known module is not looked for again.
    std::map<std::string, Module*> paths;
};

// Never destroyed: keys may be released from exit-time clean-up after static destructors ran.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

CK_RV initialise(CK_FUNCTION_LIST* f) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = f->C_Initialize(&args);
    // A module that cannot lock, or takes no arguments at all, runs with the caller's locking.
    if (rv == CKR_CANT_LOCK || rv == CKR_ARGUMENTS_BAD) rv = f->C_Initialize(nullptr);
    return rv;
}

// The library as dlopen takes its name. A path is opened first without waiting and must be a
// regular file; dlopen then gets the path itself, not the descriptor's name, so that the
// module's $ORIGIN still names its own directory. (A file swapped in between the two could
// only be put there by someone who may replace the module itself.)
void* open_library(const std::string& path) {
    if (path.find('/') != std::string::npos && !platform::RegularFile(path)) return nullptr;
    return platform::load_library(path.c_str());
}

// The first function the provider or the engine calls that the list lacks, or null. A module
// that leaves one out would crash the process on the first call that needs it.
const char* missing_function(const CK_FUNCTION_LIST* f) {
    const std::pair<const char*, bool> used[] = {
        {"C_Initialize", f->C_Initialize != nullptr},
        {"C_Finalize", f->C_Finalize != nullptr},
        {"C_GetSlotList", f->C_GetSlotList != nullptr},
        {"C_GetTokenInfo", f->C_GetTokenInfo != nullptr},
        {"C_OpenSession", f->C_OpenSession != nullptr},
        {"C_CloseSession", f->C_CloseSession != nullptr},
        {"C_Login", f->C_Login != nullptr},
        {"C_FindObjectsInit", f->C_FindObjectsInit != nullptr},
        {"C_FindObjects", f->C_FindObjects != nullptr},
        {"C_FindObjectsFinal", f->C_FindObjectsFinal != nullptr},
        {"C_GetAttributeValue", f->C_GetAttributeValue != nullptr},
        {"C_SetAttributeValue", f->C_SetAttributeValue != nullptr},
        {"C_DestroyObject", f->C_DestroyObject != nullptr},
        {"C_SignInit", f->C_SignInit != nullptr},
        {"C_Sign", f->C_Sign != nullptr},
        {"C_DecryptInit", f->C_DecryptInit != nullptr},
        {"C_Decrypt", f->C_Decrypt != nullptr},
        {"C_DeriveKey", f->C_DeriveKey != nullptr},
        {"C_GenerateKeyPair", f->C_GenerateKeyPair != nullptr},
    };
    for (const auto& [name, present] : used)
        if (!present) return name;
    return nullptr;
}

// The module of a library handle, its function list taken and checked on first sight. Null
// with out's failure set when the library is no usable module.
Module* module_of(Registry& r, void* lib, Loaded& out) {
    if (auto known = r.modules.find(lib); known != r.modules.end()) return known->second.get();
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(
        platform::get_proc_address(lib, "C_GetFunctionList"));
    if (!get_list) {
        out.failure = LoadFailure::no_entry;
        return nullptr;
    }
    CK_FUNCTION_LIST* functions = nullptr;
    out.rv = get_list(&functions);
    if (out.rv != CKR_OK || !functions) {
        out.failure = LoadFailure::list_failed;
        if (out.rv == CKR_OK) out.rv = CKR_GENERAL_ERROR;
        return nullptr;
    }
    if ((out.missing = missing_function(functions)) != nullptr) {
        out.failure = LoadFailure::list_failed;
        out.rv = CKR_FUNCTION_NOT_SUPPORTED;
        return nullptr;
    }
    auto m = std::make_unique<Module>();
    m->library = lib;
    m->functions = functions;
    return r.modules.emplace(lib, std::move(m)).first->second.get();
}

}  // namespace
ModuleRef& ModuleRef::operator=(ModuleRef&& o) noexcept {
    if (this != &o) {
        reset();
        m_ = o.m_;
        o.m_ = nullptr;
    }
    return *this;
}

CK_FUNCTION_LIST* ModuleRef::functions() const {
    return m_ ? m_->functions : nullptr;
}

ModuleRef ModuleRef::share() const {
    if (!m_) return ModuleRef();
    std::lock_guard<std::mutex> hold(registry().lock);
    ++m_->users;
    return ModuleRef(m_);
}

void ModuleRef::reset() {
    if (!m_) return;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (m_->users > 0 && --m_->users == 0 && m_->finalize_when_unused) {
        m_->finalize_when_unused = false;
        m_->functions->C_Finalize(nullptr);
    }
    m_ = nullptr;
}

Loaded acquire_module(const std::string& path) {
    Loaded out;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    Module* m = nullptr;
    if (auto known = r.paths.find(path); known != r.paths.end()) {
        m = known->second;
    } else {
        void* lib = open_library(path);
        if (!lib) {
            out.failure = LoadFailure::not_loadable;
            return out;
        }
        if (!(m = module_of(r, lib, out))) return out;
        r.paths.emplace(path, m);
    }
    if (m->users == 0) {
        out.rv = initialise(m->functions);
        if (out.rv != CKR_OK && out.rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            out.failure = LoadFailure::initialize_failed;
            return out;
        }
        m->finalize_when_unused = out.rv == CKR_OK;
        out.rv = CKR_OK;
    }
    ++m->users;
    out.ref = ModuleRef(m);
    return out;
}

unsigned module_users(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (auto known = r.paths.find(path); known != r.paths.end()) return known->second->users;
    // A spelling not met yet may still name a loaded module; asking the loader loads nothing.
    if (path.find('/') != std::string::npos && !platform::RegularFile(path)) return 0;
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!lib) return 0;
    auto found = r.modules.find(lib);
    // RTLD_NOLOAD still counts a reference; the module keeps the one it was loaded with.
    dlclose(lib);
    return found == r.modules.end() ? 0 : found->second->users;
}

}  // namespace p11
