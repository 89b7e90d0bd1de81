// korvan-codec: pack and unpack tunnel frames, build and dump word lists,
// publish updates.
//
//   korvan-codec pack --words FILE            raw block on stdin -> one frame
//   korvan-codec unpack --words FILE          frames on stdin -> payloads
//   korvan-codec words build --version N [--count 256] [--group-by-prefix] FILE...
//   korvan-codec words dump FILE
//   korvan-codec update keygen --out DIR
//   korvan-codec update publish --base-url URL --out DIR [--key KEY] ... FILE...
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/codec/block_io.h"
#include "tools/codec/codec_commands.h"
#include "tools/update/update_publisher.h"
#include "tools/word_list/word_list_builder.h"
#include "updater/update_signature.h"
#include "wire/word_list.h"

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: korvan-codec pack --words FILE < block > frame\n"
    "       korvan-codec unpack --words FILE < frames > data\n"
    "       korvan-codec words build --version N [--count 256] [--group-by-prefix] FILE... > list.lvk\n"
    "       korvan-codec words dump FILE\n"
    "       korvan-codec update keygen --out DIR\n"
    "       korvan-codec update publish --base-url URL --out DIR [--key PRIVATE.pem]\n"
    "                    [--description-LANG TEXT | --description-LANG-file FILE]...\n"
    "                    [--help-file [NAME=]PATH]... [NAME=]PATH...\n";

int Usage(const std::string& problem) {
  std::cerr << "korvan-codec: " << problem << "\n" << kUsage;
  return kExitUsage;
}

int Fail(const std::string& problem) {
  std::cerr << "korvan-codec: " << problem << "\n";
  return kExitError;
}

std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long max) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return std::nullopt;
  const unsigned long v = std::stoul(text);
  if (v > max) return std::nullopt;
  return v;
}

// pack / unpack: both take exactly "--words FILE".
int RunFrameCommand(const std::string& command, const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "--words") return Usage(command + " needs --words FILE");
  std::string error;
  const korvan::WordListPtr words = korvan::LoadWordList(args[1], &error);
  if (!words) return Fail("word list " + args[1] + ": " + error);
  const korvan::CommandResult result = command == "pack"
                                           ? korvan::PackStream(*words, STDIN_FILENO, STDOUT_FILENO)
                                           : korvan::UnpackStream(*words, STDIN_FILENO, STDOUT_FILENO);
  return result.ok ? EXIT_SUCCESS : Fail(result.error);
}

// The group of a corpus file for --group-by-prefix: its file name up to the
// first '-' ("html/site-page.html" -> "site"), or the whole file name when
// it has none.
std::string GroupOfFile(const std::string& file) {
  const std::size_t slash = file.find_last_of('/');
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  return name.substr(0, name.find('-'));
}

int RunWordsBuild(const std::vector<std::string>& args) {
  std::optional<unsigned long> version;
  unsigned long count = korvan::WordList::kMaxWords;
  bool group_by_prefix = false;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--group-by-prefix") {
      group_by_prefix = true;
    } else if (args[i] == "--version" || args[i] == "--count") {
      if (i + 1 >= args.size()) return Usage(args[i] + " needs a value");
      const bool is_version = args[i] == "--version";
      const auto v = ParseNumber(args[i + 1], is_version ? 255 : korvan::WordList::kMaxWords);
      if (!v) return Usage(is_version ? "--version takes 0..255" : "--count takes 0..256");
      if (is_version) {
        version = v;
      } else {
        count = *v;
      }
      ++i;
    } else {
      files.push_back(args[i]);
    }
  }
  if (!version) return Usage("words build needs --version N");
  if (files.empty()) return Usage("words build needs at least one corpus file");
  std::vector<std::string> documents;
  documents.reserve(files.size());
  std::vector<std::int32_t> groups;  // empty without --group-by-prefix
  std::map<std::string, std::int32_t> group_ids;
  for (const std::string& file : files) {
    if (group_by_prefix) {
      groups.push_back(group_ids.emplace(GroupOfFile(file), static_cast<std::int32_t>(group_ids.size())).first->second);
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return Fail("cannot open corpus file " + file);
    documents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail("cannot read corpus file " + file);
  }
  // Progress on standard error: one line per stage, with how far it has come.
  std::string last_stage;
  const korvan::WordListBuildProgress progress = [&](std::string_view stage, std::size_t done, std::size_t total) {
    if (stage != last_stage) {
      last_stage = stage;
      std::cerr << "\nkorvan-codec: " << stage;
    }
    if (total > 0) std::cerr << " " << (100 * done / total) << "%";
    std::cerr << std::flush;
  };
  const korvan::WordList list =
      korvan::BuildWordList(documents, groups, static_cast<std::uint8_t>(*version), count, progress);
  std::cerr << "\nkorvan-codec: " << list.size() << " words\n";
  const std::vector<std::uint8_t> file = korvan::SerializeWordListFile(list);
  if (!korvan::WriteAll(STDOUT_FILENO, file)) return Fail("cannot write standard output");
  return EXIT_SUCCESS;
}

