#include "tools/update/update_publisher.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "updater/file_digest.h"
#include "updater/update_block.h"
#include "updater/update_signature.h"
#include "updater/version_info.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

// A PEM key is a few hundred bytes; anything much larger is not one.
constexpr std::size_t kMaxKeyFileSize = 64u << 10;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct KeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

std::string ErrnoText(int error) { return std::strerror(error); }

// A string that holds secret bytes is wiped before its memory goes.
struct SecretText {
  std::string bytes;
  ~SecretText() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so that a failing close is seen.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

void SyncFolder(const fs::path& folder) {
  const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

// A new file beside `target` holding `bytes`, synced; its name starts with
// "." so that a listing of the folder does not take it for a result. The
// mode is `mode` less the umask. Empty path and *error set on failure (and
// nothing left behind).
fs::path WriteTemporaryBeside(const fs::path& target, std::string_view bytes, mode_t mode, std::string* error) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path temporary = target.parent_path() / ("." + target.filename().string() + ".tmp" +
                                                       std::to_string(::getpid()) + "-" + std::to_string(counter++));
    FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0) {
      if (errno == EEXIST) continue;
      *error = "cannot create a file in " + target.parent_path().string() + ": " + ErrnoText(errno);
      return {};
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done != bytes.size() || ::fsync(fd.get()) != 0 || !fd.Close()) {
      *error = "cannot write " + temporary.string() + ": " + ErrnoText(errno);
      ::unlink(temporary.c_str());
      return {};
    }
    return temporary;
  }
  *error = "cannot find a free temporary name beside " + target.string();
  return {};
}

// The whole of a regular file of at most `limit` bytes.
std::optional<std::string> ReadWholeFile(const fs::path& path, std::size_t limit, std::string_view what,
                                         std::string* error) {
  const std::string label = std::string(what) + " " + path.string();
  // Non-blocking, so that a FIFO is refused instead of waited on.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    *error = label + ": " + ErrnoText(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = label + " is not a regular file";
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(st.st_size) > limit) {
    *error = label + " has " + std::to_string(st.st_size) + " bytes, more than the " + std::to_string(limit) +
             " allowed";
    return std::nullopt;
  }
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::read(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + label + ": " + ErrnoText(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  // One more byte would mean the file grew while it was read.
  char extra = 0;
  if (done != content.size() || ::read(fd.get(), &extra, 1) != 0) {
    *error = label + " changed while it was read";
    return std::nullopt;
  }
  return content;
}

KeyPtr ReadPrivateKey(std::string_view pem) {
  if (pem.size() > kMaxKeyFileSize) return nullptr;
  const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
  return key;
}

// The PEM text one of OpenSSL's writers puts into a memory BIO.
template <typename Writer>
std::optional<std::string> PemOf(Writer write) {
  const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return std::nullopt;
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  if (size <= 0 || data == nullptr) return std::nullopt;
  std::string out(data, static_cast<std::size_t>(size));
  OPENSSL_cleanse(data, static_cast<std::size_t>(size));
  return out;
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool IsLanguageCode(std::string_view code) {
  if (code.empty() || code.size() > 16) return false;
  for (const char c : code) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

// True when `inner` lies in `outer` or below it.
bool IsInside(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(inner, ec);
  if (ec) return false;
  const fs::path b = fs::weakly_canonical(outer, ec);
  if (ec) return false;
  const fs::path relative = a.lexically_relative(b);
  return !relative.empty() && *relative.begin() != "..";
}

void AppendLine(std::string& text, std::string_view key, std::string_view value) {
  text.append(key);
  text.push_back('=');
  text.append(value);
  text.append("\r\n");
}

void AppendEntries(std::string& text, std::string_view prefix, const std::vector<PublishedFile>& entries) {
  AppendLine(text, std::string(prefix) + "Count", std::to_string(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    const std::string p(prefix);
    AppendLine(text, p + "Name" + n, entries[i].name);
    AppendLine(text, p + "Hash" + n, entries[i].hash);
    AppendLine(text, p + "Size" + n, std::to_string(entries[i].size));
    AppendLine(text, p + "URL" + n, entries[i].url);
  }
}

// Temporary files of a publish in progress; what is not renamed into place
// goes when the publish ends.
class PendingFiles {
 public:
  ~PendingFiles() {
    for (const auto& [temporary, target] : files_) ::unlink(temporary.c_str());
  }
  void Add(fs::path temporary, fs::path target) { files_.emplace_back(std::move(temporary), std::move(target)); }
  bool RenameAll(std::string* error) {
    while (!files_.empty()) {
      const auto& [temporary, target] = files_.front();
      if (::rename(temporary.c_str(), target.c_str()) != 0) {
        *error = "cannot move " + temporary.string() + " to " + target.string() + ": " + ErrnoText(errno);
        return false;
      }
      files_.erase(files_.begin());
    }
    return true;
  }

 private:
  std::vector<std::pair<fs::path, fs::path>> files_;
};

}  // namespace

bool GenerateSigningKeyPair(const fs::path& dir, std::string* error) {
  const fs::path private_file = dir / kSigningPrivateKeyFile;
  const fs::path public_file = dir / kUpdateSigningKeyFile;
  std::error_code ec;
  for (const fs::path& file : {private_file, public_file}) {
    if (fs::exists(fs::symlink_status(file, ec))) {
      *error = file.string() + " exists already; a new key would lock out every client that ships the old one. "
               "Remove it first if that is really meant";
      return false;
    }
  }
  fs::create_directories(dir, ec);
  if (ec) {
    *error = "cannot create " + dir.string() + ": " + ec.message();
    return false;
  }

  const std::unique_ptr<EVP_PKEY_CTX, KeyContextFree> context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  EVP_PKEY* raw_key = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &raw_key) != 1) {
    *error = "cannot generate an Ed25519 key";
    return false;
  }
  const KeyPtr key(raw_key);
  SecretText private_pem;
  if (auto pem = PemOf([&](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
      })) {
    private_pem.bytes = std::move(*pem);
  }
  const auto public_pem = PemOf([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key.get()); });
  if (private_pem.bytes.empty() || !public_pem) {
    *error = "cannot write the key as PEM";
    return false;
  }

  PendingFiles pending;  // removes the temporary files whatever happens
  const fs::path private_temporary = WriteTemporaryBeside(private_file, private_pem.bytes, 0600, error);
  if (private_temporary.empty()) return false;
  pending.Add(private_temporary, private_file);
  const fs::path public_temporary = WriteTemporaryBeside(public_file, *public_pem, 0644, error);
  if (public_temporary.empty()) return false;
  pending.Add(public_temporary, public_file);
  // Hard links put the complete files in place and, unlike rename, fail
  // when the name was taken in the meantime.
  if (::link(private_temporary.c_str(), private_file.c_str()) != 0) {
    *error = "cannot create " + private_file.string() + ": " + ErrnoText(errno);
    return false;
  }
  if (::link(public_temporary.c_str(), public_file.c_str()) != 0) {
    *error = "cannot create " + public_file.string() + ": " + ErrnoText(errno);
    ::unlink(private_file.c_str());
    return false;
  }
  SyncFolder(dir);
  return true;
}

