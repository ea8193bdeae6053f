#include "query/fulltext.h"
#include "wire/conversions.h"

#include <algorithm>
#include <optional>

#include "kxproduct/exceptions.h"
#include "kxproduct/session.h"
#include "query/paged.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/target.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/errors.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

[[noreturn]] void refuse(Nul::UString const &element) {
    raise_reason(Reason::illegal_value, kx_message(MSG_ILLEGAL_VALUE, element));
}

std::vector<CString> to_cstrings(std::vector<Nul::UString> const &names) {
    std::vector<CString> out;
    for (Nul::UString const &n : names) out.push_back(cstr(n));
    return out;
}

} // namespace

// ---- SearchState

SearchState::SearchState(KXSmartPtr<KXSession> const &user_session, ExecuteFullTextSearchArgs &args)
    : user_session_(user_session), remaining_(args.request_num()), start_row_(args.start_row()),
      has_parent_record_(args.has_parent_record()) {}

SearchState::~SearchState() {
    ignoring_failures([this] {
        hits_ = KXSmartPtr<KXTextSearchHits>();
        result_ = KXSmartPtr<KXTextSearchResult>();
        user_session_ = KXSmartPtr<KXSession>();
    });
}

void SearchState::init(AdSession *session, ExecuteFullTextSearchArgs &args) {
    // Refused before the product is asked: a first row or page below 1 has no page to start in.
    if (args.start_row() <= 0) refuse(Nul::UString(L"start_row"));
    // A page size of 0 keeps the product's default page size.
    if (!args.has_parent_record() && args.page_size() < 0) refuse(Nul::UString(L"page_size"));
    if (!args.parent_record_dbid_valid())
        raise_reason(Reason::illegal_value,
                     kx_message(MSG_NOT_AN_INTEGER, args.parent_record_dbid_text(), args.parent_record_dbid_text()));
    bool looking_up_parent = false;
    product_call(
        [&] {
            if (!user_session_->IsTextSearchEnabled())
                raise_reason(Reason::illegal_value, kx_message(MSG_SEARCH_DISABLED));
            KXSmartPtr<KXTextSearchDef> def = user_session_->BuildTextSearchDef(
                has_parent_record_ ? KX_TEXT_SEARCH_CHOICE_LIST : KX_TEXT_SEARCH_RECORDS);
            def->SetSearchString(cstr(args.search_string()));
            if (args.cache_size() != 0 && !has_parent_record_) def->SetCacheSize(args.cache_size());
            std::vector<Nul::UString> types;
            for (GenericOpArgs &t : args.rec_types()) {
                Nul::UString name = ustr(t.record_type(session)->GetName());
                if (std::find(types.begin(), types.end(), name) != types.end())
                    raise_reason(Reason::illegal_value, kx_message(MSG_DUPLICATE_RECORD_TYPE, name));
                types.push_back(name);
            }
            if (!types.empty()) def->SetRecordTypes(to_cstrings(types));
            if (has_parent_record_) {
                CString type_name = args.parent_record_type().record_type(session)->GetName();
                looking_up_parent = true;
                AdEntityPtr parent = user_session_->GetEntityByDbId(type_name, args.parent_record_dbid());
                looking_up_parent = false;
                AdFieldDef *field = args.parent_field_name().target().field_def(session);
                if (!field) throw_not_found(Nul::UString(L"parent field"));
                def->SetChoiceListFilter(parent, field->GetName());
            }
            result_ = user_session_->BuildTextSearchResult(def);
            if (args.page_size() != 0 && !has_parent_record_) {
                long hard = session->GetSessionHardQueryLimit();
                result_->SetPageSize(hard > 100 && hard < args.page_size() ? static_cast<int>(hard) : args.page_size());
            }
            int page_size = result_->GetPageSize();
            if (page_size <= 0) throw_internal_error(Nul::UString(L"The search has no page size."));
            result_->SetPage((start_row_ - 1) / page_size + 1);
            std::vector<Nul::UString> fields;
            for (GenericOpArgs &f : args.display_field_names()) {
                AdFieldDef *field = f.target().field_def(session);
                if (!field) throw_not_found(Nul::UString(L"display field"));
                fields.push_back(ustr(field->GetName()));
            }
            if (!fields.empty()) result_->SetDisplayFieldNames(to_cstrings(fields));
            result_->Execute();
        },
        [&](ProductFailure const &f) {
            if (looking_up_parent && f.kind == ProductFailure::PA_MSG_EXCEPTION && f.msg_id == KX_MSG_NOT_FOUND)
                throw_not_found(f.text);
            if (f.kind == ProductFailure::KX_EXCEPTION) throw_internal_error(kx_message(MSG_INTERNAL_ERROR, f.text));
            trace_exception(Nul::UString(L"ExecuteFullTextSearchIter::SearchState::init"), f.text);
            // Search text the index cannot parse is the client's error.
            if (f.kind == ProductFailure::PA_MSG_EXCEPTION && f.msg_id == KX_MSG_BAD_SEARCH)
                refuse(Nul::UString(L"search_string"));
            if (f.kind == ProductFailure::PA_MSG_EXCEPTION)
                throw_internal_error(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, f.text));
            throw_internal_error(kx_message(MSG_INTERNAL_ERROR, Nul::UString(L"Unknown error.")));
        });
}

