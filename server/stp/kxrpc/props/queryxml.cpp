#include "props/queryxml.h"

#include <string>
#include <vector>

#include "kxproduct/entity.h"
#include "props/values.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "target/target.h"
#include "tesutil/selector.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/fieldtypes.h"
#include "wire/product_failure.h"

namespace KxRpc {

void raise_unexpected_value_type(char const *type_name) {
    raise_reason(Reason::internal_error, kx_message(MSG_EXPECTED_OBJECT, Nul::UMessage::Arg(type_name)));
}

QueryContext query_context(LoginSession *login) {
    return QueryContext{AdSessionPtr(login->session()), login->context_text()};
}

namespace QueryUtil {

namespace {

using Nul::XmlTag;
using Arg = Nul::UMessage::Arg;
using DomElem = Nul::DomParser::Elem;
using OutElem = Nul::XmlDoc::Elem;

[[noreturn]] void refuse(int msg, Arg const &a1 = Arg::nil, Arg const &a2 = Arg::nil) {
    raise_reason(Reason::illegal_value, kx_message(msg, a1, a2));
}

Nul::UString simple_name(int id) { return XmlTag::lookup(static_cast<XmlTag::Id>(id)).simple_name(); }

[[noreturn]] void unexpected(DomElem const &e) { refuse(MSG_UNEXPECTED_TAG, tag_text(e.tag())); }

[[noreturn]] void too_deep() { refuse(MSG_FILTER_TOO_DEEP, max_filter_depth); }

struct Comparison {
    int code;
    int tag;
};
constexpr Comparison comparisons[] = {
    {AD_COMP_OP_UNSPECIFIED, XmlTag::CTG_unspecified_comparison},
    {AD_COMP_OP_EQ, XmlTag::CTG_is_equal},
    {AD_COMP_OP_NEQ, XmlTag::CTG_is_not_equal},
    {AD_COMP_OP_LT, XmlTag::CTG_is_less_than},
    {AD_COMP_OP_LTE, XmlTag::CTG_is_less_than_or_equal},
    {AD_COMP_OP_GT, XmlTag::CTG_is_greater_than},
    {AD_COMP_OP_GTE, XmlTag::CTG_is_greater_than_or_equal},
    {AD_COMP_OP_LIKE, XmlTag::CTG_is_substring},
    {AD_COMP_OP_NOT_LIKE, XmlTag::CTG_is_not_substring},
    {AD_COMP_OP_BETWEEN, XmlTag::CTG_is_between},
    {AD_COMP_OP_NOT_BETWEEN, XmlTag::CTG_is_not_between},
    {AD_COMP_OP_IS_NULL, XmlTag::CTG_is_null},
    {AD_COMP_OP_IS_NOT_NULL, XmlTag::CTG_is_not_null},
    {AD_COMP_OP_IN, XmlTag::CTG_is_in_set},
    {AD_COMP_OP_NOT_IN, XmlTag::CTG_is_not_in_set},
};

// Query variables and the tags that name them.
constexpr int variable_tags[] = {0, XmlTag::CTG_user, XmlTag::CTG_today, XmlTag::CTG_tomorrow, XmlTag::CTG_yesterday};

constexpr int aggregate_tags[] = {0,
                                  XmlTag::CTG_agt_count,
                                  XmlTag::CTG_agt_sum,
                                  XmlTag::CTG_agt_average,
                                  XmlTag::CTG_agt_minimum,
                                  XmlTag::CTG_agt_maximum};
constexpr int function_tags[] = {0, XmlTag::CTG_day, XmlTag::CTG_week, XmlTag::CTG_month, XmlTag::CTG_year};

template <std::size_t N>
int index_of(int const (&table)[N], int tag) {
    for (std::size_t i = 1; i < N; ++i)
        if (table[i] == tag) return static_cast<int>(i);
    return 0;
}

// The one child of an aggregate or function element, as its index in `table`.
template <std::size_t N>
int single_choice(DomElem element, int const (&table)[N]) {
    DomElem walker = element;
    int chosen = 0;
    for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
        int index = index_of(table, c.tag());
        if (index == 0 || chosen != 0) unexpected(c);
        chosen = index;
    }
    if (chosen == 0) refuse(MSG_MISSING_CHILD, tag_text(element.tag()));
    return chosen;
}

bool is_reference_type(int type) { return type == AD_REFERENCE || type == AD_REFERENCE_LIST; }

// Decimal digits only, within int.
bool parse_index(Nul::UString const &text, int &out) {
    bool ok = false;
    unsigned long value = parse_unsigned(text, ok);
    if (!ok || value > 0x7fffffffUL) return false;
    out = static_cast<int>(value);
    return true;
}

// ---- display fields

// Children of a column in the only order they may come; each at most once.
enum ColumnStep : int {
    STEP_NONE,
    STEP_PATH,
    STEP_NOT_VISIBLE,
    STEP_TITLE,
    STEP_SORT,
    STEP_GROUP,
    STEP_AGGREGATE,
    STEP_FUNCTION
};

struct ColumnSet {
    bool shown = false, sort = false, group = false, aggregate = false, function = false;
};

struct Candidate {
    AdQueryFieldDef *field;
    bool taken;
};

class DisplayFieldsReader {
public:
    DisplayFieldsReader(QueryContext const &ctx, AdQueryDefPtr const &def) : ctx_(ctx), def_(def) {
        for (int i = 1; i <= def_->GetNumberOfFields(); ++i) candidates_.push_back({def_->GetQueryFieldDef(i), false});
    }

