// The updater's HTTP: the proxy-style request it sends to the program's own
// local HTTP port, and what it reads from the response head.
//
// Thread rule: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

// The line "Korvan buffer: 4096" tells our compression server how the
// updater reads; it is never passed on to the origin.
std::string BuildUpdateRequest(std::string_view url, std::string_view host, std::string_view version_text);

// The host of an absolute URL: the text after the first "//" up to the next
// "/" (all of it when there is none); the whole URL when there is no "//".
std::string HostOfUrl(std::string_view url);

// The URL of the version info file on `update_host`.
std::string VersionInfoUrl(std::string_view update_host);

// The value of Content-Length in a response head (the field found without
// regard to case, up to the next CR LF, blanks trimmed); -1 when it is not
// there or not a decimal number.
std::int64_t ContentLengthOf(std::string_view head);

// Where the head ends: the index just past the first CR LF CR LF, 0 while
// the head is incomplete.
std::size_t HeadEndOf(std::string_view response);

// The status code: after the first blank, up to the next blank within the
// next ten characters, trimmed, as a decimal number; 0 when it is none.
int StatusCodeOf(std::string_view response);

// The status line is judged once this many bytes have arrived: bytes 10 to
// 12 must read "200".
inline constexpr std::size_t kStatusCheckSize = 12;
bool StatusIs200(std::string_view response);

}  // namespace korvan
