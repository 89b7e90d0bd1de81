// Whether the screenshot program got a real X server (Xvfb) to draw on.
#pragma once

namespace korvan::test {

extern bool g_have_x_server;

}  // namespace korvan::test
