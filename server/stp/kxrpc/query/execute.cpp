#include "query/execute.h"

#include <algorithm>
#include <climits>
#include <new>
#include <string>
#include <string_view>

#include "files/file_marshaller.h"
#include "kxproduct/chart.h"
#include "kxproduct/session.h"
#include "props/queryxml.h"
#include "query/paged.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "tesutil/fileutl.h"
#include "tesutil/selector.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;
using Arg = Nul::UMessage::Arg;
using DomElem = Nul::DomParser::Elem;
using StateItemT = ExecuteQueryResp::ExecuteQueryStateItem;

wchar_t const method_name[] = L"ExecuteQueryResp::xdr";

Nul::UString tag_name(int tag) { return XmlTag::lookup(static_cast<XmlTag::Id>(tag)).simple_name(); }

bool same_no_case(CString const &a, wchar_t const *b) { return a.CompareNoCase(b) == 0; }

// A row number of CTG:start-row or CTG:end-row.
unsigned read_row(DomElem element, bool zero_allowed) {
    bool ok = false;
    unsigned long value = parse_unsigned(element.data(), ok);
    if (!ok || (value == 0 && !zero_allowed))
        raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_ROW, Arg(QueryUtil::tag_text(element.tag()))));
    return static_cast<unsigned>(value);
}

// An unsigned number of the file or chart options, at most INT_MAX.
int option_number(DomElem element) {
    bool ok = false;
    unsigned long value = parse_unsigned(element.data(), ok);
    if (!ok)
        raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_VALUE, Arg(QueryUtil::tag_text(element.tag()))));
    return static_cast<int>(std::min<unsigned long>(value, INT_MAX));
}

// The number of values a parameter's operator takes: {least, most}.
std::pair<int, int> operand_range(int comp_op) {
    switch (comp_op) {
    case AD_COMP_OP_BETWEEN:
    case AD_COMP_OP_NOT_BETWEEN:
        return {2, 2};
    case AD_COMP_OP_IS_NULL:
    case AD_COMP_OP_IS_NOT_NULL:
        return {0, 0};
    case AD_COMP_OP_IN:
    case AD_COMP_OP_NOT_IN:
        return {1, 0x7fffffff};
    default:
        return {1, 1};
    }
}

// A column of a query definition that goes out as a reference: a reference (list) field with the
// record type it refers to, or an attachment list or journal, which refer to no record type.
struct ReferenceColumn {
    bool reference = false;
    AdEntityDef *target = nullptr;
};

ReferenceColumn reference_column(AdResultSetPtr const &rs, int field_index) {
    AdQueryDefPtr def = rs->GetQueryDef();
    AdQueryFieldDef *qf = def ? def->GetQueryFieldDef(field_index) : nullptr;
    if (!qf) return {};
    int const type = qf->GetFieldType();
    if (type == AD_ATTACHMENT_LIST || type == AD_JOURNAL) return {true, nullptr};
    if (type != AD_REFERENCE && type != AD_REFERENCE_LIST) return {};
    AdFieldDef *field = QueryUtil::field_of_path(def->GetPrimaryEntity(), qf->GetFieldPath());
    AdEntityDef *target = field ? field->GetReferenceEntityDef() : nullptr;
    return {target != nullptr, target};
}

int sql_column_tag(int column_type, CString const &name, bool feature) {
    switch (column_type) {
    case AD_COLUMN_MULTILINE:
        return XmlTag::CTG_multiline_string;
    case AD_COLUMN_BINARY:
        return XmlTag::CTG_binary;
    case AD_COLUMN_INT:
        if (feature && same_no_case(name, L"locked_by")) return XmlTag::CTG_short_string;
        return same_no_case(name, L"dbid") ? XmlTag::CTG_dbid : XmlTag::CTG_int;
    case AD_COLUMN_DATE_TIME:
        return XmlTag::CTG_date_time;
    case AD_COLUMN_FLOAT:
        return XmlTag::CTG_float;
    default:
        return XmlTag::CTG_short_string;
    }
}

int field_column_tag(int field_type, CString const &name, bool feature, bool reference) {
    switch (field_type) {
    case AD_INT:
        return feature && same_no_case(name, L"locked_by") ? XmlTag::CTG_short_string : XmlTag::CTG_int;
    case AD_REFERENCE:
    case AD_REFERENCE_LIST:
    case AD_ATTACHMENT_LIST:
    case AD_JOURNAL:
        return reference ? XmlTag::CTG_reference : XmlTag::CTG_short_string;
    case AD_DBID:
        return same_no_case(name, L"dbid") ? XmlTag::CTG_dbid : XmlTag::CTG_short_string;
    default: {
        int const tag = QueryUtil::field_type_tag(field_type);
        return tag ? tag : static_cast<int>(XmlTag::CTG_field_type_unknown);
    }
    }
}

// The session's feature level is read once per held query.
bool feature_level_of(ExecuteQueryResp::ExecuteQueryStateItem &item) {
    if (item.feature < 0) {
        AdSessionPtr session = item.result_set->GetSession();
        item.feature = session && session->GetSessionFeatureLevel() > 6 ? 1 : 0;
    }
    return item.feature == 1;
}

