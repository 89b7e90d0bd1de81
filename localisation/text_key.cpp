#include "localisation/text_key.h"

#include <array>

#include "localisation/ascii_text.h"

namespace korvan {
namespace {

struct Entry {
  std::string_view name;
  std::string_view czech;
};

// Code-page-1250 bytes written as escapes so that the bytes do not depend on
// the encoding of this file. A string break ("\xE8" "e") ends an escape
// before a letter that would otherwise extend it.
constexpr std::array<Entry, kTextKeyCount> kEntries = {{
    {"InvalidUserOrPwd", "Chybn\xE9 heslo nebo ID u\x9Eivatele."},
    {"ServerConnectionErr", "Nepovedlo se nav\xE1zat spojen\xED se serverem."},
    {"UpdateErr", "Chybn\xFD form\xE1t souboru pro update."},
    {"ParentProxyErr", "Nepovedlo se nav\xE1zat spojen\xED s nad\xF8\xEDzen\xFDm proxy serverem."},
    {"NoCreditLog", "V\xE1\x9A kredit byl vy\xE8" "erp\xE1n."},
    {"NewVersionNotFound", "Nebyla nalezena \x9E\xE1" "dn\xE1 nov\xECj\x9A\xED verze KORVAN."},
    {"NewVersionFoundTitle", "Nalezena nov\xE1 verze KORVAN"},
    {"NewVersionFound", "Velikost: %S\r\n\r\n%S"},
    {"CancelUpdateQuery", "Opravdu si p\xF8" "ejete zru\x9Ait prob\xEDhaj\xED" "c\xED update?"},
    {"DownloadOK_Restart", "Aktualizace KORVAN byla usp\xEC\x9An\xEC dokon\xE8" "ena,\rzm\xECny se projev\xED a\x9E po restartu aplikace.\r\r   P\xF8" "ejete si restartovat KORVAN nyn\xED?"},
    {"msgInformation", "Informace"},
    {"msgQuestion", "Dotaz"},
    {"OpenPortErr", "Nepoda\xF8ilo se otev\xF8\xEDt port %d."},
    {"InternetSetOptionErr", "Nastala chyba p\xF8i InternetSetOption (%d)."},
    {"CheckNewVersion", "Kontrola nov\xECj\x9A\xED verze KORVAN."},
    {"UpdateQuery", "P\xF8" "ejete si nyn\xED aktualizovat KORVAN?"},
    {"UpdateHelp", "Aktualizovat n\xE1pov\xEC" "du (%S)"},
    {"UpdateDenied", "Update KORVAN byl odm\xEDtnut."},
    {"UpdateStarted", "Zah\xE1jena aktualizace KORVAN."},
    {"CancelUpdate", "Aktualizace byla stornov\xE1na."},
    {"UpdateOK", "Aktualizace KORVAN byla usp\xEC\x9An\xEC dokon\xE8" "ena."},
    {"Credit", "Credit:"},
    {"LANSettings", "Nastaven\xED m\xEDstn\xED s\xEDt\xEC"},
    {"ApplicationStart", "Spu\x9At\xECn\xED aplikace"},
    {"ApplicationEnd", "Konec aplikace"},
    {"TrayIcon", "Celkem u\x9A" "et\xF8" "eno: %s (%s)"},
    {"TrayShow", "Zobrazit"},
    {"TrayRestart", "Restartovat"},
    {"TrayEnd", "Konec"},
    {"DeleteProtocolQuery", "Opravdu si p\xF8" "ejete odebrat protokol %S na portu %S?"},
    {"AccessDeniedErr", "Nepovolen\xFD p\xF8\xEDstup p\xF8" "es %s!"},
    {"UpdateInfoNotFound", "\x8E\xE1" "dn\xE9 bli\x9E\x9A\xED informace nejsou k dispozici."},
    {"FTPListDirectoryTitle", "V\xFDpis adres\xE1\xF8" "e"},
    {"NoCreditTitle", "Login error"},
    {"NoCredit", "V\xE1\x9A kredit byl vy\xE8" "erp\xE1n."},
    {"NoCreditText", "Je n\xE1m l\xEDto, ale V\xE1\x9A kredit byl vy\xE8" "erp\xE1n.<br>Chcete-li KORVAN d\xE1le pou\x9E\xEDvat, za\x9Alete pros\xEDm pot\xF8" "ebnou \xE8\xE1stku, nebo pou\x9Eijte demonstra\xE8n\xED \xFA\xE8" "et \xE8\xEDslo 100000001 s heslem demo.<br>"},
    {"LoginErrTitle", "Login error"},
    {"LoginErr", "Chyba p\xF8i p\xF8ihl\xE1\x9A" "en\xED do syst\xE9mu"},
    {"LoginErrText", "Chybn\xE9 heslo, nebo ID u\x9Eivatele.<br>"},
    {"GatewayErrTitle", "Error 504"},
    {"GatewayErr", "Nepoda\xF8ilo se nav\xE1zat spojen\xED se serverem: %S"},
    {"GatewayErrText", "Pravd\xECpodobn\xEC jste zadali chybnou internetovou adresu, nebo je c\xEDlov\xFD server do\xE8" "asn\xEC nedostupn\xFD.<BR>\r\nZkontrolujte internetovou adresu, p\xF8\xEDpadn\xEC opakujte po\x9E" "adavek pozd\xECji.<br>"},
    {"TooManyConnections", "P\xF8\xEDli\x9A mnoho aktivn\xED" "ch spojen\xED."},
    {"ReportGenerated", "Str\xE1nka byla vygenerov\xE1na aplikac\xED "},
    {"HelpDeskInfo", "V p\xF8\xEDpad\xEC dotaz\xF9 n\xE1s kontaktujte na "},
    {"FTPFileName", "N\xE1zev"},
    {"FTPSize", "Velikost (kB)"},
    {"FTPDate", "Datum"},
    {"btnOK", "&OK"},
    {"btnCancel", "&Storno"},
    {"btnYes", "&Ano"},
    {"btnNo", "&Ne"},
    {"btnEdit", "&Editovat"},
    {"btnCheckNewUpdate", "Vyhledat &nov\xECj\x9A\xED verzi"},
    {"btnCancelUpdate", "&Stornovat aktualizaci"},
    {"UpdateByPackageManager", "Tato instalace KORVAN se aktualizuje spr\xE1vcem bal\xED\xE8k\xF9 syst\xE9mu."},
}};

// The enum and the table must stay in step; a few anchors catch a slip.
static_assert(kEntries[IndexOf(TextKey::InvalidUserOrPwd)].name == "InvalidUserOrPwd");
static_assert(kEntries[IndexOf(TextKey::NoCreditText)].name == "NoCreditText");
static_assert(kEntries[IndexOf(TextKey::TooManyConnections)].name == "TooManyConnections");
static_assert(kEntries[IndexOf(TextKey::btnCancelUpdate)].name == "btnCancelUpdate");
static_assert(kEntries[IndexOf(TextKey::UpdateByPackageManager)].name == "UpdateByPackageManager");

}  // namespace

std::string_view KeyName(TextKey key) { return kEntries[IndexOf(key)].name; }

std::string_view CzechDefault(TextKey key) { return kEntries[IndexOf(key)].czech; }

std::optional<TextKey> FindTextKey(std::string_view name) {
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    if (EqualsNoCase(kEntries[i].name, name)) return static_cast<TextKey>(i);
  }
  return std::nullopt;
}

}  // namespace korvan
