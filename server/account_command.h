// `korvan-server account add|set|show|list`: managing the account file or
// database (FILE|URL: a SQLite file, or a postgresql:// URL).
//
//   add  --accounts FILE|URL --id N --password TEXT [--credit KIB]
//        [--prepaid-until YYYY-MM-DD] [--valid-until YYYY-MM-DD] [--further-byte N]
//   set  --accounts FILE|URL --id N [--password TEXT] [--credit KIB] [--add-credit KIB]
//        [--prepaid-until DATE|none] [--valid-until DATE|none] [--further-byte N]
//   show --accounts FILE|URL --id N
//   list --accounts FILE|URL
//
// `add` creates the file when missing; the others need it to exist. A
// database must exist; its tables are made when missing.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace korvan::server {

inline constexpr double kDefaultCreditKiB = 1048576;  // 1 GiB for a new account

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

extern const char kAccountUsage[];

// `args` are the words after "account". Returns the exit status; reports go
// to `out`, problems to `err`.
int RunAccountCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace korvan::server
