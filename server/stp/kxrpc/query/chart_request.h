// The image options of one chart rendering and the rendering itself.
#pragma once

#include "kxproduct/query.h"
#include "kxproduct/session.h"
#include "tesutil/ustring.h"

namespace KxRpc {

class ChartRequest {
public:
    explicit ChartRequest(KXSmartPtr<KXSession> const &session);
    ChartRequest(ChartRequest const &) = delete;
    ChartRequest &operator=(ChartRequest const &) = delete;
    ~ChartRequest();

    void set_jpeg(bool on) { jpeg_ = on; }
    void set_height(int pixels) { height_ = pixels; }
    void set_width(int pixels) { width_ = pixels; }
    void set_quality(int quality) { quality_ = quality; }
    void set_optimize_compression(bool on) { optimize_compression_ = on; }
    void set_grayscale(bool on) { grayscale_ = on; }
    void set_interlaced(bool on) { interlaced_ = on; }
    void set_progressive(bool on) { progressive_ = on; }

    bool jpeg() const { return jpeg_; }

    // Draws the rows into a new JPEG or PNG file at `path`: the chart maker's result, nonzero
    // when a chart was drawn. Product exceptions pass to the caller.
    int make_chart(Nul::UString const &path, AdResultSetPtr const &rows);

private:
    KXSmartPtr<KXSession> session_;
    bool jpeg_ = true;
    int height_ = -1;
    int width_ = -1;
    int quality_ = -1;
    bool optimize_compression_ = true;
    bool grayscale_ = false;
    bool interlaced_ = true;
    bool progressive_ = false;
};

} // namespace KxRpc
