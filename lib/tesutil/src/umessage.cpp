#include "tesutil/umessage.h"

#include <cstring>

#include "tesutil/stpexception.h"
#include "wexlog/tsmsg.h"

namespace Nul {

UMessage::Arg const UMessage::Arg::nil;
UMessage const UMessage::nil;

UMessage::Arg::Arg() = default;
UMessage::Arg::Arg(char c) : type_(CHAR), i_(c) {}
// Kind 2 holds a 32-bit value: an unsigned one is kept by its bits.
UMessage::Arg::Arg(int v) : type_(INT), i_(v) {}
UMessage::Arg::Arg(unsigned int v) : type_(INT), i_(static_cast<std::int32_t>(v)) {}
UMessage::Arg::Arg(long v) : type_(LONG), i_(v) {}
UMessage::Arg::Arg(unsigned long v) : type_(LONG), i_(static_cast<std::int64_t>(v)) {}
UMessage::Arg::Arg(long long v) : type_(INT64), i_(v) {}
UMessage::Arg::Arg(unsigned long long v) : type_(INT64), i_(static_cast<std::int64_t>(v)) {}
UMessage::Arg::Arg(double v) : type_(DOUBLE), d_(v) {}
UMessage::Arg::Arg(char const *s) : type_(CSTRING), s_(s ? s : "") {}
UMessage::Arg::Arg(std::string const &s) : type_(STDSTRING), s_(s) {}
UMessage::Arg::Arg(wchar_t const *s) : type_(WSTRING), s_(UString(s).utf8_str()) {}
UMessage::Arg::Arg(UString const &s) : type_(WSTRING), s_(s.utf8_str()) {}
UMessage::Arg::Arg(Resource const &r) : type_(RESOURCE), resource_(r.clone()) {}
UMessage::Arg::Arg(Arg const &o)
    : type_(o.type_), i_(o.i_), d_(o.d_), s_(o.s_), resource_(o.resource_ ? o.resource_->clone() : nullptr) {}
UMessage::Arg &UMessage::Arg::operator=(Arg const &o) {
    if (this != &o) {
        std::unique_ptr<Resource> r(o.resource_ ? o.resource_->clone() : nullptr);
        type_ = o.type_;
        i_ = o.i_;
        d_ = o.d_;
        s_ = o.s_;
        resource_ = std::move(r);
    }
    return *this;
}
UMessage::Arg::~Arg() = default;

UMessage::UMessage() = default;

UString UMessage::echo(UString const &text) {
    if (text.length() <= max_echo_units) return text;
    UString cut = text.left(max_echo_units);
    return cut.append(L"...");
}

UMessage::UMessage(Catalog table, int index, Arg const &a1, Arg const &a2, Arg const &a3, Arg const &a4, Arg const &a5,
                   Arg const &a6, Arg const &a7, Arg const &a8, Arg const &a9, Arg const &a10)
    : table_(table), index_(index) {
    for (Arg const *a : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9, &a10})
        if (a->type() != Arg::NIL) args_.push_back(*a);
}

bool UMessage::is_nil() const { return this == &nil || (table_ == nil.table_ && index_ == nil.index_); }

UString UMessage::message_string(char const *locale) const {
    if (!table_ || index_ == -1) return UString();
    std::vector<Arg const *> list;
    list.reserve(args_.size());
    for (auto const &a : args_) list.push_back(&a);
    return sprintf(table_, index_, list, locale);
}

namespace {

bool no_text(char const *t) { return !t || std::strcmp(t, Log::TsMsg::no_text) == 0; }

std::vector<UMessage::Arg const *> gather(std::initializer_list<UMessage::Arg const *> all) {
    std::vector<UMessage::Arg const *> v;
    for (auto a : all)
        if (a->type() != UMessage::Arg::NIL) v.push_back(a);
    return v;
}

} // namespace

UString UMessage::sprintf(Catalog table, int index, std::vector<Arg const *> const &args, char const *locale) {
    char const *fmt = Log::TsMsg::format(table, index, locale);
    if (no_text(fmt)) return UString(Utf8String(no_catalog_text));
    return sprintf(fmt, args);
}

UString UMessage::sprintf(char const *format, std::vector<Arg const *> const &args) {
    std::vector<Log::cxPrintfArgVal> cells;
    std::vector<std::string> rendered; // resource texts live until formatting is done
    rendered.reserve(args.size());
    for (Arg const *a : args) {
        if (!a) {
            cells.emplace_back();
            continue;
        }
        switch (a->type()) {
        case Arg::NIL:
            cells.emplace_back();
            break;
        case Arg::CHAR:
            cells.push_back(Log::cxPrintfArgVal::of_char(static_cast<char>(a->int_value())));
            break;
        case Arg::INT:
            cells.push_back(Log::cxPrintfArgVal::of_int32(static_cast<std::int32_t>(a->int_value())));
            break;
        case Arg::LONG:
        case Arg::INT64:
            cells.push_back(Log::cxPrintfArgVal::of_int64(a->int_value()));
            break;
        case Arg::DOUBLE:
            cells.push_back(Log::cxPrintfArgVal::of_double(a->double_value()));
            break;
        case Arg::CSTRING:
        case Arg::STDSTRING:
        case Arg::WSTRING:
            cells.push_back(Log::cxPrintfArgVal::of_text(a->text()));
            break;
        case Arg::RESOURCE:
            rendered.push_back(a->resource() ? std::string(a->resource()->to_selector().utf8_str()) : std::string());
            cells.push_back(Log::cxPrintfArgVal::of_text(rendered.back().c_str()));
            break;
        }
    }
    auto out = Log::TsMsg::format(format, cells.data(), cells.size());
    if (!out || *out == Log::TsMsg::no_text) return UString(Utf8String(no_catalog_text));
    return UString(out->c_str(), "UTF-8");
}

UString UMessage::sprintf(Catalog table, int index, Arg const &a1, Arg const &a2, Arg const &a3, Arg const &a4,
                          Arg const &a5, Arg const &a6, Arg const &a7, Arg const &a8, Arg const &a9, Arg const &a10) {
    return sprintf(table, index, gather({&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9, &a10}), nullptr);
}

UString UMessage::sprintf(char const *format, Arg const &a1, Arg const &a2, Arg const &a3, Arg const &a4, Arg const &a5,
                          Arg const &a6, Arg const &a7, Arg const &a8, Arg const &a9, Arg const &a10) {
    return sprintf(format, gather({&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9, &a10}));
}

UString UMessage::sprintf(UString const &format, Arg const &a1, Arg const &a2, Arg const &a3, Arg const &a4,
                          Arg const &a5, Arg const &a6, Arg const &a7, Arg const &a8, Arg const &a9, Arg const &a10) {
    return sprintf(format.utf8_str().c_str(), gather({&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9, &a10}));
}

UString UMessage::sprintf(UString const &format, std::vector<Arg const *> const &args) {
    return sprintf(format.utf8_str().c_str(), args);
}

} // namespace Nul