    void read(DomElem element) {
        DomElem walker = element;
        for (DomElem column = walker.next_child(); !column.is_nil(); column = walker.next_child()) {
            column.match(XmlTag::CTG_column);
            read_column(column);
        }
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            int const want = static_cast<int>(i) + 1;
            int const at = def_->GetFieldPosition(columns_[i]);
            if (at <= 0) throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Arg(L"curIdx > 0")));
            if (at != want) def_->SetFieldPosition(columns_[i], want);
        }
        int const keep = static_cast<int>(columns_.size());
        while (def_->GetNumberOfFields() > keep) def_->DeleteField(keep + 1);
    }

private:
    void read_column(DomElem column) {
        AdQueryFieldDef *field = nullptr;
        bool appended = false;
        try {
            ColumnSet set;
            int step = STEP_NONE;
            Nul::UString path_text;
            DomElem walker = column;
            for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
                int const tag = c.tag();
                if (tag == XmlTag::CTG_field_path || tag == XmlTag::CTG_unique_key_field_path) {
                    if (step != STEP_NONE) unexpected(c);
                    field = tag == XmlTag::CTG_field_path ? take_by_path(c, path_text, appended)
                                                          : take_unique_key(appended);
                    path_text = ustr(field->GetFieldPath());
                    step = STEP_PATH;
                    continue;
                }
                // Our own writer puts the column's value type after its path; it says nothing new.
                if (tag == XmlTag::CTG_column_value_type && step == STEP_PATH) continue;
                int const this_step = column_step(tag);
                if (this_step == STEP_NONE || step == STEP_NONE || step >= this_step) unexpected(c);
                step = this_step;
                apply(c, this_step, field, path_text, set);
            }
            if (!field) refuse(MSG_MISSING_CHILD, tag_text(XmlTag::CTG_column));
            if (!set.shown) set_shown(field, 1);
            if (!set.sort) {
                set_sort_type(field, 0);
                set_sort_order(field, 0);
            }
            if (!set.group) set_group_by(field, 0);
            if (!set.aggregate) set_aggregate(field, 0);
            if (!set.function) set_function(field, 0);
            columns_.push_back(field);
        } catch (...) {
            if (appended && field) {
                int const at = def_->GetFieldPosition(field);
                if (at > 0) def_->DeleteField(at);
            }
            throw;
        }
    }

    static int column_step(int tag) {
        switch (tag) {
        case XmlTag::CTG_not_visible:
            return STEP_NOT_VISIBLE;
        case XmlTag::CTG_title:
            return STEP_TITLE;
        case XmlTag::CTG_sort_info:
            return STEP_SORT;
        case XmlTag::CTG_group_by:
            return STEP_GROUP;
        case XmlTag::CTG_aggregate_column:
            return STEP_AGGREGATE;
        case XmlTag::CTG_column_function:
            return STEP_FUNCTION;
        default:
            return STEP_NONE;
        }
    }

    AdQueryFieldDef *take_by_path(DomElem c, Nul::UString &path_text, bool &appended) {
        CString const path = field_path_from_xml(ctx_, c);
        path_text = ustr(path);
        if (path.IsEmpty() || !def_->IsFieldPathLegalForQuery(path)) refuse(MSG_INVALID_FIELD_PATH, path_text);
        for (Candidate &k : candidates_) {
            if (!k.taken && k.field->GetFieldPath() == path) {
                k.taken = true;
                return k.field;
            }
        }
        appended = true;
        return def_->BuildField(path);
    }

    AdQueryFieldDef *take_unique_key(bool &appended) {
        for (Candidate &k : candidates_) {
            if (!k.taken && def_->IsUniqueKeyField(k.field)) {
                k.taken = true;
                return k.field;
            }
        }
        if (def_->GetUniqueKeyFieldPath().IsEmpty())
            refuse(MSG_INVALID_FIELD_PATH, tag_text(XmlTag::CTG_unique_key_field_path));
        appended = true;
        return def_->BuildUniqueKeyField();
    }

    void apply(DomElem c, int step, AdQueryFieldDef *field, Nul::UString const &path_text, ColumnSet &set) {
        switch (step) {
        case STEP_NOT_VISIBLE:
            set_shown(field, 0);
            set.shown = true;
            return;
        case STEP_TITLE:
            set_field_label(field, cstr(c.data()));
            return;
        case STEP_SORT:
            read_sort_info(c, field, path_text);
            set.sort = true;
            return;
        case STEP_GROUP:
            if (group_seen_) refuse(MSG_TWO_GROUP_BY);
            group_seen_ = true;
            set_group_by(field, 1);
            set.group = true;
            return;
        case STEP_AGGREGATE: {
            int const aggregate = single_choice(c, aggregate_tags);
            if (set.function) refuse(MSG_AGGREGATE_AND_FUNCTION);
            if (!field->IsLegalAggregate(aggregate)) refuse(MSG_ILLEGAL_AGGREGATE, tag_text(aggregate_tags[aggregate]));
            set_aggregate(field, aggregate);
            set.aggregate = true;
            return;
        }
        case STEP_FUNCTION: {
            int const function = single_choice(c, function_tags);
            if (set.aggregate) refuse(MSG_AGGREGATE_AND_FUNCTION);
            if (field->GetFieldType() != AD_DATE_TIME) refuse(MSG_NOT_TIMESTAMP);
            set_function(field, function);
            set.function = true;
            return;
        }
        default:
            unexpected(c);
        }
    }

    static void read_sort_info(DomElem sort_info, AdQueryFieldDef *field, Nul::UString const &path_text) {
        bool reverse = false, indexed = false;
        DomElem walker = sort_info;
        int type = 0, order = 0;
        bool any = false;
        for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
            if (c.tag() == XmlTag::CTG_reverse_sort && !any) {
                reverse = true;
                type = AD_SORT_DESCENDING;
            } else if (c.tag() == XmlTag::CTG_sort_index && !indexed) {
                indexed = true;
                if (!reverse) type = AD_SORT_ASCENDING;
                Nul::UString const text = c.data();
                if (!parse_index(text, order)) refuse(MSG_BAD_SORT_INDEX, text, path_text);
            } else {
                unexpected(c);
            }
            any = true;
        }
        if (!reverse && !indexed) refuse(MSG_SORT_INFO_EMPTY, path_text);
        set_sort_type(field, type);
        set_sort_order(field, order);
    }

    QueryContext const &ctx_;
    AdQueryDefPtr const &def_;
    std::vector<Candidate> candidates_;
    std::vector<AdQueryFieldDef *> columns_;
    bool group_seen_ = false;
};

