#include "kxproduct/chart.h"

#include <cairo.h>
#include <fcntl.h>
#include <jpeglib.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>

#include "core.h"
#include "kxproduct/diag.h"
#include "kxproduct/faults.h"

using namespace kxp;

namespace {
// The shown columns of a result set, in order.
std::vector<int> shown_columns(const AdResultSetPtr &rows) {
    std::vector<int> shown;
    for (int c = 1; c <= rows->GetNumberOfColumns(); ++c)
        if (rows->GetColumnIsShown(c)) shown.push_back(c);
    return shown;
}

// Both readers start at the current row: a result set moved past its end gives nothing.
int first_status(const AdResultSetPtr &rows) { return rows->GetCurrentRow() > 0 ? AD_SUCCESS : AD_NO_DATA_FOUND; }
} // namespace

KXSmartPtr<KXResultSet> KXResultSet::Build(const AdResultSetPtr &rows) {
    KXFaultInjector::Enter("KXResultSet::Build");
    if (!rows) throw_kx(KX_MSG_QUERY_FAILED, L"No result set to chart.", "KXResultSet::Build");
    KXSmartPtr<KXResultSet> out(new KXResultSet());
    const std::vector<int> shown = shown_columns(rows);
    if (shown.empty()) return out;
    const int category = shown.front();
    std::vector<int> series_columns;
    for (size_t i = 1; i < shown.size(); ++i)
        if (rows->GetColumnType(shown[i]) == AD_COLUMN_INT) {
            series_columns.push_back(shown[i]);
            out->series_names_.push_back(rows->GetColumnLabel(shown[i]));
        }
    const bool counting = series_columns.empty();
    if (counting) out->series_names_.push_back(L"Count");
    out->values_.resize(out->series_names_.size());

    std::map<CString, size_t> index;
    CString text;
    int n = 0;
    for (int status = first_status(rows); status == AD_SUCCESS && n < kMaxRows; status = rows->MoveNext(), ++n) {
        if (!rows->GetColumnValue(category, text)) text.Empty();
        auto it = index.find(text);
        if (it == index.end()) {
            if (static_cast<int>(out->categories_.size()) >= kMaxCategories) continue;
            it = index.emplace(text, out->categories_.size()).first;
            out->categories_.push_back(text);
            for (auto &s : out->values_) s.push_back(0);
        }
        if (counting) {
            out->values_[0][it->second] += 1;
            continue;
        }
        for (size_t s = 0; s < series_columns.size(); ++s)
            if (rows->GetColumnValue(series_columns[s], text))
                out->values_[s][it->second] += std::wcstod(text.GetString(), nullptr);
    }
    return out;
}

