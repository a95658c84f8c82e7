// bootimg keygen and bootimg sign: signing containers for switches that hold
// a public key.
#include "sign.hpp"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "commands.hpp"
#include "examine.hpp"
#include "files.hpp"
#include "image/container.hpp"
#include "image/section_writer.hpp"
#include "image/signature.hpp"

namespace bootimg {

namespace {

constexpr std::uint32_t kManifestType = manifest::kSectionType;

void sha256(std::span<const std::uint8_t> data, std::array<std::uint8_t, 32>& out) {
    crypto_hash_sha256(out.data(), data.data(), data.size());
}

}  // namespace

bool is_manifest(const SectionReport& s) {
    return s.header.type() == kManifestType;
}

bool sign_container(std::vector<std::uint8_t>& container, const SignRequest& request,
                    const Io& io, const char* command) {
    const char* name = request.output.c_str();
    // A manifest already in front is replaced: signing again (a new counter,
    // another key) takes the sections that follow it.
    ContainerReport r = examine(container);
    std::size_t skip = 0;
    if (!r.sections.empty() && is_manifest(r.sections[0]) && r.sections[0].readable())
        skip = static_cast<std::size_t>(r.sections[0].geometry.size);
    if (skip) {
        container.erase(container.begin(), container.begin() + static_cast<long>(skip));
        r = examine(container);
    }
    if (!r.problems.empty() || r.sections.empty()) {
        complain(io, command, "%s: %s; not signed", name,
                 r.sections.empty() ? "no section to sign" : r.problems.front().c_str());
        return false;
    }
    for (const SectionReport& s : r.sections) {
        if (!s.intact() || is_manifest(s)) {
            complain(io, command, "%s: %s: %s; not signed", name, where(s.index, s.offset).c_str(),
                     is_manifest(s) ? "a second manifest" : s.problems.front().c_str());
            return false;
        }
    }
    if (r.sections.size() > manifest::kMaxEntries) {
        complain(io, command, "%s: %zu sections, more than the %u a manifest lists; not signed",
                 name, r.sections.size(), manifest::kMaxEntries);
        return false;
    }
    if (request.product.empty() || request.product.size() > manifest::kProductSize ||
        std::any_of(request.product.begin(), request.product.end(),
                    [](char c) { return c < 0x20 || c > 0x7E; })) {
        complain(io, command, "product '%s' is not 1 to %zu printable characters",
                 request.product.c_str(), manifest::kProductSize);
        return false;
    }

    manifest::Manifest m;
    std::memcpy(m.product.data(), request.product.data(), request.product.size());
    m.key_id = signing::key_id(request.public_key);
    m.counter = request.counter;
    m.count = static_cast<std::uint32_t>(r.sections.size());
    for (std::size_t i = 0; i < r.sections.size(); ++i) {
        const SectionReport& s = r.sections[i];
        m.entries[i].size = s.geometry.size;
        sha256(std::span<const std::uint8_t>(container).subspan(
                   static_cast<std::size_t>(s.offset), s.geometry.size),
               m.entries[i].sha256);
    }
    std::vector<std::uint8_t> payload(manifest::kMaxPayload);
    const std::size_t size = manifest::encode(m, payload);
    payload.resize(size);
    const std::size_t signed_size = size - manifest::kSignatureSize;

    if (!request.to_sign.empty()) {
        std::string error;
        if (!write_file_atomically(request.to_sign,
                                   std::span<const std::uint8_t>(payload).first(signed_size),
                                   error)) {
            complain(io, command, "%s", error.c_str());
            return false;
        }
        std::fprintf(io.out, "%s: the %zu bytes to sign (Ed25519, the bytes as they are)\n",
                     request.to_sign.c_str(), signed_size);
        return true;
    }

    std::uint8_t* signature = payload.data() + signed_size;
    if (request.seed) {
        std::uint8_t pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
        crypto_sign_seed_keypair(pk, sk, request.seed->data());
        crypto_sign_detached(signature, nullptr, payload.data(), signed_size, sk);
        sodium_memzero(sk, sizeof sk);
    } else {
        std::memcpy(signature, request.signature.data(), manifest::kSignatureSize);
    }
    if (crypto_sign_verify_detached(signature, payload.data(), signed_size,
                                    request.public_key.data()) != 0) {
        complain(io, command, "%s: the signature does not verify with the public key; not signed",
                 name);
        return false;
    }
    image::SectionLayout layout;
    layout.magic_type = kManifestType;
    layout.id = 0x00000001;  // the manifest's layout, as a version
    const std::vector<std::uint8_t> section = image::build_section(layout, payload);
    container.insert(container.begin(), section.begin(), section.end());
    return true;
}

int run_keygen(Args args, const Io& io) {
    bool force = false;
    std::string path;
    for (const std::string_view a : args) {
        if (a == "--force")
            force = true;
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError{"keygen: unknown option '" + std::string(a) + "'"};
        else if (path.empty())
            path = a;
        else
            throw UsageError{"keygen: exactly one KEY is needed"};
    }
    if (path.empty()) throw UsageError{"keygen: exactly one KEY is needed"};
    const std::string pub = path + ".pub";
    struct stat st {};
    if (!force && (::stat(path.c_str(), &st) == 0 || ::stat(pub.c_str(), &st) == 0)) {
        complain(io, "keygen", "%s or %s exists; not replaced (--force replaces them)",
                 path.c_str(), pub.c_str());
        return 1;
    }
    Seed seed;
    randombytes_buf(seed.data(), seed.size());
    const PublicKey pk = public_key_of(seed);
    const std::string pem = private_key_pem(seed);
    sodium_memzero(seed.data(), seed.size());
    std::string error;
    // The private key is its owner's alone from its first byte on.
    const mode_t old = ::umask(077);
    const bool written = write_file_atomically(
        path, std::span(reinterpret_cast<const std::uint8_t*>(pem.data()), pem.size()), error);
    ::umask(old);
    if (!written || !write_file_atomically(pub, pk, error)) {
        complain(io, "keygen", "%s", error.c_str());
        return 1;
    }
    const auto id = signing::key_id(pk);
    std::fprintf(io.out, "%s: private key (PKCS#8 PEM); %s: public key, key id ", path.c_str(),
                 pub.c_str());
    for (std::uint8_t c : id) std::fprintf(io.out, "%02x", c);
    std::fputc('\n', io.out);
    return 0;
}

bool sign_option(Args args, std::size_t& i, SignRequest& r, SignOptions& seen) {
    std::string_view v;
    if (option_value(args, i, "--key", v)) {
        seen.key = std::string(v);
    } else if (option_value(args, i, "--public", v)) {
        seen.public_key = std::string(v);
    } else if (option_value(args, i, "--signature", v)) {
        seen.signature = std::string(v);
    } else if (option_value(args, i, "--to-sign", v)) {
        r.to_sign = std::string(v);
    } else if (option_value(args, i, "--counter", v)) {
        const auto n = parse_number(v);
        if (!n || *n > 0xFFFFFFFFu)
            throw UsageError{"--counter must be 0 to 4294967295, not '" + std::string(v) + "'"};
        r.counter = static_cast<std::uint32_t>(*n);
        seen.counter = true;
    } else if (option_value(args, i, "--product", v)) {
        r.product = std::string(v);
    } else {
        return false;
    }
    return true;
}

bool complete_sign_request(SignRequest& r, const SignOptions& seen, const Io& io,
                           const char* command) {
    const std::string c = command;
    if (!seen.counter) throw UsageError{c + ": --counter N is required"};
    if (seen.key.empty() == seen.public_key.empty())
        throw UsageError{c + ": either --key KEY or --public PUB is needed"};
    if (!seen.public_key.empty() && seen.signature.empty() == r.to_sign.empty())
        throw UsageError{c + ": --public PUB needs either --to-sign FILE or --signature SIG"};
    if (!seen.key.empty() && (!seen.signature.empty() || !r.to_sign.empty()))
        throw UsageError{c + ": --key signs by itself: no --signature or --to-sign with it"};
    std::string error;
    if (!seen.key.empty()) {
        Seed seed;
        if (!read_private_key(seen.key, seed, error)) {
            complain(io, command, "%s", error.c_str());
            return false;
        }
        r.seed = seed;
        r.public_key = public_key_of(seed);
        return true;
    }
    if (!read_public_key(seen.public_key, r.public_key, error)) {
        complain(io, command, "%s", error.c_str());
        return false;
    }
    if (!seen.signature.empty()) {
        std::vector<std::uint8_t> sig;
        if (!read_whole_file(seen.signature, sig, error)) {
            complain(io, command, "%s", error.c_str());
            return false;
        }
        if (sig.size() != manifest::kSignatureSize) {
            complain(io, command, "%s: %zu bytes, not a 64-byte Ed25519 signature",
                     seen.signature.c_str(), sig.size());
            return false;
        }
        std::memcpy(r.signature.data(), sig.data(), sig.size());
    }
    return true;
}

int run_sign(Args args, const Io& io) {
    SignRequest r;
    SignOptions seen;
    std::string in_path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        std::string_view v;
        if (option_value(args, i, "-o", v) || option_value(args, i, "--output", v))
            r.output = std::string(v);
        else if (sign_option(args, i, r, seen))
            continue;
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError{"sign: unknown option '" + std::string(a) + "'"};
        else if (in_path.empty())
            in_path = a;
        else
            throw UsageError{"sign: exactly one IN is needed"};
    }
    if (in_path.empty()) throw UsageError{"sign: exactly one IN is needed"};
    if (r.output.empty() && r.to_sign.empty()) throw UsageError{"sign: -o OUT is required"};
    if (!complete_sign_request(r, seen, io, "sign")) return 1;
    if (r.output.empty()) r.output = in_path;
    std::vector<std::uint8_t> container;
    std::string error;
    if (!read_whole_file(in_path, container, error)) {
        complain(io, "sign", "%s", error.c_str());
        return 1;
    }
    if (!sign_container(container, r, io, "sign")) return 1;
    if (!r.to_sign.empty()) return 0;
    if (!write_file_atomically(r.output, container, error)) {
        complain(io, "sign", "%s", error.c_str());
        return 1;
    }
    const auto id = signing::key_id(r.public_key);
    std::fprintf(io.out, "%s: signed for the %s with key ", r.output.c_str(), r.product.c_str());
    for (std::uint8_t c : id) std::fprintf(io.out, "%02x", c);
    std::fprintf(io.out, ", security counter %u, %zu bytes\n", r.counter, container.size());
    return 0;
}

}  // namespace bootimg
