// A new record, its validation, a workspace item's type and a folder's items against the real
// program, with a libtirpc client.
#include <string>
#include <vector>

#include "demo_server.h"
#include "props_client.h"

using namespace e2e;

namespace {

// Correlator none, the session handle, locale, trace id.
bool_t xdr_header(XDR *xdrs, Handle &session) {
    u_int none = 0, length = 16;
    int wtid = 3;
    std::string locale = "en_US";
    return xdr_u_int(xdrs, &none) && xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, session.data(), 16) &&
           xdr_utf8(xdrs, &locale) && xdr_int(xdrs, &wtid);
}

bool_t xdr_named(XDR *xdrs, int type, std::vector<std::string> names) {
    int by_name = 1;
    if (!xdr_int(xdrs, &type) || !xdr_int(xdrs, &by_name)) return FALSE;
    for (auto &n : names)
        if (!xdr_utf8(xdrs, &n)) return FALSE;
    return TRUE;
}

// mkresource of a Defect with one string field, and its reply up to the new record's handle.
struct MakeRecord {
    Handle session{};
    std::string field, value;
    bool_t failed = TRUE;
    ErrorRecord error;
    Handle record{};
};

bool_t xdr_make_record_args(XDR *xdrs, MakeRecord *m) {
    // The correlator and the batch flag come first in property requests, then the header.
    u_int no_correlator = 0;
    bool_t no_batch = FALSE;
    if (!xdr_u_int(xdrs, &no_correlator) || !xdr_bool(xdrs, &no_batch)) return FALSE;
    u_int length = 16;
    int wtid = 3;
    std::string locale = "en_US";
    if (!xdr_u_int(xdrs, &length) || !xdr_opaque(xdrs, m->session.data(), 16) || !xdr_utf8(xdrs, &locale) ||
        !xdr_int(xdrs, &wtid))
        return FALSE;
    int record = 32, no_parent = 0, one = 1, field_id = 1000000, string_type = 100001, off = 0;
    std::string ns = "FLD:";
    return xdr_named(xdrs, 31, {"Defect"}) && xdr_int(xdrs, &record) && xdr_int(xdrs, &no_parent) &&
           xdr_int(xdrs, &one) && xdr_int(xdrs, &field_id) && xdr_int(xdrs, &string_type) &&
           xdr_utf8(xdrs, &m->value) && xdr_int(xdrs, &one) && xdr_utf8(xdrs, &ns) && xdr_utf8(xdrs, &m->field) &&
           xdr_int(xdrs, &off) && xdr_int(xdrs, &off);
}

bool_t xdr_make_record_result(XDR *xdrs, MakeRecord *m) {
    if (!xdr_bool(xdrs, &m->failed)) return FALSE;
    if (m->failed) return xdr_error_record(xdrs, &m->error);
    u_int length = 0;
    return xdr_u_int(xdrs, &length) && length == 16 && xdr_opaque(xdrs, m->record.data(), 16);
}

// validate_record_props of a record handle; the reply is FALSE, or an error whose invalid fields
// are read.
struct Validate {
    Handle session{}, record{};
    bool_t failed = FALSE;
    int reason = 0, extension = 0;
    std::vector<std::string> fields;
};

bool_t xdr_validate_args(XDR *xdrs, Validate *v) {
    int type = 32, by_handle = 3;
    u_int length = 16;
    return xdr_header(xdrs, v->session) && xdr_int(xdrs, &type) && xdr_int(xdrs, &by_handle) &&
           xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, v->record.data(), 16);
}

bool_t xdr_validate_result(XDR *xdrs, Validate *v) {
    if (!xdr_bool(xdrs, &v->failed)) return FALSE;
    if (!v->failed) return TRUE;
    std::string message;
    int resource = 0, causes = 0, count = 0;
    if (!xdr_int(xdrs, &v->reason) || !xdr_utf8(xdrs, &message) || !xdr_int(xdrs, &resource) || resource != -1 ||
        !xdr_int(xdrs, &causes) || causes != 0 || !xdr_int(xdrs, &v->extension) || v->extension != 1 ||
        !xdr_int(xdrs, &count) || count < 0 || count > 64)
        return FALSE;
    for (int i = 0; i < count; ++i) {
        std::string name;
        int tag = 0;
        if (!xdr_utf8(xdrs, &name) || !xdr_int(xdrs, &tag)) return FALSE;
        v->fields.push_back(name + ":" + std::to_string(tag));
    }
    return TRUE;
}

// A session request whose body is one target given by name; the reply is FALSE and strings
// (resolve_type: the kind, then two strings; fetch_bulk: a count, then that many).
struct Named {
    Handle session{};
    int type = 0;
    std::string name;
    bool list = false;
    bool_t failed = TRUE;
    int number = 0;
    std::vector<std::string> texts;
};