// Runs query work; running out of memory there is the query's failure, with no text.
template <class Work>
void query_work(Work &&work) {
    try {
        work();
    } catch (std::bad_alloc const &) {
        throw KXInternalErrorException(kx_message(MSG_QUERY_FAILED, Arg(Nul::UString())));
    }
}

// A product failure as the call's error. A product assertion or any other product failure never
// ends the process.
std::unique_ptr<Nul::STPException> converted(ProductFailure const &f, wchar_t const *where) {
    trace_exception(Nul::UString(where), f.text);
    if (is_privilege_refusal(f)) return std::make_unique<KxRpcException>(refusal(f));
    return std::make_unique<KXInternalErrorException>(kx_message(MSG_INTERNAL_ERROR, Arg(f.text)));
}

bool_t xdr_value(XDR *xdrs, ExecuteQueryResp::Value &v) {
    enum_t kind = v.kind;
    if (!xdr_enum(xdrs, &kind)) return FALSE;
    if (v.kind == 2) return TRUE;
    if (v.kind == 0) {
        enum_t by_name = 1;
        return xdr_enum(xdrs, &by_name) && xdr_utf8(xdrs, v.type_name) && xdr_utf8(xdrs, v.text);
    }
    enum_t code = v.code;
    return xdr_enum(xdrs, &code) && xdr_utf8(xdrs, v.text);
}

// One row of the list: its number, each value, the end of the values, its record's address.
bool_t xdr_row(XDR *xdrs, ExecuteQueryResp::Row &row) {
    bool_t more = TRUE;
    int number = static_cast<int>(row.number);
    if (!xdr_bool(xdrs, &more) || !xdr_int(xdrs, &number)) return FALSE;
    for (ExecuteQueryResp::Value &v : row.values) {
        bool_t value_follows = TRUE;
        if (!xdr_bool(xdrs, &value_follows) || !xdr_value(xdrs, v)) return FALSE;
    }
    bool_t end = FALSE;
    if (!xdr_bool(xdrs, &end) || !xdr_flag(xdrs, row.has_record)) return FALSE;
    return !row.has_record || row.address.xdr(xdrs);
}

// The client's time-zone offset: the request's own context text, else what its login sent.
Nul::UString client_offset(ExecuteQueryArgs &args) {
    Nul::UString text = args.context_text();
    return text.empty() ? args.session_or_fail()->context_text() : text;
}

} // namespace

ExecuteQueryResp::ExecuteQueryStateItem::~ExecuteQueryStateItem() {
    ignoring_failures([this] { result_set = AdResultSetPtr(); });
}

ExecuteQueryResp::ExecuteQueryStateItem *execute_query_state_item_cast(StateItem *item) {
    return dynamic_cast<ExecuteQueryResp::ExecuteQueryStateItem *>(item);
}

// ---- construction

ExecuteQueryResp::ExecuteQueryResp(ExecuteQueryArgs &args) : args_(args) {
    if (args.is_returning()) return;
    if (args.is_state_item_target()) {
        QueryItemStateItem *held = args.query_state_item();
        bucket_ = held->bucket();
        query_def_ = held->query_def();
    } else if (!args.has_def()) {
        bucket_ = args.bucket();
    }
}

ExecuteQueryResp::~ExecuteQueryResp() {
    // A file that was made but never sent.
    if (!content_path_.empty()) ignoring_failures([&] { FileMarshaller(content_path_).remove_file(); });
}

void ExecuteQueryResp::fail(Nul::STPException const &e) { error_.reset(e.clone()); }

void ExecuteQueryResp::discard(std::shared_ptr<ExecuteQueryStateItem> const &item) {
    item->finished = true;
    if (!item->oid().is_nil()) remove_pointer_entry(item->oid());
}

void ExecuteQueryResp::hold(std::shared_ptr<ExecuteQueryStateItem> const &item) {
    try {
        std::uint64_t n = sizeof(*item) + item->position.capacity() * sizeof(int) + item->shown.capacity() / 8 +
                          item->tags.capacity() * sizeof(int) + (item->chart ? sizeof(ChartRequest) : 0);
        for (Nul::UString const *text :
             {&item->primary_id, &item->primary_name, &item->delimiter, &item->file_options, &item->client_offset})
            n += held_text_bytes(*text);
        for (Nul::UString const &label : item->labels) n += held_text_bytes(label);
        for (auto const &[name, id] : item->family) n += held_text_bytes(name) + held_text_bytes(id);
        n += product_call([&] { return item->result_set->GetHeldBytes(); }, unexpected_in(method_name));
        item->hold_bytes(n);
    } catch (...) {
        discard(item);
        throw;
    }
}

void ExecuteQueryResp::run() {
    try {
        auto const failure = failure_of([&] {
            query_work([&] {
                if (args_.is_returning())
                    returning_call();
                else
                    first_call();
            });
        });
        if (failure) error_ = converted(*failure, method_name);
    } catch (Nul::STPException const &e) {
        error_.reset(e.clone());
    }
}

