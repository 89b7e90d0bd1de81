#include "response/gif_codec.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace korvan {
namespace {

// More frames than any picture of a web page has; a file of countless empty
// frames is refused instead of being walked through.
constexpr std::size_t kMaxFrames = 65536;

struct MemoryReader {
  std::span<const std::uint8_t> bytes;
  std::size_t pos = 0;
};

// giflib's reads, never past the end: a short count makes giflib fail.
int ReadFromMemory(GifFileType* gif, GifByteType* out, int length) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  if (length <= 0) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(length), reader->bytes.size() - reader->pos);
  if (n > 0) std::memcpy(out, reader->bytes.data() + reader->pos, n);
  reader->pos += n;
  return static_cast<int>(n);
}

int WriteToMemory(GifFileType* gif, const GifByteType* bytes, int length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(gif->UserData);
  if (length <= 0) return 0;
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

struct DecoderCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

struct EncoderCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    EGifCloseFile(gif, &error);
  }
};

struct MapDeleter {
  void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};
using ColorMap = std::unique_ptr<ColorMapObject, MapDeleter>;

std::vector<GifColor> PaletteOf(const ColorMapObject* map) {
  std::vector<GifColor> out;
  if (map == nullptr || map->Colors == nullptr || map->ColorCount <= 0) return out;
  out.reserve(static_cast<std::size_t>(map->ColorCount));
  for (int i = 0; i < map->ColorCount; ++i) {
    out.push_back(GifColor{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
  }
  return out;
}

// The palette padded with black to a power of two of at least two entries,
// as a giflib map; null when it has more than 256 entries.
ColorMap MakeMap(const std::vector<GifColor>& palette) {
  if (palette.size() > 256) return nullptr;
  const int bits = GifBitsFor(palette.size());
  std::vector<GifColorType> colours(std::size_t{1} << bits);
  for (std::size_t i = 0; i < palette.size(); ++i) {
    colours[i] = GifColorType{palette[i].r, palette[i].g, palette[i].b};
  }
  return ColorMap(GifMakeMapObject(static_cast<int>(colours.size()), colours.data()));
}

// The rows of an interlaced frame in the order the file stores them.
std::vector<int> StoredRowOrder(int height, bool interlaced) {
  std::vector<int> rows;
  rows.reserve(static_cast<std::size_t>(height));
  if (!interlaced) {
    for (int y = 0; y < height; ++y) rows.push_back(y);
    return rows;
  }
  static constexpr int kStart[4] = {0, 4, 2, 1};
  static constexpr int kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = kStart[pass]; y < height; y += kStep[pass]) rows.push_back(y);
  }
  return rows;
}

GifControl ParseControl(const GifByteType* body) {
  GifControl c;
  c.disposal = (body[0] >> 2) & 0x07;
  c.user_input = (body[0] & 0x02) != 0;
  c.transparent = (body[0] & 0x01) != 0;
  c.delay = body[1] | body[2] << 8;
  c.transparent_index = body[3];
  return c;
}

// Reads the frame's LZW data without decoding it.
bool SkipFrameData(GifFileType* gif) {
  int code_size = 0;
  GifByteType* block = nullptr;
  if (DGifGetCode(gif, &code_size, &block) == GIF_ERROR) return false;
  while (block != nullptr) {
    if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return false;
  }
  return true;
}

bool ReadFramePixels(GifFileType* gif, GifFrame& frame) {
  frame.pixels.assign(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height), 0);
  for (const int y : StoredRowOrder(frame.height, frame.interlaced)) {
    GifPixelType* row = frame.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.width);
    if (DGifGetLine(gif, row, frame.width) == GIF_ERROR) return false;
  }
  return true;
}

}  // namespace

int GifBitsFor(std::size_t colours) {
  int bits = 1;
  while (bits < 8 && (std::size_t{1} << bits) < colours) ++bits;
  return bits;
}

int GifBitsPerPixel(const GifImage& image) {
  std::size_t largest = image.palette.size();
  for (const GifFrame& frame : image.frames) largest = std::max(largest, frame.palette.size());
  return GifBitsFor(largest);
}

