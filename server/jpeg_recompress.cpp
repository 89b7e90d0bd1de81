#include "server/jpeg_recompress.h"

#include <array>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstring>

#include <jpeglib.h>

namespace korvan::server {

namespace {

// A progressive JPEG may carry any number of scans; each costs a pass over
// the whole picture, so a hostile one could keep a pool thread busy.
constexpr int kMaxScans = 64;
constexpr std::size_t kOutChunk = 16 * 1024;

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void Fail(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }
void Quiet(j_common_ptr) {}
// Warnings are counted (num_warnings) but never printed.
void QuietMessage(j_common_ptr info, int level) {
  if (level < 0) ++info->err->num_warnings;
}

void StopEndlessScans(j_common_ptr info) {
  if (info->is_decompressor && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) Fail(info);
}

// Collects the encoded bytes in a vector reserved up front to the most we
// accept, so that nothing allocates inside libjpeg's frames; one byte more
// means the result is not smaller and the encoding stops.
struct VectorDestination {
  jpeg_destination_mgr base;
  std::vector<std::uint8_t>* out;
  std::size_t limit;
  std::array<JOCTET, kOutChunk> chunk;
};

void TakeChunk(j_compress_ptr info, std::size_t used) {
  auto* dest = reinterpret_cast<VectorDestination*>(info->dest);
  if (dest->out->size() + used > dest->limit) Fail(reinterpret_cast<j_common_ptr>(info));
  dest->out->insert(dest->out->end(), dest->chunk.begin(), dest->chunk.begin() + static_cast<long>(used));
  dest->base.next_output_byte = dest->chunk.data();
  dest->base.free_in_buffer = dest->chunk.size();
}

void InitDestination(j_compress_ptr info) {
  auto* dest = reinterpret_cast<VectorDestination*>(info->dest);
  dest->base.next_output_byte = dest->chunk.data();
  dest->base.free_in_buffer = dest->chunk.size();
}
boolean EmptyDestination(j_compress_ptr info) {
  TakeChunk(info, kOutChunk);
  return TRUE;
}
void TermDestination(j_compress_ptr info) {
  TakeChunk(info, kOutChunk - reinterpret_cast<VectorDestination*>(info->dest)->base.free_in_buffer);
}

// Everything that must outlive a longjmp lives here, outside the frame that
// calls setjmp; that frame holds only trivially destructible locals.
struct Work {
  jpeg_decompress_struct in{};
  jpeg_compress_struct out{};
  ErrorManager error{};
  jpeg_progress_mgr progress{};
  VectorDestination destination{};
  bool in_created = false;
  bool out_created = false;
  std::vector<std::uint8_t> pixels;
  std::vector<std::uint8_t> encoded;

