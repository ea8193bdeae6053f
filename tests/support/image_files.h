// Reads a JPEG or PNG file whole with libjpeg or libpng and reports what its headers say.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace kxtest {

struct DecodedImage {
    int width = 0, height = 0, components = 0;
    bool progressive = false, interlaced = false;
};

inline DecodedImage read_jpeg(std::string const &path) {
    DecodedImage d;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return d;
    jpeg_decompress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, f);
    jpeg_read_header(&info, TRUE);
    d.progressive = info.progressive_mode != 0;
    jpeg_start_decompress(&info);
    std::vector<JSAMPLE> row(info.output_width * static_cast<unsigned>(info.output_components));
    JSAMPROW p = row.data();
    while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, &p, 1);
    d.width = static_cast<int>(info.output_width);
    d.height = static_cast<int>(info.output_height);
    d.components = info.num_components;
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(f);
    return d;
}

inline DecodedImage read_png(std::string const &path) {
    DecodedImage d;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return d;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    d.width = static_cast<int>(png_get_image_width(png, info));
    d.height = static_cast<int>(png_get_image_height(png, info));
    d.components = png_get_channels(png, info);
    d.interlaced = png_get_interlace_type(png, info) == PNG_INTERLACE_ADAM7;
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return d;
}

} // namespace kxtest