namespace {

struct Rgb {
    double r, g, b;
};
constexpr Rgb kPalette[] = {{0.20, 0.40, 0.75}, {0.85, 0.35, 0.20}, {0.30, 0.65, 0.30}, {0.90, 0.70, 0.15},
                            {0.55, 0.35, 0.70}, {0.20, 0.65, 0.70}, {0.70, 0.25, 0.45}, {0.45, 0.45, 0.45}};
const Rgb &colour(size_t i) { return kPalette[i % std::size(kPalette)]; }

struct SurfaceFree {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct CairoFree {
    void operator()(cairo_t *c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;

void label(cairo_t *cr, const CString &text, double x, double y, double max_width) {
    std::string s = u8(text.GetLength() > 24 ? text.Left(23) + L"\u2026" : text);
    if (s.empty()) s = "(none)";
    cairo_text_extents_t ext;
    cairo_text_extents(cr, s.c_str(), &ext);
    double scale = ext.width > max_width && ext.width > 0 ? max_width / ext.width : 1.0;
    cairo_save(cr);
    cairo_move_to(cr, x - ext.width * scale / 2, y);
    cairo_scale(cr, scale, 1.0);
    cairo_show_text(cr, s.c_str());
    cairo_restore(cr);
}

double max_value(const KXResultSet &d, bool stacked_first_only) {
    double m = 0;
    for (size_t s = 0; s < d.Values().size(); ++s) {
        if (stacked_first_only && s > 0) break;
        for (double v : d.Values()[s]) m = std::max(m, v);
    }
    return m > 0 ? m : 1;
}

// Plot area with a value axis on the left and category labels below.
struct Plot {
    double left, top, right, bottom;
};

Plot axes(cairo_t *cr, int width, int height, double top_value) {
    Plot p{48, 16, width - 16.0, height - 32.0};
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, p.left, p.top);
    cairo_line_to(cr, p.left, p.bottom);
    cairo_line_to(cr, p.right, p.bottom);
    cairo_stroke(cr);
    for (int t = 0; t <= 4; ++t) {
        double y = p.bottom - (p.bottom - p.top) * t / 4;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", top_value * t / 4);
        cairo_move_to(cr, 4, y + 4);
        cairo_show_text(cr, buf);
    }
    return p;
}

void draw_bars(cairo_t *cr, const KXResultSet &d, int width, int height) {
    Plot p = axes(cr, width, height, max_value(d, false));
    double top = max_value(d, false);
    size_t n = d.Categories().size(), series = d.Values().size();
    double slot = (p.right - p.left) / static_cast<double>(n);
    double bar = slot * 0.8 / static_cast<double>(series);
    for (size_t c = 0; c < n; ++c) {
        for (size_t s = 0; s < series; ++s) {
            double h = (p.bottom - p.top) * d.Values()[s][c] / top;
            const Rgb &k = colour(s);
            cairo_set_source_rgb(cr, k.r, k.g, k.b);
            cairo_rectangle(cr, p.left + slot * static_cast<double>(c) + slot * 0.1 + bar * static_cast<double>(s),
                            p.bottom - h, bar, h);
            cairo_fill(cr);
        }
        cairo_set_source_rgb(cr, 0, 0, 0);
        label(cr, d.Categories()[c], p.left + slot * (static_cast<double>(c) + 0.5), p.bottom + 14, slot);
    }
}

void draw_lines(cairo_t *cr, const KXResultSet &d, int width, int height) {
    Plot p = axes(cr, width, height, max_value(d, false));
    double top = max_value(d, false);
    size_t n = d.Categories().size();
    double step = n > 1 ? (p.right - p.left) / static_cast<double>(n - 1) : 0;
    double x0 = n > 1 ? p.left : (p.left + p.right) / 2;
    cairo_set_line_width(cr, 2);
    for (size_t s = 0; s < d.Values().size(); ++s) {
        const Rgb &k = colour(s);
        cairo_set_source_rgb(cr, k.r, k.g, k.b);
        for (size_t c = 0; c < n; ++c) {
            double x = x0 + step * static_cast<double>(c);
            double y = p.bottom - (p.bottom - p.top) * d.Values()[s][c] / top;
            if (c == 0)
                cairo_move_to(cr, x, y);
            else
                cairo_line_to(cr, x, y);
        }
        cairo_stroke(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (size_t c = 0; c < n; ++c)
        label(cr, d.Categories()[c], x0 + step * static_cast<double>(c), p.bottom + 14,
              n > 1 ? step : p.right - p.left);
}

void draw_pie(cairo_t *cr, const KXResultSet &d, int width, int height) {
    const auto &values = d.Values()[0];
    double total = 0;
    for (double v : values) total += std::max(v, 0.0);
    double cx = width / 2.0, cy = height / 2.0, radius = std::min(width, height) * 0.4;
    double angle = -M_PI / 2;
    for (size_t c = 0; c < values.size(); ++c) {
        double sweep = total > 0 ? 2 * M_PI * std::max(values[c], 0.0) / total : 0;
        if (sweep <= 0) continue;
        const Rgb &k = colour(c);
        cairo_set_source_rgb(cr, k.r, k.g, k.b);
        cairo_move_to(cr, cx, cy);
        cairo_arc(cr, cx, cy, radius, angle, angle + sweep);
        cairo_close_path(cr);
        cairo_fill(cr);
        double mid = angle + sweep / 2;
        cairo_set_source_rgb(cr, 0, 0, 0);
        label(cr, d.Categories()[c], cx + std::cos(mid) * radius * 0.65, cy + std::sin(mid) * radius * 0.65,
              radius * 0.8);
        angle += sweep;
    }
}

// Pixels of the surface as rows of RGB or grey bytes.
std::vector<unsigned char> pixels(cairo_surface_t *s, int width, int height, bool gray) {
    cairo_surface_flush(s);
    const unsigned char *data = cairo_image_surface_get_data(s);
    int stride = cairo_image_surface_get_stride(s);
    int channels = gray ? 1 : 3;
    std::vector<unsigned char> out(static_cast<size_t>(width) * static_cast<size_t>(height) * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint32_t px;
            std::memcpy(&px, data + static_cast<ptrdiff_t>(y) * stride + x * 4, 4);
            unsigned char r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
            unsigned char *o = out.data() + (static_cast<size_t>(y) * width + x) * channels;
            if (gray)
                o[0] = static_cast<unsigned char>((299 * r + 587 * g + 114 * b) / 1000);
            else
                o[0] = r, o[1] = g, o[2] = b;
        }
    return out;
}

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void jpeg_fail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError *>(info->err)->jump, 1); }

struct Image {
    const unsigned char *rows;
    int width, height;
    bool gray;
};

// No C++ object with a destructor lives in this frame: libjpeg reports failure by longjmp.
bool write_jpeg(FILE *f, const Image &img, int quality, bool optimize, bool progressive) {
    jpeg_compress_struct info;
    JpegError err;
    info.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, f);
    info.image_width = static_cast<JDIMENSION>(img.width);
    info.image_height = static_cast<JDIMENSION>(img.height);
    info.input_components = img.gray ? 1 : 3;
    info.in_color_space = img.gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.optimize_coding = optimize ? TRUE : FALSE;
    if (progressive) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    const size_t row_bytes = static_cast<size_t>(img.width) * (img.gray ? 1 : 3);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(img.rows + info.next_scanline * row_bytes);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

bool write_png(FILE *f, const Image &img, bool interlaced, bool optimize) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
                 img.gray ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, optimize ? 9 : 6);
    png_write_info(png, info);
    int passes = png_set_interlace_handling(png);
    const size_t row_bytes = static_cast<size_t>(img.width) * (img.gray ? 1 : 3);
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < img.height; ++y) png_write_row(png, img.rows + static_cast<size_t>(y) * row_bytes);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The path is the server's own business: it goes to the diagnostics, the cause to the caller.
[[noreturn]] void unwritable(const std::wstring &path, int error, const char *op) {
    const std::string cause = error ? std::strerror(error) : "the content is incomplete";
    AdDiagnostic::Report(L"Store", w(std::string(op) + " '" + u8(CString(path.c_str())) + "': " + cause).GetString());
    throw_kx(KX_MSG_QUERY_FAILED, w("The file cannot be written: " + cause + "."), op);
}

// Never follows a link at the path; a file that cannot be written whole is removed again.
FILE *create_file(const std::wstring &path, const char *op) {
    std::string p = u8(CString(path.c_str()));
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    FILE *f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!f) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        unwritable(path, error, op);
    }
    return f;
}

