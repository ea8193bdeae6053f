// Charts of a result set drawn with cairo and written as JPEG or PNG, and the export of a result
// set to a delimited text file.
#pragma once
#include <string>
#include <vector>

#include "kxproduct/query.h"

// Chart kinds of KXChartMgr::SetChartType.
enum KXChartType : int { KX_CHART_BAR = 1, KX_CHART_PIE = 2, KX_CHART_LINE = 3 };

// The data a chart draws: one label per category and one value per category and series.
// Built from the rows of a result set: the first shown column names the category; every shown
// integer column after it is a series whose values are summed per category; without one the
// single series counts the rows of each category.
class KXResultSet : public KXObject {
public:
    // Reads the current row of a result set and the rows after it (at most kMaxRows rows and kMaxCategories
    // categories; rows past either bound are left out). KXException KX_MSG_QUERY_FAILED for a
    // result set that has not been executed.
    static KXSmartPtr<KXResultSet> Build(const AdResultSetPtr &rows);
    static constexpr int kMaxRows = 100000;
    static constexpr int kMaxCategories = 200;

    const std::vector<CString> &Categories() const { return categories_; }
    const std::vector<CString> &SeriesNames() const { return series_names_; }
    // values()[series][category]
    const std::vector<std::vector<double>> &Values() const { return values_; }
    bool IsEmpty() const { return categories_.empty(); }

private:
    std::vector<CString> categories_, series_names_;
    std::vector<std::vector<double>> values_;
};

// Draws one chart. A manager starts with the defaults: bar chart, 640 x 480 pixels, JPEG quality
// 75, optimized coding, interlaced PNG, colour, baseline JPEG.
class KXChartMgr : public KXObject {
public:
    static constexpr int kMaxSide = 4096; // pixels; larger sizes are refused when drawing

    void SetChartType(int type) { type_ = type; }
    void SetHeight(int height) { height_ = height; }
    void SetWidth(int width) { width_ = width; }
    // 1 to 100; larger values draw at 100.
    void SetQuality(int quality) { quality_ = quality; }
    void SetOptimizeCompression(BOOL on) { optimize_ = on != 0; }
    void SetGrayScale(BOOL on) { gray_ = on != 0; }
    void SetInterlaced(BOOL on) { interlaced_ = on != 0; }
    void SetProgressive(BOOL on) { progressive_ = on != 0; }
    void SetResultSet(const KXSmartPtr<KXResultSet> &data) { data_ = data; }

    // 1 when the chart was written to `path`, 0 when the result set holds no data (nothing is
    // written). KXException KX_MSG_BAD_VALUE for a size outside 1..kMaxSide or an unknown chart
    // type, KX_MSG_QUERY_FAILED when the file cannot be written (no partial file is left).
    int MakeJPEG(const std::wstring &path);
    int MakePNG(const std::wstring &path);

private:
    int make(const std::wstring &path, bool jpeg);
    KXSmartPtr<KXResultSet> data_;
    int type_ = KX_CHART_BAR, height_ = 480, width_ = 640, quality_ = 75;
    bool optimize_ = true, gray_ = false, interlaced_ = true, progressive_ = false;
};

// Writes the current row of a result set and the rows after it to `path`, shown columns only: a
// line of column labels, then one line per row, fields joined by `delimiter` (a tab when empty). A field holding the
// delimiter, a quote or a line break is quoted, quotes doubled. Text is UTF-8. `options` is
// reserved and ignored. KXException KX_MSG_QUERY_FAILED when the file cannot be written.
void ExportResultSet(const AdResultSetPtr &rows, const std::wstring &path, const CString &delimiter,
                     const CString &options);