std::optional<GifImage> DecodeGif(std::span<const std::uint8_t> bytes, GifFrames which, const GifLimits& limits) {
  MemoryReader reader{bytes, 0};
  int error = 0;
  std::unique_ptr<GifFileType, DecoderCloser> gif(DGifOpen(&reader, ReadFromMemory, &error));
  if (!gif) return std::nullopt;
  if (!limits.Allows(gif->SWidth, gif->SHeight)) return std::nullopt;

  GifImage image;
  image.width = gif->SWidth;
  image.height = gif->SHeight;
  image.color_resolution = gif->SColorResolution;
  image.background = gif->SBackGroundColor;
  image.palette = PaletteOf(gif->SColorMap);

  std::optional<GifControl> pending_control;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) return std::nullopt;
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return std::nullopt;
      // The block starts with its length byte.
      if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) pending_control = ParseControl(block + 1);
      while (block != nullptr) {
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return std::nullopt;
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) return std::nullopt;
    if (image.frames.size() >= kMaxFrames) return std::nullopt;
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return std::nullopt;
    const GifImageDesc& desc = gif->Image;
    if (!limits.Allows(desc.Width, desc.Height) || desc.Left < 0 || desc.Top < 0) return std::nullopt;
    GifFrame frame;
    frame.left = desc.Left;
    frame.top = desc.Top;
    frame.width = desc.Width;
    frame.height = desc.Height;
    frame.interlaced = desc.Interlace;
    frame.palette = PaletteOf(desc.ColorMap);
    frame.control = pending_control;
    pending_control.reset();
    const bool decode = (which == GifFrames::kAll || image.frames.empty()) && frame.width > 0 && frame.height > 0;
    if (!(decode ? ReadFramePixels(gif.get(), frame) : SkipFrameData(gif.get()))) return std::nullopt;
    image.frames.push_back(std::move(frame));
  }
  if (image.frames.empty()) return std::nullopt;
  if (image.width == 0 || image.height == 0) {
    const GifFrame& first = image.frames.front();
    const std::int64_t right = std::int64_t{first.left} + first.width;
    const std::int64_t bottom = std::int64_t{first.top} + first.height;
    if (!limits.Allows(right, bottom)) return std::nullopt;
    if (image.width == 0) image.width = static_cast<int>(right);
    if (image.height == 0) image.height = static_cast<int>(bottom);
  }
  return image;
}

std::vector<std::uint8_t> EncodeGif(const GifImage& image) {
  if (image.frames.empty() || image.width <= 0 || image.height <= 0 || image.width > 0xFFFF ||
      image.height > 0xFFFF) {
    return {};
  }
  bool has_control = false;
  for (const GifFrame& frame : image.frames) {
    const bool has_colours = !frame.palette.empty() || !image.palette.empty();
    if (frame.width <= 0 || frame.height <= 0 || frame.left < 0 || frame.top < 0 || frame.left > 0xFFFF ||
        frame.top > 0xFFFF || frame.width > 0xFFFF || frame.height > 0xFFFF || !has_colours ||
        frame.pixels.size() != static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) ||
        frame.palette.size() > 256) {
      return {};
    }
    has_control = has_control || frame.control.has_value();
  }
  if (image.palette.size() > 256) return {};

  std::vector<std::uint8_t> out;
  int error = 0;
  std::unique_ptr<GifFileType, EncoderCloser> gif(EGifOpen(&out, WriteToMemory, &error));
  if (!gif) return {};
  EGifSetGifVersion(gif.get(), has_control);
  ColorMap global = image.palette.empty() ? nullptr : MakeMap(image.palette);
  if (!image.palette.empty() && !global) return {};
  const int resolution = std::clamp(image.color_resolution, 1, 8);
  const int background = global && image.background < global->ColorCount ? std::max(image.background, 0) : 0;
  if (EGifPutScreenDesc(gif.get(), image.width, image.height, resolution, background, global.get()) == GIF_ERROR) {
    return {};
  }
  std::vector<GifPixelType> row;
  for (const GifFrame& frame : image.frames) {
    if (frame.control) {
      const GifControl& c = *frame.control;
      const GifByteType body[4] = {
          static_cast<GifByteType>((c.disposal & 0x07) << 2 | (c.user_input ? 0x02 : 0) | (c.transparent ? 0x01 : 0)),
          static_cast<GifByteType>(c.delay & 0xFF), static_cast<GifByteType>((c.delay >> 8) & 0xFF),
          static_cast<GifByteType>(c.transparent_index & 0xFF)};
      if (EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, 4, body) == GIF_ERROR) return {};
    }
    ColorMap local = frame.palette.empty() ? nullptr : MakeMap(frame.palette);
    if (!frame.palette.empty() && !local) return {};
    if (EGifPutImageDesc(gif.get(), frame.left, frame.top, frame.width, frame.height, frame.interlaced,
                         local.get()) == GIF_ERROR) {
      return {};
    }
    // giflib masks the row it is given in place; it gets a copy.
    row.resize(static_cast<std::size_t>(frame.width));
    for (const int y : StoredRowOrder(frame.height, frame.interlaced)) {
      const std::uint8_t* source =
          frame.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.width);
      std::copy(source, source + frame.width, row.begin());
      if (EGifPutLine(gif.get(), row.data(), frame.width) == GIF_ERROR) return {};
    }
  }
  GifFileType* raw = gif.release();
  if (EGifCloseFile(raw, &error) == GIF_ERROR) return {};
  return out;
}

}  // namespace korvan
