#include "ssf/pki/cache.h"

#include <openssl/hmac.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <vector>

#include "platform/winstub.h"

namespace ssf {

namespace {

int64_t nanoseconds(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A file changed within this many seconds of now is not cached yet.
constexpr time_t kSettleSeconds = 2;

struct ProfileEntry {
    ProfileKey key;
    Profile profile;
};

struct ProfileCache {
    std::mutex mutex;
    std::list<ProfileEntry> entries;  // most recently used first
};
ProfileCache& profiles() {
    static auto* cache = new ProfileCache;  // lives as long as the engines that own its keys
    return *cache;
}

struct DirectoryCache {
    std::mutex mutex;
    // Most recently used first.
    std::list<std::pair<std::string, std::shared_ptr<const DirectorySnapshot>>> dirs;
};
DirectoryCache& directories() {
    static auto* cache = new DirectoryCache;
    return *cache;
}

struct HashKey {
    std::once_flag once;
    bool drawn = false;
    unsigned char key[32];
};
HashKey& hash_key() {
    static auto* k = new HashKey;
    return *k;
}

}  // namespace

FileId file_id_of(const struct stat& st) {
    FileId id;
    id.dev = static_cast<uint64_t>(st.st_dev);
    id.ino = static_cast<uint64_t>(st.st_ino);
    id.size = static_cast<int64_t>(st.st_size);
    id.mtime_ns = nanoseconds(st.st_mtim);
    id.ctime_ns = nanoseconds(st.st_ctim);
    return id;
}

std::optional<FileId> file_id_of(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return file_id_of(st);
}

std::optional<FileId> file_id_of(const char* path) {
    struct stat st {};
    if (!path || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return file_id_of(st);
}

std::optional<FileId> file_id_of(BIO* file) {
    if (!file) return std::nullopt;
    int fd = -1;
    if (BIO_method_type(file) == BIO_TYPE_FD && BIO_get_fd(file, &fd) >= 0) return file_id_of(fd);
    FILE* fp = nullptr;
    if (BIO_method_type(file) == BIO_TYPE_FILE && BIO_get_fp(file, &fp) > 0 && fp)
        return file_id_of(::fileno(fp));
    return std::nullopt;
}

bool settled(const FileId& id) {
    const int64_t limit = (static_cast<int64_t>(platform::now()) - kSettleSeconds) * 1000000000;
    return id.ctime_ns < limit && id.mtime_ns < limit;
}

SecretDigest secret_digest(const Password& password) {
    HashKey& k = hash_key();
    std::call_once(k.once, [&] {
        // Straight from the kernel: the hash key must not depend on the random method the
        // crypto library happens to have at the first call.
        size_t got = 0;
        while (got < sizeof k.key) {
            const ssize_t n = ::getrandom(k.key + got, sizeof k.key - got, 0);
            // A kernel that refuses for good would keep every call waiting here; without a key
            // no digest is made, so no profile is kept.
            if (n < 0 && errno != EINTR) return;
            if (n > 0) got += static_cast<size_t>(n);
        }
        k.drawn = true;
    });
    SecretDigest d{};
    if (!k.drawn) return d;
    // One byte tells an absent password from an empty one.
    std::vector<unsigned char> input;
    input.reserve(1 + password.size());  // one buffer, so that wiping it wipes every copy
    input.push_back(password.given() ? 1 : 0);
    input.insert(input.end(), password.data(), password.data() + password.size());
    unsigned int len = 0;
    const bool ok = HMAC(EVP_sha256(), k.key, sizeof k.key, input.data(), input.size(), d.data(),
                         &len) != nullptr &&
                    len == d.size();
    OPENSSL_cleanse(input.data(), input.size());
    // A digest that could not be made matches nothing: an all-zero digest is never stored.
    if (!ok) d.fill(0);
    return d;
}

std::optional<Profile> profile_cache_find(const ProfileKey& key) {
    ProfileCache& c = profiles();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
        if (it->key.source != key.source || it->key.secret != key.secret) continue;
        if (it->key.files != key.files) return std::nullopt;
        c.entries.splice(c.entries.begin(), c.entries, it);
        return Profile{ossl::up_ref(it->profile.cert.get()), ossl::up_ref(it->profile.key.get())};
    }
    return std::nullopt;
}

void profile_cache_store(const ProfileKey& key, X509* cert, EVP_PKEY* key_material) {
    if (!cert || !key_material || key.secret == SecretDigest{}) return;
    // Dropped entries are released after the lock: freeing a key wipes it, which takes a while.
    std::list<ProfileEntry> dropped;
    {
        ProfileCache& c = profiles();
        std::lock_guard<std::mutex> lock(c.mutex);
        for (auto it = c.entries.begin(); it != c.entries.end();) {
            auto next = std::next(it);
            if (it->key.source == key.source && it->key.secret == key.secret)
                dropped.splice(dropped.end(), c.entries, it);
            it = next;
        }
        c.entries.push_front(
            ProfileEntry{key, Profile{ossl::up_ref(cert), ossl::up_ref(key_material)}});
        while (c.entries.size() > kProfileCacheEntries)
            dropped.splice(dropped.end(), c.entries, std::prev(c.entries.end()));
    }
}

X509* DirectorySnapshot::find(const std::string& name, const FileId& id) const {
    auto it = std::lower_bound(files.begin(), files.end(), name,
                               [](const auto& e, const std::string& n) { return e.first < n; });
    if (it == files.end() || it->first != name || !(it->second.id == id)) return nullptr;
    return it->second.cert.get();
}

std::shared_ptr<const DirectorySnapshot> directory_cache_find(const std::string& directory) {
    DirectoryCache& c = directories();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.dirs.begin(); it != c.dirs.end(); ++it) {
        if (it->first != directory) continue;
        c.dirs.splice(c.dirs.begin(), c.dirs, it);
        return it->second;
    }
    static const auto empty = std::make_shared<const DirectorySnapshot>();
    return empty;
}

void directory_cache_store(const std::string& directory,
                           std::shared_ptr<const DirectorySnapshot> snapshot) {
    if (!snapshot || snapshot->files.size() > kDirectoryCacheCertificates) return;
    std::list<std::pair<std::string, std::shared_ptr<const DirectorySnapshot>>> dropped;
    DirectoryCache& c = directories();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.dirs.begin(); it != c.dirs.end();) {
        auto next = std::next(it);
        if (it->first == directory) dropped.splice(dropped.end(), c.dirs, it);
        it = next;
    }
    c.dirs.emplace_front(directory, std::move(snapshot));
    auto total = [&] {
        size_t n = 0;
        for (const auto& d : c.dirs) n += d.second->files.size();
        return n;
    };
    while (c.dirs.size() > kDirectoryCacheDirectories ||
           (c.dirs.size() > 1 && total() > kDirectoryCacheCertificates))
        dropped.splice(dropped.end(), c.dirs, std::prev(c.dirs.end()));
}