bool_t xdr_named_args(XDR *xdrs, Named *n) {
    return xdr_header(xdrs, n->session) && xdr_named(xdrs, n->type, {n->name});
}

bool_t xdr_named_result(XDR *xdrs, Named *n) {
    if (!xdr_bool(xdrs, &n->failed) || n->failed || !xdr_int(xdrs, &n->number)) return FALSE;
    int const count = n->list ? n->number : 2;
    if (count < 0 || count > 64) return FALSE;
    n->texts.resize(static_cast<std::size_t>(count));
    for (auto &t : n->texts)
        if (!xdr_utf8(xdrs, &t)) return FALSE;
    return TRUE;
}

class HandlersE2E : public DemoServerTest {
protected:
    // Logs alice on and makes a new Defect with only a headline; the record's handle.
    static void new_defect(Client &client, Login &login, MakeRecord &make) {
        ASSERT_TRUE(client.ok());
        ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
        ASSERT_FALSE(login.failed) << login.error.message;
        make.session = login.handle;
        make.field = "Headline";
        ASSERT_EQ(RPC_SUCCESS,
                  client.call(8, as_proc(xdr_make_record_args), &make, as_proc(xdr_make_record_result), &make));
        ASSERT_FALSE(make.failed) << make.error.message;
    }
};

} // namespace

TEST_F(HandlersE2E, NewDefectValidationWorkspaceTypeAndFolderItems) {
    Client client(server_->port());
    Login login;
    MakeRecord make;
    make.value = "Only a headline";
    ASSERT_NO_FATAL_FAILURE(new_defect(client, login, make));
    EXPECT_NE(Handle{}, make.record);

    Validate validate;
    validate.session = login.handle;
    validate.record = make.record;
    ASSERT_EQ(RPC_SUCCESS,
              client.call(12, as_proc(xdr_validate_args), &validate, as_proc(xdr_validate_result), &validate));
    ASSERT_TRUE(validate.failed);
    EXPECT_EQ(17, validate.reason);
    EXPECT_EQ((std::vector<std::string>{"Severity:970"}), validate.fields);

    Named type;
    type.session = login.handle;
    type.type = 36;
    type.name = "Public Queries/All Defects";
    ASSERT_EQ(RPC_SUCCESS, client.call(6, as_proc(xdr_named_args), &type, as_proc(xdr_named_result), &type));
    ASSERT_FALSE(type.failed);
    EXPECT_EQ(1015, type.number);
    ASSERT_EQ(2u, type.texts.size());
    EXPECT_EQ("Public Queries/All Defects", type.texts[0]);
    EXPECT_FALSE(type.texts[1].empty());

    Named bulk;
    bulk.session = login.handle;
    bulk.type = 37;
    bulk.name = "Public Queries/Defects";
    bulk.list = true;
    ASSERT_EQ(RPC_SUCCESS, client.call(35, as_proc(xdr_named_args), &bulk, as_proc(xdr_named_result), &bulk));
    ASSERT_FALSE(bulk.failed);
    ASSERT_EQ(3, bulk.number);
    EXPECT_EQ(0u, bulk.texts[0].rfind("<TEAM:display-name>Open Defects<TEAM:display-name>", 0)) << bulk.texts[0];
    EXPECT_NE(std::string::npos, bulk.texts[1].find("<CTG:query-type>CTG:chart<CTG:query-type>")) << bulk.texts[1];
    EXPECT_NE(std::string::npos, bulk.texts[2].find("<KX:dbset>KXDEMO<KX:dbset>")) << bulk.texts[2];
    EXPECT_EQ(RPC_SUCCESS, client.ping());
}

TEST_F(HandlersE2E, NewDefectDeliveredWithoutItsMandatoryFieldsIsRefusedAndKept) {
    Client client(server_->port());
    Login login;
    MakeRecord make;
    make.value = "Never submitted";
    ASSERT_NO_FATAL_FAILURE(new_defect(client, login, make));

    // Twice: a refused record keeps its handle, so the same batch is refused the same way.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Deliver deliver;
        deliver.session = login.handle;
        deliver.kind = 5;
        deliver.records = {make.record};
        ASSERT_EQ(RPC_SUCCESS, call_deliver(client, deliver));
        ASSERT_FALSE(deliver.failed) << deliver.error.message;
        ASSERT_EQ(1u, deliver.results.size());
        EXPECT_EQ(0, deliver.results[0].kind);
        EXPECT_EQ(17, deliver.results[0].error.reason);
        EXPECT_EQ("Severity:970", deliver.results[0].error.extension_text);
    }
}
