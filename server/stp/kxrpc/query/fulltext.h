// Full-text search with paging (procedure 25): the search kept between calls and its reply.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "kxproduct/textsearch.h"
#include "tesutil/ustring.h"
#include "wire/exceptions.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class ExecuteFullTextSearchArgs;

// One reply record: 0 search header, 1 record-type header, 2 hit, 4 error (3, the end, is
// written by the reply itself).
struct SearchRecord {
    int kind = 0;
    int number = 0;            // 0: total hits
    Nul::UString text;         // 0: expanded search string; 1 and 2: record-type name
    Nul::UString display_name; // 2
    unsigned type_dbid = 0, dbid = 0;
    int score = 0, indexed_version = 0, version = 0;
    std::vector<Nul::UString> names;                 // 1: display field names; 2: the hit's values
    std::shared_ptr<KXInternalErrorException> error; // 4
};

// A search held for the client between calls. Calls that name it are serialised by its lock.
class SearchState : public StateItem {
public:
    SearchState(KXSmartPtr<KXSession> const &user_session, ExecuteFullTextSearchArgs &args);
    ~SearchState() override;
    // Builds and executes the search; failures are raised as the call's error.
    void init(AdSession *session, ExecuteFullTextSearchArgs &args);
    // The records of one reply: at most `request_num` hits of the current page. Product failures
    // end the records with an error record and finish the search. `finished` says, as of this
    // reply, whether the search has nothing more for a later call (all hits written, an error, or
    // a choice-list search, which answers once).
    std::vector<SearchRecord> next_records(int request_num, bool &finished);
    // Charges what the search holds for the next call (refused past a memory bound).
    void hold();

private:
    void write_hits(std::vector<SearchRecord> &out);

    std::mutex mu_;
    KXSmartPtr<KXSession> user_session_;
    KXSmartPtr<KXTextSearchResult> result_;
    KXSmartPtr<KXTextSearchHits> hits_;
    int remaining_ = 0;
    int cursor_ = -1;
    bool done_ = false;
    int start_row_ = 0;
    bool has_parent_record_ = false;
    std::map<Nul::UString, std::vector<Nul::UString>> sent_fields_;
};

// The reply: the records collected in the handler, then kind 3 with the handle to continue with,
// or the null handle when the search is finished (it is then no longer registered).
class ExecuteFullTextSearchIter : public XdrObject {
public:
    ExecuteFullTextSearchIter();
    ~ExecuteFullTextSearchIter() override;
    // Creates and runs the search, or continues the one the request names, and collects this
    // reply's records.
    void start_search(ExecuteFullTextSearchArgs &args);
    bool_t xdr(XDR *xdrs) override;
    std::vector<SearchRecord> const &records() const { return records_; }
    std::shared_ptr<SearchState> const &continue_with() const { return continue_with_; }

private:
    std::vector<SearchRecord> records_;
    std::shared_ptr<SearchState> continue_with_;
};

std::unique_ptr<XdrObject> kxrpc_execute_fulltext_search(XdrObject *request);

} // namespace KxRpc
