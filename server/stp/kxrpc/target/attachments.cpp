#include "target/attachments.h"

#include <climits>
#include <optional>

#include "tesutil/fileutl.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {
// One entry of the field: dbid, file name (a path), size and description, one per line; the
// description takes every remaining line.
struct EntryLines {
    Nul::UString dbid, path, size, description;
};

EntryLines split_entry(Nul::UString const &entry) {
    std::wstring const text = entry.c_str();
    EntryLines out;
    Nul::UString *fields[] = {&out.dbid, &out.path, &out.size};
    std::size_t start = 0;
    for (Nul::UString *field : fields) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            *field = Nul::UString(text.substr(start).c_str());
            return out;
        }
        *field = Nul::UString(text.substr(start, end - start).c_str());
        start = end + 1;
    }
    out.description = Nul::UString(text.substr(start).c_str());
    return out;
}

// Decimal digits only, at most `limit`; anything else raises `error`.
std::int64_t to_number(Nul::UString const &digits, std::int64_t limit, wchar_t const *error) {
    std::wstring const text = digits.c_str();
    if (text.empty()) throw_internal_error(Nul::UString(error));
    std::int64_t value = 0;
    for (wchar_t ch : text) {
        if (ch < L'0' || ch > L'9') throw_internal_error(Nul::UString(error));
        int const digit = ch - L'0';
        if (value > (limit - digit) / 10) throw_internal_error(Nul::UString(error));
        value = value * 10 + digit;
    }
    return value;
}

constexpr wchar_t const *not_a_ulong = L"Error converting string to ulong";

// The stored path's last component: the name the attachment is known by.
Nul::UString leaf_name(Nul::UString const &path) {
    std::wstring const text = path.c_str();
    std::size_t const slash = text.rfind(L'/');
    return slash == std::wstring::npos ? path : Nul::UString(text.substr(slash + 1).c_str());
}

Nul::UString first_line(Nul::UString const &entry) { return split_entry(entry).dbid; }

// A product call that answers an error text: a product exception is unexpected, a non-empty text
// is the refusal of the change.
template <class Call>
void edit_record(Attachment const &attachment, wchar_t const *method, int message, Call &&call) {
    trace_lazy(2, [&] { return text_format("Info: %s(%s)", Nul::UString(method), attachment.to_string()); });
    CString const error = product_call(
        [&] {
            AdEntityPtr const &record = attachment.folder().entity();
            if (!record) throw_internal_error(L"the attachment has no record");
            return call(*record, cstr(attachment.folder().field_name()));
        },
        unexpected_in(method));
    if (!error.IsEmpty()) raise_reason(Reason::internal_error, kx_message(message, Nul::UMessage::Arg(ustr(error))));
}

} // namespace

std::unique_ptr<Attachment> attachment_from_entry(AttachmentFolder const &folder, Nul::UString const &entry) {
    EntryLines const lines = split_entry(entry);
    std::int64_t const dbid = to_number(lines.dbid, INT64_MAX, not_a_ulong);
    // An empty size line is an attachment without content.
    int const size = lines.size.empty() ? 0 : static_cast<int>(to_number(lines.size, INT_MAX, not_a_ulong));
    auto attachment = std::make_unique<Attachment>(folder, leaf_name(lines.path), dbid);
    attachment->set_size(size);
    attachment->set_description(lines.description);
    attachment->set_kx_name_id(entry);
    return attachment;
}

AttachmentFolder::AttachmentFolder(AdEntityPtr const &record, Nul::UString const &field_name, std::int64_t field_dbid)
    : entity_(record), field_name_(field_name), field_dbid_(field_dbid) {}

AttachmentFolder::AttachmentFolder(AttachmentFolder const &other) = default;
AttachmentFolder &AttachmentFolder::operator=(AttachmentFolder const &other) = default;

AttachmentFolder::~AttachmentFolder() {
    ignoring_failures([this] { entity_ = nullptr; });
}

Nul::UString AttachmentFolder::to_string() const {
    Nul::UString const record = entity_ ? ustr(entity_->GetDisplayName()) : Nul::UString(L"NULL");
    return text_format("AttachmentFolder: (rec:%s :: name:%s :: dbid:%d)", record, field_name_,
                       static_cast<int>(field_dbid_));
}

std::vector<Nul::UString> AttachmentFolder::field_text() const {
    std::vector<Nul::UString> entries;
    if (!entity_) return entries;
    AdFieldInfo const info = entity_->GetFieldValue(cstr(field_name_));
    for (CString const &value : info.GetValueAsList()) entries.emplace_back(value.GetString());
    return entries;
}

std::vector<Attachment> AttachmentFolder::attachments() const {
    std::vector<Attachment> out;
    for (Nul::UString const &entry : field_text()) out.push_back(*attachment_from_entry(*this, entry));
    return out;
}

std::vector<std::int64_t> AttachmentFolder::attachment_dbids() const {
    std::vector<std::int64_t> out;
    for (Nul::UString const &entry : field_text())
        out.push_back(to_number(first_line(entry), INT64_MAX, L"Error converting string to dbid"));
    return out;
}