std::vector<SearchRecord> SearchState::next_records(int request_num, bool &finished) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<SearchRecord> out;
    remaining_ = request_num;
    finished = true;
    if (done_) return out;
    Nul::UString text;
    bool failed = false;
    try {
        if (std::optional<ProductFailure> const f = failure_of([&] { write_hits(out); })) {
            failed = true;
            text = f->kind == ProductFailure::OTHER ? Nul::UString(unknown_error_text) : f->text;
        }
    } catch (Nul::STPException const &e) {
        failed = true;
        text = exception_message_text(e);
    }
    if (failed) {
        done_ = true;
        SearchRecord r;
        r.kind = 4;
        r.error = std::make_shared<KXInternalErrorException>(text, nullptr);
        out.push_back(std::move(r));
    }
    finished = done_ || has_parent_record_;
    return out;
}

void SearchState::hold() {
    std::lock_guard<std::mutex> lock(mu_);
    std::uint64_t n = sizeof(*this);
    for (auto const &[type, names] : sent_fields_) {
        n += held_text_bytes(type);
        for (Nul::UString const &name : names) n += held_text_bytes(name);
    }
    if (result_) n += product_call([&] { return result_->GetHeldBytes(); }, unexpected_in(L"SearchState::hold"));
    hold_bytes(n);
}

void SearchState::write_hits(std::vector<SearchRecord> &out) {
    int limit = result_->GetTotalHits();
    int page_size = result_->GetPageSize();
    if (cursor_ == -1) {
        cursor_ = (start_row_ - 1) % page_size;
        SearchRecord header;
        header.kind = 0;
        header.number = limit;
        header.text = ustr(result_->GetExpandedSearchString());
        out.push_back(std::move(header));
        hits_ = result_->GetHits();
        if (!hits_ || hits_->GetCount() == 0) limit = cursor_;
    }
    while (cursor_ < limit && remaining_ > 0) {
        KXTextSearchHitPtr hit = hits_ ? hits_->GetHit(cursor_) : KXTextSearchHitPtr();
        if (!hit) {
            limit = cursor_;
            break;
        }
        Nul::UString type = ustr(hit->GetEntityDefName());
        std::vector<Nul::UString> names;
        for (CString const &n : hit->GetDisplayFieldNames()) names.push_back(ustr(n));
        auto known = sent_fields_.find(type);
        if (known == sent_fields_.end()) {
            SearchRecord header;
            header.kind = 1;
            header.text = type;
            header.names = names;
            out.push_back(std::move(header));
            sent_fields_.emplace(type, names);
        } else if (known->second != names) {
            done_ = true;
            SearchRecord error;
            error.kind = 4;
            error.error = std::make_shared<KXInternalErrorException>(
                Nul::UString(L"Field names/values returned in random order across hits"), nullptr);
            out.push_back(std::move(error));
            return;
        }
        AdEntityDef *def = user_session_->GetEntityDef(hit->GetEntityDefName());
        if (!def) throw_internal_error(Nul::UString(L"Record type not found: ") + type);
        SearchRecord r;
        r.kind = 2;
        r.text = type;
        r.display_name = ustr(hit->GetDisplayName());
        r.type_dbid = static_cast<unsigned>(def->GetDbId());
        r.dbid = static_cast<unsigned>(hit->GetDbId());
        r.score = hit->GetScore();
        r.indexed_version = hit->GetIndexedVersion();
        r.version = hit->GetVersion();
        std::vector<CString> const &values = hit->GetDisplayFieldValues();
        for (std::size_t i = 0; i < names.size(); ++i)
            r.names.push_back(i < values.size() ? ustr(values[i]) : Nul::UString());
        out.push_back(std::move(r));
        ++cursor_;
        --remaining_;
    }
    // A reply cut by request_num keeps the search: whether the page has more is known only when
    // the next call asks for the hit after it.
    if (cursor_ >= limit) done_ = true;
}

