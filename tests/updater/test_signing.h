// Ed25519 keys and signatures for the tests, made with OpenSSL as a maker
// would make them.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <string>
#include <utility>

#include "updater/update_signature.h"

namespace korvan::test {

// A fresh Ed25519 key pair as PEM texts.
inline std::pair<std::string, std::string> MakeKeyPair() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  BIO* pub = BIO_new(BIO_s_mem());
  BIO* priv = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(pub, key);
  PEM_write_bio_PrivateKey(priv, key, nullptr, nullptr, 0, nullptr, nullptr);
  auto text = [](BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return out;
  };
  std::pair<std::string, std::string> pair{text(pub), text(priv)};
  EVP_PKEY_free(key);
  return pair;
}

inline std::string Sign(const std::string& text, const std::string& private_pem) {
  BIO* bio = BIO_new_mem_buf(private_pem.data(), static_cast<int>(private_pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
  unsigned char signature[64];
  std::size_t size = sizeof signature;
  EVP_DigestSign(context, signature, &size, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return text + "Signature=" + EncodeBase64(std::string(reinterpret_cast<char*>(signature), size)) + "\r\n";
}

}  // namespace korvan::test
