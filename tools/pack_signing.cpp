// Signing images into ".sign" companions and checking the companions of an archive.

#include <openssl/err.h>
#include <openssl/pem.h>

#include <array>
#include <fstream>
#include <map>
#include <string>

#include "digest/sha256.h"
#include "firmware/archive_format.h"
#include "firmware/archive_signature_scheme.h"
#include "tools/kavro_pack.h"
#include "tools/pack_archive_io.h"
#include "tools/pack_handles.h"

namespace kavro_pack {
namespace {

using detail::Bio;
using detail::Pkey;
using Sha256 = std::array<uint8_t, SIGNATURE_DIGEST_SIZE>;

// The reason OpenSSL gave for the latest failure; empties its error queue so that nothing
// stale is reported by a later call.
std::string openssl_reason() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) {
    return "no reason given";
  }
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  return text.data();
}

// Refuses encrypted keys instead of letting OpenSSL prompt on the terminal.
int refuse_passphrase(char*, int, int, void*) {
  return 0;
}

Bio open_key_file(const std::filesystem::path& pem) {
  Bio file(BIO_new_file(pem.c_str(), "r"));
  if (!file) {
    ERR_clear_error();
    throw Error("cannot read key file " + pem.string());
  }
  return file;
}

Pkey load_private_key(const std::filesystem::path& pem) {
  Bio file = open_key_file(pem);
  Pkey key(PEM_read_bio_PrivateKey(file.get(), nullptr, refuse_passphrase, nullptr));
  if (!key) {
    throw Error(pem.string() + " holds no unencrypted PEM private key: " + openssl_reason());
  }
  if (!EVP_PKEY_is_a(key.get(), "RSA")) {
    throw Error(pem.string() + " is not an RSA key");
  }
  if (EVP_PKEY_get_size(key.get()) != static_cast<int>(SIGNATURE_SIZE)) {
    throw Error(pem.string() + " is a " + std::to_string(EVP_PKEY_get_bits(key.get())) +
                "-bit key; signatures must be " + std::to_string(SIGNATURE_SIZE) +
                " bytes (RSA-4096)");
  }
  return key;
}

std::vector<uint8_t> sign_digest(EVP_PKEY* key, const Sha256& digest) {
  signature_key_context context = archive_signature_context(key, EVP_PKEY_sign_init);
  std::vector<uint8_t> signature(SIGNATURE_SIZE);
  std::size_t length = signature.size();
  if (!context ||
      EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) <= 0) {
    throw Error("signing failed: " + openssl_reason());
  }
  if (length != SIGNATURE_SIZE) {
    throw Error("signing gave " + std::to_string(length) + " bytes instead of " +
                std::to_string(SIGNATURE_SIZE));
  }
  return signature;
}

Sha256 finish(sha256_ctx& context) {
  Sha256 digest{};
  sha256_final(&context, digest.data());
  return digest;
}

Pkey load_public_key(const std::filesystem::path& pem) {
  Bio file = open_key_file(pem);
  Pkey key(PEM_read_bio_PUBKEY(file.get(), nullptr, nullptr, nullptr));
  if (!key) {
    throw Error(pem.string() + " holds no PEM public key: " + openssl_reason());
  }
  return key;
}

bool signature_matches(EVP_PKEY* public_key, const Sha256& digest,
                       std::span<const uint8_t> signature) {
  signature_key_context context = archive_signature_context(public_key, EVP_PKEY_verify_init);
  const bool matches = context && EVP_PKEY_verify(context.get(), signature.data(), signature.size(),
                                                  digest.data(), digest.size()) == 1;
  ERR_clear_error();
  return matches;
}

}  // namespace

std::vector<uint8_t> sign_bytes(std::span<const uint8_t> data,
                                const std::filesystem::path& private_key_pem) {
  Pkey key = load_private_key(private_key_pem);
  sha256_ctx digest;
  sha256_init(&digest);
  sha256_update(&digest, data.data(), data.size());
  return sign_digest(key.get(), finish(digest));
}

std::vector<uint8_t> sign_file(const std::filesystem::path& file,
                               const std::filesystem::path& private_key_pem) {
  Pkey key = load_private_key(private_key_pem);
  std::ifstream input(file, std::ios::binary);
  if (!input) {
    throw Error("cannot read " + file.string());
  }
  sha256_ctx digest;
  sha256_init(&digest);
  std::vector<uint8_t> buffer(65536);
  while (input) {
    input.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    sha256_update(&digest, buffer.data(), static_cast<uint64_t>(input.gcount()));
  }
  if (input.bad()) {
    throw Error("cannot read " + file.string());
  }
  return sign_digest(key.get(), finish(digest));
}

std::vector<SignatureCheck> verify(const std::filesystem::path& archive_path,
                                   const std::filesystem::path& public_key_pem) {
  Pkey key = load_public_key(public_key_pem);

  // The first entry of a name is the one a reader of the archive finds, so later duplicates
  // are neither digested nor checked.
  struct Seen {
    Sha256 digest;
    std::vector<uint8_t> bytes;  // kept for companions only
  };
  std::map<std::string, Seen> seen;
  std::vector<std::string> companions;
  detail::for_each_entry(archive_path, [&](const EntryInfo& info, detail::EntryData& data) {
    if (seen.contains(info.name)) {
      return;
    }
    const bool companion = is_signature_companion(info.name);
    Seen& entry = seen[info.name];
    sha256_ctx digest;
    sha256_init(&digest);
    for (auto block = data.next_block(); !block.empty(); block = data.next_block()) {
      sha256_update(&digest, block.data(), block.size());
      if (companion && entry.bytes.size() <= SIGNATURE_SIZE) {
        entry.bytes.insert(entry.bytes.end(), block.begin(), block.end());
      }
    }
    entry.digest = finish(digest);
    if (companion) {
      companions.push_back(info.name);
    }
  });

  std::vector<SignatureCheck> checks;
  for (const std::string& name : companions) {
    const std::string data_name = name.substr(0, name.size() - SIGNATURE_SUFFIX.size());
    const std::vector<uint8_t>& signature = seen[name].bytes;
    SignatureCheck check{name, {}};
    const auto data = seen.find(data_name);
    if (data == seen.end()) {
      check.problem = "no entry named " + data_name;
    } else if (signature.size() != SIGNATURE_SIZE) {
      check.problem = "signature is not " + std::to_string(SIGNATURE_SIZE) + " bytes long";
    } else if (!signature_matches(key.get(), data->second.digest, signature)) {
      check.problem = "signature does not match " + data_name;
    }
    checks.push_back(std::move(check));
  }
  return checks;
}

}  // namespace kavro_pack