// ---- ExecuteFullTextSearchIter

ExecuteFullTextSearchIter::ExecuteFullTextSearchIter() = default;

ExecuteFullTextSearchIter::~ExecuteFullTextSearchIter() = default;

void ExecuteFullTextSearchIter::start_search(ExecuteFullTextSearchArgs &args) {
    std::shared_ptr<SearchState> state;
    if (args.is_returning()) {
        state = std::dynamic_pointer_cast<SearchState>(args.state());
        if (!state) checked_cast<SearchState>(args.state().get());
    } else {
        LoginSession *login = args.session_or_fail();
        AdSession *session = args.api_session_or_fail();
        state = std::make_shared<SearchState>(login->user_session(), args);
        state->init(session, args);
    }
    bool finished = true;
    records_ = state->next_records(args.request_num(), finished);
    // Discarded with this reply: its handle is not handed out, and a later call naming it finds
    // nothing.
    auto discard = [&] {
        if (!state->oid().is_nil()) remove_pointer_entry(state->oid());
    };
    if (finished) return discard();
    try {
        // The page of hits stays for the next call; past a memory bound the search ends.
        state->hold();
    } catch (...) {
        discard();
        throw;
    }
    continue_with_ = state;
}

bool_t ExecuteFullTextSearchIter::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    for (SearchRecord &r : records_) {
        bool_t more = TRUE;
        enum_t kind = r.kind;
        if (!xdr_bool(xdrs, &more) || !xdr_enum(xdrs, &kind)) return FALSE;
        switch (r.kind) {
        case 0:
            if (!xdr_int(xdrs, &r.number) || !xdr_ustring(xdrs, r.text)) return FALSE;
            break;
        case 1: {
            int count = static_cast<int>(r.names.size());
            if (!xdr_ustring(xdrs, r.text) || !xdr_int(xdrs, &count)) return FALSE;
            for (Nul::UString &n : r.names)
                if (!xdr_ustring(xdrs, n)) return FALSE;
            break;
        }
        case 2: {
            TargetResourceArg target(32, r.type_dbid, r.dbid);
            int count = static_cast<int>(r.names.size());
            if (!xdr_ustring(xdrs, r.text) || !xdr_ustring(xdrs, r.display_name) || !target.xdr(xdrs) ||
                !xdr_int(xdrs, &r.score) || !xdr_int(xdrs, &r.indexed_version) || !xdr_int(xdrs, &r.version) ||
                !xdr_int(xdrs, &count))
                return FALSE;
            for (Nul::UString &v : r.names)
                if (!xdr_ustring(xdrs, v)) return FALSE;
            break;
        }
        default:
            if (!xdr_exception(xdrs, r.error.get())) return FALSE;
            break;
        }
    }
    bool_t more = TRUE;
    enum_t end = 3;
    StateItemPtr handle = continue_with_;
    return xdr_bool(xdrs, &more) && xdr_enum(xdrs, &end) && xdr_state_handle(xdrs, handle);
}

std::unique_ptr<XdrObject> kxrpc_execute_fulltext_search(XdrObject *request) {
    auto response = std::make_unique<ExecuteFullTextSearchIter>();
    auto *args = checked_cast<ExecuteFullTextSearchArgs>(request);
    trace_lazy(1,
               [&] { return Nul::UMessage::sprintf("Info: (kxrpc_execute_fulltext_search %s)", args->trace_line()); });
    response->start_search(*args);
    return response;
}

} // namespace KxRpc
