// What the provider keeps between calls: parsed signer profiles and parsed certificates of the
// recipients' directories. Only parsing is saved; every check is still made on every call, and
// an entry is used only while the file it came from is unchanged.
//
// Shared by the exports, which may run at once ("common:use_func_mutex" off): entries are
// reference-counted objects handed out under one mutex per cache.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cryptoext/ossl.h"
#include "ssf/pki/password.h"

namespace ssf {

// The identity of a file's contents as the file system tells it: a file replaced, rewritten or
// touched gets another identity.
struct FileId {
    uint64_t dev = 0, ino = 0;
    int64_t size = 0;
    int64_t mtime_ns = 0, ctime_ns = 0;
    bool operator==(const FileId&) const = default;
};
FileId file_id_of(const struct stat& st);
// The identity of an open file, or none.
std::optional<FileId> file_id_of(int fd);
std::optional<FileId> file_id_of(const char* path);
// The identity of the file behind a file stream of the crypto library, or none.
std::optional<FileId> file_id_of(BIO* file);

// True when the file was last changed long enough ago that a change made now would show in its
// identity: file times tick coarsely, so a file written in the current tick may change again
// without a new time.
bool settled(const FileId& id);

// The identity of a file around its reading: the same identity before and after, of a settled
// file, means that what was parsed is what the file holds.
struct FileRead {
    std::optional<FileId> before, after;
    bool stable() const { return before && after && *before == *after && settled(*after); }
};

// A keyed hash of every byte of a password (none counts apart from the empty one). The key is
// drawn once per process, so the hash means nothing outside it; the password itself is never
// kept.
using SecretDigest = std::array<unsigned char, 32>;
SecretDigest secret_digest(const Password& password);

// A parsed signer or recipient profile: the certificate and private key its files gave.
struct ProfileKey {
    std::string source;         // the kind of profile and its file names
    std::vector<FileId> files;  // identities of those files when they were read
    SecretDigest secret{};      // of the password that opened them
};
struct Profile {
    ossl::X509Ptr cert;
    ossl::PKey key;
};

// Looks a profile up; the result shares the cached objects. Nothing when absent or stale.
std::optional<Profile> profile_cache_find(const ProfileKey& key);
// Keeps a profile, in place of any older entry of the same source and password; the least
// recently used entry leaves when the cache is full.
void profile_cache_store(const ProfileKey& key, X509* cert, EVP_PKEY* key_material);

inline constexpr size_t kProfileCacheEntries = 32;

// Certificates of one directory by file name, each with the identity of the file it came from.
struct DirectoryEntry {
    FileId id;
    ossl::X509Ptr cert;
};
struct DirectorySnapshot;
// The last snapshot of a directory (never null; empty when unknown), and its replacement after a
// call has read the directory. Snapshots are immutable once stored, so readers need no lock.
std::shared_ptr<const DirectorySnapshot> directory_cache_find(const std::string& directory);
void directory_cache_store(const std::string& directory,
                           std::shared_ptr<const DirectorySnapshot> snapshot);

struct DirectorySnapshot {
    std::vector<std::pair<std::string, DirectoryEntry>> files;  // sorted by name
    // The cached certificate of the named file when its identity is still id, else null.
    X509* find(const std::string& name, const FileId& id) const;

    // The trust store of these certificates, made on first use. Shared by concurrent calls: the
    // crypto library only reads a store while it verifies, and nothing may add to this one.
    mutable std::mutex store_mutex;
    mutable ossl::X509StorePtr store;
};

// The trust store of the cached directory whose certificates are exactly these, in this order
// (made by build when it does not exist yet); none when no cached directory holds them.
ossl::X509StorePtr shared_trust_store(STACK_OF(X509) * certs,
                                      const std::function<ossl::X509StorePtr()>& build);

inline constexpr size_t kDirectoryCacheDirectories = 8;
// Certificates kept for all directories together; beyond it files are parsed on every call.
inline constexpr size_t kDirectoryCacheCertificates = 50000;

// Forgets everything (start-up for tests).
void clear_caches();

}  // namespace ssf
