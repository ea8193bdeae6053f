#include "chart_request.h"

#include <string>

#include "kxproduct/chart.h"
#include "tesutil/critsec.h"

namespace KxRpc {

namespace {
// The product's chart manager is not safe for two threads: every rendering takes this lock.
Nul::CriticalSectionLock &chart_lock() {
    static Nul::CriticalSectionLock lock;
    return lock;
}
} // namespace

ChartRequest::ChartRequest(KXSmartPtr<KXSession> const &session) : session_(session) {}

ChartRequest::~ChartRequest() = default;

int ChartRequest::make_chart(Nul::UString const &path, AdResultSetPtr const &rows) {
    Nul::CriticalSection guard(chart_lock());
    KXSmartPtr<KXChartMgr> charts = session_->GetWorkSpace()->GetChartMgr();
    // Unset (zero or negative) sizes and quality keep the chart maker's defaults.
    if (height_ > 0) charts->SetHeight(height_);
    if (width_ > 0) charts->SetWidth(width_);
    if (quality_ > 0) charts->SetQuality(quality_);
    charts->SetOptimizeCompression(optimize_compression_);
    charts->SetGrayScale(grayscale_);
    charts->SetInterlaced(interlaced_);
    charts->SetProgressive(progressive_);
    charts->SetResultSet(KXResultSet::Build(rows));
    std::wstring const file(path.c_str());
    return jpeg_ ? charts->MakeJPEG(file) : charts->MakePNG(file);
}

} // namespace KxRpc
