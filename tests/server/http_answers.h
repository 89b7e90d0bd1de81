// Cutting the HTTP answers a tunnel client received into messages, for
// tests that compare what came through the proxy.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvan::server::test {

struct HttpAnswer {
  unsigned status = 0;
  std::map<std::string, std::string> fields;  // names in lower case
  std::string body;
  std::size_t size = 0;  // header and body as they arrived
};

// The complete answers at the front of `data`. `head` marks the answers to
// HEAD requests (they have no body) and, when given, how many to cut; when
// empty, every complete answer is cut.
std::vector<HttpAnswer> SplitAnswers(std::string_view data, const std::vector<bool>& head = {});

}  // namespace korvan::server::test