int RunWordsDump(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("words dump takes one FILE");
  std::string error;
  const korvan::WordListPtr words = korvan::LoadWordList(args[0], &error);
  if (!words) return Fail("word list " + args[0] + ": " + error);
  const std::string text = korvan::DumpWordList(*words);
  std::cout << text << std::flush;
  return std::cout ? EXIT_SUCCESS : Fail("cannot write standard output");
}

int RunUpdateKeygen(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "--out") return Usage("update keygen takes --out DIR");
  std::string error;
  if (!korvan::GenerateSigningKeyPair(args[1], &error)) return Fail(error);
  const std::filesystem::path dir = args[1];
  std::cout << "korvan-codec: wrote " << (dir / korvan::kSigningPrivateKeyFile).string()
            << " (keep it off the web server) and " << (dir / korvan::kUpdateSigningKeyFile).string()
            << " (ship it in the program folder)\n";
  return EXIT_SUCCESS;
}

// "--description-LANG" or "--description-LANG-file": the language and
// whether the value names a file; nullopt for any other word.
std::optional<std::pair<std::string, bool>> DescriptionOption(const std::string& word) {
  constexpr std::string_view kPrefix = "--description-";
  constexpr std::string_view kFileSuffix = "-file";
  if (word.rfind(kPrefix, 0) != 0) return std::nullopt;
  std::string language = word.substr(kPrefix.size());
  const bool from_file =
      language.size() > kFileSuffix.size() && language.compare(language.size() - kFileSuffix.size(), kFileSuffix.size(), kFileSuffix) == 0;
  if (from_file) language.resize(language.size() - kFileSuffix.size());
  return std::make_pair(language, from_file);
}

int RunUpdatePublish(const std::vector<std::string>& args) {
  korvan::PublishOptions options;
  bool have_base_url = false;
  bool have_out = false;
  bool options_end = false;
  std::string error;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (options_end || word.rfind("--", 0) != 0) {
      auto input = korvan::ParsePublishInput(word, &error);
      if (!input) return Usage(error);
      options.files.push_back(std::move(*input));
      continue;
    }
    if (word == "--") {
      options_end = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage(word + " needs a value");
    const std::string& value = args[++i];
    if (word == "--base-url") {
      options.base_url = value;
      have_base_url = true;
    } else if (word == "--out") {
      options.out_dir = value;
      have_out = true;
    } else if (word == "--key") {
      options.key_file = value;
    } else if (word == "--help-file") {
      auto input = korvan::ParsePublishInput(value, &error);
      if (!input) return Usage("--help-file: " + error);
      options.help_files.push_back(std::move(*input));
    } else if (const auto description = DescriptionOption(word)) {
      korvan::PublishDescription entry{description->first, value};
      if (description->second) {
        auto text = korvan::ReadDescriptionFile(value, &error);
        if (!text) return Fail(error);
        entry.text = std::move(*text);
      }
      options.descriptions.push_back(std::move(entry));
    } else {
      return Usage("unknown option " + word);
    }
  }
  if (!have_base_url) return Usage("update publish needs --base-url URL");
  if (!have_out) return Usage("update publish needs --out DIR");
  if (options.files.empty()) return Usage("update publish needs at least one program file");
  const auto report = korvan::PublishUpdate(options, &error);
  if (!report) return Fail(error);
  for (const auto* list : {&report->files, &report->help_files}) {
    for (const korvan::PublishedFile& file : *list) {
      std::cout << file.name << " " << file.hash << " " << file.size << " " << file.url << "\n";
    }
  }
  std::cout << "korvan-codec: wrote " << report->info_file.string() << (report->is_signed ? " (signed)" : " (unsigned)")
            << "\n";
  return std::cout.flush() ? EXIT_SUCCESS : Fail("cannot write standard output");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (all.empty()) return Usage("no command");
  const std::string& command = all[0];
  if (command == "pack" || command == "unpack") return RunFrameCommand(command, {all.begin() + 1, all.end()});
  if (command == "words" && all.size() >= 2) {
    const std::vector<std::string> rest(all.begin() + 2, all.end());
    if (all[1] == "build") return RunWordsBuild(rest);
    if (all[1] == "dump") return RunWordsDump(rest);
  }
  if (command == "update" && all.size() >= 2) {
    const std::vector<std::string> rest(all.begin() + 2, all.end());
    if (all[1] == "keygen") return RunUpdateKeygen(rest);
    if (all[1] == "publish") return RunUpdatePublish(rest);
  }
  if (command == "--help" || command == "-h") {
    std::cout << kUsage;
    return EXIT_SUCCESS;
  }
  return Usage("unknown command " + command);
}
