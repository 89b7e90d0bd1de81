// The HTTP answers the proxy makes itself for ftp:// requests: the header in
// front of a file's bytes, a header-only answer for HEAD of a directory, and
// short HTML pages for refused logins, missing paths and failed servers.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvan::server {

// The media type for a file name's extension (any case), or
// application/octet-stream.
std::string_view ContentTypeForName(std::string_view name);

// "HTTP/1.1 200 OK" with the type, the length when known, and the
// connection's fate. Without a length the answer ends by closing.
std::string FtpFileHeader(std::string_view content_type, std::optional<std::uint64_t> length, bool keep_alive);

// A complete error answer: status line, an HTML page titled by the status
// that says `message` (escaped here), its length. For HEAD the page is left
// out (the length still says how long it would be).
std::string FtpErrorAnswer(unsigned status, std::string_view reason, std::string_view message, bool keep_alive,
                           bool head);

}  // namespace korvan::server
