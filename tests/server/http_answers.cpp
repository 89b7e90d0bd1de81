#include "tests/server/http_answers.h"

#include <boost/beast/http.hpp>

#include <cctype>
#include <cstdint>
#include <limits>

namespace korvan::server::test {

namespace http = boost::beast::http;

std::vector<HttpAnswer> SplitAnswers(std::string_view data, const std::vector<bool>& head) {
  std::vector<HttpAnswer> out;
  for (std::size_t i = 0; (head.empty() || i < head.size()) && !data.empty(); ++i) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    parser.skip(i < head.size() && head[i]);
    boost::beast::error_code ec;
    std::size_t used = 0;
    while (!parser.is_done() && used < data.size()) {
      const std::size_t n = parser.put(boost::asio::buffer(data.data() + used, data.size() - used), ec);
      used += n;
      if (ec == http::error::need_more) ec = {};
      if (ec || n == 0) break;
    }
    // An answer that ends with the connection is complete at the end of the data.
    if (!parser.is_done() && !ec && parser.is_header_done() && parser.need_eof()) parser.put_eof(ec);
    if (!parser.is_done()) break;
    HttpAnswer answer;
    answer.status = parser.get().result_int();
    for (const auto& field : parser.get()) {
      std::string name(field.name_string());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      answer.fields[name] = std::string(field.value());
    }
    answer.body = parser.get().body();
    answer.size = used;
    out.push_back(std::move(answer));
    data.remove_prefix(used);
  }
  return out;
}

}  // namespace korvan::server::test
