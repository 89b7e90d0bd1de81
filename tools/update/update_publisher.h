// The maker's side of the self-updater: the signing key pair, and the
// folder that goes to the update web server -- one container per file and
// the version info file that lists them.
//
// A publish never leaves the output folder half done: every container is
// written to a temporary file first, all of them are renamed into place only
// when every one was written, and the version info file comes last. A
// failure before that removes the temporary files and changes nothing.
//
// Thread rule: the functions stand alone; run one publish per output folder
// at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

inline constexpr std::string_view kSigningPrivateKeyFile = "update-signing.key";
inline constexpr std::string_view kContainerSuffix = ".kub";
// The largest description file --description-LANG-file reads.
inline constexpr std::size_t kMaxDescriptionSize = 1u << 20;

// Writes DIR/update-signing.key (the private Ed25519 key, PKCS#8 PEM, mode
// 0600) and DIR/update-signing.pub (SubjectPublicKeyInfo PEM); DIR is
// created when missing. Refuses, and writes nothing, when either file is
// there already: a new key locks out every client that ships the old one.
bool GenerateSigningKeyPair(const std::filesystem::path& dir, std::string* error);

// `text` followed by the line "Signature=<Base64>" CR LF, the Ed25519
// signature of every byte of `text`. `text` must end with CR LF, so the
// signature line is a line of its own; `private_pem` must hold an Ed25519
// private key. Nullopt and *error set otherwise.
std::optional<std::string> SignVersionInfo(std::string_view text, std::string_view private_pem, std::string* error);

// A name a published file may have: what the client stores, a plain file
// name of the program folder (IsSafeUpdateName).
bool IsPublishableName(std::string_view name);

// The container's file name for a published name: the suffix ".kub" is
// added ("en.kvl" -> "en.kvl.kub"; a "/" would become "_").
std::string ContainerNameOf(std::string_view name);

// `text` percent-encoded for a URL path segment: every byte but letters,
// digits and "-._~" as %XX.
std::string PercentEncode(std::string_view text);

// The base URL as URLs are made from it (without a trailing "/"), or nullopt
// and *error set when it is not "http://host[:port][/path]" in printable
// ASCII without a query or fragment.
std::optional<std::string> NormaliseBaseUrl(std::string_view base_url, std::string* error);

struct PublishInput {
  std::string name;            // as the client stores it
  std::filesystem::path path;  // where its content is read from
};
// "PATH" (the name is its file name) or "NAME=PATH", split at the first "=".
// Nullopt and *error set for an empty part or a name IsPublishableName
// refuses.
std::optional<PublishInput> ParsePublishInput(std::string_view argument, std::string* error);

struct PublishDescription {
  std::string language;  // the code after "Description_", e.g. "en"
  std::string text;      // code-page-1250 bytes; line ends as typed
};

// The file's content for a description, at most kMaxDescriptionSize bytes.
std::optional<std::string> ReadDescriptionFile(const std::filesystem::path& path, std::string* error);

// A description's text as the version info value: each line end (CR LF, LF
// or CR) as "#13#10", line ends at its end dropped. Nullopt and *error set
// for another control byte (a tab is allowed).
std::optional<std::string> EncodeDescription(std::string_view text, std::string* error);

struct PublishOptions {
  std::string base_url;                // "http://host/path"
  std::filesystem::path out_dir;       // created when missing
  std::optional<std::filesystem::path> key_file;  // sign with it when given
  std::vector<PublishInput> files;     // at least one
  std::vector<PublishInput> help_files;
  std::vector<PublishDescription> descriptions;
};

struct PublishedFile {
  std::string name;
  std::string hash;       // MD5 of the content, upper-case hex
  std::uint64_t size = 0; // of the container
  std::string url;
  std::filesystem::path container;
};

struct PublishReport {
  std::vector<PublishedFile> files;
  std::vector<PublishedFile> help_files;
  std::filesystem::path info_file;
  bool is_signed = false;
};

// Checks everything (names unique and publishable, containers distinct,
// inputs readable, 1 byte to kMaxUpdateFileSize, the key, the base URL, the
// descriptions) before it writes, then writes the containers and
// OUT/version_1_01.info. Nullopt and *error set on any problem.
std::optional<PublishReport> PublishUpdate(const PublishOptions& options, std::string* error);

}  // namespace korvan