// ---- comparisons

enum ComparisonStep : int { CMP_NONE, CMP_OPERATOR, CMP_PATH, CMP_PROMPT, CMP_OPERAND };

class ComparisonReader {
public:
    ComparisonReader(QueryContext const &ctx, AdQueryDefPtr const &def, AdFilterNode *parent)
        : ctx_(ctx), def_(def), parent_(parent) {}

    void read(DomElem element) {
        DomElem walker = element;
        for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
            int const tag = c.tag();
            if (is_comparison_tag(tag)) {
                if (step_ != CMP_NONE) unexpected(c);
                operator_tag_ = tag;
                reflist_ = tag == XmlTag::CTG_is_in_reflist;
                step_ = CMP_OPERATOR;
            } else if (tag == XmlTag::CTG_field_path || tag == XmlTag::CTG_unique_key_field_path) {
                if (step_ != CMP_NONE && step_ != CMP_OPERATOR) unexpected(c);
                if (!reflist_) build(c, tag == XmlTag::CTG_unique_key_field_path);
                step_ = CMP_PATH;
            } else if (tag == XmlTag::CTG_prompt) {
                if (step_ != CMP_PATH || reflist_) unexpected(c);
                Nul::UString const text = c.data();
                if (text.empty()) refuse(MSG_EMPTY_PROMPT, path_text_);
                filter_->SetPrompt(cstr(text));
                step_ = CMP_PROMPT;
            } else if (is_operand_tag(tag)) {
                if (step_ != CMP_PATH && step_ != CMP_OPERAND) unexpected(c);
                operand(c);
                step_ = CMP_OPERAND;
            } else {
                unexpected(c);
            }
        }
        if (step_ == CMP_NONE) refuse(MSG_NO_OPERATOR);
        if (step_ == CMP_OPERATOR) refuse(MSG_NO_FIELD_PATH);
        // Three texts name the record and its list; fewer would silently filter nothing.
        if (reflist_ && !reflist_built_)
            refuse(MSG_VALUE_COUNT, static_cast<int>(reflist_texts_.size()), simple_name(XmlTag::CTG_is_in_reflist));
    }