std::optional<std::string> SignVersionInfo(std::string_view text, std::string_view private_pem, std::string* error) {
  if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") {
    *error = "the version info text must end with CR LF";
    return std::nullopt;
  }
  if (!SplitSignature(text).signature.empty()) {
    *error = "the version info text is signed already";
    return std::nullopt;
  }
  const KeyPtr key = ReadPrivateKey(private_pem);
  if (!key) {
    *error = "the key is no Ed25519 private key in PEM";
    return std::nullopt;
  }
  const std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, data, text.size()) != 1) {
    *error = "cannot sign the version info text";
    return std::nullopt;
  }
  std::string signature(size, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, data, text.size()) !=
      1) {
    *error = "cannot sign the version info text";
    return std::nullopt;
  }
  signature.resize(size);
  std::string out(text);
  out.append(kSignatureKey);
  out.append(EncodeBase64(signature));
  out.append("\r\n");
  return out;
}

bool IsPublishableName(std::string_view name) {
  // The client takes plain file names of its program folder only.
  return IsSafeUpdateName(name);
}

std::string ContainerNameOf(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '/') c = '_';
  }
  out.append(kContainerSuffix);
  return out;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~';
    if (plain) {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 15]);
    }
  }
  return out;
}

std::optional<std::string> NormaliseBaseUrl(std::string_view base_url, std::string* error) {
  constexpr std::string_view kScheme = "http://";
  if (base_url.size() < kScheme.size() || !EqualsIgnoringCase(base_url.substr(0, kScheme.size()), kScheme)) {
    *error = "the base URL must start with http:// (the client fetches updates over plain HTTP through its own "
             "proxy); got \"" + std::string(base_url) + "\"";
    return std::nullopt;
  }
  for (const char c : base_url) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      *error = "the base URL may hold only printable ASCII; percent-encode the rest";
      return std::nullopt;
    }
    if (c == '?' || c == '#') {
      *error = "the base URL may not hold a query or fragment (\"?\" or \"#\")";
      return std::nullopt;
    }
  }
  std::string_view rest = base_url.substr(kScheme.size());
  const std::string_view host = rest.substr(0, rest.find('/'));
  // A colon after an IPv6 literal's "]" (or in a plain host) starts the port.
  const std::size_t bracket = host.rfind(']');
  std::size_t colon = host.rfind(':');
  if (bracket != std::string_view::npos && colon != std::string_view::npos && colon < bracket) {
    colon = std::string_view::npos;
  }
  const std::string_view host_name = host.substr(0, colon);
  bool port_ok = true;
  if (colon != std::string_view::npos) {
    const std::string_view port = host.substr(colon + 1);
    const auto number = ParseDecimal(port);
    port_ok = port.find_first_not_of("0123456789") == std::string_view::npos && number && *number >= 1 &&
              *number <= 65535;
  }
  if (host_name.empty() || host_name.find('@') != std::string_view::npos || !port_ok) {
    *error = "the base URL needs a host (and a port 1 to 65535 if any): http://host[:port][/path]";
    return std::nullopt;
  }
  std::string out(base_url);
  while (out.size() > kScheme.size() + host.size() && out.back() == '/') out.pop_back();
  return out;
}

