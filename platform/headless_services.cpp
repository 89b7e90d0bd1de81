#include "platform/headless_services.h"

#include <iconv.h>
#include <unistd.h>

#include <ostream>


namespace korvan {
namespace {

// Texts are code page 1250; standard error gets UTF-8 (bytes iconv cannot
// convert become "?").
std::string ForTerminal(std::string_view text) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (const char c : text) out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
    return out;
  }
  for (const char c : text) {
    char in[1] = {c};
    char buffer[8];
    char* in_ptr = in;
    std::size_t in_left = 1;
    char* out_ptr = buffer;
    std::size_t out_left = sizeof buffer;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
      out += '?';
    } else {
      out.append(buffer, static_cast<std::size_t>(out_ptr - buffer));
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

void StderrPrompts::ShowError(std::string_view text) {
  err_ << "korvan: " << ForTerminal(text) << std::endl;
  if (log_) log_(text);
}

bool StderrPrompts::AskYesNo(std::string_view caption, std::string_view text) {
  err_ << "korvan: " << ForTerminal(caption) << ": " << ForTerminal(text) << " (answered no)" << std::endl;
  return false;
}

std::int32_t StderrPrompts::ShowMessageBox(const MessageBoxRequest& request) {
  if ((request.type & 0x0F) == kMbYesNo) {
    AskYesNo(request.caption, request.text);
    return kIdNo;
  }
  err_ << "korvan: " << ForTerminal(request.text) << std::endl;
  return kIdOk;
}

UpdateDialogAnswer StderrPrompts::ShowUpdateDialog(const UpdateDialogRequest& request) {
  AskYesNo(request.caption, request.question);
  return {};
}

std::uint8_t DeriveHostIdentity() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return 0;
  std::uint32_t h = 2166136261U;  // FNV-1a
  for (const char* p = name; *p != '\0'; ++p) {
    h ^= static_cast<std::uint8_t>(*p);
    h *= 16777619U;
  }
  return static_cast<std::uint8_t>(h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24));
}

}  // namespace korvan
