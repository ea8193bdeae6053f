// The rows a result set delivers from where it stands, each value as text ("<none>" for none).
#pragma once
#include <string>
#include <vector>

#include "kxproduct/query.h"

inline std::vector<std::vector<std::wstring>> result_rows(const AdResultSetPtr &rs) {
    std::vector<std::vector<std::wstring>> out;
    while (rs->MoveNext() == AD_SUCCESS) {
        std::vector<std::wstring> row;
        for (int c = 1; c <= rs->GetNumberOfColumns(); ++c) {
            CString v;
            row.push_back(rs->GetColumnValue(c, v) ? v.str() : L"<none>");
        }
        out.push_back(row);
    }
    return out;
}
