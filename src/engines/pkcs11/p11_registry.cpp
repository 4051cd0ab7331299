#include "engines/pkcs11/p11_registry.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/winstub.h"

namespace p11 {

struct Module {
    std::string path;
    CK_FUNCTION_LIST* functions = nullptr;
    unsigned users = 0;
    bool finalize_when_unused = false;  // we initialised it
};

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<Module>> modules;
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
    auto found = r.modules.find(path);
    if (found == r.modules.end()) {
        void* lib = platform::load_library(path.c_str());
        if (!lib) {
            out.failure = LoadFailure::not_loadable;
            return out;
        }
        auto get_list = reinterpret_cast<CK_C_GetFunctionList>(
            platform::get_proc_address(lib, "C_GetFunctionList"));
        if (!get_list) {
            out.failure = LoadFailure::no_entry;
            return out;
        }
        CK_FUNCTION_LIST* functions = nullptr;
        out.rv = get_list(&functions);
        if (out.rv != CKR_OK || !functions) {
            out.failure = LoadFailure::list_failed;
            if (out.rv == CKR_OK) out.rv = CKR_GENERAL_ERROR;
            return out;
        }
        auto m = std::make_unique<Module>();
        m->path = path;
        m->functions = functions;
        found = r.modules.emplace(path, std::move(m)).first;
    }
    Module* m = found->second.get();
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
    auto found = r.modules.find(path);
    return found == r.modules.end() ? 0 : found->second->users;
}

}  // namespace p11