// ---- first call

void ExecuteQueryResp::first_call() {
    auto item = std::make_shared<ExecuteQueryStateItem>(client_offset(args_));
    try {
        prepare_execute(*item);
    } catch (...) {
        discard(item);
        throw;
    }
    AdResultSetPtr const &rs = item->result_set;
    int const required = rs->GetNumberOfParams();
    if (required < item->parameter_count) {
        discard(item);
        raise_reason(Reason::wrong_count, kx_message(MSG_PARAMETER_COUNT, Arg(required), Arg(item->parameter_count)));
    }
    try {
        product_call([&] { query_work([&] { rs->Execute(); }); },
                     [](ProductFailure const &f) {
                         if (f.kind == ProductFailure::OTHER)
                             raise_reason(Reason::unexpected_failure,
                                          kx_message(MSG_QUERY_FAILED, Arg(Nul::UString())));
                         throw KXInternalErrorException(kx_message(MSG_QUERY_FAILED, Arg(f.text)));
                     });
    } catch (...) {
        discard(item);
        throw;
    }
    int const rs_status = rs->GetResultStatus();
    long num_rows = 0;
    if (item->row_count && rs_status != 0) num_rows = static_cast<long>(rs->GetRecordCount());
    int status = AD_NO_DATA_FOUND;
    if (!item->count_only && rs_status == AD_RESULT_HAS_ROWS) {
        if (item->start_row) {
            status = rs->MoveAbsolute(item->start_row);
            item->current_row = item->start_row;
        } else {
            status = rs->MoveFirst();
            item->current_row = 1;
        }
    }
    bool const as_chart = item->as_chart;
    bool const empty_chart = status == AD_NO_DATA_FOUND && as_chart;
    trace_lazy(1, [&] {
        return text_format(
            "ExecuteQueryResp::xdr info: (num_rows:%d :: start_row:%d :: end_row:%d :: request_num:%d :: "
            "row_count:%s :: as_file:%s :: as_chart:%s :: count_only:%s :: rs_status:%d :: status:%d :: "
            "empty_chart:%s)",
            static_cast<int>(num_rows), static_cast<int>(item->start_row), static_cast<int>(item->end_row),
            args_.request_num(), tf(item->row_count), tf(item->as_file), tf(as_chart), tf(item->count_only), rs_status,
            status, tf(empty_chart));
    });
    if (item->count_only || rs_status != AD_RESULT_HAS_ROWS || (status != AD_SUCCESS && !empty_chart)) {
        fill_info(*item, num_rows, false);
        rows_follow_ = !(item->as_file || as_chart);
        zero_after_rows_ = !rows_follow_;
        // No rows draw no image: a chart of an empty result is the empty-chart error, as when
        // drawing finds nothing to draw, never a content of no bytes.
        if (as_chart && !item->count_only && rs_status == AD_RESULT_EMPTY) empty_chart_reply();
        discard(item);
        return;
    }
    if (page(item, status)) {
        fill_info(*item, num_rows, true);
        if (!continue_with_) discard(item);
    } else {
        discard(item);
    }
}

// ---- returning call

void ExecuteQueryResp::returning_call() {
    auto item = std::dynamic_pointer_cast<ExecuteQueryStateItem>(args_.state());
    if (!item) raise_reason(Reason::internal_error);
    std::lock_guard<std::mutex> lock(item->mu);
    // Another call finished it while this one waited.
    if (item->finished) raise_reason(Reason::internal_error);
    // The result set stands on the row after the last one handed out.
    unsigned const handed_out = item->current_row;
    ++item->current_row;
    try {
        if (page(item, AD_SUCCESS)) {
            fill_info(*item, 0, true);
            if (!continue_with_) discard(item);
            return;
        }
    } catch (...) {
        rewind(item, handed_out);
        throw;
    }
    rewind(item, handed_out);
}

// A page that failed hands out no row: the next call starts where this one did. A result set
// that cannot go back there ends the query.
void ExecuteQueryResp::rewind(std::shared_ptr<ExecuteQueryStateItem> const &item, unsigned handed_out) {
    rows_.clear();
    continue_with_.reset();
    item->current_row = handed_out;
    if (!moved_) return;
    bool back = false;
    ignoring_failures([&] { back = item->result_set->MoveAbsolute(handed_out + 1) == AD_SUCCESS; });
    if (!back) discard(item);
}

// ---- the page