void finish_file(FILE *f, bool ok, const std::wstring &path, const char *op) {
    errno = 0;
    if (std::fflush(f) != 0 || std::ferror(f)) ok = false;
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        const int error = errno;
        ::unlink(u8(CString(path.c_str())).c_str());
        unwritable(path, error, op);
    }
}

} // namespace

KXSmartPtr<KXChartMgr> KXWorkSpaceMgr::GetChartMgr() {
    KXFaultInjector::Enter("KXWorkSpaceMgr::GetChartMgr");
    live(session_, "KXWorkSpaceMgr::GetChartMgr");
    return KXSmartPtr<KXChartMgr>(new KXChartMgr());
}

int KXChartMgr::MakeJPEG(const std::wstring &path) {
    KXFaultInjector::Enter("KXChartMgr::MakeJPEG");
    return make(path, true);
}

int KXChartMgr::MakePNG(const std::wstring &path) {
    KXFaultInjector::Enter("KXChartMgr::MakePNG");
    return make(path, false);
}

int KXChartMgr::make(const std::wstring &path, bool jpeg) {
    const char *op = jpeg ? "KXChartMgr::MakeJPEG" : "KXChartMgr::MakePNG";
    if (width_ < 1 || width_ > kMaxSide || height_ < 1 || height_ > kMaxSide) {
        CString t;
        t.Format(L"A chart of %d x %d pixels is outside 1 to %d.", width_, height_, kMaxSide);
        throw_kx(KX_MSG_BAD_VALUE, t, op);
    }
    if (type_ != KX_CHART_BAR && type_ != KX_CHART_PIE && type_ != KX_CHART_LINE) {
        CString t;
        t.Format(L"%d is no chart type.", type_);
        throw_kx(KX_MSG_BAD_VALUE, t, op);
    }
    if (!data_ || data_->IsEmpty()) return 0;

    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width_, height_));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        throw_kx(KX_MSG_QUERY_FAILED, L"Cannot draw the chart.", op);
    {
        std::unique_ptr<cairo_t, CairoFree> cr(cairo_create(surface.get()));
        cairo_set_source_rgb(cr.get(), 1, 1, 1);
        cairo_paint(cr.get());
        cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr.get(), 11);
        if (type_ == KX_CHART_PIE)
            draw_pie(cr.get(), *data_, width_, height_);
        else if (type_ == KX_CHART_LINE)
            draw_lines(cr.get(), *data_, width_, height_);
        else
            draw_bars(cr.get(), *data_, width_, height_);
    }
    std::vector<unsigned char> rows = pixels(surface.get(), width_, height_, gray_);
    Image img{rows.data(), width_, height_, gray_};
    FILE *f = create_file(path, op);
    bool ok = jpeg ? write_jpeg(f, img, std::clamp(quality_, 1, 100), optimize_, progressive_)
                   : write_png(f, img, interlaced_, optimize_);
    finish_file(f, ok, path, op);
    return 1;
}

