#include "updater/update_signature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace korvan {
namespace {

constexpr std::size_t kEd25519SignatureSize = 64;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || IsLineEnd(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

SignedVersionInfo SplitSignature(std::string_view file) {
  // The last line that holds anything.
  std::size_t end = file.size();
  while (end > 0 && IsLineEnd(file[end - 1])) --end;
  std::size_t start = end;
  while (start > 0 && !IsLineEnd(file[start - 1])) --start;
  const std::string_view last = file.substr(start, end - start);
  if (last.substr(0, kSignatureKey.size()) != kSignatureKey) return {file, {}};
  return {file.substr(0, start), Trim(last.substr(kSignatureKey.size()))};
}

SignatureCheck VerifyVersionInfo(std::string_view file, std::string_view public_key_pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(public_key_pem.data(), static_cast<int>(public_key_pem.size())));
  std::unique_ptr<EVP_PKEY, KeyFree> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) return SignatureCheck::kBadKey;

  const SignedVersionInfo parts = SplitSignature(file);
  if (parts.signature.empty()) return SignatureCheck::kMissing;
  const auto signature = DecodeBase64(parts.signature);
  if (!signature || signature->size() != kEd25519SignatureSize) return SignatureCheck::kInvalid;

  std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return SignatureCheck::kInvalid;
  }
  const int verified = EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->data()),
                                        signature->size(),
                                        reinterpret_cast<const unsigned char*>(parts.signed_part.data()),
                                        parts.signed_part.size());
  return verified == 1 ? SignatureCheck::kValid : SignatureCheck::kInvalid;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  // Padding only at the end, at most two.
  const std::size_t padding = text.size() - (text.find_last_not_of('=') + 1);
  if (padding > 2) return std::nullopt;
  for (const char c : text.substr(0, text.size() - padding)) {
    const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!valid) return std::nullopt;
  }
  std::string out(3 * (text.size() / 4), '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  std::size_t size = static_cast<std::size_t>(written);
  // EVP_DecodeBlock counts the padding as zero bytes.
  size -= padding;
  out.resize(size);
  return out;
}

}  // namespace korvan