  Work() {
    jpeg_std_error(&error.base);
    error.base.error_exit = Fail;
    error.base.output_message = Quiet;
    error.base.emit_message = QuietMessage;
    in.err = &error.base;
    out.err = &error.base;
    progress.progress_monitor = StopEndlessScans;
  }
  ~Work() {
    if (out_created) jpeg_destroy_compress(&out);
    if (in_created) jpeg_destroy_decompress(&in);
  }
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
};

bool IsColourProfile(const jpeg_marker_struct& marker) {
  return marker.marker == JPEG_APP0 + 2 && marker.data_length >= 12 &&
         std::memcmp(marker.data, "ICC_PROFILE\0", 12) == 0;
}

// The orientation to carry over: the first Exif block's, when it turns the picture.
int OrientationOf(const jpeg_saved_marker_ptr markers) {
  for (jpeg_saved_marker_ptr m = markers; m != nullptr; m = m->next) {
    if (m->marker != JPEG_APP0 + 1) continue;
    const int orientation = ExifOrientation({m->data, m->data_length});
    if (orientation != 0) return orientation;
  }
  return 0;
}

// Opens the source and reads the header; false when refused.
bool ReadHeader(Work& work, std::span<const std::uint8_t> jpeg) {
  jpeg_create_decompress(&work.in);
  work.in_created = true;
  work.in.progress = &work.progress;
  jpeg_mem_src(&work.in, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_save_markers(&work.in, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&work.in, JPEG_APP0 + 2, 0xFFFF);
  if (jpeg_read_header(&work.in, TRUE) != JPEG_HEADER_OK) return false;
  const std::uint64_t pixels = static_cast<std::uint64_t>(work.in.image_width) * work.in.image_height;
  return pixels > 0 && pixels <= kMaxJpegPixels;
}

bool Transcode(Work& work, std::span<const std::uint8_t> jpeg, int quality) {
  if (setjmp(work.error.jump) != 0) return false;
  if (!ReadHeader(work, jpeg)) return false;
  const bool gray = work.in.jpeg_color_space == JCS_GRAYSCALE && work.in.num_components == 1;
  const bool colour = work.in.num_components == 3 &&
                      (work.in.jpeg_color_space == JCS_YCbCr || work.in.jpeg_color_space == JCS_RGB);
  if (!gray && !colour) return false;  // CMYK and the rest: not ours to convert
  work.in.out_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&work.in);
  const std::size_t stride = static_cast<std::size_t>(work.in.output_width) * work.in.output_components;
  work.pixels.resize(stride * work.in.output_height);
  while (work.in.output_scanline < work.in.output_height) {
    JSAMPROW row = work.pixels.data() + stride * work.in.output_scanline;
    jpeg_read_scanlines(&work.in, &row, 1);
  }
  if (work.error.base.num_warnings > 0) return false;  // corrupt data was patched over

  jpeg_create_compress(&work.out);
  work.out_created = true;
  work.encoded.reserve(jpeg.size() + kOutChunk);
  work.destination.out = &work.encoded;
  work.destination.limit = jpeg.size() - 1;
  work.destination.base.init_destination = InitDestination;
  work.destination.base.empty_output_buffer = EmptyDestination;
  work.destination.base.term_destination = TermDestination;
  work.out.dest = &work.destination.base;
  work.out.image_width = work.in.output_width;
  work.out.image_height = work.in.output_height;
  work.out.input_components = work.in.output_components;
  work.out.in_color_space = work.in.out_color_space;
  jpeg_set_defaults(&work.out);
  jpeg_set_quality(&work.out, quality, TRUE);
  work.out.optimize_coding = TRUE;
  jpeg_simple_progression(&work.out);
  jpeg_start_compress(&work.out, TRUE);
  // The saved markers belong to the decoder's image pool, which finishing
  // the decoder frees: they are copied before that.
  if (const int orientation = OrientationOf(work.in.marker_list); orientation > 1) {
    const auto exif = OrientationOnlyExif(orientation);
    jpeg_write_marker(&work.out, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
  }
  for (jpeg_saved_marker_ptr m = work.in.marker_list; m != nullptr; m = m->next) {
    if (IsColourProfile(*m)) jpeg_write_marker(&work.out, m->marker, m->data, m->data_length);
  }
  while (work.out.next_scanline < work.out.image_height) {
    JSAMPROW row = work.pixels.data() + stride * work.out.next_scanline;
    jpeg_write_scanlines(&work.out, &row, 1);
  }
  jpeg_finish_compress(&work.out);
  jpeg_finish_decompress(&work.in);
  return work.error.base.num_warnings == 0;
}

bool ReadSize(Work& work, std::span<const std::uint8_t> jpeg) {
  if (setjmp(work.error.jump) != 0) return false;
  jpeg_create_decompress(&work.in);
  work.in_created = true;
  jpeg_mem_src(&work.in, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  return jpeg_read_header(&work.in, TRUE) == JPEG_HEADER_OK;
}

}  // namespace

int ExifOrientation(std::span<const std::uint8_t> app1) {
  // "Exif\0\0", then a TIFF header: byte order, 42, the offset of IFD0;
  // IFD0 is a count and 12-byte entries of tag, type, count and value.
  constexpr std::size_t kTiff = 6;
  if (app1.size() < kTiff + 8 || std::memcmp(app1.data(), "Exif\0\0", 6) != 0) return 0;
  const auto tiff = app1.subspan(kTiff);
  const bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 0;
  const auto u16 = [&](std::size_t at) -> std::uint32_t {
    return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
  };
  const auto u32 = [&](std::size_t at) -> std::uint32_t { return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2); };
  if (u16(2) != 42) return 0;
  const std::size_t ifd = u32(4);
  if (ifd > tiff.size() || tiff.size() - ifd < 2) return 0;
  const std::size_t count = u16(ifd);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = ifd + 2 + 12 * i;
    if (entry > tiff.size() || tiff.size() - entry < 12) return 0;
    constexpr std::uint32_t kOrientationTag = 0x0112, kShort = 3;
    if (u16(entry) != kOrientationTag) continue;
    if (u16(entry + 2) != kShort || u32(entry + 4) != 1) return 0;
    const std::uint32_t value = u16(entry + 8);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
  }
  return 0;
}

std::vector<std::uint8_t> OrientationOnlyExif(int orientation) {
  const auto o = static_cast<std::uint8_t>(orientation);
  return {'E', 'x', 'i', 'f', 0, 0,                  // identifier
          'M', 'M', 0, 42, 0, 0, 0, 8,               // big-endian TIFF, IFD0 at 8
          0, 1,                                      // one entry:
          0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, o, 0, 0,  // orientation, SHORT, 1, value
          0, 0, 0, 0};                               // no further IFD
}

std::optional<JpegPicture> RecompressJpeg(std::span<const std::uint8_t> jpeg, int quality) {
  if (jpeg.size() < 4) return std::nullopt;
  Work work;
  if (!Transcode(work, jpeg, quality < 1 ? 1 : quality > 100 ? 100 : quality)) return std::nullopt;
  if (work.encoded.size() >= jpeg.size()) return std::nullopt;
  return JpegPicture{std::move(work.encoded), work.out.image_width, work.out.image_height};
}

std::optional<JpegSize> ReadJpegSize(std::span<const std::uint8_t> jpeg) {
  if (jpeg.empty()) return std::nullopt;
  Work work;
  if (!ReadSize(work, jpeg)) return std::nullopt;
  return JpegSize{work.in.image_width, work.in.image_height};
}

}  // namespace korvan::server