private:
    int operator_code() const { return operator_tag_ == 0 ? AD_COMP_OP_UNSPECIFIED : tag_to_comparison(operator_tag_); }

    void build(DomElem c, bool unique_key) {
        CString path;
        if (unique_key) {
            path = def_->GetUniqueKeyFieldPath();
        } else {
            path = field_path_from_xml(ctx_, c);
            if (path.IsEmpty() || !def_->IsFieldPathLegalForFilter(path)) refuse(MSG_INVALID_FIELD_PATH, ustr(path));
        }
        path_text_ = ustr(path);
        int const top = parent_ == nullptr ? 1 : 0;
        product_call(
            [&] {
                filter_ = unique_key ? def_->BuildUniqueKeyFilter(parent_, operator_code(), std::vector<CString>(), top)
                                     : def_->BuildFilter(parent_, path, operator_code(), std::vector<CString>(), top);
            },
            [&](ProductFailure const &f) {
                if (f.kind != ProductFailure::PA_MSG_EXCEPTION)
                    throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Arg(f.text)));
                refuse(MSG_INCOMPATIBLE_OPERATOR,
                       simple_name(operator_tag_ ? operator_tag_ : XmlTag::CTG_unspecified_comparison), path_text_);
            });
    }

    bool is_date() const { return filter_ && filter_->GetFieldType() == AD_DATE_TIME; }

    void operand(DomElem c) {
        int const tag = c.tag();
        if (reflist_) {
            if (tag != XmlTag::CTG_constant_value || reflist_built_) unexpected(c);
            reflist_texts_.push_back(c.data());
            if (reflist_texts_.size() == 3) build_reflist();
            return;
        }
        switch (tag) {
        case XmlTag::CTG_constant_value: {
            Nul::UString const text = c.data();
            if (is_date()) {
                if (int v = variable_of_date_constant(text)) {
                    variable(v, XmlTag::CTG_constant_value);
                    return;
                }
                filter_->AddValue(cstr(parse_client_datetime(text, ctx_.client_offset)));
                return;
            }
            if (!filter_->IsStringValidForDataType(cstr(text))) refuse(MSG_ILLEGAL_CONSTANT, text, path_text_);
            filter_->AddValue(cstr(text));
            return;
        }
        case XmlTag::CTG_date_only:
        case XmlTag::CTG_date_time_target:
            if (!is_date()) unexpected(c);
            filter_->AddValue(cstr(to_product_datetime(c.data())));
            return;
        default:
            variable(variable_of_tag(tag), tag);
        }
    }

    void variable(int v, int tag) {
        if (v == 0 || !filter_->IsLegalQueryVar(v)) refuse(MSG_ILLEGAL_VARIABLE, simple_name(tag), path_text_);
        filter_->AddVariable(v);
    }

    void build_reflist() {
        AdSessionPtr const &session = ctx_.session;
        CString const type_name = cstr(reflist_texts_[0]);
        AdEntityDef *type = LookupEntityDef(session, type_name);
        if (!type) refuse(MSG_NOT_FOUND, reflist_texts_[0]);
        AdEntityPtr record;
        CString error;
        AdEntityMgr::Get(session)->LookupEntityWithStatus(type, cstr(reflist_texts_[1]), record, error, 0);
        // A record that is not there names no list: refused, never an empty filter.
        if (!record) refuse(MSG_NOT_FOUND, reflist_texts_[1]);
        product_call(
            [&] {
                filter_ = def_->BuildReferenceListFilter(parent_, record, cstr(reflist_texts_[2]),
                                                         parent_ == nullptr ? 1 : 0);
            },
            [&](ProductFailure const &) {
                refuse(MSG_INCOMPATIBLE_OPERATOR, simple_name(XmlTag::CTG_is_in_reflist), reflist_texts_[2]);
            });
        reflist_built_ = true;
    }

    QueryContext const &ctx_;
    AdQueryDefPtr const &def_;
    AdFilterNode *parent_;
    AdFieldFilter *filter_ = nullptr;
    int step_ = CMP_NONE;
    int operator_tag_ = 0;
    bool reflist_ = false;
    bool reflist_built_ = false;
    std::vector<Nul::UString> reflist_texts_;
    Nul::UString path_text_;
};

// ---- writers

