#include "tools/pack_signing.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fstream>
#include <map>
#include <string>

#include "tools/kavro_pack.h"
#include "tools/pack_archive_io.h"

namespace kavro_pack {
namespace detail {
namespace {

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

// PKCS#1 v1.5 padding over a SHA-256 digest: the signature form the flasher checks.
PkeyContext signature_context(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*)) {
  PkeyContext context(EVP_PKEY_CTX_new(key, nullptr));
  if (!context || init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) <= 0) {
    return nullptr;
  }
  return context;
}

std::vector<uint8_t> sign_digest(EVP_PKEY* key, const Sha256& digest) {
  PkeyContext context = signature_context(key, EVP_PKEY_sign_init);
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

bool is_companion_name(const std::string& name) {
  return name.size() > SIGNATURE_SUFFIX.size() && name.ends_with(SIGNATURE_SUFFIX);
}

}  // namespace

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
    throw Error("cannot start a SHA-256 digest: " + openssl_reason());
  }
}

void Sha256Stream::update(std::span<const uint8_t> data) {
  if (EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1) {
    throw Error("SHA-256 digest failed: " + openssl_reason());
  }
}

Sha256 Sha256Stream::finish() {
  Sha256 digest{};
  if (EVP_DigestFinal_ex(context_.get(), digest.data(), nullptr) != 1) {
    throw Error("SHA-256 digest failed: " + openssl_reason());
  }
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
  PkeyContext context = signature_context(public_key, EVP_PKEY_verify_init);
  const bool matches = context && EVP_PKEY_verify(context.get(), signature.data(), signature.size(),
                                                  digest.data(), digest.size()) == 1;
  ERR_clear_error();
  return matches;
}

}  // namespace detail

std::vector<uint8_t> sign_bytes(std::span<const uint8_t> data,
                                const std::filesystem::path& private_key_pem) {
  detail::Pkey key = detail::load_private_key(private_key_pem);
  detail::Sha256Stream digest;
  digest.update(data);
  return detail::sign_digest(key.get(), digest.finish());
}

std::vector<uint8_t> sign_file(const std::filesystem::path& file,
                               const std::filesystem::path& private_key_pem) {
  detail::Pkey key = detail::load_private_key(private_key_pem);
  std::ifstream input(file, std::ios::binary);
  if (!input) {
    throw Error("cannot read " + file.string());
  }
  detail::Sha256Stream digest;
  std::vector<uint8_t> buffer(65536);
  while (input) {
    input.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    digest.update(std::span(buffer).first(static_cast<std::size_t>(input.gcount())));
  }
  if (input.bad()) {
    throw Error("cannot read " + file.string());
  }
  return detail::sign_digest(key.get(), digest.finish());
}

std::vector<SignatureCheck> verify(const std::filesystem::path& archive_path,
                                   const std::filesystem::path& public_key_pem) {
  detail::Pkey key = detail::load_public_key(public_key_pem);

  // The first entry of a name is the one a reader of the archive finds, so later duplicates
  // are neither digested nor checked.
  struct Seen {
    detail::Sha256 digest;
    std::vector<uint8_t> bytes;  // kept for companions only
  };
  std::map<std::string, Seen> seen;
  std::vector<std::string> companions;
  detail::for_each_entry(archive_path, [&](const EntryInfo& info, detail::EntryData& data) {
    if (seen.contains(info.name)) {
      return;
    }
    const bool companion = detail::is_companion_name(info.name);
    Seen& entry = seen[info.name];
    detail::Sha256Stream digest;
    for (auto block = data.next_block(); !block.empty(); block = data.next_block()) {
      digest.update(block);
      if (companion && entry.bytes.size() <= SIGNATURE_SIZE) {
        entry.bytes.insert(entry.bytes.end(), block.begin(), block.end());
      }
    }
    entry.digest = digest.finish();
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
    } else if (!detail::signature_matches(key.get(), data->second.digest, signature)) {
      check.problem = "signature does not match " + data_name;
    }
    checks.push_back(std::move(check));
  }
  return checks;
}

}  // namespace kavro_pack
