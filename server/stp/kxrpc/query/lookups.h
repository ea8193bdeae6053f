// Record lookup, oplog entries, database sets and record families (procedures 23, 24, 18, 19).
#pragma once

#include <memory>
#include <vector>

#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

class AdSession;

namespace KxRpc {

class GetAllDbSetsArgs;

// The product's entity kind of a find mode (837, 838, 839); 0 for any other mode.
int entity_kind_of_find_mode(int find_mode);

// A chain of bool TRUE and set name, ended by FALSE. The names are read when it is made.
class GetAllDbSetsResp : public XdrObject {
public:
    explicit GetAllDbSetsResp(GetAllDbSetsArgs &args);
    ~GetAllDbSetsResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<Nul::UString> names_;
};

// A chain of families (bool TRUE, name, u_int dbid, int n, n times name and u_int dbid), ended by
// FALSE. The families are read when it is made.
class GetRecFamilyInfoResp : public XdrObject {
public:
    struct Member {
        Nul::UString name;
        unsigned dbid;
    };
    struct Family {
        Member family;
        std::vector<Member> members;
    };
    explicit GetRecFamilyInfoResp(AdSession *session);
    ~GetRecFamilyInfoResp() override;
    bool_t xdr(XDR *xdrs) override;

private:
    std::vector<Family> families_;
};

std::unique_ptr<XdrObject> kxrpc_find_record(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_get_oplog_entries(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_get_all_dbsets(XdrObject *request);
std::unique_ptr<XdrObject> kxrpc_get_rec_family_info(XdrObject *request);

} // namespace KxRpc
