#include "tests/tools/codec_test_frames.h"

#include <random>

#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan::test {

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

const WordList& CodecTestWords() {
  static const WordList words(4, {"Content-Type: text/html; charset=utf-8\r\n", "<div class=\"", "</div>", "href=\""});
  return words;
}

std::string ResponseText(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string text = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
  while (text.size() < size) {
    text += "<div class=\"c" + std::to_string(random() % 50) + "\"><a href=\"/p/" + std::to_string(random()) +
            "\">item</a></div>\n";
  }
  text.resize(size);
  return text;
}

void Capture::Add(const Bytes& frame, const Bytes& raw) {
  if (starts.empty()) {
    starts.push_back(0);
    unpacked_at.push_back(0);
  }
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  unpacked.insert(unpacked.end(), raw.begin(), raw.end());
  starts.push_back(bytes.size());
  unpacked_at.push_back(unpacked.size());
}

Capture MixedCapture() {
  const WordList& words = CodecTestWords();
  Capture capture;
  const Bytes tiny = ToBytes("ok");
  capture.Add(MakeFrame(0, tiny), tiny);
  const Bytes page = ToBytes(ResponseText(2500, 1));
  capture.Add(PackFrame(words, page), page);
  capture.Add(MakeFrame(tfEscape, {}, 'A'), {});  // no payload: nothing comes out
  // Tokens only, with '|' in the text so that another escape byte is used.
  const Bytes piped = ToBytes("a|b <div class=\"x\">one</div> | <div class=\"y\">two</div>");
  const Bytes worded = PackFrame(words, piped, tfWords);
  capture.Add(worded, piped);
  const Bytes long_raw = ToBytes(std::string(300, 'r'));
  capture.Add(MakeFrame(0, long_raw), long_raw);
  const Bytes deflated = ToBytes(ResponseText(400, 2));
  capture.Add(PackFrame(words, deflated, tfDeflate), deflated);
  return capture;
}

Capture LargeCapture(std::size_t blocks) {
  const WordList& words = CodecTestWords();
  Capture capture;
  std::mt19937 random(77);
  for (std::size_t k = 0; k < blocks; ++k) {
    Bytes raw = ToBytes(ResponseText(k % 3 == 2 ? 1000 + k : kMaxRawBlock, static_cast<std::uint32_t>(k)));
    if (k % 3 == 1) {
      for (auto& b : raw) b = static_cast<std::uint8_t>(random());  // deflate cannot shrink it
    }
    capture.Add(PackFrame(words, raw), raw);
  }
  return capture;
}

}  // namespace korvan::test