Nul::UString AttachmentFolder::attachment_text(std::int64_t dbid) const {
    Nul::UString const wanted(std::to_wstring(dbid).c_str());
    for (Nul::UString const &entry : field_text())
        if (first_line(entry).compare(wanted) == 0) return entry;
    return Nul::UString();
}

std::unique_ptr<Attachment> AttachmentFolder::find_by_dbid(std::int64_t dbid) const {
    Nul::UString const entry = attachment_text(dbid);
    if (entry.empty()) return nullptr;
    return attachment_from_entry(*this, entry);
}

std::unique_ptr<Attachment> AttachmentFolder::find(Nul::UString const &file_name) const {
    for (Nul::UString const &entry : field_text()) {
        std::unique_ptr<Attachment> attachment = attachment_from_entry(*this, entry);
        if (attachment->file_name().compare(file_name) == 0) return attachment;
    }
    return nullptr;
}

Attachment::Attachment(AttachmentFolder const &folder, Nul::UString const &file_name, std::int64_t dbid)
    : folder_(folder), file_name_(file_name), dbid_(dbid) {}
Attachment::Attachment(Attachment const &other) = default;
Attachment &Attachment::operator=(Attachment const &other) = default;
Attachment::~Attachment() = default;

void Attachment::load() {
    trace_lazy(2, [this] { return text_format("Info: Attachment::load(%s)", to_string()); });
    if (kx_name_id_.empty() || loaded_) return;
    std::optional<ProductFailure> failure;
    try {
        failure = failure_of([&] {
            AdEntityPtr const &record = folder_.entity();
            if (!record) throw_internal_error(L"the attachment has no record");
            record->ExtractAttachment(dbid_, CString(file_path().c_str()));
            loaded_ = true;
        });
    } catch (Nul::STPException const &e) {
        raise_reason(reason_of(e), kx_message(MSG_CANNOT_LOAD_ATTACHMENT, Nul::UMessage::Arg(e.msg())));
    }
    if (!failure) return;
    // The product's own words say why (a full disk, say); it is no unexpected exception.
    trace_caught(*failure, Nul::UString(L"Attachment::load"));
    raise_reason(Reason::internal_error,
                 kx_message(MSG_CANNOT_LOAD_ATTACHMENT, Nul::UMessage::Arg(failure->text_or_unknown())));
}

void Attachment::add_attachment() {
    edit_record(*this, L"Attachment::add_attachment", MSG_CANNOT_MAKE_ATTACHMENT,
                [&](AdEntity &record, CString const &field) {
                    return record.AddAttachmentFieldValue(field, cstr(content_.path()), cstr(description_));
                });
}

void Attachment::modify_description() {
    edit_record(*this, L"Attachment::modify_description", MSG_CANNOT_MODIFY_ATTACHMENT,
                [&](AdEntity &record, CString const &field) {
                    return record.SetAttachmentFieldDescription(field, cstr(kx_name_id_), cstr(description_));
                });
}

void Attachment::do_delete() {
    edit_record(*this, L"Attachment::do_delete", MSG_CANNOT_MAKE_ATTACHMENT,
                [&](AdEntity &record, CString const &field) {
                    return record.DeleteAttachmentFieldValue(field, cstr(kx_name_id_));
                });
}

bool Attachment::remove_file() {
    if (kx_name_id_.empty()) return true;
    if (!content_.path().empty()) content_.remove_file();
    content_.set_path(Nul::UString());
    loaded_ = false;
    return false;
}

Nul::UString Attachment::to_string() const {
    return text_format("Attachment: (name:%s :: dbid:%d :: size:%d :: description:%s :: kx_name_id:%s)", file_name_,
                       static_cast<int>(dbid_), size_, description_, kx_name_id_);
}

void remove_upload_file(Nul::UString const &path) noexcept {
    ignoring_failures([&] {
        Nul::Fileutl::delete_tmp_file(path);
        Nul::UString const dir = Nul::Pname(path).parent_dir();
        if (!dir.empty()) Nul::Fileutl::delete_dir(dir);
    });
}

ContentFile::~ContentFile() {
    ignoring_failures([this] { Nul::Fileutl::delete_tmp_file(path_); });
}

AttachmentStateItem::AttachmentStateItem(std::unique_ptr<Attachment> attachment, bool server_file, Charge charge)
    : attachment_(std::move(attachment)), file_path_(attachment_ ? attachment_->content_path() : Nul::UString()),
      server_file_(server_file) {
    if (server_file_ && !file_path_.empty()) upload_ = std::make_shared<ContentFile>(file_path_, std::move(charge));
}

AttachmentStateItem::~AttachmentStateItem() {
    ignoring_failures([this] { attachment_.reset(); });
    ignoring_failures([this] { added_to_ = AdEntityPtr(); });
    // The upload file goes with the last item that shares it.
    ignoring_failures([this] { upload_.reset(); });
}

ContentFilePtr AttachmentStateItem::take_upload() {
    if (!upload_) return nullptr;
    file_path_ = Nul::UString();
    return std::move(upload_);
}

} // namespace KxRpc
