// Paged query execution (procedures 7 and 22): the reply, and the open result set kept between
// calls under a state handle.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kxproduct/query.h"
#include "query/chart_request.h"
#include "target/target.h"
#include "tesutil/ustring.h"
#include "wexxml/domparser.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

class ExecuteQueryArgs;
class KxGetMyActivityListArgs;

// Rows one reply holds at most, whatever page size the client asks for.
constexpr int max_rows_per_reply = 10000;

class ExecuteQueryResp : public XdrObject {
public:
    // One paged query held for the client. Calls that name it take its lock for the whole page,
    // so a handle used from two connections at once is served one call after the other.
    class ExecuteQueryStateItem : public StateItem {
    public:
        explicit ExecuteQueryStateItem(Nul::UString const &offset) : client_offset(offset) {}
        ~ExecuteQueryStateItem() override;

        std::mutex mu;
        bool finished = false; // discarded: a later call naming it finds nothing
        Nul::UString primary_id, primary_name;
        int parameter_count = 0;
        bool row_count = false, count_only = false;
        unsigned start_row = 0, end_row = 0, current_row = 0;
        std::map<Nul::UString, Nul::UString> family;
        AdResultSetPtr result_set;
        int column_count = 0;
        std::vector<int> position; // result column -> query field, from 1
        std::vector<bool> shown;   // result column shows a field, from 1
        bool has_group_by = false;
        bool as_file = false, as_chart = false; // as_chart: chart options were given
        Nul::UString delimiter, file_options;   // of a file result; an empty delimiter is a tab
        std::unique_ptr<ChartRequest> chart;
        bool is_chart() const { return chart && !as_file; }
        bool declared_sql = false;
        std::vector<int> tags;            // value-type tag per result column, from 1
        std::vector<Nul::UString> labels; // label per result column, from 1
        bool is_family = false;
        Nul::UString client_offset;
        // Read on the first page and kept for the later ones: the session's feature level (-1
        // not yet read) and the query limits.
        int feature = -1;
        bool limits_read = false;
        int soft_limit = 0, hard_limit = 0;
    };

    // One value of a row: 0 a reference (record type name and text), 1 a value of `code`, 2 none.
    // The texts are kept as the UTF-8 they go out in.
    struct Value {
        int kind = 2;
        int code = 0;
        std::string type_name;
        std::string text;
    };
    // How the values of one shown result column go on the wire, decided once per page.
    struct ColumnPlan {
        int column = 0;
        bool reference = false; // kind 0 with the referenced record type's name
        std::string type_name;  // UTF-8
        int code = 3;
        bool date_time = false; // sent in ISO form
    };
    struct Row {
        unsigned number = 0;
        std::vector<Value> values;
        bool has_record = false;
        TargetResourceArg address;
    };
    struct ResultInfo {
        bool has_count = false;
        int count = 0;
        bool limited = false;
        int soft_limit = 0, hard_limit = 0;
        bool stateless = false;
        bool generated_sql = true;
        bool with_columns = false;
        std::vector<int> tags;
        std::vector<Nul::UString> labels;
    };

    // Longest CTG:delimiter of a file result, in characters: every cell of the file carries one.
    static constexpr unsigned max_delimiter_length = 16;

    explicit ExecuteQueryResp(ExecuteQueryArgs &args);
    ~ExecuteQueryResp() override;

    // Runs the call and collects this reply, each failure as the reply's error arm. The kept
    // state is locked only while the page is read, never while the reply is written.
    void run();
    bool_t xdr(XDR *xdrs) override;

    // What run collected.
    Nul::STPException const *error() const { return error_.get(); }
    ResultInfo const &info() const { return info_; }
    std::vector<Row> const &rows() const { return rows_; }
    std::shared_ptr<ExecuteQueryStateItem> const &continue_with() const { return continue_with_; }

    // Steps of the first call.
    void prepare_execute(ExecuteQueryStateItem &item);
    void apply_parameters(Nul::DomParser::Elem parameters, ExecuteQueryStateItem &item);
    AdQueryDefPtr build_query_def(Nul::DomParser::Elem definition);
    // Column layout (the value-type tags and labels of the shown result columns).
    static void map_result_positions(ExecuteQueryStateItem &item, AdQueryDefPtr const &def);
    static void map_columns(ExecuteQueryStateItem &item);
    // The CTG:result-set-options and CTG:chart-options of a first call.
    static void read_file_options(Nul::DomParser::Elem options, ExecuteQueryStateItem &item);
    void read_chart_options(Nul::DomParser::Elem options, ExecuteQueryStateItem &item);

private:
    void first_call();
    void returning_call();
    // The rows of one reply from the row the result set stands on; false with the error set
    // when the columns do not fit.
    bool page(std::shared_ptr<ExecuteQueryStateItem> const &item, int status);
    void fill_info(ExecuteQueryStateItem &item, long num_rows, bool with_columns);
    static ColumnPlan plan_column(ExecuteQueryStateItem &item, int column, bool feature);
    static Value read_value(AdResultSetPtr const &rs, ColumnPlan const &plan);
    void discard(std::shared_ptr<ExecuteQueryStateItem> const &item);
    // Charges what the item holds for the next call; past a memory bound the query ends.
    void hold(std::shared_ptr<ExecuteQueryStateItem> const &item);
    // Undoes a failed returning page: the item stands again after row `handed_out`.
    void rewind(std::shared_ptr<ExecuteQueryStateItem> const &item, unsigned handed_out);
    void fail(Nul::STPException const &e);
    // A file or chart result: the whole result written to a temporary file now, streamed while the
    // reply is encoded; a failure becomes the error arm after the result info.
    void make_content(ExecuteQueryStateItem &item);
    // The reply's content is the error arm of reason 17 with the empty-chart message.
    void empty_chart_reply();
    bool_t send_content(XDR *xdrs);

    ExecuteQueryArgs &args_;
    AdQueryDefPtr query_def_;
    AdBucketPtr bucket_;
    std::unique_ptr<Nul::STPException> error_;
    bool has_info_ = false;
    ResultInfo info_;
    bool rows_follow_ = true;
    bool zero_after_rows_ = false;
    std::vector<Row> rows_;
    std::shared_ptr<ExecuteQueryStateItem> continue_with_;
    bool moved_ = false; // the page moved the result set past the row it started on
    int id_column_ = 0, dbid_column_ = 0;
    bool content_ = false;
    Nul::UString content_path_;
    wchar_t const *content_method_ = L"";
    std::unique_ptr<Nul::STPException> content_error_;
};

// The state item as an ExecuteQueryStateItem; null for null or another kind.
ExecuteQueryResp::ExecuteQueryStateItem *execute_query_state_item_cast(StateItem *item);

std::unique_ptr<XdrObject> kxrpc_execute_query(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_get_my_activity_list(XdrObject *request);

// Finds the activity-list query of the user (personal, then public) or builds the built-in one,
// and the request document that supplies the project and the stream.
void prepare_activity_query(KxGetMyActivityListArgs &args);

} // namespace KxRpc
