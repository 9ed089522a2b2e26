// libjpeg as the decoder of what the JPEG writer writes: the tests' and the
// picture fuzz target's, where it was found at configure time
// (QUILLON_HAVE_LIBJPEG). Declared in pictures.hpp.
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#ifdef QUILLON_HAVE_LIBJPEG
#include <csetjmp>
#include <cstdio>  // jpeglib.h uses FILE without including it
#include <cstdlib>

#include <jpeglib.h>
#endif

#include "support/pictures.hpp"

namespace quillon::test {

#ifdef QUILLON_HAVE_LIBJPEG
bool haveLibjpeg() { return true; }

namespace {
// libjpeg's errors, and its warnings of corrupt data it would paper over,
// jump back to readJPEG to be thrown from there: an exception must not cross
// libjpeg's C frames. What the jump leaves behind lives on the heap.
struct JPEGDecoding : jpeg_error_mgr {
  jpeg_decompress_struct info{};
  std::jmp_buf failed;
  char message[JMSG_LENGTH_MAX] = "";
  Picture picture;
};
}  // namespace

Picture readJPEG(std::string_view jpeg, std::string* iccProfile) {
  if (iccProfile) iccProfile->clear();
  const auto d = std::make_unique<JPEGDecoding>();
  jpeg_decompress_struct& info = d->info;
  info.err = jpeg_std_error(d.get());
  d->error_exit = [](j_common_ptr common) {
    auto* decoding = static_cast<JPEGDecoding*>(common->err);
    decoding->format_message(common, decoding->message);
    std::longjmp(decoding->failed, 1);
  };
  d->emit_message = [](j_common_ptr common, int level) {
    if (level < 0) common->err->error_exit(common);
  };
  jpeg_create_decompress(&info);
  if (setjmp(d->failed)) {
    jpeg_destroy_decompress(&info);
    throw std::runtime_error(std::string("libjpeg: ") + d->message);
  }
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);  // where ICC profiles are
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  Picture& picture = d->picture;
  picture = {info.output_width, info.output_height, info.output_components, {}};
  picture.pixels.resize(size_t(picture.width) * picture.height * picture.channels);
  while (info.output_scanline < picture.height) {
    JSAMPROW row = picture.at(0, info.output_scanline);
    jpeg_read_scanlines(&info, &row, 1);
  }
  JOCTET* profile = nullptr;
  unsigned int length = 0;
  if (iccProfile && jpeg_read_icc_profile(&info, &profile, &length)) {
    iccProfile->assign(reinterpret_cast<const char*>(profile), length);
    std::free(profile);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return std::move(picture);
}
#else
bool haveLibjpeg() { return false; }
Picture readJPEG(std::string_view, std::string*) {
  throw std::runtime_error("libjpeg is not installed here");
}
#endif

}  // namespace quillon::test
