#include "server/account_command.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include "server/account_store_factory.h"

namespace korvan::server {

const char kAccountUsage[] =
    "usage: korvan-server account add --accounts FILE|URL --id N --password TEXT [--credit KIB]\n"
    "                                 [--prepaid-until YYYY-MM-DD] [--valid-until YYYY-MM-DD]\n"
    "                                 [--further-byte N]\n"
    "       korvan-server account set --accounts FILE|URL --id N [--password TEXT] [--credit KIB]\n"
    "                                 [--add-credit KIB] [--prepaid-until DATE|none]\n"
    "                                 [--valid-until DATE|none] [--further-byte N]\n"
    "       korvan-server account show --accounts FILE|URL --id N\n"
    "       korvan-server account list --accounts FILE|URL\n";

namespace {

// Raised for a usage problem; the message names it.
struct UsageError {
  std::string message;
};

using Options = std::map<std::string, std::string>;

Options ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& allowed) {
  Options options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (allowed.count(name) == 0) throw UsageError{"unknown option " + name + " for account " + args[0]};
    if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
    if (options.count(name) > 0) throw UsageError{name + " given twice"};
    options[name] = args[++i];
  }
  return options;
}

const std::string& Required(const Options& options, const std::string& name) {
  const auto it = options.find(name);
  if (it == options.end()) throw UsageError{name + " is required"};
  return it->second;
}

std::int32_t ParseId(const std::string& text) {
  if (text.size() != 9 || text.find_first_not_of("0123456789") != std::string::npos || text[0] == '0') {
    throw UsageError{"--id must be an account number from 100000000 to 999999999, not \"" + text + "\""};
  }
  return static_cast<std::int32_t>(std::stol(text));
}

double ParseKiB(const std::string& name, const std::string& text) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || !std::isfinite(value) || value < 0 || value > 1e15) {
    throw UsageError{name + " must be a number of KiB (0 or more), not \"" + text + "\""};
  }
  return value;
}

std::optional<Date> ParseDateOption(const std::string& name, const std::string& text, bool allow_none) {
  if (allow_none && text == "none") return std::nullopt;
  const auto date = ParseDate(text);
  if (!date) throw UsageError{name + " must be a date YYYY-MM-DD" + (allow_none ? " or none" : "") + ", not \"" + text + "\""};
  return date;
}

std::uint8_t ParseByte(const std::string& text) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(text) > 255) {
    throw UsageError{"--further-byte must be 0 to 255, not \"" + text + "\""};
  }
  return static_cast<std::uint8_t>(std::stoi(text));
}

// The store keeps only a slow hash of what the client will send for this
// password, derived the way the client derives it.
LoginSecret SecretFor(const std::string& password) { return MakeLoginSecret(ProofOfPassword(password)); }

std::string DateText(const std::optional<Date>& date) { return date ? FormatDate(*date) : "none"; }

void Show(const Account& a, std::ostream& out) {
  out << "id: " << a.id << "\n"
      << "credit-kib: " << std::fixed << std::setprecision(2) << a.credit_kib << "\n"
      << "prepaid-until: " << DateText(a.prepaid_until) << "\n"
      << "valid-until: " << DateText(a.valid_until) << "\n"
      << "further-byte: " << static_cast<int>(a.further_byte) << "\n"
      << "password: " << (a.login ? "set" : "none") << "\n"
      << "sent-raw-bytes: " << a.totals.sent_raw << "\n"
      << "sent-wire-bytes: " << a.totals.sent_wire << "\n"
      << "received-raw-bytes: " << a.totals.received_raw << "\n"
      << "received-wire-bytes: " << a.totals.received_wire << "\n";
}

int Add(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const Options o = ParseOptions(args, {"--accounts", "--id", "--password", "--credit", "--prepaid-until",
                                        "--valid-until", "--further-byte"});
  Account a;
  a.id = ParseId(Required(o, "--id"));
  a.login = SecretFor(Required(o, "--password"));
  a.credit_kib = o.count("--credit") ? ParseKiB("--credit", o.at("--credit")) : kDefaultCreditKiB;
  if (o.count("--prepaid-until")) a.prepaid_until = ParseDateOption("--prepaid-until", o.at("--prepaid-until"), false);
  if (o.count("--valid-until")) a.valid_until = ParseDateOption("--valid-until", o.at("--valid-until"), false);
  if (o.count("--further-byte")) a.further_byte = ParseByte(o.at("--further-byte"));
  const auto store = OpenAccountStore(Required(o, "--accounts"), SqliteAccountStore::Mode::kCreateIfMissing);
  if (!store->Insert(a)) {
    err << "korvan-server: account " << a.id << " exists already (use account set)\n";
    return kExitFailure;
  }
  out << "account " << a.id << " added\n";
  return kExitOk;
}

