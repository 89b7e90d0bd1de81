// The signature of a version info file: its last line may be "Signature="
// followed by the Base64 Ed25519 signature of every byte before that line.
// A program folder holding the public key file update-signing.pub (PEM)
// accepts only version info files whose signature verifies with it.
//
// Thread rule: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvan {

inline constexpr std::string_view kUpdateSigningKeyFile = "update-signing.pub";
inline constexpr std::string_view kSignatureKey = "Signature=";

// The file cut at its signature line: `signed_part` is every byte before
// the line, `signature` the Base64 text after "Signature=" (trimmed of
// blanks and line ends). No signature line: the whole file is
// `signed_part` and `signature` is empty. Only a last line counts; a
// "Signature=" line followed by other text is no signature.
struct SignedVersionInfo {
  std::string_view signed_part;
  std::string_view signature;
};
SignedVersionInfo SplitSignature(std::string_view file);

enum class SignatureCheck {
  kValid,
  kMissing,  // no signature line
  kInvalid,  // damaged Base64, wrong length, or it does not verify
  kBadKey,   // the public key file does not hold an Ed25519 public key
};
SignatureCheck VerifyVersionInfo(std::string_view file, std::string_view public_key_pem);

// Base64 (RFC 4648, with padding) both ways; nullopt for damaged text.
std::string EncodeBase64(std::string_view bytes);
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace korvan