void add_text(OutElem &parent, int tag, Nul::UString const &text) {
    parent.add_elem(OutElem(static_cast<XmlTag::Id>(tag), text, true));
}

void add_empty(OutElem &parent, int tag) { parent.add_elem(OutElem(static_cast<XmlTag::Id>(tag))); }

void add_field_path(QueryContext const &ctx, AdQueryDefPtr const &def, OutElem &parent, CString const &path) {
    OutElem &container = parent.add_elem(OutElem(XmlTag::CTG_field_path));
    field_path_to_xml(ctx, def->GetPrimaryEntity(), container, ustr(path));
}

void collect_prompted(QueryContext const &ctx, AdQueryDefPtr const &def, AdFilterNode *node, OutElem &root, int depth) {
    if (!node || depth > max_filter_depth + 1) return;
    if (AdFieldFilter *f = node->AsFieldFilter()) {
        if (f->GetPrompt().IsEmpty()) return;
        OutElem &filter = root.add_elem(OutElem(XmlTag::CTG_filter));
        add_empty(filter, comparison_to_tag(f->GetCompOp()));
        add_field_path(ctx, def, filter, f->GetFieldPath());
        add_text(filter, XmlTag::CTG_prompt, ustr(f->GetPrompt()));
        return;
    }
    for (int i = 0; i < node->NumChildren(); ++i) collect_prompted(ctx, def, node->GetChild(i), root, depth + 1);
}

} // namespace

// ---- names

Nul::UString tag_text(int id) {
    XmlTag const &tag = XmlTag::lookup(static_cast<XmlTag::Id>(id));
    if (tag.is_well_known_namespace()) {
        Nul::UString text = XmlTag::ns_abbreviation(tag.ns_id());
        return text.append(tag.simple_name());
    }
    return tag.to_string();
}

int variable_of_tag(int tag) {
    for (int v = 1; v <= 4; ++v)
        if (variable_tags[v] == tag) return v;
    return 0;
}

int variable_of_date_constant(Nul::UString const &text) {
    if (text == Nul::UString(L"[TODAY]")) return AD_QUERY_VAR_TODAY;
    if (text == Nul::UString(L"[TOMORROW]")) return AD_QUERY_VAR_TOMORROW;
    if (text == Nul::UString(L"[YESTERDAY]")) return AD_QUERY_VAR_YESTERDAY;
    return 0;
}

namespace {

AdFieldDef *follow(AdEntityDef *type, std::wstring const &text) {
    std::size_t start = 0;
    while (type) {
        std::size_t const dot = text.find(L'.', start);
        std::wstring const segment = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        AdFieldDef *field = type->LookupFieldDef(CString(segment.c_str()));
        if (!field || dot == std::wstring::npos) return field;
        type = is_reference_type(field->GetFieldType()) ? field->GetReferenceEntityDef() : nullptr;
        start = dot + 1;
    }
    return nullptr;
}

} // namespace

AdFieldDef *field_of_path(AdEntityDef *record_type, CString const &path) {
    if (!record_type) return nullptr;
    std::wstring const text(path.GetString());
    AdFieldDef *field = follow(record_type, text);
    if (!field && record_type->IsFamily()) field = follow(record_type->GetFamilyMembers().GetItem(0), text);
    return field;
}

int field_type_tag(int field_type) {
    switch (field_type) {
    case AD_SHORT_STRING:
        return XmlTag::CTG_short_string;
    case AD_MULTILINE_STRING:
        return XmlTag::CTG_multiline_string;
    case AD_INT:
        return XmlTag::CTG_int;
    case AD_DATE_TIME:
        return XmlTag::CTG_date_time;
    case AD_ID:
        return XmlTag::CTG_id;
    case AD_STATE:
        return XmlTag::CTG_state_field_type;
    case AD_DBID:
        return XmlTag::CTG_dbid;
    case AD_STATETYPE:
        return XmlTag::CTG_state_type;
    case AD_RECORD_TYPE:
        return XmlTag::CTG_record_type;
    case AD_FLOAT:
        return XmlTag::CTG_float;
    default:
        return field_type >= 1 && field_type <= 14 ? XmlTag::CTG_reference : 0;
    }
}

// ---- tables

int comparison_to_tag(int code) {
    for (Comparison const &c : comparisons)
        if (c.code == code) return c.tag;
    throw_internal_error(Nul::UString(L"Unknown ad to id mapping"));
}

int tag_to_comparison(int tag) {
    for (Comparison const &c : comparisons)
        if (c.tag == tag) return c.code;
    throw_internal_error(Nul::UString(L"Unknown id to ad mapping"));
}

bool is_comparison_tag(int tag) {
    if (tag == XmlTag::CTG_is_in_reflist) return true;
    for (Comparison const &c : comparisons)
        if (c.tag == tag) return true;
    return false;
}