bool ExecuteQueryResp::page(std::shared_ptr<ExecuteQueryStateItem> const &held, int status) {
    ExecuteQueryStateItem &item = *held;
    map_columns(item);
    AdResultSetPtr const &rs = item.result_set;
    int const n = rs->GetNumberOfColumns();
    int highest = 0;
    for (int j = 1; j < static_cast<int>(item.shown.size()); ++j)
        if (item.shown[j]) highest = j;
    if (highest > n) {
        fail(KxRpcException(Reason::conflict, kx_message(MSG_COLUMN_MISMATCH, Arg(item.column_count), Arg(n))));
        return false;
    }
    if (item.as_file || item.is_chart()) {
        make_content(item);
        return true;
    }
    bool const feature = feature_level_of(item);
    id_column_ = dbid_column_ = 0;
    for (int j = 1; j <= std::min(item.column_count, n); ++j) {
        if (!item.shown[j]) continue;
        if (item.declared_sql) {
            if (id_column_ || dbid_column_) break;
            CString const label = rs->GetColumnLabel(j);
            if (same_no_case(label, L"DBID"))
                dbid_column_ = j;
            else if (same_no_case(label, L"ID"))
                id_column_ = j;
            continue;
        }
        AdQueryFieldDef *qf = rs->GetQueryDef()->GetQueryFieldDef(item.position[j]);
        if (!qf) continue;
        CString const path = qf->GetFieldPath();
        if (qf->GetFieldType() == AD_DBID && same_no_case(path, L"dbid") && same_no_case(rs->GetColumnName(j), L"dbid"))
            dbid_column_ = j;
        else if (qf->GetFieldType() == AD_ID && same_no_case(path, L"id"))
            id_column_ = j;
    }
    // The client names the page size, not the server's memory: a larger page is cut, and the
    // handle carries the rest. A page size of 0 or less is one row a reply.
    int const request_num = std::clamp(args_.request_num(), 1, max_rows_per_reply);
    std::vector<ColumnPlan> plans;
    for (int j = 1; j <= item.column_count && j <= n; ++j)
        if (item.shown[j]) plans.push_back(plan_column(item, j, feature));
    // The record type of a row's address, when every row has the same.
    unsigned long primary_dbid = 0;
    if (dbid_column_ && !item.is_family) {
        bool ok = false;
        primary_dbid = parse_unsigned(item.primary_id, ok);
    }
    rows_.reserve(static_cast<std::size_t>(std::min(request_num, 1024)));
    int count = 0;
    while (status == AD_SUCCESS) {
        Row &row = rows_.emplace_back();
        row.number = item.current_row;
        row.values.reserve(plans.size());
        for (ColumnPlan const &plan : plans) row.values.push_back(read_value(rs, plan));
        if (dbid_column_ || id_column_) {
            row.has_record = true;
            // The row's own record type only in a family: every row of a record type has the same.
            if (dbid_column_) {
                int64_t dbid = 0;
                rs->GetColumnValueAsInt(dbid_column_, dbid);
                unsigned long t = primary_dbid;
                if (item.is_family) {
                    auto found = item.family.find(ustr(rs->GetRowEntityDefName()));
                    bool ok = false;
                    t = found == item.family.end() ? 0 : parse_unsigned(found->second, ok);
                }
                row.address = TargetResourceArg(TT_RECORD, static_cast<u_int>(t), static_cast<u_int>(dbid));
            } else {
                std::string_view id;
                rs->GetColumnValueUtf8(id_column_, id);
                Nul::UString const name(Nul::Utf8String(std::string(utf8_text(id))));
                row.address = item.is_family ? TargetResourceArg(TT_RECORD, ustr(rs->GetRowEntityDefName()), name)
                                             : TargetResourceArg(TT_RECORD, item.primary_name, name);
            }
        }
        ++count;
        if ((item.end_row != 0 && item.current_row >= item.end_row) || count >= request_num) break;
        moved_ = true;
        status = rs->MoveNext();
        if (status == AD_SUCCESS) ++item.current_row;
    }
    if (status == AD_SUCCESS) {
        moved_ = true;
        status = rs->MoveNext();
    }
    bool const keep = status == AD_SUCCESS && (item.end_row == 0 || item.current_row < item.end_row);
    if (keep) {
        // The result set keeps the page it stands on for the next call.
        hold(held);
        continue_with_ = held;
    }
    return true;
}

ExecuteQueryResp::ColumnPlan ExecuteQueryResp::plan_column(ExecuteQueryStateItem &item, int column, bool feature) {
    AdResultSetPtr const &rs = item.result_set;
    ColumnPlan plan;
    plan.column = column;
    if (!item.declared_sql) {
        if (ReferenceColumn const ref = reference_column(rs, item.position[column]); ref.reference) {
            plan.reference = true;
            plan.type_name = ref.target ? ustr(ref.target->GetName()).utf8_str() : std::string();
            return plan;
        }
    }
    switch (rs->GetColumnType(column)) {
    case AD_COLUMN_INT:
        plan.code = feature && same_no_case(rs->GetColumnName(column), L"locked_by") ? 3 : 0;
        break;
    case AD_COLUMN_DATE_TIME:
        plan.code = 2;
        plan.date_time = true;
        break;
    case AD_COLUMN_FLOAT:
        plan.code = 4;
        break;
    default:
        plan.code = 3;
    }
    return plan;
}

