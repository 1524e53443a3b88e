// The three SHA-256 calls of the board records, loading nettle at their first
// use rather than at process start: only a run that writes a record maps it.
#include <dlfcn.h>
#include <nettle/sha2.h>

#include <cstdio>
#include <cstring>

namespace {

void* Symbol(const char* name) {
    static void* const library = ::dlopen("libnettle.so.8", RTLD_NOW | RTLD_LOCAL);
    void* symbol = library != nullptr ? ::dlsym(library, name) : nullptr;
    if (symbol == nullptr)
        std::fprintf(stderr, "vornic-cli: cannot load %s from libnettle.so.8\n", name);
    return symbol;
}

}  // namespace

// Without the library a record's digest reads as all zeros, after the complaint.
extern "C" void nettle_sha256_init(sha256_ctx* context) {
    static const auto real =
        reinterpret_cast<decltype(&nettle_sha256_init)>(Symbol("nettle_sha256_init"));
    if (real != nullptr) real(context);
}

extern "C" void nettle_sha256_update(sha256_ctx* context, size_t length, const uint8_t* data) {
    static const auto real =
        reinterpret_cast<decltype(&nettle_sha256_update)>(Symbol("nettle_sha256_update"));
    if (real != nullptr) real(context, length, data);
}

extern "C" void nettle_sha256_digest(sha256_ctx* context, size_t length, uint8_t* digest) {
    static const auto real =
        reinterpret_cast<decltype(&nettle_sha256_digest)>(Symbol("nettle_sha256_digest"));
    if (real != nullptr)
        real(context, length, digest);
    else
        std::memset(digest, 0, length);
}
