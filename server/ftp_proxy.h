// The HTTP proxy's answers to ftp:// requests.
//
// A directory becomes one ckFtpListing frame (the client makes the page); a
// file becomes "HTTP/1.1 200 OK" with its type and, when the server tells
// it, its length, and its bytes as they arrive. An unreachable host gets
// ckGatewayError with the host's name (the client's gateway page), a
// private one the proxy's 403; a refused login, a missing path and a
// failing server get small HTML pages of ours (403, 404, 502), so that the
// browser's connection goes on where HTTP allows.
//
// Thread rule: runs on the session's strand, like the service that calls it.
#pragma once

#include "server/asio.h"
#include "server/ftp_url.h"
#include "server/service.h"

namespace korvan::server {

// Answers one request; true when the conversation may go on with the next.
Task<bool> AnswerFtpRequest(ServiceContext& context, const FtpTarget& target, bool head_request, bool keep_alive);

}  // namespace korvan::server