bool is_operand_tag(int tag) {
    switch (tag) {
    case XmlTag::CTG_constant_value:
    case XmlTag::CTG_today:
    case XmlTag::CTG_tomorrow:
    case XmlTag::CTG_user:
    case XmlTag::CTG_yesterday:
    case XmlTag::CTG_date_only:
    case XmlTag::CTG_date_time_target:
        return true;
    default:
        return false;
    }
}

// ---- field paths

void field_path_to_xml(QueryContext const &ctx, AdEntityDef *record_type, Nul::XmlDoc::Elem &container,
                       Nul::UString const &path) {
    if (path.empty()) return;
    Nul::UString const repository = repository_name(ctx.session);
    std::wstring const text(path.c_str());
    std::size_t start = 0;
    AdEntityDef *current = record_type;
    while (current) {
        std::size_t const dot = text.find(L'.', start);
        std::wstring const segment = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        AdFieldDef *field = current->LookupFieldDef(CString(segment.c_str()));
        if (!field) return;
        Nul::UString name = number_to_ustring(static_cast<long>(current->GetDbId()));
        name.append(L"/").append(number_to_ustring(static_cast<long>(field->GetDbId())));
        Nul::Selector const selector(XmlTag::RES_kx_field, name, Nul::Selector::DOMAIN_KX, repository);
        OutElem &element = container.add_elem(OutElem(XmlTag::CTG_field));
        add_text(element, XmlTag::CTG_definition, selector.to_string_with_domain());
        add_text(element, XmlTag::TEAM_display_name, Nul::UString(segment.c_str()));
        if (dot == std::wstring::npos) return;
        // A reference leads on to the record type it refers to (none for a journal, which ends the
        // path); after any other field the next segment is a field of the same record type.
        if (is_path_reference_type(field->GetFieldType())) current = field->GetReferenceEntityDef();
        start = dot + 1;
    }
}

CString field_path_from_xml(QueryContext const &ctx, Nul::DomParser::Elem container) {
    CString path;
    DomElem walker = container;
    for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
        if (c.tag() != XmlTag::CTG_field) return CString();
        DomElem definition = c.opt_child(XmlTag::CTG_definition);
        if (definition.is_nil()) return CString();
        Nul::UString const text = definition.data();
        Nul::Selector selector;
        try {
            selector = Nul::Selector(text);
        } catch (Nul::STPException const &e) {
            raise_reason(Reason::illegal_value, kx_message(MSG_FIELD_DEF_NOT_FOUND, Arg(text)), &e);
        }
        Nul::UString const &object = selector.object_name();
        std::size_t const slash = std::wstring(object.c_str()).find(L'/');
        if (slash == std::wstring::npos || slash + 1 >= object.length()) refuse(MSG_MALFORMED_URI, text);
        Nul::UString const type_part = object.substr(0, static_cast<unsigned>(slash));
        Nul::UString const field_part = object.substr(static_cast<unsigned>(slash + 1));
        TargetResourceArg target;
        if (selector.is_object_id_selector()) {
            bool ok1 = false, ok2 = false;
            unsigned long const type_dbid = parse_unsigned(type_part, ok1);
            unsigned long const field_dbid = parse_unsigned(field_part, ok2);
            if (!ok1 || !ok2) refuse(MSG_MALFORMED_URI, text);
            target = TargetResourceArg(TT_FIELDDEF, static_cast<u_int>(type_dbid), static_cast<u_int>(field_dbid));
        } else {
            target = TargetResourceArg(TT_FIELDDEF, Nul::Selector::decode_string(type_part),
                                       Nul::Selector::decode_string(field_part));
        }
        AdFieldDef *field = nullptr;
        try {
            field = target.field_def(ctx.session.get());
        } catch (KXNotFoundException const &e) {
            raise_reason(Reason::illegal_value, e.message(), &e);
        }
        if (!path.IsEmpty()) path += L".";
        path += field->GetName();
    }
    return path;
}

// ---- readers

void query_def_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def) {
    DisplayFieldsReader(ctx, def).read(element);
}

void filtering_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def) {
    bool top = false;
    DomElem walker = element;
    for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
        int const tag = c.tag();
        if (tag != XmlTag::CTG_filtering_expression && tag != XmlTag::CTG_comparison_expression) unexpected(c);
        if (top) refuse(MSG_MULTIPLE_TOP);
        top = true;
        if (tag == XmlTag::CTG_filtering_expression)
            filter_expression_from_xml(ctx, c, def, def->BuildFilter(nullptr, AD_BOOL_OP_OR, 1));
        else
            comparison_from_xml(ctx, c, def, nullptr);
    }
}

