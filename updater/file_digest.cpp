#include "updater/file_digest.h"

#include <openssl/evp.h>

#include <fstream>
#include <memory>

namespace korvan {
namespace {

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string HexText(const unsigned char* bytes, unsigned size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

}  // namespace

std::string DigestText(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr) != 1) return {};
  return HexText(digest, size);
}

std::string FileDigestText(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return {};
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof buffer);
    if (in.gcount() > 0 && EVP_DigestUpdate(context.get(), buffer, static_cast<std::size_t>(in.gcount())) != 1) {
      return {};
    }
  }
  if (in.bad()) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return {};
  return HexText(digest, size);
}

}  // namespace korvan
