// ftp:// URLs asked of the HTTP proxy: where to connect, who logs in, which
// path, and the URL handed to libcurl for it.
//
// The path is decoded segment by segment and encoded again for libcurl, so
// that what reaches the FTP server is exactly the names the browser meant and
// nothing that could end an FTP command (CR, LF, NUL are refused).
//
// Thread rule: pure functions over untrusted text; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/proxy_target.h"

namespace korvan::server {

struct FtpTarget {
  TargetAddress address;            // port 21 unless the URL names one
  std::optional<std::string> user;  // decoded; none: anonymous
  std::string password;             // decoded; empty without one
  std::string asked_url;            // the URL as it came, query and fragment dropped
  std::vector<std::string> segments;  // the decoded path after the first "/"
  bool names_directory = false;     // the path ends with "/"

  // The decoded path for messages: "/" and the segments.
  std::string path() const;
};

// True for an absolute URL of scheme ftp (any case).
bool IsFtpUrl(std::string_view target);

// nullopt for anything malformed: no host, a bad port, an encoded CR, LF or
// NUL in the path or the credentials.
std::optional<FtpTarget> ParseFtpTarget(std::string_view target);

// The URL for libcurl, without credentials: every byte of a segment other
// than letters, digits and -._~ percent-encoded. `as_directory` makes it end
// with "/" (libcurl lists what ends with "/" and fetches the rest).
std::string CurlUrl(const FtpTarget& target, bool as_directory);

// The directory's URL in a listing: the URL as asked, ending with "/".
std::string ListingUrl(const FtpTarget& target);

}  // namespace korvan::server