ExecuteQueryResp::Value ExecuteQueryResp::read_value(AdResultSetPtr const &rs, ColumnPlan const &plan) {
    Value v;
    std::string_view text;
    if (!rs->GetColumnValueUtf8(plan.column, text)) return v;
    if (plan.reference) {
        if (text == "0") return v;
        v.kind = 0;
        v.type_name = plan.type_name;
        v.text = utf8_text(text);
        return v;
    }
    v.kind = 1;
    v.code = plan.code;
    if (plan.date_time)
        v.text = to_iso_datetime(CString::FromUtf8(text).GetString(), false).utf8_str();
    else
        v.text = utf8_text(text);
    return v;
}

void ExecuteQueryResp::fill_info(ExecuteQueryStateItem &item, long num_rows, bool with_columns) {
    AdResultSetPtr const &rs = item.result_set;
    info_.has_count = item.row_count;
    info_.count = static_cast<int>(num_rows);
    // Later pages carry no count.
    item.row_count = item.count_only = false;
    info_.limited = rs->ResultIsLimited() != 0;
    // The limits are read once per held query, not on every page.
    if (!item.limits_read) {
        item.soft_limit = rs->GetQueryLimit(AD_QUERY_LIMIT_SOFT);
        item.hard_limit = rs->GetQueryLimit(AD_QUERY_LIMIT_HARD);
        item.limits_read = true;
    }
    info_.soft_limit = item.soft_limit;
    info_.hard_limit = item.hard_limit;
    AdQueryDefPtr def = rs->GetQueryDef();
    AdEntityDef *primary = def ? def->GetPrimaryEntity() : nullptr;
    info_.stateless = primary && primary->IsType(AD_STATELESS) == 1;
    info_.generated_sql = !def || def->GetDeclaredSQL().IsEmpty();
    info_.with_columns = with_columns;
    if (with_columns) {
        int const n = rs->GetNumberOfColumns();
        for (int j = 1; j <= n; ++j) {
            info_.tags.push_back(j < static_cast<int>(item.tags.size()) ? item.tags[j] : 0);
            info_.labels.push_back(j < static_cast<int>(item.labels.size()) ? item.labels[j] : Nul::UString());
        }
    }
    has_info_ = true;
}

// ---- columns

void ExecuteQueryResp::map_result_positions(ExecuteQueryStateItem &item, AdQueryDefPtr const &def) {
    int const count = def->GetNumberOfFields();
    item.column_count = count;
    item.position.assign(count + 1, 0);
    item.shown.assign(count + 1, false);
    for (int i = 1; i <= count; ++i) {
        AdQueryFieldDef *field = def->GetQueryFieldDef(i);
        if (!field) continue;
        if (field->IsGroupBy()) item.has_group_by = true;
        if (field->GetFieldPath().IsEmpty() || !field->GetIsShown()) continue;
        int const p = def->GetResultPositionByField(field);
        if (p <= 0) continue;
        if (p >= static_cast<int>(item.shown.size())) {
            item.shown.resize(p + 1, false);
            item.position.resize(p + 1, 0);
        }
        item.shown[p] = true;
        item.position[p] = i;
    }
}

void ExecuteQueryResp::map_columns(ExecuteQueryStateItem &item) {
    AdResultSetPtr const &rs = item.result_set;
    int const n = rs->GetNumberOfColumns();
    if (item.declared_sql) {
        item.column_count = n;
        item.shown.assign(n + 1, true);
        item.shown[0] = false;
        item.position.assign(n + 1, 0);
        for (int i = 1; i <= n; ++i) item.position[i] = i;
    }
    item.tags.assign(n + 1, 0);
    item.labels.assign(n + 1, Nul::UString());
    bool const feature = feature_level_of(item);
    AdQueryDefPtr def = rs->GetQueryDef();
    for (int j = 1; j <= n && j < static_cast<int>(item.shown.size()); ++j) {
        if (!item.shown[j]) continue;
        item.labels[j] = ustr(rs->GetColumnLabel(j));
        CString const name = rs->GetColumnName(j);
        if (item.declared_sql) {
            item.tags[j] = sql_column_tag(rs->GetColumnType(j), name, feature);
            continue;
        }
        AdQueryFieldDef *qf = def ? def->GetQueryFieldDef(item.position[j]) : nullptr;
        int const type = qf ? qf->GetFieldType() : 0;
        item.tags[j] = field_column_tag(type, name, feature, reference_column(rs, item.position[j]).reference);
    }
}

// ---- first-call steps

