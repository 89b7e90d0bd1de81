// Chooses the words of a word list from a corpus of sample traffic.
//
// The words are chosen for what they save once both stages of PackBlock have
// run, substitution and then deflate. Deflate already removes repeats inside a
// block, so a word pays mainly where its text occurs once per block: the list
// behaves like a small preset dictionary shared by every block, and a long
// phrase that many blocks carry (a whole header line, doctype and script/link
// boilerplate) is worth far more than a short word. docs/word-list.md
// describes the method.
//
// Pure computation, no shared state: any number of threads may build lists at
// once. The result depends only on the arguments (deterministic).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/word_list.h"

namespace korvan {

// Reports progress: a short stage name, and how far it has come (`done` of
// `total` steps; total may be 0 when unknown). Called from the building
// thread, a few hundred times per build at most.
using WordListBuildProgress =
    std::function<void(std::string_view stage, std::size_t done, std::size_t total)>;

// Builds a list of at most `count` words (at most WordList::kMaxWords) from
// `documents`, each the full bytes of one sample: a response body, a resource
// file, or a dump of HTTP header blocks (a document that starts with "HTTP/"
// is cut before each further header block that starts with "HTTP/"). Longer
// documents are taken as the 64511-byte blocks the tunnel would send.
//
// Every word is 2 to 255 bytes long, holds neither the byte 0 nor 124 (the
// default escape byte), is not mostly digits, a hash or base64, and occurs in
// at least two sources (documents that share long runs of text, such as pages
// of one site, count as one source). The words are in the order in which
// substitution should try them (longer first). Fewer than `count` words come
// back when the corpus offers no more that pay; none when there are fewer
// than two documents.
//
// Time and memory grow about linearly with the corpus: some 35 bytes of
// memory per corpus byte, and about 15 seconds for 17 MB on one core.
WordList BuildWordList(const std::vector<std::string>& documents, std::uint8_t version,
                       std::size_t count = WordList::kMaxWords,
                       const WordListBuildProgress& progress = {});

// The same, knowing where each document comes from: `groups[i]` names the
// group of documents[i] (the site or project it was taken from; any values,
// only equality counts), or `groups` is empty for none. With groups, a word
// must occur in at least three groups, and no one group counts for more
// than twice the runner-up group in its gain, so that what one site repeats (its
// navigation, its names, its URLs) gives way to what many sites share. A dump
// of header blocks records responses of many servers: within its group it
// counts apart from other dumps unless they share long runs of text.
// Throws std::invalid_argument when `groups` is neither empty nor as long as
// `documents`.
WordList BuildWordList(const std::vector<std::string>& documents, const std::vector<std::int32_t>& groups,
                       std::uint8_t version, std::size_t count = WordList::kMaxWords,
                       const WordListBuildProgress& progress = {});

}  // namespace korvan