int Set(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const Options o = ParseOptions(args, {"--accounts", "--id", "--password", "--credit", "--add-credit",
                                        "--prepaid-until", "--valid-until", "--further-byte"});
  const std::int32_t id = ParseId(Required(o, "--id"));
  if (o.count("--credit") && o.count("--add-credit")) throw UsageError{"give --credit or --add-credit, not both"};
  // Check every value before touching the file.
  std::optional<double> credit, add_credit;
  std::optional<std::optional<Date>> prepaid, valid;
  std::optional<std::uint8_t> further;
  if (o.count("--credit")) credit = ParseKiB("--credit", o.at("--credit"));
  if (o.count("--add-credit")) add_credit = ParseKiB("--add-credit", o.at("--add-credit"));
  if (o.count("--prepaid-until")) prepaid = ParseDateOption("--prepaid-until", o.at("--prepaid-until"), true);
  if (o.count("--valid-until")) valid = ParseDateOption("--valid-until", o.at("--valid-until"), true);
  if (o.count("--further-byte")) further = ParseByte(o.at("--further-byte"));

  const auto store = OpenAccountStore(Required(o, "--accounts"), SqliteAccountStore::Mode::kOpenExisting);
  auto a = store->Find(id);
  if (!a) {
    err << "korvan-server: no account " << id << "\n";
    return kExitFailure;
  }
  if (o.count("--password")) a->login = SecretFor(o.at("--password"));
  if (credit) a->credit_kib = *credit;
  if (prepaid) a->prepaid_until = *prepaid;
  if (valid) a->valid_until = *valid;
  if (further) a->further_byte = *further;
  // Servers charge the account while this runs: the credit is written only
  // when it is replaced on purpose, and added to in the store otherwise.
  const bool updated = credit ? store->Update(*a) : store->UpdateDetails(*a);
  if (!updated || (add_credit && !store->AddCredit(id, *add_credit))) {
    err << "korvan-server: no account " << id << "\n";
    return kExitFailure;
  }
  out << "account " << id << " updated\n";
  return kExitOk;
}

int ShowCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const Options o = ParseOptions(args, {"--accounts", "--id"});
  const std::int32_t id = ParseId(Required(o, "--id"));
  const auto store = OpenAccountStore(Required(o, "--accounts"), SqliteAccountStore::Mode::kOpenExisting);
  const auto a = store->Find(id);
  if (!a) {
    err << "korvan-server: no account " << id << "\n";
    return kExitFailure;
  }
  Show(*a, out);
  return kExitOk;
}

int List(const std::vector<std::string>& args, std::ostream& out) {
  const Options o = ParseOptions(args, {"--accounts"});
  const auto store = OpenAccountStore(Required(o, "--accounts"), SqliteAccountStore::Mode::kOpenExisting);
  for (const Account& a : store->List()) {
    out << a.id << " credit-kib=" << std::fixed << std::setprecision(2) << a.credit_kib
        << " prepaid-until=" << DateText(a.prepaid_until) << " valid-until=" << DateText(a.valid_until) << "\n";
  }
  return kExitOk;
}

}  // namespace

int RunAccountCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) throw UsageError{"account needs a command: add, set, show or list"};
    const std::string& command = args[0];
    if (command == "add") return Add(args, out, err);
    if (command == "set") return Set(args, out, err);
    if (command == "show") return ShowCommand(args, out, err);
    if (command == "list") return List(args, out);
    throw UsageError{"unknown account command \"" + command + "\""};
  } catch (const UsageError& e) {
    err << "korvan-server: " << e.message << "\n" << kAccountUsage;
    return kExitUsage;
  } catch (const StoreError& e) {
    err << "korvan-server: " << e.what() << "\n";
    return kExitFailure;
  } catch (const std::runtime_error& e) {  // no random bytes or no scrypt
    err << "korvan-server: " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace korvan::server