void filter_expression_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def,
                                AdFilterNode *node, int depth) {
    if (depth > max_filter_depth) too_deep();
    bool has_operator = false, has_children = false;
    DomElem walker = element;
    for (DomElem c = walker.next_child(); !c.is_nil(); c = walker.next_child()) {
        int const tag = c.tag();
        if (tag == XmlTag::CTG_and || tag == XmlTag::CTG_or) {
            if (has_operator) unexpected(c);
            node->SetBoolOp(tag == XmlTag::CTG_and ? AD_BOOL_OP_AND : AD_BOOL_OP_OR);
            has_operator = true;
        } else if (tag == XmlTag::CTG_filtering_expression && has_operator) {
            // A level more than the product keeps is refused before anything is built for it.
            if (depth >= max_filter_depth) too_deep();
            filter_expression_from_xml(ctx, c, def, def->BuildFilter(node, AD_BOOL_OP_OR, 0), depth + 1);
            has_children = true;
        } else if (tag == XmlTag::CTG_comparison_expression && has_operator) {
            if (depth >= max_filter_depth) too_deep();
            comparison_from_xml(ctx, c, def, node);
            has_children = true;
        } else {
            unexpected(c);
        }
    }
    if (!has_operator) refuse(MSG_NO_BOOLEAN_OPERATOR);
    if (!has_children) refuse(MSG_NO_SUB_EXPRESSIONS);
}

void comparison_from_xml(QueryContext const &ctx, Nul::DomParser::Elem element, AdQueryDefPtr const &def,
                         AdFilterNode *parent) {
    ComparisonReader(ctx, def, parent).read(element);
}

void put_query_definition(QueryContext const &ctx, BasePropValue &value, AdQueryDefPtr const &def) {
    auto *xml = prop_value_cast<XmlPropValue>(&value, "PropValue<XmlPropValue>");
    product_call(
        [&] {
            def->SetAllowImplicitPrivilegeLoss(0);
            query_def_from_xml(ctx, xml->value.dom()->root(), def);
        },
        [](ProductFailure const &f) {
            if (f.kind == ProductFailure::PA_MSG_EXCEPTION) refuse(MSG_INSUFFICIENT_PRIVILEGE, f.text);
            throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Arg(f.text)));
        });
}

// ---- writers

Nul::XmlDoc::Elem display_fields_to_xml(QueryContext const &ctx, AdQueryDefPtr const &def) {
    OutElem root(XmlTag::CTG_display_fields);
    for (int i = 1; i <= def->GetNumberOfFields(); ++i) {
        AdQueryFieldDef *field = def->GetQueryFieldDef(i);
        if (!field || field->GetFieldPath().IsEmpty()) continue;
        OutElem &column = root.add_elem(OutElem(XmlTag::CTG_column));
        add_field_path(ctx, def, column, field->GetFieldPath());
        if (int tag = field_type_tag(field->GetFieldType())) {
            OutElem &type = column.add_elem(OutElem(XmlTag::CTG_column_value_type));
            add_empty(type, tag);
        }
        if (!field->GetIsShown()) add_empty(column, XmlTag::CTG_not_visible);
        add_text(column, XmlTag::CTG_title, ustr(field->GetLabel()));
        if (field->GetSortType() != AD_SORT_NONE) {
            OutElem &sort = column.add_elem(OutElem(XmlTag::CTG_sort_info));
            if (field->GetSortType() == AD_SORT_DESCENDING) add_empty(sort, XmlTag::CTG_reverse_sort);
            add_text(sort, XmlTag::CTG_sort_index, number_to_ustring(field->GetSortOrder()));
        }
        if (field->IsGroupBy()) add_empty(column, XmlTag::CTG_group_by);
        int const aggregate = field->GetAggregate();
        if (aggregate >= 1 && aggregate <= 5) {
            OutElem &a = column.add_elem(OutElem(XmlTag::CTG_aggregate_column));
            add_empty(a, aggregate_tags[aggregate]);
        }
        int const function = field->GetFunction();
        if (function >= 1 && function <= 4) {
            OutElem &f = column.add_elem(OutElem(XmlTag::CTG_column_function));
            add_empty(f, function_tags[function]);
        }
    }
    return root.empty() ? OutElem() : root;
}