void ExecuteQueryResp::prepare_execute(ExecuteQueryStateItem &item) {
    Nul::DomParser parser(args_.request().utf8_str().std_str());
    DomElem root = parser.root();
    AdQueryDefPtr def;
    if (args_.has_def()) {
        def = build_query_def(root.child(XmlTag::CTG_definition));
    } else if (args_.is_state_item_target()) {
        def = query_def_;
    } else {
        if (!bucket_) throw_not_found(kx_message(MSG_NOT_FOUND, Arg(L"query")), nullptr);
        QueryUtil::query_def_for_bucket(bucket_, def);
    }
    // A folder or report held for the client has no definition to run.
    if (!def) raise_reason(Reason::illegal_value, kx_message(MSG_CANNOT_LOAD_QUERY, Arg(L"no query definition")));
    if (def->GetDeclaredSQL().IsEmpty()) {
        item.declared_sql = false;
        map_result_positions(item, def);
        if (def->GetNumberOfFields() == 0) raise_reason(Reason::illegal_value, kx_message(MSG_NO_DISPLAY_FIELDS));
    } else {
        item.declared_sql = true;
    }
    item.result_set = product_call([&] { return BuildResultSet(def->GetSession(), def); },
                                   [](ProductFailure const &f) {
                                       throw KXInternalErrorException(kx_message(MSG_BUILDING_RESULT_SET, Arg(f.text)));
                                   });
    if (!item.result_set) throw KXInternalErrorException(kx_message(MSG_BUILDING_RESULT_SET, Arg(Nul::UString())));
    item.result_set->SetMaxMultiLineTextLength(268);
    AdEntityDef *primary = def->GetPrimaryEntity();
    if (primary && primary->IsFamily()) {
        item.is_family = true;
        AdIterator<AdEntityDef> members = primary->GetFamilyMembers();
        for (int i = 0; i < members.GetLength(); ++i)
            if (AdEntityDef *m = members.GetItem(i))
                item.family[ustr(m->GetName())] = number_to_ustring(static_cast<long>(m->GetDbId()));
    } else if (primary) {
        item.primary_id = number_to_ustring(static_cast<long>(primary->GetDbId()));
        item.primary_name = ustr(primary->GetName());
    }
    item.as_file = !root.opt_child(XmlTag::CTG_return_as_file).is_nil();
    if (!root.opt_child(XmlTag::CTG_count_only).is_nil()) {
        item.row_count = item.count_only = true;
        item.result_set->EnableRecordCount();
    } else if (!root.opt_child(XmlTag::CTG_enable_row_count).is_nil()) {
        item.row_count = true;
        item.result_set->EnableRecordCount();
    }
    DomElem start = root.opt_child(XmlTag::CTG_start_row);
    if (!start.is_nil()) {
        item.start_row = read_row(start, false);
        item.end_row = read_row(root.child(XmlTag::CTG_end_row), true);
        if (item.end_row != 0 && item.end_row < item.start_row)
            raise_reason(Reason::illegal_value, kx_message(MSG_END_BEFORE_START));
    }
    DomElem parameters = root.opt_child(XmlTag::CTG_parameters);
    if (!parameters.is_nil()) apply_parameters(parameters, item);
    DomElem file_options = root.opt_child(XmlTag::CTG_result_set_options);
    if (!file_options.is_nil()) read_file_options(file_options, item);
    DomElem chart_options = root.opt_child(XmlTag::CTG_chart_options);
    if (!chart_options.is_nil()) read_chart_options(chart_options, item);
    // A file or a chart streams in chunks of request_num bytes: a size that would never end is
    // refused before anything is made.
    if ((item.as_file || item.chart) && args_.request_num() <= 0) throw chunk_size_error(args_.request_num());
}

void ExecuteQueryResp::read_file_options(DomElem options, ExecuteQueryStateItem &item) {
    AdResultSetPtr const &rs = item.result_set;
    DomElem walker = options;
    for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
        switch (c.tag()) {
        case XmlTag::CTG_delimiter:
            item.delimiter = c.data();
            if (item.delimiter.length() > max_delimiter_length)
                raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_VALUE, Arg(QueryUtil::tag_text(c.tag()))));
            break;
        case XmlTag::CTG_max_multiline_text_length:
            rs->SetMaxMultiLineTextLength(option_number(c));
            break;
        case XmlTag::CTG_max_result_set_rows: {
            int const rows = option_number(c);
            int const limit = rs->GetQueryLimit(AD_QUERY_LIMIT_HARD);
            rs->SetMaxRows(limit > 0 && limit < rows ? limit : rows);
            break;
        }
        case XmlTag::CTG_options:
            item.file_options = c.data();
            break;
        default:
            break;
        }
    }
}

void ExecuteQueryResp::read_chart_options(DomElem options, ExecuteQueryStateItem &item) {
    item.chart = std::make_unique<ChartRequest>(args_.session_or_fail()->user_session());
    item.as_chart = true;
    ChartRequest &chart = *item.chart;
    DomElem walker = options;
    for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
        bool const on = c.data().compare(L"true") == 0;
        switch (c.tag()) {
        case XmlTag::CTG_image_format:
            chart.set_jpeg(c.data().find(L"image-format-jpeg") != Nul::UString::npos);
            break;
        case XmlTag::CTG_height:
            chart.set_height(option_number(c));
            break;
        case XmlTag::CTG_width:
            chart.set_width(option_number(c));
            break;
        case XmlTag::CTG_quality:
            chart.set_quality(option_number(c));
            break;
        case XmlTag::CTG_compression_optimized:
            chart.set_optimize_compression(on);
            break;
        case XmlTag::CTG_is_grey_scaled:
            chart.set_grayscale(on);
            break;
        case XmlTag::CTG_is_interlaced:
            chart.set_interlaced(on);
            break;
        case XmlTag::CTG_is_progressive:
            chart.set_progressive(on);
            break;
        default:
            break;
        }
    }
}