std::optional<PublishInput> ParsePublishInput(std::string_view argument, std::string* error) {
  PublishInput input;
  const std::size_t equals = argument.find('=');
  if (equals != std::string_view::npos) {
    input.name = std::string(argument.substr(0, equals));
    input.path = std::string(argument.substr(equals + 1));
  } else {
    input.path = std::string(argument);
    input.name = input.path.filename().string();
  }
  if (input.path.empty() || input.name.empty()) {
    *error = "\"" + std::string(argument) + "\" names no file (use PATH or NAME=PATH)";
    return std::nullopt;
  }
  if (!IsPublishableName(input.name)) {
    *error = "the name \"" + input.name +
             "\" would not stay inside the program folder (absolute, \"..\", \"\\\", an empty part or a control "
             "character)";
    return std::nullopt;
  }
  return input;
}

std::optional<std::string> ReadDescriptionFile(const fs::path& path, std::string* error) {
  return ReadWholeFile(path, kMaxDescriptionSize, "description file", error);
}

std::optional<std::string> EncodeDescription(std::string_view text, std::string* error) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      out.append("#13#10");
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (IsControl(c) && c != '\t') {
      *error = "a description may not hold control character " + std::to_string(static_cast<unsigned char>(c)) +
               " (at byte " + std::to_string(i) + ")";
      return std::nullopt;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<PublishReport> PublishUpdate(const PublishOptions& options, std::string* error) {
  // Everything that can be judged without reading the inputs, first.
  const auto base_url = NormaliseBaseUrl(options.base_url, error);
  if (!base_url) return std::nullopt;
  if (options.files.empty()) {
    *error = "nothing to publish: give at least one program file";
    return std::nullopt;
  }
  if (options.out_dir.empty()) {
    *error = "no output folder given";
    return std::nullopt;
  }
  std::set<std::string> containers;
  for (const auto* list : {&options.files, &options.help_files}) {
    for (const PublishInput& input : *list) {
      if (!IsPublishableName(input.name)) {
        *error = "the name \"" + input.name + "\" would not stay inside the program folder";
        return std::nullopt;
      }
      if (!containers.insert(ContainerNameOf(input.name)).second) {
        *error = "two files would share the container " + ContainerNameOf(input.name) + " (name \"" + input.name +
                 "\" given twice, or names that differ only in \"/\" and \"_\")";
        return std::nullopt;
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> descriptions;
  for (const PublishDescription& description : options.descriptions) {
    if (!IsLanguageCode(description.language)) {
      *error = "\"" + description.language + "\" is no language code (letters and digits, e.g. en)";
      return std::nullopt;
    }
    for (const auto& [language, unused] : descriptions) {
      if (EqualsIgnoringCase(language, description.language)) {
        *error = "the description for \"" + description.language + "\" is given twice";
        return std::nullopt;
      }
    }
    std::string problem;
    auto encoded = EncodeDescription(description.text, &problem);
    if (!encoded) {
      *error = "description " + description.language + ": " + problem;
      return std::nullopt;
    }
    descriptions.emplace_back(description.language, std::move(*encoded));
  }
  SecretText key_pem;
  if (options.key_file) {
    if (IsInside(*options.key_file, options.out_dir)) {
      *error = "the private key " + options.key_file->string() +
               " lies in the output folder, which goes to the web server; keep it elsewhere";
      return std::nullopt;
    }
    auto pem = ReadWholeFile(*options.key_file, kMaxKeyFileSize, "key file", error);
    if (!pem) return std::nullopt;
    key_pem.bytes = std::move(*pem);
    if (!ReadPrivateKey(key_pem.bytes)) {
      *error = "key file " + options.key_file->string() +
               " holds no Ed25519 private key in PEM (make one with korvan-codec update keygen)";
      return std::nullopt;
    }
  }
  // The sizes, so that a missing or oversized file stops the publish before
  // the first container is packed.
  for (const auto* list : {&options.files, &options.help_files}) {
    for (const PublishInput& input : *list) {
      std::error_code ec;
      const auto status = fs::status(input.path, ec);
      if (ec || !fs::exists(status)) {
        *error = "input file " + input.path.string() + " is missing";
        return std::nullopt;
      }
      if (!fs::is_regular_file(status)) {
        *error = "input file " + input.path.string() + " is not a regular file";
        return std::nullopt;
      }
      const std::uintmax_t size = fs::file_size(input.path, ec);
      if (!ec && size == 0) {
        *error = "input file " + input.path.string() + " is empty; the client never installs an empty file";
        return std::nullopt;
      }
      if (!ec && size > kMaxUpdateFileSize) {
        *error = "input file " + input.path.string() + " has " + std::to_string(size) + " bytes, more than the " +
                 std::to_string(kMaxUpdateFileSize >> 20) + " MiB an update file may have";
        return std::nullopt;
      }
    }
  }

  std::error_code ec;
  fs::create_directories(options.out_dir, ec);
  if (ec) {
    *error = "cannot create " + options.out_dir.string() + ": " + ec.message();
    return std::nullopt;
  }

  // One file at a time in memory: read, digest, pack, write beside.
  PublishReport report;
  PendingFiles pending;
  for (const auto* list : {&options.files, &options.help_files}) {
    for (const PublishInput& input : *list) {
      const auto content = ReadWholeFile(input.path, kMaxUpdateFileSize, "input file", error);
      if (!content) return std::nullopt;
      if (content->empty()) {
        *error = "input file " + input.path.string() + " is empty; the client never installs an empty file";
        return std::nullopt;
      }
      PublishedFile file;
      file.name = input.name;
      file.hash = DigestText(*content);
      if (file.hash.empty()) {
        *error = "cannot compute the MD5 digest of " + input.path.string();
        return std::nullopt;
      }
      const std::string container = PackUpdateBlock(*content);
      file.size = container.size();
      const std::string container_name = ContainerNameOf(input.name);
      file.url = *base_url + "/" + PercentEncode(container_name);
      file.container = options.out_dir / container_name;
      const fs::path temporary = WriteTemporaryBeside(file.container, container, 0666, error);
      if (temporary.empty()) return std::nullopt;
      pending.Add(temporary, file.container);
      (list == &options.files ? report.files : report.help_files).push_back(std::move(file));
    }
  }

  std::string text;
  AppendEntries(text, "", report.files);
  if (!report.help_files.empty()) AppendEntries(text, "Help", report.help_files);
  for (const auto& [language, value] : descriptions) AppendLine(text, "Description_" + language, value);
  if (!key_pem.bytes.empty()) {
    auto signed_text = SignVersionInfo(text, key_pem.bytes, error);
    if (!signed_text) return std::nullopt;
    text = std::move(*signed_text);
    report.is_signed = true;
  }
  report.info_file = options.out_dir / std::string(kVersionInfoFile);
  const fs::path info_temporary = WriteTemporaryBeside(report.info_file, text, 0666, error);
  if (info_temporary.empty()) return std::nullopt;
  // Added last, renamed last: the info file never names a container that is
  // not in place yet.
  pending.Add(info_temporary, report.info_file);
  if (!pending.RenameAll(error)) return std::nullopt;
  SyncFolder(options.out_dir);
  return report;
}

}  // namespace korvan
