// Full-text search over the records of a user database (the store's FTS5 index). A definition
// says what to look for; a result runs it one page at a time and holds that page's hits.
#pragma once
#include <cstdint>
#include <vector>

#include "kxproduct/entity.h"

// Kinds of search definition.
enum KXTextSearchKind : int { KX_TEXT_SEARCH_RECORDS = 1, KX_TEXT_SEARCH_CHOICE_LIST = 2 };

class KXTextSearchDef : public KXObject {
public:
    // The index's work grows faster than the search text: longer texts, or texts of more terms
    // (runs of letters and digits, operators included), are refused by Execute.
    static constexpr int kMaxSearchBytes = 4096;
    static constexpr int kMaxSearchTerms = 64;
    explicit KXTextSearchDef(int kind) : kind_(kind) {}
    int GetKind() const { return kind_; }
    // FTS5 query syntax; the text is bound as a parameter, never spliced into SQL.
    void SetSearchString(const CString &text) { text_ = text; }
    CString GetSearchString() const { return text_; }
    void SetCacheSize(int n) { cache_size_ = n; }
    int GetCacheSize() const { return cache_size_; }
    // Record types (or families) to search; none: all of them.
    void SetRecordTypes(const std::vector<CString> &names) { types_ = names; }
    const std::vector<CString> &GetRecordTypes() const { return types_; }
    // A choice-list search finds the records that the field of `record` may refer to.
    void SetChoiceListFilter(const AdEntityPtr &record, const CString &field_name);
    const AdEntityPtr &GetChoiceListRecord() const { return record_; }
    CString GetChoiceListField() const { return field_; }

private:
    int kind_;
    CString text_;
    int cache_size_ = 0;
    std::vector<CString> types_;
    AdEntityPtr record_;
    CString field_;
};

class KXTextSearchHit : public KXObject {
public:
    struct Data {
        CString entity_def_name, display_name;
        int64_t dbid = 0;
        int score = 0, indexed_version = 0;
        std::vector<CString> field_names, field_values;
    };
    KXTextSearchHit(const AdSessionPtr &session, Data d) : session_(session), d_(std::move(d)) {}
    CString GetEntityDefName() const { return d_.entity_def_name; }
    CString GetDisplayName() const { return d_.display_name; }
    int64_t GetDbId() const { return d_.dbid; }
    // bm25 relevance scaled by 1000, higher is better.
    int GetScore() const { return d_.score; }
    // The record's version when the search ran; GetVersion reads the current one (0: deleted).
    int GetIndexedVersion() const { return d_.indexed_version; }
    int GetVersion() const;
    // The requested display fields that the hit's record type has, and their values (a list
    // field's values joined by new lines).
    const std::vector<CString> &GetDisplayFieldNames() const { return d_.field_names; }
    const std::vector<CString> &GetDisplayFieldValues() const { return d_.field_values; }
    size_t GetHeldBytes() const;

private:
    AdSessionPtr session_;
    Data d_;
};
typedef KXSmartPtr<KXTextSearchHit> KXTextSearchHitPtr;

class KXTextSearchHits : public KXObject {
public:
    explicit KXTextSearchHits(std::vector<KXTextSearchHitPtr> hits) : hits_(std::move(hits)) {}
    int GetCount() const { return static_cast<int>(hits_.size()); }
    // Null past the end of the page.
    KXTextSearchHitPtr GetHit(int index) const {
        return index >= 0 && index < GetCount() ? hits_[static_cast<size_t>(index)] : KXTextSearchHitPtr();
    }
    size_t GetHeldBytes() const;

private:
    std::vector<KXTextSearchHitPtr> hits_;
};

class KXTextSearchResult : public KXObject {
public:
    static constexpr int kDefaultPageSize = 100;
    static constexpr int kMaxPageSize = 1000;
    KXTextSearchResult(const AdSessionPtr &session, const KXSmartPtr<KXTextSearchDef> &def)
        : session_(session), def_(def) {}
    // Clamped to 1..kMaxPageSize.
    void SetPageSize(int n);
    int GetPageSize() const { return page_size_; }
    // 1-based; a page below 1 is page 1.
    void SetPage(int n) { page_ = n < 1 ? 1 : n; }
    int GetPage() const { return page_; }
    void SetDisplayFieldNames(const std::vector<CString> &names) { display_ = names; }
    // Counts the hits and reads the current page, each statement under the store's time budget. A
    // search string the index cannot parse, or one past the definition's bounds, raises
    // PaMsgException KX_MSG_BAD_SEARCH.
    void Execute();
    int GetTotalHits() const { return total_; }
    CString GetExpandedSearchString() const { return expanded_; }
    // The current page's hits; null before Execute.
    KXSmartPtr<KXTextSearchHits> GetHits() const { return hits_; }
    // Bytes of memory the result holds: its definition and the current page's hits. An estimate
    // that errs high.
    size_t GetHeldBytes() const;

private:
    AdSessionPtr session_;
    KXSmartPtr<KXTextSearchDef> def_;
    int page_size_ = kDefaultPageSize, page_ = 1, total_ = 0;
    std::vector<CString> display_;
    CString expanded_;
    KXSmartPtr<KXTextSearchHits> hits_;
};