void ExecuteQueryResp::empty_chart_reply() {
    rows_follow_ = false;
    zero_after_rows_ = false;
    content_ = true;
    content_method_ = L"ExecuteQueryResp::send_chart";
    content_error_ = std::make_unique<KxRpcException>(Reason::conflict, kx_message(MSG_EMPTY_CHART));
}

void ExecuteQueryResp::make_content(ExecuteQueryStateItem &item) {
    rows_follow_ = false;
    content_ = true;
    bool const as_file = item.as_file;
    content_method_ = as_file ? L"ExecuteQueryResp::return_as_file" : L"ExecuteQueryResp::send_chart";
    try {
        content_path_ = Nul::Fileutl::create_tmp_file(0);
        product_call(
            [&] {
                if (as_file) {
                    Nul::UString const delimiter = item.delimiter.empty() ? Nul::UString(L"\t") : item.delimiter;
                    ExportResultSet(item.result_set, std::wstring(content_path_.c_str()), cstr(delimiter),
                                    cstr(item.file_options));
                } else if (item.chart->make_chart(content_path_, item.result_set) == 0) {
                    empty_chart_reply();
                }
            },
            [](ProductFailure const &f) { throw KXInternalErrorException(kx_message(MSG_QUERY_FAILED, Arg(f.text))); });
    } catch (Nul::STPException const &e) {
        content_error_.reset(e.clone());
    }
    if (content_error_ && !content_path_.empty()) {
        ignoring_failures([&] { FileMarshaller(content_path_).remove_file(); });
        content_path_ = Nul::UString();
    }
}

// The file in chunks of request_num bytes, then the null state handle; the file goes with it.
bool_t ExecuteQueryResp::send_content(XDR *xdrs) {
    if (content_error_) return report_error_reply(Nul::UString(content_method_), xdrs, *content_error_);
    FileMarshaller file(content_path_);
    bool_t const sent = file.marshall(xdrs, args_.request_num());
    ignoring_failures([&] { file.remove_file(); });
    content_path_ = Nul::UString();
    if (!sent) return FALSE;
    StateItemPtr none;
    return xdr_state_handle(xdrs, none);
}

AdQueryDefPtr ExecuteQueryResp::build_query_def(DomElem definition) {
    if (definition.is_nil() || definition.tag() != XmlTag::CTG_definition) raise_reason(Reason::illegal_value);
    AdSession *session = args_.api_session_or_fail();
    AdSessionPtr const session_ptr(session);
    AdEntityDef *primary = nullptr;
    try {
        DomElem href = definition.child(XmlTag::CTG_primary_record_type).child(XmlTag::TEAM_href);
        TargetResourceArg target = QueryUtil::object_id_from_selector(session_ptr, Nul::Selector(href.data()));
        primary = target.entity_def(session);
    } catch (Nul::STPException const &e) {
        raise_reason(Reason::illegal_value, e.message(), &e);
    }
    AdQueryDefPtr def = BuildQueryDef(session_ptr, primary, 0);
    QueryContext const ctx{session_ptr, client_offset(args_)};
    try {
        DomElem fields = definition.opt_child(XmlTag::CTG_display_fields);
        if (!fields.is_nil()) QueryUtil::query_def_from_xml(ctx, fields, def);
        DomElem filtering = definition.opt_child(XmlTag::CTG_filtering);
        if (!filtering.is_nil()) QueryUtil::filtering_from_xml(ctx, filtering, def);
        DomElem sql = definition.opt_child(XmlTag::CTG_sql);
        if (!sql.is_nil()) def->SetDeclaredSQL(cstr(sql.data()));
    } catch (Nul::STPException const &e) {
        // The query's own fault, and what is wrong with it.
        if (reason_of(e) == Reason::illegal_value) raise_reason(Reason::bad_query, e.message(), &e);
        throw;
    }
    return def;
}