ossl::X509StorePtr shared_trust_store(STACK_OF(X509) * certs,
                                      const std::function<ossl::X509StorePtr()>& build) {
    const size_t n = static_cast<size_t>(std::max(sk_X509_num(certs), 0));
    std::shared_ptr<const DirectorySnapshot> match;
    {
        DirectoryCache& c = directories();
        std::lock_guard<std::mutex> lock(c.mutex);
        for (const auto& d : c.dirs) {
            const auto& files = d.second->files;
            if (n == 0 || files.size() != n) continue;
            size_t i = 0;
            while (i < n && files[i].second.cert.get() == sk_X509_value(certs, static_cast<int>(i)))
                ++i;
            if (i == n) {
                match = d.second;
                break;
            }
        }
    }
    if (!match) return nullptr;
    std::lock_guard<std::mutex> lock(match->store_mutex);
    if (!match->store) match->store = build();
    if (!match->store || X509_STORE_up_ref(match->store.get()) != 1) return nullptr;
    return ossl::X509StorePtr(match->store.get());
}

void clear_caches() {
    std::list<ProfileEntry> profiles_dropped;
    std::list<std::pair<std::string, std::shared_ptr<const DirectorySnapshot>>> dirs_dropped;
    {
        std::lock_guard<std::mutex> lock(profiles().mutex);
        profiles_dropped.swap(profiles().entries);
    }
    {
        std::lock_guard<std::mutex> lock(directories().mutex);
        dirs_dropped.swap(directories().dirs);
    }
}

}  // namespace ssf
