// The connection settings that sessions use. The configuration and Save
// write them on the main thread; session preparation copies them there too,
// so a session keeps what it copied even when the user saves meanwhile.
//
// Thread rule: main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "wire/opening.h"
#include "tunnel/session_opening.h"

namespace korvan {

struct WorkingSettings {
  std::string server_address;  // empty: no server chosen, sessions fail to connect
  int server_port = kDefaultServerPort;
  std::int32_t user_id = 100000;
  std::string password;
  std::string accept_ip = "127.0.0.1";
  bool use_parent_proxy = false;
  std::string parent_proxy_address;
  int parent_proxy_port = 3128;
  std::string parent_proxy_user;
  std::string parent_proxy_password;
  LoginBlock login_block{};
  std::uint16_t filter_word = 0;
  std::uint8_t picture_compression = 0;
};

}  // namespace korvan