namespace {

std::string field(const CString &value, const std::string &delimiter) {
    std::string s = u8(value);
    bool quote = s.find(delimiter) != std::string::npos || s.find_first_of("\"\r\n") != std::string::npos;
    if (!quote) return s;
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"') out += '"';
        out += ch;
    }
    return out + '"';
}

} // namespace

void ExportResultSet(const AdResultSetPtr &rows, const std::wstring &path, const CString &delimiter,
                     const CString &options) {
    (void)options;
    const char *op = "ExportResultSet";
    KXFaultInjector::Enter(op);
    if (!rows) throw_kx(KX_MSG_QUERY_FAILED, L"No result set to export.", op);
    const std::string sep = delimiter.IsEmpty() ? std::string("\t") : u8(delimiter);
    const std::vector<int> shown = shown_columns(rows);
    FILE *f = create_file(path, op);
    bool ok = true;
    auto line = [&](auto &&value_of) {
        std::string out;
        for (size_t i = 0; i < shown.size(); ++i) {
            if (i > 0) out += sep;
            out += field(value_of(shown[i]), sep);
        }
        out += '\n';
        ok = ok && std::fwrite(out.data(), 1, out.size(), f) == out.size();
    };
    try {
        line([&](int c) { return rows->GetColumnLabel(c); });
        CString value;
        for (int status = first_status(rows); ok && status == AD_SUCCESS; status = rows->MoveNext())
            line([&](int c) {
                if (!rows->GetColumnValue(c, value)) value.Empty();
                return value;
            });
    } catch (...) {
        std::fclose(f);
        ::unlink(u8(CString(path.c_str())).c_str());
        throw;
    }
    finish_file(f, ok, path, op);
}
