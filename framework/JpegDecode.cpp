#include "JpegDecode.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

extern "C" {
#include <jpeglib.h>
#include <jerror.h>
}

#include "SysUtils.h"

namespace zf {

namespace {

constexpr uint64_t kMaxPixels = 64ull * 1024 * 1024;

// libjpeg's fatal errors leave through longjmp back into Decode, which then
// raises the picture error: no C++ exception crosses the C library's frames.
struct TErrorManager {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  int Code;
};

extern "C" void ZivoJpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TErrorManager*>(cinfo->err);
  err->Code = cinfo->err->msg_code;
  std::longjmp(err->Jump, 1);
}

extern "C" void ZivoJpegOutputMessage(j_common_ptr) {}

// The data source over bytes already read from the picture's stream.
struct TSource {
  jpeg_source_mgr Pub;
  JOCTET Eoi[2];
};

extern "C" void SrcInit(j_decompress_ptr) {}
extern "C" boolean SrcFill(j_decompress_ptr cinfo) {
  // Past the end: a fake end-of-image marker, as libjpeg's own sources do.
  auto* src = reinterpret_cast<TSource*>(cinfo->src);
  WARNMS(cinfo, JWRN_JPEG_EOF);
  src->Eoi[0] = 0xFF;
  src->Eoi[1] = JPEG_EOI;
  src->Pub.next_input_byte = src->Eoi;
  src->Pub.bytes_in_buffer = 2;
  return TRUE;
}
extern "C" void SrcSkip(j_decompress_ptr cinfo, long n) {
  auto* src = reinterpret_cast<TSource*>(cinfo->src);
  if (n <= 0) return;
  while (static_cast<size_t>(n) > src->Pub.bytes_in_buffer) {
    n -= static_cast<long>(src->Pub.bytes_in_buffer);
    SrcFill(cinfo);
  }
  src->Pub.next_input_byte += n;
  src->Pub.bytes_in_buffer -= static_cast<size_t>(n);
}
extern "C" void SrcTerm(j_decompress_ptr) {}

// Returns 0 or the libjpeg message code of a fatal error; out is filled on 0.
// Only trivially destructible locals live between setjmp and longjmp here.
int DecodeRaw(const unsigned char* data, size_t size, int& width, int& height,
              unsigned char* (*alloc)(void*, size_t) noexcept,
              void* allocCtx, int& tooLarge) {
  jpeg_decompress_struct cinfo;
  TErrorManager err;
  TSource src;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.Pub);
  err.Pub.error_exit = ZivoJpegErrorExit;
  err.Pub.output_message = ZivoJpegOutputMessage;
  err.Code = 0;
  tooLarge = 0;
  if (setjmp(err.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    return err.Code ? err.Code : -1;
  }
  jpeg_create_decompress(&cinfo);
  src.Pub.init_source = SrcInit;
  src.Pub.fill_input_buffer = SrcFill;
  src.Pub.skip_input_data = SrcSkip;
  src.Pub.resync_to_restart = jpeg_resync_to_restart;
  src.Pub.term_source = SrcTerm;
  src.Pub.next_input_byte = data;
  src.Pub.bytes_in_buffer = size;
  cinfo.src = &src.Pub;
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_calc_output_dimensions(&cinfo);
  if (static_cast<uint64_t>(cinfo.output_width) * cinfo.output_height > kMaxPixels) {
    tooLarge = 1;
    jpeg_destroy_decompress(&cinfo);
    return 0;
  }
  jpeg_start_decompress(&cinfo);
  width = static_cast<int>(cinfo.output_width);
  height = static_cast<int>(cinfo.output_height);
  size_t stride = static_cast<size_t>(width) * 3;
  unsigned char* out = alloc(allocCtx, stride * static_cast<size_t>(height));
  if (!out) {
    jpeg_destroy_decompress(&cinfo);
    return JERR_OUT_OF_MEMORY;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out + stride * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return 0;
}

unsigned char* AllocInto(void* ctx, size_t n) noexcept {
  try {
    auto* s = static_cast<std::string*>(ctx);
    s->assign(n, '\0');
    return reinterpret_cast<unsigned char*>(s->data());
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

TJpegPixels DecodeJpeg(std::string_view data) {
  TJpegPixels px;
  std::string buf;
  int w = 0, h = 0, tooLarge = 0;
  int code = DecodeRaw(reinterpret_cast<const unsigned char*>(data.data()), data.size(), w, h, &AllocInto, &buf,
                       tooLarge);
  if (code != 0) throw EInvalidGraphic("JPEG error #" + IntToStr(code));
  if (tooLarge) throw EInvalidGraphic("JPEG image too large");
  px.Width = w;
  px.Height = h;
  px.Rgb = std::move(buf);
  return px;
}

}  // namespace zf