void ExecuteQueryResp::apply_parameters(DomElem parameters, ExecuteQueryStateItem &item) {
    AdResultSetPtr const &rs = item.result_set;
    DomElem walker = parameters;
    for (DomElem param = walker.next_child(); !param.is_nil(); param = walker.next_child()) {
        if (param.tag() != XmlTag::CTG_param) continue;
        int const n = ++item.parameter_count;
        if (rs->GetNumberOfParams() < n) continue;
        AdFieldFilter *filter = rs->GetParamFilter(n);
        Nul::UString const path = ustr(rs->GetParamFieldPath(n));
        bool const date = filter->GetFieldType() == AD_DATE_TIME;
        int values = 0;
        bool has_operator = false, any = false;
        DomElem operands = param;
        for (DomElem c = operands.next_child(); !c.is_nil(); c = operands.next_child()) {
            int const tag = c.tag();
            if (QueryUtil::is_comparison_tag(tag)) {
                if (has_operator) raise_reason(Reason::illegal_value, kx_message(MSG_MULTIPLE_OPERATORS, Arg(n - 1)));
                has_operator = any = true;
                rs->SetParamComparisonOperator(n, QueryUtil::tag_to_comparison(tag));
                continue;
            }
            if (!QueryUtil::is_operand_tag(tag)) continue;
            any = true;
            Nul::UString const text = c.data();
            int variable = QueryUtil::variable_of_tag(tag);
            if (tag == XmlTag::CTG_constant_value) {
                Nul::UString value = text;
                if (date && (variable = QueryUtil::variable_of_date_constant(text)) == 0)
                    value = parse_client_datetime(text, item.client_offset);
                if (variable == 0) {
                    if (!filter->IsStringValidForDataType(cstr(value)))
                        raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_CONSTANT, Arg(text), Arg(path)));
                    rs->SetParamValue(n, ++values, cstr(value));
                    continue;
                }
            } else if (tag == XmlTag::CTG_date_only || tag == XmlTag::CTG_date_time_target) {
                if (!date) raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_CONSTANT, Arg(text), Arg(path)));
                rs->SetParamValue(n, ++values, cstr(to_product_datetime(text)));
                continue;
            }
            if (!filter->IsLegalQueryVar(variable))
                raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_VARIABLE, Arg(tag_name(tag)), Arg(path)));
            rs->SetParamVariable(n, ++values, variable);
        }
        if (!any) continue;
        int const op = filter->GetCompOp();
        std::pair<int, int> const range = operand_range(op);
        if (values < range.first || values > range.second)
            raise_reason(Reason::wrong_count,
                         kx_message(MSG_VALUE_COUNT, Arg(values), Arg(tag_name(QueryUtil::comparison_to_tag(op)))));
    }
}

// ---- the reply

bool_t ExecuteQueryResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    if (error_ && !has_info_) return report_error_reply(Nul::UString(method_name), xdrs, *error_);
    bool_t no_error = FALSE;
    if (!xdr_bool(xdrs, &no_error) || !xdr_flag(xdrs, info_.has_count)) return FALSE;
    if (info_.has_count && !xdr_int(xdrs, &info_.count)) return FALSE;
    if (!xdr_flag(xdrs, info_.limited) || !xdr_int(xdrs, &info_.soft_limit) || !xdr_int(xdrs, &info_.hard_limit) ||
        !xdr_flag(xdrs, info_.stateless) || !xdr_flag(xdrs, info_.generated_sql))
        return FALSE;
    int n = static_cast<int>(info_.tags.size());
    if (!xdr_int(xdrs, &n)) return FALSE;
    for (int &tag : info_.tags) {
        enum_t e = tag;
        if (!xdr_enum(xdrs, &e)) return FALSE;
    }
    if (!xdr_int(xdrs, &n)) return FALSE;
    for (Nul::UString &label : info_.labels)
        if (!xdr_ustring(xdrs, label)) return FALSE;
    if (!xdr_flag(xdrs, rows_follow_)) return FALSE;
    if (content_) return send_content(xdrs);
    // A row's address is by dbid or by name: encoding it again changes nothing.
    XdrBlockWriter rows(xdrs);
    for (Row &row : rows_)
        if (!rows.add([&row](XDR *x) { return xdr_row(x, row); })) return FALSE;
    if (!rows.finish()) return FALSE;
    bool_t end = FALSE;
    if (!xdr_bool(xdrs, &end)) return FALSE;
    if (zero_after_rows_) {
        int zero = 0;
        if (!xdr_int(xdrs, &zero)) return FALSE;
    }
    StateItemPtr handle = continue_with_;
    return xdr_state_handle(xdrs, handle);
}

// ---- handlers

std::unique_ptr<XdrObject> kxrpc_execute_query(XdrObject *request) {
    auto *args = checked_cast<ExecuteQueryArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_execute_query %s)", args->trace_line()); });
    AdSession *session = args->api_session_or_fail();
    long soft = 0, hard = 0;
    product_call(
        [&] {
            soft = session->GetSessionSoftQueryLimit();
            hard = session->GetSessionHardQueryLimit();
        },
        unexpected_in(L"kxrpc_execute_query"));
    if (hard > 0 && hard < soft)
        raise_reason(Reason::illegal_value,
                     kx_message(MSG_SOFT_LIMIT_ABOVE_HARD, Arg(static_cast<int>(soft)), Arg(static_cast<int>(hard))));
    auto response = std::make_unique<ExecuteQueryResp>(*args);
    response->run();
    return response;
}

std::unique_ptr<XdrObject> kxrpc_get_my_activity_list(XdrObject *request) {
    auto *args = checked_cast<KxGetMyActivityListArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_my_activity_list %s)", args->trace_line()); });
    if (!args->is_returning())
        product_call([&] { prepare_activity_query(*args); }, unexpected_in(L"kxrpc_get_my_activity_list"));
    auto response = std::make_unique<ExecuteQueryResp>(*args);
    response->run();
    return response;
}

} // namespace KxRpc