Nul::XmlDoc::Elem write_field_filter(QueryContext const &ctx, AdQueryDefPtr const &def, AdFieldFilter *filter) {
    OutElem out(XmlTag::CTG_comparison_expression);
    add_empty(out, comparison_to_tag(filter->GetCompOp()));
    add_field_path(ctx, def, out, filter->GetFieldPath());
    // A prompt stands for the values the caller supplies at run time.
    if (!filter->GetPrompt().IsEmpty()) {
        add_text(out, XmlTag::CTG_prompt, ustr(filter->GetPrompt()));
        return out;
    }
    bool const date = filter->GetFieldType() == AD_DATE_TIME;
    for (int i = 1; i <= filter->GetNumberOfValues(); ++i) {
        if (filter->IsVariable(i)) {
            int const v = filter->GetVariable(i);
            if (v >= 1 && v <= 4) add_empty(out, variable_tags[v]);
            continue;
        }
        CString const v = filter->GetValue(i);
        add_text(out, XmlTag::CTG_constant_value, date ? to_iso_datetime(v.GetString(), false) : ustr(v));
    }
    return out;
}

Nul::XmlDoc::Elem write_filter_node(QueryContext const &ctx, AdQueryDefPtr const &def, AdFilterNode *node) {
    OutElem out(XmlTag::CTG_filtering_expression);
    add_empty(out, node->GetBoolOp() == AD_BOOL_OP_AND ? XmlTag::CTG_and : XmlTag::CTG_or);
    for (int i = 0; i < node->NumChildren(); ++i) {
        AdFilterNode *child = node->GetChild(i);
        if (!child) continue;
        if (AdFieldFilter *f = child->AsFieldFilter())
            out.add_elem(write_field_filter(ctx, def, f));
        else
            out.add_elem(write_filter_node(ctx, def, child));
    }
    return out;
}

Nul::XmlDoc::Elem filtering_to_xml(QueryContext const &ctx, AdQueryDefPtr const &def) {
    AdFilterNode *top = def->GetTopFilterNode();
    if (!top) return OutElem();
    OutElem root(XmlTag::CTG_filtering);
    if (AdFieldFilter *f = top->AsFieldFilter())
        root.add_elem(write_field_filter(ctx, def, f));
    else
        root.add_elem(write_filter_node(ctx, def, top));
    return root;
}

Nul::XmlDoc::Elem dynamic_filters_to_xml(QueryContext const &ctx, AdQueryDefPtr const &def) {
    OutElem root(XmlTag::CTG_dynamic_filters);
    collect_prompted(ctx, def, def->GetTopFilterNode(), root, 1);
    return root.empty() ? OutElem() : root;
}

Nul::UString xml_text(Nul::XmlDoc::Elem const &element) {
    Nul::XmlDoc doc{XmlTag::Id(0)};
    doc.inc_str(); // no XML declaration
    for (XmlTag::NsId ns : {XmlTag::NS_CTG, XmlTag::NS_TEAM}) {
        Nul::UString const abbreviation = XmlTag::ns_abbreviation(ns);
        doc.add_ns(ns, abbreviation.substr(0, abbreviation.length() - 1));
    }
    doc.add_elem(element, false);
    doc.close();
    return doc.str();
}

// ---- attribute setters

namespace {

// Calls the setter only for a new value; answers the old one.
template <class T, class Got, class Arg>
T change(AdQueryFieldDef *field, Got (AdQueryFieldDef::*get)() const, void (AdQueryFieldDef::*set)(Arg), T value) {
    T const old = static_cast<T>((field->*get)());
    if (old != value) (field->*set)(value);
    return old;
}

} // namespace

int set_sort_type(AdQueryFieldDef *field, int value) {
    return change(field, &AdQueryFieldDef::GetSortType, &AdQueryFieldDef::SetSortType, value);
}
int set_sort_order(AdQueryFieldDef *field, int value) {
    return change(field, &AdQueryFieldDef::GetSortOrder, &AdQueryFieldDef::SetSortOrder, value);
}
int set_function(AdQueryFieldDef *field, int value) {
    return change(field, &AdQueryFieldDef::GetFunction, &AdQueryFieldDef::SetFunction, value);
}
int set_group_by(AdQueryFieldDef *field, int value) {
    return change(field, &AdQueryFieldDef::IsGroupBy, &AdQueryFieldDef::SetGroupBy, value);
}
int set_aggregate(AdQueryFieldDef *field, int value) {
    return change(field, &AdQueryFieldDef::GetAggregate, &AdQueryFieldDef::SetAggregate, value);
}
int set_shown(AdQueryFieldDef *field, int value) {
    return change(field, &AdQueryFieldDef::GetIsShown, &AdQueryFieldDef::SetIsShown, value);
}
CString set_field_label(AdQueryFieldDef *field, CString const &value) {
    CString const old = field->GetLabel();
    if (old != value) field->SetLabel(value);
    return old;
}

} // namespace QueryUtil
} // namespace KxRpc
